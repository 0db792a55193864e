// OpenProcess and GetPriorityClass. An open process is its
// /proc/PID directory: once the process has been reaped, whatever is opened
// below it fails with ESRCH, even after its id has gone to another process.
#include <unistd.h>

#include <new>

#include "handles.h"
#include "last_error.h"
#include "proc_files.h"
#include "process_by_id.h"

namespace {

// What the check for full access needs to know of a process besides its directory.
struct Nature {
  bool kernelThread = false;
  bool leaderEnded = false;
  DWORD access = kAccessUnknown;  // as its snapshot found it
};

// Full access means the right to read the process's memory map: the kernel's
// ptrace read rule with this caller's file-system credentials, which opening
// /proc/PID/maps applies. Like Windows, this grants a user's own processes,
// whatever Yama says about attaching to them.
DWORD CheckFullAccess(int directory, DWORD pid, const Nature& nature) {
  // A kernel thread has no memory of its own, whatever the kernel lets this
  // open: refused, like the system's own processes on Windows.
  if (nature.kernelThread) {
    return ERROR_ACCESS_DENIED;
  }
  // Where the snapshot's reading of the executable's link already applied the rule, it stands.
  if (nature.access != kAccessUnknown) {
    return nature.access;
  }
  // A main thread that has ended took its memory with it, and its maps open
  // for anyone, while the other threads go on with theirs: theirs are checked.
  const procfs::Descriptor maps(procfs::OpenMaps(directory, pid, nature.leaderEnded));
  if (maps.get() < 0) {
    return ErrorFromErrno(-maps.get());
  }
  return ERROR_SUCCESS;
}

// Opens the process that the id names (IdRule::kWhoeverHoldsItNow): later
// calls on the handle are about that very process.
DWORD Open(DWORD pid, handles::Process* process) {
  FoundProcess found;
  if (const DWORD error = FindProcessById(procfs::Root(), pid, IdRule::kWhoeverHoldsItNow, &found);
      error != ERROR_SUCCESS) {
    return error;
  }
  const Nature nature =
      found.Borrowed()
          ? Nature{found.listed->kernelThread, found.listed->leaderEnded, found.listed->access}
          : Nature{(found.stat.kernelFlags & procfs::kKernelThreadFlag) != 0,
                   found.stat.state == 'Z'};
  if (const DWORD error = CheckFullAccess(found.directory, pid, nature); error != ERROR_SUCCESS) {
    return error;
  }
  if (found.Borrowed()) {
    *process = {found.directory, std::move(found.listing), found.listed->priorityClass};
  } else {
    process->directory = found.opened.Release();
  }
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" HANDLE WINAPI OpenProcess(DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/,
                                     DWORD dwProcessId) {
  handles::Process process;
  DWORD error = ERROR_INVALID_PARAMETER;
  try {
    error = dwProcessId != 0 ? Open(dwProcessId, &process) : error;
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return nullptr;
  }
  const auto lock = handles::Lock();
  HANDLE handle = handles::Add(process);
  if (handle == nullptr && process.OwnsDirectory()) {
    close(process.directory);
  }
  return handle;
}

// The class comes from the scheduling policy and nice value in the process's
// stat line: the line its snapshot read, or one read now. Once the process
// has been reaped, the call fails with ERROR_INVALID_PARAMETER.
extern "C" DWORD WINAPI GetPriorityClass(HANDLE hProcess) {
  const auto lock = handles::Lock();
  const handles::Process* process = handles::FindProcess(hProcess);
  if (process == nullptr) {
    return 0;
  }
  if (!process->OwnsDirectory()) {
    return process->priorityClass;  // as the listing snapshot read it
  }
  procfs::StatText text;
  procfs::StatFields stat;
  if (const int error = procfs::ReadStat(process->directory, "stat", text, &stat); error != 0) {
    SetLastError(ErrorFromErrno(-error));
    return 0;
  }
  return procfs::PriorityClassOf(stat.policy, stat.nice);
}
