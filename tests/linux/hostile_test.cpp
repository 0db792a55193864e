// Processes and files shaped to trouble the Linux layer, each with the result it
// must give.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <tlhelp32.h>

#include "capture.h"
#include "processes.h"
#include "report.h"
#include "report_text.h"

namespace {

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

// 0 when a process of this user whose main thread has ended is reported under
// its executable's whole name (longer than the kernel's 15-byte command name),
// with its modules.
int LeaderGoneIsReportedWhole() {
  const Sleeper sleeper("main thread gone", 0, true);
  const ParsedReport report = ParseReport(RunProgram().out);
  const std::vector<const ReportedProcess*> found = Named(report, "main thread gone");
  return found.size() == 1 && found.front()->modules.size() >= 2 &&
                 found.front()->modules[0].path == sleeper.path()
             ? 0
             : 1;
}

TEST(HostileProcess, WhoseMainThreadEndedIsReportedWithItsModules) {
  EXPECT_EQ(LeaderGoneIsReportedWhole(), 0);
  if (geteuid() != 0) {
    return;
  }
  // An ordinary user, its owner, gets it whole too.
  EXPECT_EQ(RunAsNobody(LeaderGoneIsReportedWhole), 0);

  Sleeper sleeper("leader gone", 0, true);
  // A user who may not touch the process is refused it, and its modules,
  // though its ended main thread no longer guards them.
  const auto pid = static_cast<DWORD>(sleeper.pid());
  EXPECT_EQ(RunAsNobody([pid] {
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

struct NameCase {
  const char* title;
  std::string file;   // the executable's file name
  std::string shown;  // its header name, in a field of MAX_PATH bytes
  bool deleteAfterStart;
  std::string shownModule = "";  // when cut shorter, in a field of 256 bytes
  std::string shownPath = "";    // when cut before the name's end
  std::string guessed = "";      // where neither PROCMAP_QUERY nor map_files answers
};

// The directory that each sleeper is copied into, with its slash.
const std::size_t kDirectoryLength = std::string("/tmp/procreport-test-XXXXXX/").size();

void CheckNamesShownOnOneLine(bool queryAnswers) {
  const NameCase cases[] = {
      // The kernel marks the link and the mapping of a deleted file; the mark is kept.
      {"deleted executable", "doomed", "doomed (deleted)", true},
      {"line break and spaces", "two words\nthree", "two words\\012three", false},
      {"the longest file name", std::string(255, 'y'), std::string(255, 'y'), false},
      // The kernel writes a line break in maps as \012: cut whole, in the name and in the path.
      {"a line break at the module name's end", std::string(253, 'M') + "\nz",
       std::string(253, 'M') + "\\012z", false, std::string(253, 'M')},
      {"a line break at the path's end", std::string(257 - kDirectoryLength, 'P') + "\nq",
       std::string(257 - kDirectoryLength, 'P') + "\\012q", false, "",
       std::string(257 - kDirectoryLength, 'P')},
      // Which the kernel's maps text cannot tell from a line break: asked
      // for again, or read from map_files, where that link's text leads to
      // the file. A deleted one's reaches nothing, unless the caller may
      // open the mapping itself.
      {"the kernel's escape, literally", "lit\\012x", "lit\\134012x", false},
      {"the kernel's escape, literally, deleted", "dlit\\012x", "dlit\\134012x (deleted)", true, "",
       "", "dlit\\012x (deleted)"},
  };
  const bool exact = queryAnswers || MayOpenMapFiles();
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.title);
    Sleeper sleeper(c.file);
    if (c.deleteAfterStart) {
      ASSERT_EQ(unlink(sleeper.path().c_str()), 0);
    }
    const ReportedProcess record = RecordOf(c.shown);
    ASSERT_GE(record.modules.size(), 2u);
    const std::string shown = exact || c.guessed.empty() ? c.shown : c.guessed;
    EXPECT_EQ(record.modules[0].name, c.shownModule.empty() ? shown : c.shownModule);
    // A path is cut to the record's field (MAX_PATH with its terminator).
    const std::string shownPath = c.shownPath.empty() ? shown : c.shownPath;
    EXPECT_EQ(record.modules[0].path, (sleeper.directory() + shownPath).substr(0, 259));
    EXPECT_NE(record.modules[0].size, "0");
  }
}

TEST(HostileProcess, KeepsItsRecordWithItsNameShownOnOneLine) {
  // PROCMAP_QUERY came with Linux 6.11.
  CheckNamesShownOnOneLine(KernelAtLeast(6, 11));
  // And as on kernels before PROCMAP_QUERY, where only map_files tells.
  const int result = RunWithoutNewCalls(ENOSYS, [] {
    CheckNamesShownOnOneLine(false);
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) {
    GTEST_SKIP() << "cannot take PROCMAP_QUERY away here";
  }
  EXPECT_EQ(result, 0);
}

}  // namespace
