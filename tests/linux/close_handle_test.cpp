// CloseHandle: what it refuses, and that it gives every descriptor back.
#include <gtest/gtest.h>

#include <unistd.h>

#include "processes.h"

namespace {

TEST(CloseHandle, RefusesWhatIsNotAnOpenHandle) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(getpid()));
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  ASSERT_NE(process, nullptr);

  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  EXPECT_FALSE(Process32First(process, &entry));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetPriorityClass(snapshot), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  EXPECT_TRUE(CloseHandle(snapshot));
  EXPECT_TRUE(CloseHandle(process));
  for (HANDLE bad : {snapshot, process, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                     reinterpret_cast<HANDLE>(0x12345678)}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  EXPECT_FALSE(Process32Next(snapshot, &entry));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(CloseHandle, LeavesNoDescriptorBehind) {
  const int before = OpenDescriptors();
  for (int i = 0; i < 50; ++i) {
    // Opened both alone and through the directory of a snapshot closed before it.
    HANDLE alone = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(getpid()));
    HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, 0);
    HANDLE listed = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(getpid()));
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    CloseHandle(alone);
    CloseHandle(processes);
    EXPECT_EQ(GetPriorityClass(listed), PriorityClassNow(getpid()));
    CloseHandle(listed);
    CloseHandle(modules);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
