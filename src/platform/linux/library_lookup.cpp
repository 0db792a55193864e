// GetModuleHandleA and GetProcAddress, for the one library whose functions
// callers look up at run time because older Windows lacks them: kernelbase.dll.
#include <strings.h>

#include <cstdint>
#include <cstring>

#include <windows.h>

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
