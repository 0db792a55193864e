// The whole report over this machine's real processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "capture.h"
#include "hostile_names.h"
#include "processes.h"
#include "report.h"
#include "report_text.h"
#include "stalled_fuse.h"

namespace {

// The record of the one process of the report under `name`, or null.
const ReportedProcess* Only(const ParsedReport& report, const std::string& name) {
  const std::vector<const ReportedProcess*> found = Named(report, name);
  return found.size() == 1 ? found.front() : nullptr;
}

TEST(RealReport, ShowsAProcessUnderAHostileNameWithItsOwnModules) {
  for (const HostileName& name : HostileNames(StartedBy::kRealReport)) {
    SCOPED_TRACE(name.title);
    const std::string& shown = name.shown;
    Sleeper sleeper(name.file);

    const Captured run = RunProgram();

    EXPECT_EQ(run.status, 1);
    const ParsedReport report = ParseReport(run.out);
    ASSERT_TRUE(report.wellFormed) << report.fault;
    const ReportedProcess* record = Only(report, shown);
    ASSERT_NE(record, nullptr) << "no header for the sleeper";
    ASSERT_FALSE(record->modules.empty());
    EXPECT_EQ(record->modules[0].name, shown);
    EXPECT_EQ(record->modules[0].path, sleeper.directory() + shown);
    bool sawLibc = false;
    for (const ReportedModule& module : record->modules) {
      sawLibc = sawLibc || module.name == "libc.so.6";
      EXPECT_GT(std::stoull(module.size), 0u) << module.path;
    }
    EXPECT_TRUE(sawLibc);
  }
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

// 0 when the report is the banner alone, with `expectedFailure` the one
// failure line, and exit status 0.
int LeavesTheBannerAlone(const std::string& expectedFailure) {
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
  // Root's, under a name of its own: the test above, which CTest may run
  // beside this one, looks for the one process named "owned by root".
  Sleeper sleeper("hidden by hidepid");
  const pid_t hidden = sleeper.pid();
  const int result = RunWithHiddenPids([hidden] {
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
    const std::string failure =
        std::string("procreport: CreateToolhelp32Snapshot (of processes) ") + "failed with error " +
        (c.readable ? "3: " : "5: ") + c.failure + "\n";
    const int result = RunWithEmptyProc([&] { return LeavesTheBannerAlone(failure); }, c.readable);
    if (result == -1) {
      GTEST_SKIP() << "needs root, to hide /proc";
    }
    EXPECT_EQ(result, 0);
  }
}

// The whole program, its standard output and error each a pipe that this
// process reads to its end, for at most `most`: what it wrote, its exit
// status (-1 where the pipes' ends did not come in time), and how long they took.
struct PipedRun {
  std::string out;
  int status = -1;
  std::chrono::steady_clock::duration took{};
};
PipedRun RunThroughPipes(std::chrono::seconds most) {
  int out[2];
  int err[2];
  PipedRun run;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return run;
  }
  const auto began = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    _exit(CallMain());
  }
  close(out[1]);
  close(err[1]);
  pollfd ends[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  bool timely = true;
  while (timely && (ends[0].fd >= 0 || ends[1].fd >= 0)) {
    const auto left = most - (std::chrono::steady_clock::now() - began);
    timely = poll(ends, 2,
                  static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count())) > 0;
    for (pollfd& end : ends) {
      char chunk[65536];
      const ssize_t count = timely && end.revents != 0 ? read(end.fd, chunk, sizeof chunk) : 0;
      if (end.fd == out[0] && count > 0) {
        run.out.append(chunk, static_cast<std::size_t>(count));
      }
      end.fd = count == 0 && end.revents != 0 ? -1 : end.fd;
    }
  }
  run.took = std::chrono::steady_clock::now() - began;
  close(out[0]);
  close(err[0]);
  if (!timely) {
    // It may wait where no signal reaches, until the file systems go.
    kill(child, SIGKILL);
    return run;
  }
  int status = 0;
  waitpid(child, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(RealReport, AFileSystemThatDoesNotAnswerHoldsTheReportOnlyWithinItsBound) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to mount a FUSE file system";
  }
  const StalledFuse reads(StalledFuse::kReads);
  const StalledFuse attributes(StalledFuse::kRootsAttributes);
  for (const StalledFuse* stalled : {&reads, &attributes}) {
    if (!stalled->skipped().empty()) {
      GTEST_SKIP() << stalled->skipped();
    }
  }
  // Another user's process maps each file executable, anonymous memory after it.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t mapper = fork();
  if (mapper == 0) {
    dup2(ready[1], 3);
    syscall(SYS_close_range, 4u, ~0u, 0u);  // the FUSE devices among them
    const long page = sysconf(_SC_PAGESIZE);
    bool mapped = BecomeNobody() && prctl(PR_SET_DUMPABLE, 1) == 0;
    for (const std::string& file : {reads.file(), attributes.file()}) {
      const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
      char* at =
          static_cast<char*>(mmap(nullptr, 4 * static_cast<std::size_t>(page),
                                  PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
      mapped = mapped && fd >= 0 && at != MAP_FAILED &&
               mmap(at, static_cast<std::size_t>(page), PROT_READ | PROT_EXEC,
                    MAP_PRIVATE | MAP_FIXED, fd, 0) != MAP_FAILED;
    }
    (void)!write(3, mapped ? "!" : "?", 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char said = 0;
  EXPECT_EQ(read(ready[0], &said, 1), 1);
  close(ready[0]);
  EXPECT_EQ(said, '!');

  // The reads are held until the file systems go: a report that waited on
  // them would not end within the two minutes given.
  const PipedRun run = RunThroughPipes(std::chrono::seconds(120));
  kill(mapper, SIGKILL);
  waitpid(mapper, nullptr, 0);
  ASSERT_NE(run.status, -1) << "the report's output did not end";
  std::printf("the report's output ended after %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(run.took).count()));
  const ParsedReport report = ParseReport(run.out);
  ASSERT_TRUE(report.wellFormed) << report.fault;
  const std::vector<const ReportedProcess*> found = Named(report, "linux_layer_tests");
  const auto record = std::find_if(found.begin(), found.end(), [](const ReportedProcess* p) {
    return std::any_of(p->modules.begin(), p->modules.end(),
                       [](const ReportedModule& m) { return m.name == "lib.so"; });
  });
  ASSERT_NE(record, found.end()) << "the mapping process is not listed with its files";
  // Each keeps the size of its mapping: one page.
  std::vector<std::string> sizes;
  for (const ReportedModule& module : (*record)->modules) {
    if (module.name == "lib.so") {
      sizes.push_back(module.size);
    }
  }
  EXPECT_EQ(sizes, std::vector<std::string>(2, std::to_string(sysconf(_SC_PAGESIZE))));
}

TEST(RealReport, AProcessGoneBetweenSnapshotAndOpenKeepsItsEntry) {
  Sleeper sleeper("short lived");
  const DWORD pid = static_cast<DWORD>(sleeper.pid());
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  sleeper.Stop();

  bool found = false;
  for (const PROCESSENTRY32& entry : ProcessesIn(snapshot)) {
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
