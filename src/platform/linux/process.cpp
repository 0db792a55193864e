// OpenProcess, GetPriorityClass and CloseHandle over pidfds.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
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

int OpenPidfd(DWORD pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
}

// Whether the process behind the pidfd still holds its id (a zombie does), so
// that what was just read by id was read of this very process.
bool StillHoldsItsId(int pidfd) {
  return syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0u) == 0 || errno == EPERM;
}

bool IsKernelThread(int root, DWORD pid) {
  char text[2048];
  const ssize_t count = procfs::ReadSmallFile(root, procfs::Path(pid, "stat").c_str(), text, sizeof text);
  procfs::StatFields stat;
  return count > 0 && procfs::ParseStat(text, static_cast<std::size_t>(count), &stat) &&
         (stat.kernelFlags & procfs::kKernelThreadFlag) != 0;
}

// Full access means the right to read and write the process's memory: the
// kernel's ptrace-attach rule, which opening /proc/PID/mem for writing applies.
DWORD CheckFullAccess(DWORD pid) {
  const int root = procfs::OpenRoot();
  if (root < 0) {
    return ErrorFromErrno(-root);
  }
  const procfs::Descriptor closeRoot(root);
  const procfs::Descriptor memory(
      openat(root, procfs::Path(pid, "mem").c_str(), O_RDWR | O_CLOEXEC));
  const int error = errno;
  // A kernel thread has no memory of its own, whatever the kernel lets this
  // open: refused, like the system's own processes on Windows.
  if (IsKernelThread(root, pid)) {
    return ERROR_ACCESS_DENIED;
  }
  return memory.get() >= 0 ? ERROR_SUCCESS : ErrorFromErrno(error);
}

}  // namespace

extern "C" HANDLE WINAPI OpenProcess(DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/,
                                     DWORD dwProcessId) {
  if (dwProcessId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const int pidfd = OpenPidfd(dwProcessId);
  if (pidfd < 0) {
    // EINVAL: the id of a thread, not of a process.
    SetLastError(errno == ESRCH || errno == EINVAL ? ERROR_INVALID_PARAMETER : ErrorFromErrno(errno));
    return nullptr;
  }
  DWORD error = CheckFullAccess(dwProcessId);
  if (error == ERROR_SUCCESS && !StillHoldsItsId(pidfd)) {
    error = ERROR_INVALID_PARAMETER;  // gone, and the check may have met another process
  }
  if (error != ERROR_SUCCESS) {
    close(pidfd);
    SetLastError(error);
    return nullptr;
  }
  const auto lock = handles::Lock();
  HANDLE handle = handles::AddProcess(handles::Process{pidfd, dwProcessId});
  if (handle == nullptr) {
    close(pidfd);
  }
  return handle;
}

extern "C" DWORD WINAPI GetPriorityClass(HANDLE hProcess) {
  const auto lock = handles::Lock();
  const handles::Process* process = handles::FindProcess(hProcess);
  if (process == nullptr) {
    return 0;
  }
  const pid_t pid = static_cast<pid_t>(process->pid);
  const int policy = sched_getscheduler(pid);
  if (policy < 0) {
    FailWithErrno(errno);
    return 0;
  }
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
  if (nice == -1 && errno != 0) {
    FailWithErrno(errno);
    return 0;
  }
  if (!StillHoldsItsId(process->pidfd)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return procfs::PriorityClassOf(static_cast<uint32_t>(policy & ~SCHED_RESET_ON_FORK), nice);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  const auto lock = handles::Lock();
  return handles::Close(hObject) ? TRUE : FALSE;
}
