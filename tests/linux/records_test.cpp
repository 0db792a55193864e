// The toolhelp calls' records: a size that is not the record's own is refused.
#include <gtest/gtest.h>

#include <functional>

#include <windows.h>
#include <tlhelp32.h>

namespace {

TEST(Records, AWrongSizeIsRefusedWithBadLength) {
  HANDLE all = CreateToolhelp32Snapshot(
      TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD | TH32CS_SNAPMODULE | TH32CS_INHERIT, 0);
  ASSERT_NE(all, INVALID_HANDLE_VALUE);
  for (const DWORD delta : {DWORD{1}, DWORD{4}, ~DWORD{0}}) {
    PROCESSENTRY32 process = {};
    process.dwSize = sizeof process + delta;
    MODULEENTRY32 module = {};
    module.dwSize = sizeof module + delta;
    THREADENTRY32 thread = {};
    thread.dwSize = sizeof thread + delta;
    const std::function<BOOL()> calls[] = {
        [&] { return Process32First(all, &process); }, [&] { return Process32Next(all, &process); },
        [&] { return Module32First(all, &module); },   [&] { return Module32Next(all, &module); },
        [&] { return Thread32First(all, &thread); },   [&] { return Thread32Next(all, &thread); }};
    for (const auto& call : calls) {
      SetLastError(ERROR_SUCCESS);
      EXPECT_FALSE(call());
      EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
    }
    EXPECT_EQ(process.th32ProcessID, 0u) << "a refused record was written";
    EXPECT_EQ(module.th32ProcessID, 0u) << "a refused record was written";
    EXPECT_EQ(thread.th32ThreadID, 0u) << "a refused record was written";
  }
  EXPECT_TRUE(CloseHandle(all));
}

}  // namespace
