// The standard handles: where the report and its failure lines go, and what
// a standard handle's file information tells.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <windows.h>

#include "report.h"

namespace {

// Where a child's standard output or standard error goes, and how the parent reads it back.
enum class Kind { kTerminal, kFile, kPipe, kSocket };

class Place {
 public:
  explicit Place(Kind kind) : kind_(kind) {
    int ends[2] = {-1, -1};
    switch (kind) {
      case Kind::kTerminal:
        openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr);
        break;
      case Kind::kFile:
        // Appended to, so that a second opening of it does not write over the first.
        ends[0] = ends[1] = open("/tmp", O_TMPFILE | O_RDWR | O_APPEND, 0600);
        break;
      case Kind::kPipe:
        pipe(ends);
        break;
      case Kind::kSocket:
        socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
        break;
    }
    read_ = ends[0];
    write_ = ends[1];
  }
  ~Place() {
    close(read_);
    if (write_ != read_) {
      close(write_);
    }
  }
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;

  bool ok() const { return read_ >= 0 && write_ >= 0; }
  int writer() const { return write_; }
  // The same file opened once more, apart from the first opening.
  int Reopen() const {
    return open(("/proc/self/fd/" + std::to_string(write_)).c_str(), O_WRONLY | O_APPEND);
  }

  // Once every writer is gone: all that was written, a terminal's CR LF back to "\n".
  std::string ReadBack() {
    std::string bytes;
    char chunk[4096];
    if (kind_ == Kind::kFile) {
      for (ssize_t count;
           (count = pread(read_, chunk, sizeof chunk, static_cast<off_t>(bytes.size()))) > 0;) {
        bytes.append(chunk, static_cast<std::size_t>(count));
      }
      return bytes;
    }
    close(write_);
    write_ = -1;
    for (ssize_t count; (count = read(read_, chunk, sizeof chunk)) > 0;) {
      bytes.append(chunk, static_cast<std::size_t>(count));
    }
    for (std::size_t at = 0; (at = bytes.find("\r\n", at)) != std::string::npos;) {
      bytes.erase(at, 1);
    }
    return bytes;
  }

 private:
  Kind kind_;
  int read_ = -1;
  int write_ = -1;
};

enum class Second { kSamePlace, kReopened, kOtherPlace };

struct StreamsCase {
  const char* title;
  Kind out;
  Kind err;
  Second second;  // what standard error is, beside standard output
  bool shared;
};

void PrintTo(const StreamsCase& c, std::ostream* os) { *os << c.title; }

class StandardHandles : public testing::TestWithParam<StreamsCase> {};

// The failure reporter on this layer's handle queries, in a child whose two
// streams are set up as a shell sets them up.
TEST_P(StandardHandles, TellTheFailureReporterWhetherTheReportSharesItsPlace) {
  const StreamsCase& c = GetParam();
  Place out(c.out);
  std::unique_ptr<Place> other;
  if (c.second == Second::kOtherPlace) {
    other = std::make_unique<Place>(c.err);
  }
  ASSERT_TRUE(out.ok() && (other == nullptr || other->ok())) << std::strerror(errno);
  const int err = c.second == Second::kSamePlace  ? out.writer()
                  : c.second == Second::kReopened ? out.Reopen()
                                                  : other->writer();
  ASSERT_GE(err, 0) << std::strerror(errno);

  std::fflush(stdout);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(out.writer(), STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    std::printf("x");
    SetLastError(ERROR_ACCESS_DENIED);
    ReportFailure("OpenProcess");
    std::fflush(stdout);
    _exit(0);
  }
  if (c.second == Second::kReopened) {
    close(err);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const std::string line = "procreport: OpenProcess failed with error 5: Access is denied";
  if (other == nullptr) {
    EXPECT_EQ(out.ReadBack(), "x\n" + line);
  } else {
    EXPECT_EQ(out.ReadBack(), "x");
    EXPECT_EQ(other->ReadBack(), c.shared ? "\n" + line : line + "\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, StandardHandles,
    testing::Values(
        StreamsCase{"one terminal", Kind::kTerminal, Kind::kTerminal, Second::kSamePlace, true},
        // Terminals are the user's screen, whichever two they are.
        StreamsCase{"two terminals", Kind::kTerminal, Kind::kTerminal, Second::kOtherPlace, true},
        StreamsCase{"one file", Kind::kFile, Kind::kFile, Second::kSamePlace, true},
        StreamsCase{"one file opened twice", Kind::kFile, Kind::kFile, Second::kReopened, true},
        StreamsCase{"two files", Kind::kFile, Kind::kFile, Second::kOtherPlace, false},
        StreamsCase{"one pipe", Kind::kPipe, Kind::kPipe, Second::kSamePlace, true},
        StreamsCase{"two pipes", Kind::kPipe, Kind::kPipe, Second::kOtherPlace, false},
        StreamsCase{"one socket", Kind::kSocket, Kind::kSocket, Second::kSamePlace, true},
        StreamsCase{"a terminal and a file", Kind::kTerminal, Kind::kFile, Second::kOtherPlace,
                    false},
        StreamsCase{"a file and a pipe", Kind::kFile, Kind::kPipe, Second::kOtherPlace, false}),
    [](const testing::TestParamInfo<StreamsCase>& param) {
      std::string name = param.param.title;
      std::replace(name.begin(), name.end(), ' ', '_');
      return name;
    });

// What a file's information holds, against what was done to the file.
TEST(FileInformation, GivesAFilesSizeLinksAndTimesAndRefusesWhatIsNoFile) {
  const std::string path = testing::TempDir() + "procreport-information";
  const std::string link = path + "-link";
  unlink(path.c_str());
  unlink(link.c_str());
  const int file = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
  ASSERT_GE(file, 0);
  ASSERT_EQ(write(file, "12345", 5), 5);
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
  // 1,000,000,000 s after 1970, 12,345,678,900 ns past: FILETIME counts 100 ns from 1601.
  const struct timespec times[2] = {{1000000000, 900}, {1000000000, 123456789}};
  ASSERT_EQ(futimens(file, times), 0);
  const uint64_t written = (uint64_t{1000000000} + 11644473600u) * 10000000u + 1234567;

  const int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  BY_HANDLE_FILE_INFORMATION info = {};
  const BOOL got = GetFileInformationByHandle(GetStdHandle(STD_OUTPUT_HANDLE), &info);
  const DWORD type = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE));
  dup2(saved, STDOUT_FILENO);
  close(saved);

  ASSERT_TRUE(got) << GetLastError();
  EXPECT_EQ(type, FILE_TYPE_DISK);
  EXPECT_EQ(info.nFileSizeLow, 5u);
  EXPECT_EQ(info.nFileSizeHigh, 0u);
  EXPECT_EQ(info.nNumberOfLinks, 2u);
  EXPECT_EQ(info.dwFileAttributes, DWORD{FILE_ATTRIBUTE_NORMAL});
  EXPECT_EQ(info.ftLastWriteTime.dwLowDateTime, static_cast<DWORD>(written));
  EXPECT_EQ(info.ftLastWriteTime.dwHighDateTime, static_cast<DWORD>(written >> 32));

  // A handle that names no standard stream; a stream that is not a file; a number that names none.
  EXPECT_FALSE(GetFileInformationByHandle(reinterpret_cast<HANDLE>(0x1234), &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int savedInput = dup(STDIN_FILENO);
  dup2(ends[1], STDIN_FILENO);
  EXPECT_FALSE(GetFileInformationByHandle(GetStdHandle(STD_INPUT_HANDLE), &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(GetFileType(GetStdHandle(STD_INPUT_HANDLE)), FILE_TYPE_PIPE);
  close(STDIN_FILENO);
  EXPECT_EQ(GetStdHandle(STD_INPUT_HANDLE), nullptr);
  EXPECT_EQ(GetStdHandle(7), INVALID_HANDLE_VALUE);
  if (savedInput >= 0) {
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
  }
  close(ends[0]);
  close(ends[1]);
  close(file);
  unlink(path.c_str());
  unlink(link.c_str());
}

}  // namespace
