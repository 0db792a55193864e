// OpenProcess and GetPriorityClass. An open process is its
// /proc/PID directory: once the process has been reaped, whatever is opened
// below it fails with ESRCH, even after its id has gone to another process.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <new>
#include <string>

#include "handles.h"
#include "last_error.h"
#include "proc_files.h"

namespace {

// What the check for full access needs to know of a process besides its directory.
struct Nature {
  bool kernelThread = false;
  bool leaderEnded = false;
  DWORD access = kAccessUnknown;  // as its snapshot found it
};

// Whether the process of a /proc/PID directory is still there, not reaped.
// The directory serves as a pidfd too: signal 0 asks without a lookup of a
// path, which costs as much as the rest of the check. Where that call is not
// to be had (an old kernel, a call filter), a lookup below the directory answers.
bool IsThere(int directory) {
  if (syscall(SYS_pidfd_send_signal, directory, 0, nullptr, 0) == 0) {
    return true;
  }
  return errno != ESRCH && faccessat(directory, "stat", F_OK, 0) == 0;
}

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
  // Where the snapshot's reading of the executable's link already applied the
  // rule, only whether the process is still there is asked.
  if (nature.access != kAccessUnknown) {
    return IsThere(directory) ? nature.access : ERROR_INVALID_PARAMETER;
  }
  // A main thread that has ended took its memory with it, and its maps open
  // for anyone, while the other threads go on with theirs: theirs are checked.
  const procfs::Descriptor maps(procfs::OpenMaps(directory, pid, nature.leaderEnded));
  if (maps.get() < 0) {
    return ErrorFromErrno(-maps.get());
  }
  return ERROR_SUCCESS;
}

// Opens the process that an open snapshot lists under the id: later calls on
// the handle are about that very process. When no snapshot lists the id, or
// the listed process is gone, it opens whatever process holds the id now, as
// Windows does. A gone process gives ERROR_INVALID_PARAMETER. So does the id
// of a thread, which /proc also answers to, but which is not listed.
DWORD Open(DWORD pid, handles::Process* process) {
  const ProcessRecord* listed = nullptr;
  std::shared_ptr<const Snapshot> listing;
  {
    const auto lock = handles::Lock();
    listing = handles::ListingOf(pid, &listed);
  }
  if (listed != nullptr && listed->directory >= 0) {
    const DWORD error = CheckFullAccess(
        listed->directory, pid, {listed->kernelThread, listed->leaderEnded, listed->access});
    if (error == ERROR_SUCCESS) {
      *process = {listed->directory, std::move(listing), listed->priorityClass};
    }
    if (error != ERROR_INVALID_PARAMETER) {
      return error;
    }
  }
  const int root = procfs::Root();
  procfs::Descriptor directory(root >= 0 ? procfs::OpenDirectory(root, std::to_string(pid)) : root);
  if (directory.get() < 0) {
    return ErrorFromErrno(-directory.get());
  }
  procfs::StatText text;
  procfs::StatFields stat;
  if (const int error = procfs::ReadStat(directory.get(), "stat", text, &stat); error != 0) {
    return ErrorFromErrno(-error);
  }
  if (!procfs::IsProcessId(directory.get(), pid)) {
    return ERROR_INVALID_PARAMETER;
  }
  const Nature nature = {(stat.kernelFlags & procfs::kKernelThreadFlag) != 0, stat.state == 'Z'};
  const DWORD error = CheckFullAccess(directory.get(), pid, nature);
  if (error == ERROR_SUCCESS) {
    process->directory = directory.Release();
  }
  return error;
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
