// The process snapshot against this machine's real processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "proc_text.h"
#include "processes.h"

namespace {

TEST(ProcessSnapshot, ListsEveryProcessInAscendingOrderWithTrueFields) {
  const std::vector<PROCESSENTRY32> entries = AllProcesses();
  ASSERT_FALSE(entries.empty());
  for (std::size_t i = 1; i < entries.size(); ++i) {
    EXPECT_LT(entries[i - 1].th32ProcessID, entries[i].th32ProcessID);
  }
  const PROCESSENTRY32* self = nullptr;
  for (const PROCESSENTRY32& entry : entries) {
    EXPECT_EQ(entry.dwSize, sizeof entry);
    EXPECT_LT(std::strlen(entry.szExeFile), sizeof entry.szExeFile);
    if (entry.th32ProcessID == static_cast<DWORD>(getpid())) {
      self = &entry;
    }
  }
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->szExeFile, BaseName(OwnExecutable()));
  EXPECT_EQ(self->th32ParentProcessID, static_cast<DWORD>(getppid()));
  EXPECT_EQ(self->pcPriClassBase, procfs::BasePriorityOf(PriorityClassNow(getpid())));
  EXPECT_EQ(self->cntThreads, static_cast<DWORD>(OwnStatus("Threads:")));
}

// Takes a process snapshot with `left` descriptors to spare: 0 when it lists
// this process, its parent, init and `leaderless`, whose main thread has ended,
// under its whole name; 1 when it fails with 4; 2 when anything else.
const char kLeaderlessName[] = "a long name, led by none";
int SnapshotWithDescriptorsLeft(int left, DWORD leaderless) {
  const int any = open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::vector<int> taken = {any};
  for (int fd; any >= 0 && (fd = dup(any)) >= 0;) {
    taken.push_back(fd);
  }
  for (int i = 0; i < left && !taken.empty(); ++i) {
    close(taken.back());
    taken.pop_back();
  }
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_TOO_MANY_OPEN_FILES ? 1 : 2;
  }
  std::vector<DWORD> expected = {1, static_cast<DWORD>(getppid()), static_cast<DWORD>(getpid()),
                                 leaderless};
  for (const PROCESSENTRY32& entry : ProcessesIn(snapshot)) {
    if (entry.th32ProcessID != leaderless || std::strcmp(entry.szExeFile, kLeaderlessName) == 0) {
      expected.erase(std::remove(expected.begin(), expected.end(), entry.th32ProcessID),
                     expected.end());
    }
  }
  return CloseHandle(snapshot) && expected.empty() ? 0 : 2;
}

TEST(ProcessSnapshot, WhereDescriptorsRunOutFailsWithTooManyOpenFilesOrListsEveryProcess) {
  // Never a list with processes left out, nor a name cut short. Given 300,
  // the snapshot holds a directory for each process until it runs out, then
  // gives them back. One spare takes the listing; a process, two at once; one
  // whose main thread has ended, four, since its executable's link is read
  // through a live thread.
  const Sleeper sleeper(kLeaderlessName, 0, true);
  const auto leaderless = static_cast<DWORD>(sleeper.pid());
  const struct {
    int most, left, result;
  } cases[] = {{64, 0, 1}, {64, 2, 1}, {64, 3, 1}, {64, 4, 0}, {300, 4, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(RunWithFewDescriptors([&] { return SnapshotWithDescriptorsLeft(c.left, leaderless); },
                                    c.most),
              c.result)
        << c.most << " descriptors, " << c.left << " left";
  }
}

}  // namespace
