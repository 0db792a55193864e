// Processes and files shaped to trouble the Linux layer, each with the result it
// must give.
#include <gtest/gtest.h>

#include <unistd.h>

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

}  // namespace
