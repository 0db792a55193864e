// OpenProcess and what its handle tells, against real processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "processes.h"

namespace {

TEST(OpenProcess, ReadsThePriorityClassFromNiceAndPolicy) {
  struct Case {
    int nice;
    DWORD priorityClass;
  };
  const Case cases[] = {{19, IDLE_PRIORITY_CLASS},         {15, IDLE_PRIORITY_CLASS},
                        {14, BELOW_NORMAL_PRIORITY_CLASS}, {5, BELOW_NORMAL_PRIORITY_CLASS},
                        {4, NORMAL_PRIORITY_CLASS},        {-4, NORMAL_PRIORITY_CLASS},
                        {-5, ABOVE_NORMAL_PRIORITY_CLASS}, {-14, ABOVE_NORMAL_PRIORITY_CLASS},
                        {-15, HIGH_PRIORITY_CLASS},        {-20, HIGH_PRIORITY_CLASS}};
  Sleeper sleeper("niced");
  for (const Case& c : cases) {
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(sleeper.pid()), c.nice) != 0) {
      GTEST_SKIP() << "may not set nice " << c.nice << " here";
    }
    // Read by the handle, and by a snapshot that lists the process.
    for (const bool listed : {false, true}) {
      HANDLE snapshot = listed ? CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0) : nullptr;
      HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(sleeper.pid()));
      ASSERT_NE(process, nullptr);
      EXPECT_EQ(GetPriorityClass(process), c.priorityClass) << "nice " << c.nice << " " << listed;
      EXPECT_TRUE(CloseHandle(process));
      EXPECT_TRUE(!listed || CloseHandle(snapshot));
    }
  }
  sched_param realTime = {};
  realTime.sched_priority = 1;
  if (sched_setscheduler(sleeper.pid(), SCHED_FIFO, &realTime) == 0) {
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(sleeper.pid()));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(GetPriorityClass(process), REALTIME_PRIORITY_CLASS);
    EXPECT_TRUE(CloseHandle(process));
  }
}

TEST(OpenProcess, OpensNothingForWriting) {
  // Full access is the right to read the memory map: granted where every
  // open for writing is refused (as Yama refuses attaching).
  const int result = RunWithoutOpeningForWriting([] {
    HANDLE self = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(getpid()));
    return self != nullptr && GetPriorityClass(self) != 0 && CloseHandle(self) ? 0 : 1;
  });
  if (result == -1) {
    GTEST_SKIP() << "cannot refuse opening for writing here";
  }
  EXPECT_EQ(result, 0);
}

TEST(OpenProcessAndModuleSnapshot, FailWithInvalidParameterForWhatIsNoProcess) {
  const LiveThread thread;
  const DWORD liveThread = thread.id();
  for (const DWORD pid : {DWORD{0}, static_cast<DWORD>(GoneProcessId()), liveThread}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid), nullptr) << pid;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << pid;
    if (pid != 0) {  // 0 names this process for a module snapshot
      SetLastError(ERROR_SUCCESS);
      EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid), INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << pid;
    }
  }
}

TEST(OpenProcess, AndModulesAreRefusedWithAccessDeniedWithoutTheRightToTheMemory) {
  const pid_t target = getpid();
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to become another user";
  }
  // One of root's that has ended, not yet reaped: gone (87), not refused.
  const pid_t zombie = fork();
  if (zombie == 0) {
    _exit(0);
  }
  siginfo_t info;
  waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT);
  // One of root's that ends after the snapshot, on a byte from `endNow`;
  // `ended` closes when it has, with its memory. Without memory its maps open
  // for anyone: it must not be opened for that.
  int endNow[2];
  int ended[2];
  ASSERT_EQ(pipe2(endNow, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(ended, O_CLOEXEC), 0);
  const pid_t ending = fork();
  if (ending == 0) {
    char byte = 0;
    _exit(read(endNow[0], &byte, 1) == 1 ? 0 : 1);
  }
  close(ended[1]);
  const int result = RunAsNobody([&] {
    int failed = 0;
    // By id alone, and listed by a snapshot, which tells the refusal itself.
    for (const bool listed : {false, true}) {
      HANDLE snapshot = listed ? CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0) : nullptr;
      HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(target));
      const bool openRefused = process == nullptr && GetLastError() == ERROR_ACCESS_DENIED;
      HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, static_cast<DWORD>(target));
      const bool mapsRefused =
          modules == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED;
      const bool zombieGone =
          OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(zombie)) == nullptr &&
          GetLastError() == ERROR_INVALID_PARAMETER;
      failed |= ((openRefused ? 0 : 1) | (mapsRefused ? 0 : 2) | (zombieGone ? 0 : 4))
                << (listed ? 3 : 0);
      if (listed) {
        char byte = 0;
        const bool ends = write(endNow[1], "!", 1) == 1 && read(ended[0], &byte, 1) == 0;
        failed |=
            !ends || OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(ending)) != nullptr
                ? 64
                : 0;
        CloseHandle(snapshot);
      }
    }
    return failed;
  });
  waitpid(zombie, nullptr, 0);
  kill(ending, SIGKILL);
  waitpid(ending, nullptr, 0);
  for (const int fd : {endNow[0], endNow[1], ended[0]}) {
    close(fd);
  }
  EXPECT_EQ(result, 0);
}

}  // namespace
