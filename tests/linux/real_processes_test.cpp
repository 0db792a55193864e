// The whole report over this machine's real processes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "capture.h"
#include "processes.h"
#include "report.h"
#include "report_text.h"

namespace {

// The record of the one process of the report under `name`, or null.
const ReportedProcess* Only(const ParsedReport& report, const std::string& name) {
  const std::vector<const ReportedProcess*> found = Named(report, name);
  return found.size() == 1 ? found.front() : nullptr;
}

TEST(RealReport, ShowsAProcessUnderAHostileNameWithItsOwnModules) {
  // A tab would split the module line: it is shown as an octal escape, like
  // the kernel's own for a line break in maps; "%" and other bytes pass unchanged.
  const std::string name = "sleeper %s\t%n \xC3\xA9\xFF";
  const std::string shown = "sleeper %s\\011%n \xC3\xA9\xFF";
  Sleeper sleeper(name);

  const Captured run = RunProgram();

  EXPECT_EQ(run.status, 1);
  const ParsedReport report = ParseReport(run.out);
  ASSERT_TRUE(report.wellFormed) << report.fault;
  const ReportedProcess* record = Only(report, shown);
  ASSERT_NE(record, nullptr) << "no header for the sleeper";
  ASSERT_FALSE(record->modules.empty());
  const std::string directory = sleeper.path().substr(0, sleeper.path().rfind('/') + 1);
  EXPECT_EQ(record->modules[0].name, shown);
  EXPECT_EQ(record->modules[0].path, directory + shown);
  bool sawLibc = false;
  for (const ReportedModule& module : record->modules) {
    sawLibc = sawLibc || module.name == "libc.so.6";
    EXPECT_GT(std::stoull(module.size), 0u) << module.path;
  }
  EXPECT_TRUE(sawLibc);
}

TEST(RealReport, AProcessThatMayNotBeOpenedGetsItsHeaderAlone) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to become another user";
  }
  // A process that root owns and nobody may not open.
  Sleeper sleeper("owned by root");
  const int result = RunAsNobody([] {
    const Captured run = RunProgram();
    const ParsedReport report = ParseReport(run.out);
    const ReportedProcess* record = Only(report, "owned by root");
    const bool headerAlone = record != nullptr && record->modules.empty();
    const bool told =
        run.err.find("procreport: OpenProcess failed with error 5: Access is denied\n") !=
        std::string::npos;
    return run.status == 1 && headerAlone && told ? 0 : 1;
  });
  EXPECT_EQ(result, 0);
}

// The failure line that a run in place of /proc must give alone.
std::string expectedFailure;

// 0 when the report is the banner alone, with `expectedFailure`, and exit status 0.
int LeavesTheBannerAlone() {
  const Captured run = RunProgram();
  // Two banner lines, each ending in a line break, and nothing else.
  const bool bannerAlone = run.out.rfind(';', 0) == 0 && run.out.back() == '\n' &&
                           run.out.find("\n;") == run.out.find('\n') &&
                           std::count(run.out.begin(), run.out.end(), '\n') == 2;
  return run.status == 0 && bannerAlone && run.err == expectedFailure ? 0 : 1;
}

TEST(RealReport, UnderHidepidEveryListedProcessKeepsItsHeaderWithItsReason) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to mount /proc and become another user";
  }
  if (!KernelAtLeast(5, 8)) {
    GTEST_SKIP() << "before Linux 5.8 /proc's options are the whole machine's";
  }
  Sleeper sleeper("owned by root");
  static pid_t hidden;
  hidden = sleeper.pid();
  const int result = RunWithHiddenPids([] {
    const Captured run = RunProgram();
    const ParsedReport report = ParseReport(run.out);
    const ReportedProcess* record = Only(report, "/proc/" + std::to_string(hidden));
    // Every header without modules has one failure line that says why.
    const auto alone = std::count_if(report.processes.begin(), report.processes.end(),
                                     [](const ReportedProcess& p) { return p.modules.empty(); });
    const auto told = std::count(run.err.begin(), run.err.end(), '\n');
    const bool refused =
        run.err.find("procreport: OpenProcess failed with error 5: Access is denied\n") !=
        std::string::npos;
    return run.status == 1 && report.wellFormed && record != nullptr && record->modules.empty() &&
                   alone == told && refused
               ? 0
               : 1;
  });
  EXPECT_EQ(result, 0);
}

TEST(RealReport, AProcThatMayNotBeReadOrIsNoProcfsLeavesTheBannerAlone) {
  const struct {
    bool readable;
    const char* failure;
  } cases[] = {
      {false, "Access is denied"},
      // An empty directory, as in a fresh chroot: no /proc at all.
      {true, "The system cannot find the path specified"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failure);
    expectedFailure = std::string("procreport: CreateToolhelp32Snapshot (of processes) failed ") +
                      "with error " + (c.readable ? "3: " : "5: ") + c.failure + "\n";
    const int result = RunWithEmptyProc(LeavesTheBannerAlone, c.readable);
    if (result == -1) {
      GTEST_SKIP() << "needs root, to hide /proc";
    }
    EXPECT_EQ(result, 0);
  }
}

TEST(RealReport, AProcessGoneBetweenSnapshotAndOpenKeepsItsEntry) {
  Sleeper sleeper("short lived");
  const DWORD pid = static_cast<DWORD>(sleeper.pid());
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  sleeper.Stop();

  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == pid) {
      found = true;
      EXPECT_STREQ(entry.szExeFile, "short lived");
      EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid), nullptr);
      EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
      EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid), INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_TRUE(CloseHandle(snapshot));
}

}  // namespace
