#include <cstdio>

#include "report.h"

namespace {
// The classic full-access mask. Newer SDK headers widen PROCESS_ALL_ACCESS to
// 0x001FFFFF, which older systems refuse outright, so it is spelled out here.
constexpr DWORD kProcessAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x0FFF;
}  // namespace

int WalkProcesses() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    ReportFailure("CreateToolhelp32Snapshot (of processes)");
    return 0;
  }

  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  if (!Process32First(snapshot, &entry)) {
    ReportFailure("Process32First");
    CloseHandle(snapshot);
    return 0;
  }

  do {
    // The header comes first, so a process that refuses everything still shows up.
    std::printf("\n\n!PROCESS NAME:=%s", entry.szExeFile);

    // The priority class only gates the module list: it proves full access works.
    DWORD priorityClass = 0;
    HANDLE process = OpenProcess(kProcessAllAccess, FALSE, entry.th32ProcessID);
    if (process == nullptr) {
      ReportFailure("OpenProcess");
    } else {
      priorityClass = GetPriorityClass(process);
      if (priorityClass == 0) {
        ReportFailure("GetPriorityClass");
      }
      CloseHandle(process);
    }

    if (priorityClass != 0) {
      ShowModules(entry.th32ProcessID);
    }
  } while (Process32Next(snapshot, &entry));

  CloseHandle(snapshot);
  return 1;
}
