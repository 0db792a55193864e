#include <cstdio>

#include "report.h"

int ShowModules(DWORD processId) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
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
