// The thread snapshot against the threads of this process and of its parent.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <map>

#include "proc_text.h"
#include "processes.h"

namespace {

TEST(ThreadSnapshot, ListsEveryThreadWithItsOwnerAndBasePriority) {
  const DWORD mainThread = static_cast<DWORD>(syscall(SYS_gettid));
  const LiveThread thread;
  const DWORD otherThread = thread.id();
  ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(otherThread), 19), 0);

  // Taken with the processes, it holds both.
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  bool sawProcess = false;
  for (const PROCESSENTRY32& process : ProcessesIn(snapshot)) {
    sawProcess = sawProcess || process.th32ProcessID == static_cast<DWORD>(getpid());
  }
  EXPECT_TRUE(sawProcess);
  std::map<DWORD, THREADENTRY32> mine;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  bool sawParentThread = false;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    sawParentThread = sawParentThread || entry.th32OwnerProcessID == static_cast<DWORD>(getppid());
    if (entry.th32OwnerProcessID == static_cast<DWORD>(getpid())) {
      mine[entry.th32ThreadID] = entry;
    }
  }
  EXPECT_TRUE(CloseHandle(snapshot));
  EXPECT_TRUE(sawParentThread);
  ASSERT_EQ(mine.count(mainThread), 1u);
  ASSERT_EQ(mine.count(otherThread), 1u);
  EXPECT_EQ(mine[mainThread].tpBasePri, procfs::BasePriorityOf(PriorityClassNow(getpid())));
  EXPECT_EQ(mine[otherThread].tpBasePri, 4);  // nice 19: idle
  EXPECT_EQ(mine[otherThread].tpDeltaPri, 0);
}

}  // namespace
