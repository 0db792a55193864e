// The last error of the calling thread, the codes that errno values become,
// and FormatMessageA, the system's English text for each code this layer sets.
#include <cerrno>
#include <cstring>

#include <windows.h>

#include "last_error.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

extern "C" DWORD WINAPI GetLastError(void) { return lastError; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ESRCH:
      return ERROR_INVALID_PARAMETER;  // the process is gone
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD FailWithErrno(int error) {
  const DWORD code = ErrorFromErrno(error);
  SetLastError(code);
  return code;
}

namespace {

struct Message {
  DWORD code;
  const char* text;
};

// The system's English texts, with their line ending, for every code this layer sets.
constexpr Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
    {ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     "The specified resource language ID cannot be found in the image file.\r\n"},
    {ERROR_NOT_SAME_OBJECT, "The objects are not identical.\r\n"},
};

const char* TextOf(DWORD code) {
  for (const Message& message : kMessages) {
    if (message.code == code) {
      return message.text;
    }
  }
  return nullptr;
}

bool IsKnownLanguage(DWORD language) {
  return language == 0 || language == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
         language == MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT) ||
         language == MAKELANGID(LANG_ENGLISH, SUBLANG_NEUTRAL);
}

}  // namespace

// Only lookups in the system's table are served; nothing is allocated, no
// insert is expanded (a text that has one is refused unless inserts are to be
// ignored), and nothing is written unless the whole text fits.
extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId,
                                       DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                       va_list* /*Arguments*/) {
  if ((dwFlags & ~FORMAT_MESSAGE_IGNORE_INSERTS) != FORMAT_MESSAGE_FROM_SYSTEM ||
      lpBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!IsKnownLanguage(dwLanguageId)) {
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return 0;
  }
  const char* text = TextOf(dwMessageId);
  if (text == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  if ((dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0 && std::strchr(text, '%') != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::size_t length = std::strlen(text);
  if (length >= nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, text, length + 1);
  return static_cast<DWORD>(length);
}
