// GetStdHandle, and what can be asked of the handles it gives: their file
// type, their console mode, the file behind them, whether two are one object.
// A standard handle stands for descriptor 0, 1 or 2, whatever is open there
// when it is used. Callers find CompareObjectHandles, which older Windows
// lacks, through GetModuleHandleA and GetProcAddress, also here.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <windows.h>

#include "last_error.h"

namespace {

// Above every number the handle table hands out (those stay short of the top
// bit), and short of INVALID_HANDLE_VALUE.
constexpr std::uintptr_t kFirstStandardHandle = UINTPTR_MAX - 16;
constexpr int kStandardDescriptors = 3;

// Seconds from 1601, where FILETIME counts from, to 1970; FILETIME counts 100 ns.
constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600u;
constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000u;

// The descriptor a standard handle stands for, or -1 with ERROR_INVALID_HANDLE set.
int DescriptorOf(HANDLE handle) {
  const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
  if (value < kFirstStandardHandle || value >= kFirstStandardHandle + kStandardDescriptors) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  return static_cast<int>(value - kFirstStandardHandle);
}

bool Stat(HANDLE handle, struct stat* status) {
  const int descriptor = DescriptorOf(handle);
  if (descriptor < 0) {
    return false;
  }
  if (fstat(descriptor, status) != 0) {
    FailWithErrno(errno);
    return false;
  }
  return true;
}

// Files, directories and block devices are disk files; sockets pass for pipes.
DWORD TypeOf(const struct stat& status) {
  if (S_ISCHR(status.st_mode)) {
    return FILE_TYPE_CHAR;
  }
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
    return FILE_TYPE_PIPE;
  }
  return FILE_TYPE_DISK;
}

FILETIME FileTimeOf(const struct timespec& time) {
  // A time before 1601 cannot be told: it shows as 1601.
  const std::uint64_t seconds =
      time.tv_sec < -static_cast<std::int64_t>(kSecondsFrom1601To1970)
          ? 0
          : static_cast<std::uint64_t>(time.tv_sec) + kSecondsFrom1601To1970;
  const std::uint64_t ticks =
      seconds * kFileTimeTicksPerSecond + static_cast<std::uint64_t>(time.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

extern "C" HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  const DWORD first = STD_ERROR_HANDLE;  // the three count down from STD_INPUT_HANDLE
  if (nStdHandle < first || nStdHandle > STD_INPUT_HANDLE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  const int descriptor = static_cast<int>(STD_INPUT_HANDLE - nStdHandle);
  // A process started without one has none, as Windows says with a null handle.
  if (fcntl(descriptor, F_GETFD) < 0) {
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(kFirstStandardHandle + static_cast<std::uintptr_t>(descriptor));
}

extern "C" DWORD WINAPI GetFileType(HANDLE hFile) {
  struct stat status = {};
  if (!Stat(hFile, &status)) {
    return FILE_TYPE_UNKNOWN;
  }
  return TypeOf(status);
}

// A terminal is this layer's console.
extern "C" BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
  const int descriptor = DescriptorOf(hConsoleHandle);
  if (descriptor < 0) {
    return FALSE;
  }
  struct termios settings = {};
  if (tcgetattr(descriptor, &settings) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);  // what Windows says of a handle to no console
    return FALSE;
  }
  DWORD mode = 0;
  if (descriptor == STDIN_FILENO) {
    mode |= (settings.c_lflag & ISIG) != 0 ? ENABLE_PROCESSED_INPUT : 0;
    mode |= (settings.c_lflag & ICANON) != 0 ? ENABLE_LINE_INPUT : 0;
    mode |= (settings.c_lflag & ECHO) != 0 ? ENABLE_ECHO_INPUT : 0;
  } else {
    mode |= (settings.c_oflag & OPOST) != 0 ? ENABLE_PROCESSED_OUTPUT : 0;
    mode |= ENABLE_WRAP_AT_EOL_OUTPUT;  // a terminal wraps at the end of a line
  }
  *lpMode = mode;
  return TRUE;
}

// The device stands for the volume and the inode for the file index; Linux
// keeps no creation time, so the last change of status stands in for it.
extern "C" BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                                  LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  struct stat status = {};
  if (!Stat(hFile, &status)) {
    return FALSE;
  }
  if (TypeOf(status) != FILE_TYPE_DISK) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (S_ISDIR(status.st_mode)) {
    info.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    info.dwFileAttributes = FILE_ATTRIBUTE_READONLY;
  } else {
    info.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  }
  info.ftCreationTime = FileTimeOf(status.st_ctim);
  info.ftLastAccessTime = FileTimeOf(status.st_atim);
  info.ftLastWriteTime = FileTimeOf(status.st_mtim);
  // The kernel hands out device numbers of 32 bits.
  info.dwVolumeSerialNumber = static_cast<DWORD>(status.st_dev);
  const auto size = static_cast<std::uint64_t>(status.st_size);
  info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info.nFileSizeLow = static_cast<DWORD>(size);
  info.nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
  const auto index = static_cast<std::uint64_t>(status.st_ino);
  info.nFileIndexHigh = static_cast<DWORD>(index >> 32);
  info.nFileIndexLow = static_cast<DWORD>(index);
  *lpFileInformation = info;
  return TRUE;
}

// The object a descriptor leads to is taken to be its inode: one file, pipe,
// socket or terminal, however many times and ways it was opened.
extern "C" BOOL WINAPI CompareObjectHandles(HANDLE hFirstObjectHandle, HANDLE hSecondObjectHandle) {
  struct stat first = {};
  struct stat second = {};
  if (!Stat(hFirstObjectHandle, &first) || !Stat(hSecondObjectHandle, &second)) {
    return FALSE;
  }
  if (first.st_dev != second.st_dev || first.st_ino != second.st_ino) {
    SetLastError(ERROR_NOT_SAME_OBJECT);
    return FALSE;
  }
  return TRUE;
}

// GetModuleHandleA and GetProcAddress, for the one library whose functions
// callers look up at run time because older Windows lacks them: kernelbase.dll.
namespace {

// Not a handle that the handle table or GetStdHandle gives.
const HMODULE kKernelBase = reinterpret_cast<HMODULE>(UINTPTR_MAX - 32);

// A name pointer at or below this is an ordinal, a number in place of a name.
constexpr std::uintptr_t kHighestOrdinal = 0xFFFF;

struct Export {
  const char* name;
  FARPROC address;
};

// Names compare as Windows compares them, letter case aside; ".dll" may be left off.
bool NamesKernelBase(LPCSTR name) {
  return strcasecmp(name, "kernelbase.dll") == 0 || strcasecmp(name, "kernelbase") == 0;
}

}  // namespace

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr || !NamesKernelBase(lpModuleName)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return kKernelBase;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule != kKernelBase) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  static const Export kExports[] = {
      {"CompareObjectHandles",
       reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&CompareObjectHandles))},
  };
  // No function is exported by ordinal.
  if (reinterpret_cast<std::uintptr_t>(lpProcName) > kHighestOrdinal) {
    for (const Export& entry : kExports) {
      if (std::strcmp(entry.name, lpProcName) == 0) {
        return entry.address;
      }
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}
