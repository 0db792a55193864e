// The last error: kept per thread, and its system text.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>

#include <windows.h>

namespace {

TEST(LastError, IsKeptPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seenByOther = 1;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(ERROR_INVALID_HANDLE);
  });
  other.join();
  EXPECT_EQ(seenByOther, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(FormatMessage, GivesTheSystemTextForEveryCodeThisLayerSets) {
  const std::map<DWORD, std::string> expected = {
      {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
      {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
      {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
      {ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect.\r\n"},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
  };
  for (const DWORD code :
       {ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
        ERROR_TOO_MANY_OPEN_FILES, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
        ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_MORE_FILES, ERROR_BAD_LENGTH, ERROR_GEN_FAILURE,
        ERROR_INVALID_PARAMETER, ERROR_INSUFFICIENT_BUFFER, ERROR_MOD_NOT_FOUND,
        ERROR_PROC_NOT_FOUND, ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND,
        ERROR_NOT_SAME_OBJECT}) {
    // Inserts need not be ignored where a text has none; one that has is
    // refused then, since none is expanded.
    for (const DWORD inserts : {DWORD{FORMAT_MESSAGE_IGNORE_INSERTS}, DWORD{0}}) {
      char text[256] = {};
      const DWORD length =
          FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | inserts, nullptr, code,
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
      if (inserts == 0 && code == ERROR_MR_MID_NOT_FOUND) {
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        continue;
      }
      ASSERT_GT(length, 2u) << code;
      EXPECT_EQ(std::strlen(text), length);
      EXPECT_EQ(std::string(text + length - 3), ".\r\n") << code;
      if (expected.count(code) != 0) {
        EXPECT_EQ(text, expected.at(code));
      }
    }
  }
}

TEST(FormatMessage, StoresNothingForAnUnknownCodeOrATooSmallBuffer) {
  struct Case {
    DWORD code;
    DWORD size;
    DWORD error;
  };
  for (const Case& c : {Case{1234, 256, ERROR_MR_MID_NOT_FOUND},
                        Case{ERROR_ACCESS_DENIED, 19, ERROR_INSUFFICIENT_BUFFER},
                        Case{ERROR_ACCESS_DENIED, 0, ERROR_INSUFFICIENT_BUFFER}}) {
    char text[300];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, c.code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, c.size, nullptr),
        0u);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'x'));
  }
  // "Access is denied.\r\n" and its terminator fill 20 bytes exactly.
  char text[20];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           ERROR_ACCESS_DENIED, 0, text, sizeof text, nullptr),
            19u);
}

}  // namespace
