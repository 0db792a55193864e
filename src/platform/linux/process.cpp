// OpenProcess, GetPriorityClass and CloseHandle. An open process is its
// /proc/PID directory: once the process has been reaped, whatever is opened
// below it fails with ESRCH, even after its id has gone to another process.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include <windows.h>

#include "handles.h"
#include "last_error.h"
#include "proc_files.h"
#include "proc_text.h"

namespace {

// What the check for full access needs to know of a process besides its directory.
struct Nature {
  bool kernelThread = false;
  bool leaderEnded = false;
};

// The directory that the newest open snapshot holds for the id, with the
// snapshot that keeps it open, and what the snapshot knew of the process;
// false when none holds one.
bool FindListed(DWORD pid, handles::Process* process, Nature* nature) {
  const ProcessRecord* listed = nullptr;
  std::shared_ptr<const Snapshot> listing;
  {
    const auto lock = handles::Lock();
    listing = handles::ListingOf(pid, &listed);
  }
  if (listed == nullptr || listed->directory < 0) {
    return false;
  }
  nature->kernelThread = listed->kernelThread;
  nature->leaderEnded = listed->leaderEnded;
  process->directory = listed->directory;
  process->priorityClass = listed->priorityClass;
  process->listing = std::move(listing);
  return true;
}

// The directory of whatever process holds the id now, and its nature from its
// stat line. A gone process, or the id of a thread (which /proc answers to
// as well, unlisted): 87.
DWORD OpenById(int root, DWORD pid, int* directory, Nature* nature) {
  procfs::Descriptor opened(procfs::OpenProcessDirectory(root, pid));
  if (opened.get() < 0) {
    return opened.get() == -ENOENT ? ERROR_INVALID_PARAMETER : ErrorFromErrno(-opened.get());
  }
  char text[procfs::kStatBufferSize];
  procfs::StatFields stat;
  if (!procfs::ReadOwnStat(opened.get(), text, &stat) || !procfs::IsProcessId(opened.get(), pid)) {
    return ERROR_INVALID_PARAMETER;
  }
  nature->kernelThread = (stat.kernelFlags & procfs::kKernelThreadFlag) != 0;
  nature->leaderEnded = stat.state == 'Z';
  *directory = opened.Release();
  return ERROR_SUCCESS;
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
  // A main thread that has ended took its memory with it, and its maps open
  // for anyone, while the other threads go on with theirs: a live thread's
  // maps are checked instead.
  const procfs::Descriptor maps(
      procfs::OpenMemoryLeaf(directory, pid, "maps", O_RDONLY, nature.leaderEnded));
  return maps.get() >= 0 ? ERROR_SUCCESS : ErrorFromErrno(-maps.get());
}

// Opens the process that an open snapshot lists under the id, the one that
// its later calls will be about; or, like Windows, whatever process holds the
// id now, when none lists it or the listed one is gone.
DWORD Open(DWORD pid, handles::Process* process) {
  process->pid = pid;
  Nature nature;
  if (FindListed(pid, process, &nature)) {
    const DWORD error = CheckFullAccess(process->directory, pid, nature);
    if (error != ERROR_INVALID_PARAMETER) {
      return error;
    }
    process->directory = -1;
    process->listing.reset();
  }
  const int root = procfs::Root();
  if (root < 0) {
    return ErrorFromErrno(-root);
  }
  const DWORD error = OpenById(root, pid, &process->directory, &nature);
  return error != ERROR_SUCCESS ? error : CheckFullAccess(process->directory, pid, nature);
}

}  // namespace

extern "C" HANDLE WINAPI OpenProcess(DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/,
                                     DWORD dwProcessId) {
  if (dwProcessId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  handles::Process process;
  const DWORD error = Open(dwProcessId, &process);
  HANDLE handle = nullptr;
  {
    const auto lock = handles::Lock();
    if (error == ERROR_SUCCESS) {
      handle = handles::AddProcess(process);
    } else {
      SetLastError(error);
    }
  }
  if (handle == nullptr && process.listing == nullptr && process.directory >= 0) {
    close(process.directory);
  }
  return handle;
}

// From the scheduling policy and nice value of the process's stat line, as
// its snapshot read it or read now; 87 once the process has been reaped.
extern "C" DWORD WINAPI GetPriorityClass(HANDLE hProcess) {
  const auto lock = handles::Lock();
  const handles::Process* process = handles::FindProcess(hProcess);
  if (process == nullptr) {
    return 0;
  }
  if (process->listing != nullptr) {
    return process->priorityClass;
  }
  char text[procfs::kStatBufferSize];
  procfs::StatFields stat;
  if (!procfs::ReadOwnStat(process->directory, text, &stat)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return procfs::PriorityClassOf(stat.policy, stat.nice);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  const auto lock = handles::Lock();
  return handles::Close(hObject) ? TRUE : FALSE;
}
