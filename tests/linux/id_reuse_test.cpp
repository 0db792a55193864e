// A process id that passes to another process. These tests make the kernel
// hand an id out again at once (root only), which would trouble any test that
// runs beside them and holds an id of a process that has ended: CTest runs
// them alone.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>

#include <memory>

#include <tlhelp32.h>

#include "processes.h"
#include "report.h"

namespace {

// Opens a process, lets it end, and has another process take its id: the
// handle must still refer to the first one. 0 when it does, 1 when it does
// not, 2 when the id could not be handed to another process here.
int HandleOutlivesItsId() {
  auto first = std::make_unique<Sleeper>("first holder");
  const pid_t pid = first->pid();
  HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) {
    return 1;
  }
  // Start times count in clock ticks: let the first one's age show.
  usleep(50000);
  first.reset();
  const DWORD gone = GetPriorityClass(process);
  const DWORD goneError = GetLastError();
  const Sleeper second("second holder", pid);
  const bool reused = second.pid() == pid;
  const DWORD afterReuse = GetPriorityClass(process);
  const DWORD afterReuseError = GetLastError();
  const bool closed = CloseHandle(process) != FALSE;
  if (gone != 0 || goneError != ERROR_INVALID_PARAMETER || !closed) {
    return 1;
  }
  if (!reused) {
    return 2;
  }
  return afterReuse == 0 && afterReuseError == ERROR_INVALID_PARAMETER ? 0 : 1;
}

TEST(OpenProcess, TheHandleHoldsThatProcessEvenWhenItsIdIsTaken) {
  const int result = HandleOutlivesItsId();
  if (result == 2) {
    GTEST_SKIP() << "cannot choose the next process id here";
  }
  EXPECT_EQ(result, 0);
}

// Each check that fails sets its own bit of the child's exit status.
int OpenWithoutPidfds() {
  int failed = 0;
  // Listed, whether a process is still there is asked of its directory.
  auto listed = std::make_unique<Sleeper>("listed");
  const auto listedId = static_cast<DWORD>(listed->pid());
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  HANDLE self = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(getpid()));
  failed |= self == nullptr || GetPriorityClass(self) == 0 || !CloseHandle(self) ? 1 : 0;
  listed.reset();
  failed |= OpenProcess(PROCESS_ALL_ACCESS, FALSE, listedId) != nullptr ||
                    GetLastError() != ERROR_INVALID_PARAMETER || !CloseHandle(snapshot)
                ? 2
                : 0;
  return failed;
}

TEST(OpenProcess, WorksWhereTheKernelHasNoPidfds) {
  // Missing from the kernel, or forbidden by a call filter.
  for (const int error : {ENOSYS, EPERM}) {
    const int result = RunWithoutNewCalls(error, OpenWithoutPidfds);
    if (result == -1) {
      GTEST_SKIP() << "cannot take pidfd_send_signal away here";
    }
    EXPECT_EQ(result, 0) << "failed checks, as bits, with errno " << error;
  }
}

void CheckLaterHolderIsNotReportedForTheFirst() {
  Sleeper first("first holder");
  const pid_t pid = first.pid();
  HANDLE before = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(before, INVALID_HANDLE_VALUE);
  first.Stop();
  // Start times count in clock ticks (10 ms): the kernel hands an id out again
  // only after all others, never within a tick, but asked for it here, it would.
  usleep(30000);
  Sleeper second("second holder", pid);
  if (second.pid() != pid) {
    CloseHandle(before);
    GTEST_SKIP() << "the kernel would not hand out the same id again (needs root)";
  }
  const DWORD id = static_cast<DWORD>(pid);

  // The snapshot listed the first holder. OpenProcess opens whatever holds
  // the id, as on Windows; but the second holder's modules must not be handed
  // out for the first one's entry.
  HANDLE opened = OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
  EXPECT_NE(opened, nullptr);
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, id), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A snapshot that lists the second holder, or none at all, opens it.
  for (const bool withNewSnapshot : {true, false}) {
    SCOPED_TRACE(withNewSnapshot ? "a later snapshot lists it" : "no snapshot lists the id");
    HANDLE after = withNewSnapshot ? CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0) : nullptr;
    if (!withNewSnapshot) {
      EXPECT_TRUE(CloseHandle(before));
    }
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
    EXPECT_NE(process, nullptr);
    EXPECT_TRUE(CloseHandle(process));
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, id);
    ASSERT_NE(modules, INVALID_HANDLE_VALUE);
    MODULEENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    EXPECT_TRUE(Module32First(modules, &entry));
    EXPECT_STREQ(entry.szModule, "second holder");
    EXPECT_TRUE(CloseHandle(modules));
    if (withNewSnapshot) {
      EXPECT_TRUE(CloseHandle(after));
    }
  }
}

TEST(ReusedId, GivesNoModulesOfALaterHolderWhileASnapshotListsTheFirst) {
  CheckLaterHolderIsNotReportedForTheFirst();
  // Where the snapshot cannot hold a directory for each process, the start
  // time tells the holders apart.
  EXPECT_EQ(RunWithFewDescriptors([] {
              CheckLaterHolderIsNotReportedForTheFirst();
              return testing::Test::HasFailure() ? 1 : 0;
            }),
            0);
}

}  // namespace
