// OpenProcess, GetPriorityClass and CloseHandle.
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <windows.h>

#include "handles.h"
#include "last_error.h"
#include "proc_files.h"
#include "proc_text.h"

namespace {

// Whether the opened process still holds its id (a zombie does), so that what
// was just read by that id was read of this very process.
bool StillHoldsItsId(const handles::Process& process) {
  if (process.pidfd >= 0) {
    return syscall(SYS_pidfd_send_signal, process.pidfd, 0, nullptr, 0u) == 0 || errno == EPERM;
  }
  const int root = procfs::Root();
  if (root < 0) {
    return false;
  }
  char text[procfs::kStatBufferSize];
  procfs::StatFields stat;
  return procfs::ReadStat(root, process.pid, text, &stat) && stat.startTime == process.startTime;
}

// Full access means the right to read the process's memory map: the kernel's
// ptrace read rule with this caller's file-system credentials, which opening
// /proc/PID/maps applies. Like Windows, this grants a user's own processes,
// whatever Yama says about attaching to them. Without a pidfd, fills in the
// start time that later tells a reused id apart.
DWORD CheckFullAccess(int root, handles::Process* process) {
  // A process that an open snapshot lists, pinned by a pidfd: whether it is a
  // kernel thread, or has lost its main thread, is in the snapshot's record,
  // so only its maps are opened, through the directory the snapshot holds. A
  // failed open (that process may be gone, and another hold the id) is sorted
  // out below. Like Windows, OpenProcess opens whatever process holds the id;
  // the module snapshot makes sure that it is the listed one.
  if (process->pidfd >= 0) {
    const ProcessRecord* listed = nullptr;
    std::shared_ptr<const Snapshot> listing;
    {
      const auto lock = handles::Lock();
      listing = handles::ListingOf(process->pid, &listed);
    }
    if (listed != nullptr && !listed->kernelThread && !listed->leaderEnded) {
      const int at = listed->directory >= 0 ? listed->directory : root;
      const procfs::Descriptor maps(procfs::OpenMemoryLeaf(
          at, process->pid,
          listed->directory >= 0 ? "maps" : procfs::Path(process->pid, "maps").c_str(), O_RDONLY,
          false));
      if (maps.get() >= 0 || maps.get() == -EACCES || maps.get() == -EPERM) {
        return maps.get() >= 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
      }
    }
  }
  const procfs::Descriptor directory(procfs::OpenProcessDirectory(root, process->pid));
  procfs::StatFields stat;
  char text[procfs::kStatBufferSize];
  if (directory.get() < 0 || !procfs::ReadOwnStat(directory.get(), text, &stat)) {
    return ERROR_INVALID_PARAMETER;  // gone
  }
  // The id of a thread, not of a process, where no pidfd has told so.
  if (process->pidfd < 0 && !procfs::IsProcessId(directory.get(), process->pid)) {
    return ERROR_INVALID_PARAMETER;
  }
  // A kernel thread has no memory of its own, whatever the kernel lets this
  // open: refused, like the system's own processes on Windows.
  if ((stat.kernelFlags & procfs::kKernelThreadFlag) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  // A main thread that has ended took its memory with it, and its maps open
  // for anyone, while the other threads go on with theirs: a live thread's
  // maps are checked instead.
  const procfs::Descriptor maps(
      procfs::OpenMemoryLeaf(directory.get(), process->pid, "maps", O_RDONLY, stat.state == 'Z'));
  if (maps.get() < 0) {
    return ErrorFromErrno(-maps.get());
  }
  process->startTime = stat.startTime;
  return ERROR_SUCCESS;
}

DWORD Open(DWORD pid, handles::Process* process) {
  process->pid = pid;
  process->pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
  // Gone, or else the call is missing or forbidden (a seccomp filter may
  // answer anything): the start time does its work then. EINVAL, the id of a
  // thread, is found out below as well.
  if (process->pidfd < 0 && errno == ESRCH) {
    return ERROR_INVALID_PARAMETER;
  }
  const int root = procfs::Root();
  if (root < 0) {
    return ErrorFromErrno(-root);
  }
  const DWORD error = CheckFullAccess(root, process);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  // Gone meanwhile: the check may have met another process under the same id.
  return StillHoldsItsId(*process) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// The kernel's sched_attr, as far as it is read here (glibc 2.36 has no wrapper).
struct SchedulingAttributes {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime;
  uint64_t deadline;
  uint64_t period;
};

// The scheduling policy and nice value of a process, in one call where the
// kernel (3.14 and later) or the tool running this knows it. 0, or the errno.
int ReadScheduling(pid_t pid, uint32_t* policy, int32_t* nice) {
  SchedulingAttributes attributes = {};
  if (syscall(SYS_sched_getattr, pid, &attributes, sizeof attributes, 0u) == 0) {
    *policy = attributes.policy;
    *nice = attributes.nice;
    return 0;
  }
  // Gone; else missing or forbidden, and the older calls may still answer.
  if (errno == ESRCH) {
    return errno;
  }
  const int scheduler = sched_getscheduler(pid);
  if (scheduler < 0) {
    return errno;
  }
  errno = 0;
  const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
  if (value == -1 && errno != 0) {
    return errno;
  }
  *policy = static_cast<uint32_t>(scheduler & ~SCHED_RESET_ON_FORK);
  *nice = value;
  return 0;
}

}  // namespace

extern "C" HANDLE WINAPI OpenProcess(DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/,
                                     DWORD dwProcessId) {
  if (dwProcessId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  handles::Process process;
  DWORD error = Open(dwProcessId, &process);
  HANDLE handle = nullptr;
  {
    const auto lock = handles::Lock();
    if (error == ERROR_SUCCESS) {
      handle = handles::AddProcess(process);
    } else {
      SetLastError(error);
    }
  }
  if (handle == nullptr && process.pidfd >= 0) {
    close(process.pidfd);
  }
  return handle;
}

extern "C" DWORD WINAPI GetPriorityClass(HANDLE hProcess) {
  const auto lock = handles::Lock();
  const handles::Process* process = handles::FindProcess(hProcess);
  if (process == nullptr) {
    return 0;
  }
  uint32_t policy = 0;
  int32_t nice = 0;
  if (const int error = ReadScheduling(static_cast<pid_t>(process->pid), &policy, &nice);
      error != 0) {
    FailWithErrno(error);
    return 0;
  }
  if (!StillHoldsItsId(*process)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return procfs::PriorityClassOf(policy, nice);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  const auto lock = handles::Lock();
  return handles::Close(hObject) ? TRUE : FALSE;
}
