#include <cstdio>

#include "report.h"

namespace {
// From a 64-bit caller, TH32CS_SNAPMODULE alone lists only the 64-bit modules
// of a 32-bit process (ntdll and the WoW64 layer), not its own: such a caller
// asks for the 32-bit ones too.
constexpr DWORD kModuleSnapshotKinds =
    kRecordsHold64BitAddresses ? TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32 : TH32CS_SNAPMODULE;
}  // namespace

int ShowModules(DWORD processId) {
  HANDLE snapshot = CreateToolhelp32Snapshot(kModuleSnapshotKinds, processId);
  if (snapshot == INVALID_HANDLE_VALUE) {
    ReportFailure("CreateToolhelp32Snapshot (of modules)");
    return 0;
  }

  MODULEENTRY32 module = {};
  module.dwSize = sizeof module;
  if (!Module32First(snapshot, &module)) {
    ReportFailure("Module32First");
    CloseHandle(snapshot);
    return 0;
  }

  do {
    std::printf("\n%s", module.szModule);
    std::printf("\t%s", module.szExePath);
    // Unsigned: a module of 2 GiB or more is not a negative size.
    std::printf("\t%u", static_cast<unsigned>(module.modBaseSize));
  } while (Module32Next(snapshot, &module));

  CloseHandle(snapshot);
  return 1;
}
