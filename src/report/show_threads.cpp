// ShowThreads: part of the program's design, built and tested, and not called by
// the report, whose lines are processes and modules alone.
#include <cstdio>

#include "report.h"

int ShowThreads(DWORD ownerProcessId) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return 0;
  }

  THREADENTRY32 thread = {};
  thread.dwSize = sizeof thread;
  if (!Thread32First(snapshot, &thread)) {
    ReportFailure("Thread32First");
    CloseHandle(snapshot);
    return 0;
  }

  do {
    if (thread.th32OwnerProcessID == ownerProcessId) {
      std::printf("\n\n     THREAD ID      = 0x%08X", static_cast<unsigned>(thread.th32ThreadID));
      std::printf("\n     base priority  = %d", static_cast<int>(thread.tpBasePri));
      std::printf("\n     delta priority = %d", static_cast<int>(thread.tpDeltaPri));
    }
  } while (Thread32Next(snapshot, &thread));

  CloseHandle(snapshot);
  return 1;
}
