// Processes and files shaped to trouble the Linux layer, each with the result it
// must give.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <tlhelp32.h>

#include "capture.h"
#include "processes.h"
#include "report.h"
#include "report_text.h"

namespace {

std::string DirectoryOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The one record of the report under `shown`, after checking the report's shape.
ReportedProcess RecordOf(const std::string& shown) {
  const Captured run = RunProgram();
  EXPECT_EQ(run.status, 1);
  const ParsedReport report = ParseReport(run.out);
  EXPECT_TRUE(report.wellFormed) << report.fault;
  const std::vector<const ReportedProcess*> found = Named(report, shown);
  EXPECT_EQ(found.size(), 1u) << shown;
  return found.empty() ? ReportedProcess{} : *found.front();
}

TEST(HostileProcess, WhoseMainThreadEndedIsReportedWithItsModules) {
  Sleeper sleeper("leader gone", 0, true);
  const ReportedProcess record = RecordOf("leader gone");
  ASSERT_GE(record.modules.size(), 2u);
  EXPECT_EQ(record.modules[0].path, sleeper.path());

  // A user who may not touch the process is refused it, and its modules,
  // though its ended main thread no longer guards them.
  if (geteuid() == 0) {
    static DWORD pid;
    pid = static_cast<DWORD>(sleeper.pid());
    EXPECT_EQ(RunAsNobody([] {
                const bool opened = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid) != nullptr;
                const DWORD openError = GetLastError();
                const bool listed =
                    CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid) != INVALID_HANDLE_VALUE;
                const DWORD listError = GetLastError();
                return !opened && openError == ERROR_ACCESS_DENIED && !listed &&
                               listError == ERROR_ACCESS_DENIED
                           ? 0
                           : 1;
              }),
              0);
  }
}

struct NameCase {
  const char* title;
  std::string file;   // the executable's file name
  std::string shown;  // its header and module name
  bool deleteAfterStart;
};

TEST(HostileProcess, KeepsItsRecordWithItsNameShownOnOneLine) {
  const NameCase cases[] = {
      // The kernel marks the link and the mapping of a deleted file; the mark is kept.
      {"deleted executable", "doomed", "doomed (deleted)", true},
      {"line break and spaces", "two words\nthree", "two words\\012three", false},
      {"the longest file name", std::string(255, 'y'), std::string(255, 'y'), false},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.title);
    Sleeper sleeper(c.file);
    if (c.deleteAfterStart) {
      ASSERT_EQ(unlink(sleeper.path().c_str()), 0);
    }
    const ReportedProcess record = RecordOf(c.shown);
    ASSERT_GE(record.modules.size(), 2u);
    EXPECT_EQ(record.modules[0].name, c.shown);
    // A path is cut to the record's field (MAX_PATH with its terminator).
    EXPECT_EQ(record.modules[0].path, (DirectoryOf(sleeper.path()) + c.shown).substr(0, 259));
    EXPECT_NE(record.modules[0].size, "0");
  }
}

// Files mapped executable into this process, unmapped and removed at the end.
class MappedFiles {
 public:
  MappedFiles() {
    char pattern[] = "/tmp/procreport-maps-XXXXXX";
    directory_ = mkdtemp(pattern) != nullptr ? pattern : "";
  }
  ~MappedFiles() {
    for (const Mapping& mapping : mappings_) {
      munmap(mapping.address, mapping.size);
      unlink(mapping.path.c_str());
    }
    rmdir(directory_.c_str());
  }
  MappedFiles(const MappedFiles&) = delete;
  MappedFiles& operator=(const MappedFiles&) = delete;

  // Maps a new file of `size` bytes for reading and executing; false if refused.
  bool Map(const std::string& name, uint64_t size) {
    const std::string path = directory_ + "/" + name;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
      return false;
    }
    void* address = mmap(nullptr, size, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0);
    close(fd);
    if (address == MAP_FAILED) {
      unlink(path.c_str());
      return false;
    }
    mappings_.push_back({path, address, size});
    return true;
  }

  const std::string& directory() const { return directory_; }

  // The paths in address order.
  std::vector<std::string> PathsByAddress() const {
    std::vector<Mapping> sorted = mappings_;
    std::sort(sorted.begin(), sorted.end(),
              [](const Mapping& a, const Mapping& b) { return a.address < b.address; });
    std::vector<std::string> paths;
    for (const Mapping& mapping : sorted) {
      paths.push_back(mapping.path);
    }
    return paths;
  }

 private:
  struct Mapping {
    std::string path;
    void* address;
    std::size_t size;
  };
  std::string directory_;
  std::vector<Mapping> mappings_;
};

// This process's modules from the given directory, in the snapshot's order.
std::vector<MODULEENTRY32> OwnModulesFrom(const std::string& directory) {
  std::vector<MODULEENTRY32> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
  MODULEENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry)) {
    if (std::string(entry.szExePath).rfind(directory + "/", 0) == 0) {
      found.push_back(entry);
    }
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  CloseHandle(snapshot);
  return found;
}

TEST(HostileMapping, HundredsOfModulesAreAllListedInAddressOrder) {
  constexpr int kModules = 300;
  constexpr uint64_t kPage = 4096;
  MappedFiles files;
  for (int i = 0; i < kModules; ++i) {
    ASSERT_TRUE(files.Map("module-" + std::to_string(i) + ".so", kPage)) << i;
  }
  const std::vector<MODULEENTRY32> modules = OwnModulesFrom(files.directory());
  std::vector<std::string> listed;
  for (const MODULEENTRY32& module : modules) {
    listed.push_back(module.szExePath);
    EXPECT_EQ(module.modBaseSize, kPage) << module.szExePath;
  }
  EXPECT_EQ(listed, files.PathsByAddress());
}

}  // namespace
