// Processes and files shaped to trouble the Linux layer, each with the result it
// must give.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <tlhelp32.h>

#include "capture.h"
#include "hostile_names.h"
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

void CheckNamesShownOnOneLine(bool queryAnswers) {
  const bool exact = queryAnswers || MayOpenMapFiles();
  for (const HostileName& c : HostileNames(StartedBy::kHostileProcess)) {
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
