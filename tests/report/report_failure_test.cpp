// The failure reporter over the double's FormatMessageA. How the text is cut
// is checked in full by tests/fuzz/clean_error_text_fuzzer.cpp against a
// model, over its seeds first; these are what its seeds do not hold, and what
// the reporter's own buffer does.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "capture.h"
#include "report.h"
#include "test_world.h"

namespace {

// The largest code: it is shown unsigned.
constexpr DWORD kCode = 0xFFFFFFFFu;

struct TextCase {
  const char* title;
  std::string platformText;  // as FormatMessageA stores it
  std::string shown;         // what follows "failed with error 4294967295" on standard error
};

std::vector<TextCase> Cases() {
  return {
      {"leading blanks stay, trailing mix goes", "\tA\tB \t.. \t\r\n", ": \tA\tB"},
      {"a line break alone ends the line", "First\nSecond", ": First"},
      {"leading line break gives the code alone", "\r\nHidden second line.\r\n", ""},
      {"text filling the buffer without terminator", std::string(300, 'a'),
       ": " + std::string(255, 'a')},
      {"fillers at the cut are stripped", std::string(254, 'a') + "..",
       ": " + std::string(254, 'a')},
  };
}

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.title; }

class FailureText : public testing::TestWithParam<TextCase> {};

TEST_P(FailureText, IsCutToOneCleanLine) {
  fake::World world;
  world.messages[kCode] = GetParam().platformText;
  fake::Reset(world);
  fake::SetLastError(kCode);

  const Captured run = Capture([] {
    ReportFailure("Module32First");
    return 0;
  });

  EXPECT_EQ(run.err,
            "procreport: Module32First failed with error 4294967295" + GetParam().shown + "\n");
}

INSTANTIATE_TEST_SUITE_P(FailureTexts, FailureText, testing::ValuesIn(Cases()), TitleName());

// Standard output and standard error as the system's handles tell them apart.
struct DestinationCase {
  const char* title;
  fake::Stream out;
  fake::Stream err;
  bool shared;
  std::vector<fake::Fault> faults = {};
  bool hasCompareObjectHandles = true;
};

void PrintTo(const DestinationCase& c, std::ostream* os) { *os << c.title; }

fake::Stream With(fake::Stream stream, void (*change)(fake::Stream&)) {
  change(stream);
  return stream;
}

std::vector<DestinationCase> Destinations() {
  using fake::Op;
  const auto otherObject = [](fake::Stream& s) { s.object = 10; };
  return {
      {"one console", kConsoleOut, kConsoleErr, true},
      {"one file through one object", kFileOut, kFileErr, true},
      {"one file opened twice", kFileOut, With(kFileErr, otherObject), true},
      {"the same index on two volumes", kFileOut,
       With(kFileErr, [](fake::Stream& s) { s.volume = 0xBEEF, s.object = 10; }), false},
      {"two files on one volume", kFileOut,
       With(kFileErr, [](fake::Stream& s) { s.fileIndex = 43, s.object = 10; }), false},
      {"one pipe", kPipeOut, kPipeErr, true},
      {"two pipes", kPipeOut, With(kPipeErr, otherObject), false},
      {"one pipe where the system cannot tell", kPipeOut, kPipeErr, false, {}, false},
      {"one null device", With(kConsoleOut, [](fake::Stream& s) { s.console = false; }),
       With(kConsoleErr, [](fake::Stream& s) { s.console = false; }), true},
      {"a console and a file", kConsoleOut, With(kFileErr, otherObject), false},
      {"a pipe and a file of one number", With(kPipeOut, [](fake::Stream& s) { s.object = 9; }),
       kFileErr, false},
      {"one handle for both", kFileOut, With(kFileErr, [](fake::Stream& s) { s.handle = kOut; }),
       true},
      {"no standard error", kFileOut, With(kFileErr, [](fake::Stream& s) { s.handle = 0; }), false},
      // A failed query counts the two as apart, unless another way tells.
      {"standard handle unknown",
       kFileOut,
       kFileErr,
       false,
       {{Op::kGetStdHandle, 2, ERROR_INVALID_HANDLE}}},
      {"file type unknown",
       kFileOut,
       kFileErr,
       false,
       {{Op::kGetFileType, 1, ERROR_ACCESS_DENIED}}},
      {"file information refused",
       kFileOut,
       kFileErr,
       false,
       {{Op::kGetFileInformationByHandle, 2, ERROR_ACCESS_DENIED}}},
      {"console mode refused, the object tells",
       kConsoleOut,
       kConsoleErr,
       true,
       {{Op::kGetConsoleMode, 2, ERROR_ACCESS_DENIED}}},
      {"no kernelbase",
       kPipeOut,
       kPipeErr,
       false,
       {{Op::kGetModuleHandleA, 0, ERROR_MOD_NOT_FOUND}}},
      {"lookup refused",
       kPipeOut,
       kPipeErr,
       false,
       {{Op::kGetProcAddress, 0, ERROR_ACCESS_DENIED}}},
      {"comparison refused",
       kPipeOut,
       kPipeErr,
       false,
       {{Op::kCompareObjectHandles, 0, ERROR_ACCESS_DENIED}}},
  };
}

class FailureDestination : public testing::TestWithParam<DestinationCase> {};

// Sharing, the report written so far goes out first and the failure line
// starts a line of its own; apart, each stream keeps its usual bytes.
TEST_P(FailureDestination, DecidesWhereTheLineStarts) {
  const DestinationCase& c = GetParam();
  fake::World world = ThreeProcesses();
  world.out = c.out;
  world.err = c.err;
  world.faults = c.faults;
  world.hasCompareObjectHandles = c.hasCompareObjectHandles;
  fake::Reset(world);
  fake::SetLastError(ERROR_ACCESS_DENIED);

  // Whether the whole header was written out before the failure line: the
  // Windows C runtime may write the line breaks at its start on their own.
  bool reportWentFirst = false;
  const Captured run = Capture([&reportWentFirst] {
    // Buffered as the program buffers it; the Windows C runtime would write each call at once.
    char buffer[1024];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    std::printf("%s", Header("services.exe").c_str());
    ReportFailure("OpenProcess");
    struct stat written = {};
    reportWentFirst = fstat(fileno(stdout), &written) == 0 &&
                      static_cast<std::size_t>(written.st_size) >= Header("services.exe").size();
    std::fflush(stdout);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return 0;
  });

  const std::string line = "procreport: OpenProcess failed with error 5: Access is denied";
  EXPECT_EQ(run.err, c.shared ? "\n" + line : line + "\n");
  EXPECT_EQ(run.out, Header("services.exe"));
  EXPECT_EQ(reportWentFirst, c.shared);
  EXPECT_EQ(fake::BadCloses(), 0) << "a standard handle was closed";
  ASSERT_FALSE(fake::Calls().empty());
  EXPECT_EQ(fake::Calls().front().op, fake::Op::kGetLastError) << "the code was not read first";
}

INSTANTIATE_TEST_SUITE_P(FailureDestinations, FailureDestination, testing::ValuesIn(Destinations()),
                         TitleName());

}  // namespace
