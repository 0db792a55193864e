// CreateToolhelp32Snapshot and the entry calls that walk a snapshot.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <tlhelp32.h>

#include "handles.h"
#include "last_error.h"
#include "proc_files.h"
#include "modules.h"
#include "snapshot.h"

namespace {

constexpr DWORD kKnownFlags =
    TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD | TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32;

template <std::size_t N>
void CopyText(char (&field)[N], const char* text, std::size_t length) {
  procfs::CopyShown(field, N, text, length);
}

const char* BaseName(const char* path, std::size_t length) {
  const char* name = path + length;
  while (name > path && name[-1] != '/') {
    --name;
  }
  return name;
}

DWORD TakeAll(DWORD flags, DWORD pid, Snapshot* snapshot) {
  // Listing reads the directory from its start, and sees /proc as it is now:
  // a descriptor of its own.
  const bool lists = (flags & (TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD)) != 0;
  const procfs::Descriptor listing(lists ? procfs::OpenDirectory(AT_FDCWD, "/proc") : -1);
  const int root = lists ? listing.get() : procfs::Root();
  if (root < 0) {
    // /proc that may not be read is refused; one that is not there, not found.
    const DWORD code =
        root == -EACCES || root == -EPERM ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
    SetLastError(code);
    return code;
  }
  DWORD error = ERROR_SUCCESS;
  if ((flags & TH32CS_SNAPPROCESS) != 0) {
    error = TakeProcesses(root, snapshot);
  }
  if (error == ERROR_SUCCESS && (flags & TH32CS_SNAPTHREAD) != 0) {
    error = TakeThreads(root, snapshot);
  }
  if (error == ERROR_SUCCESS && (flags & (TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32)) != 0) {
    error = TakeModules(root, pid == 0 ? static_cast<DWORD>(getpid()) : pid, snapshot);
  }
  return error;
}

// Checks the handle and the record; null, with the last error set, when the call cannot go on.
template <typename Entry>
Snapshot* Prepare(HANDLE handle, const Entry* entry) {
  Snapshot* snapshot = handles::FindSnapshot(handle);
  if (snapshot == nullptr) {
    return nullptr;
  }
  if (entry == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (entry->dwSize != sizeof(Entry)) {
    SetLastError(ERROR_BAD_LENGTH);
    return nullptr;
  }
  return snapshot;
}

BOOL NextProcess(HANDLE handle, PROCESSENTRY32* entry, bool first) {
  const auto lock = handles::Lock();
  Snapshot* snapshot = Prepare(handle, entry);
  if (snapshot == nullptr) {
    return FALSE;
  }
  if (first) {
    snapshot->nextProcess = 0;
  }
  if (snapshot->nextProcess >= snapshot->processes.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  const ProcessRecord& record = snapshot->processes[snapshot->nextProcess++];
  entry->cntUsage = 0;
  entry->th32ProcessID = record.pid;
  entry->th32DefaultHeapID = 0;
  entry->th32ModuleID = 0;
  entry->cntThreads = record.threads;
  entry->th32ParentProcessID = record.parent;
  entry->pcPriClassBase = procfs::BasePriorityOf(record.priorityClass);
  entry->dwFlags = 0;
  CopyText(entry->szExeFile, snapshot->text.data() + record.nameOffset, record.nameLength);
  return TRUE;
}

BOOL NextModule(HANDLE handle, MODULEENTRY32* entry, bool first) {
  const auto lock = handles::Lock();
  Snapshot* snapshot = Prepare(handle, entry);
  if (snapshot == nullptr) {
    return FALSE;
  }
  if (first) {
    snapshot->nextModule = 0;
  }
  if (snapshot->nextModule >= snapshot->modules.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  const ModuleRecord& record = snapshot->modules[snapshot->nextModule++];
  const char* path = snapshot->text.data() + record.pathOffset;
  const char* name = BaseName(path, record.pathLength);
  const uint64_t span = record.high - record.low;
  entry->th32ModuleID = 1;
  entry->th32ProcessID = snapshot->modulesOf;
  entry->GlblcntUsage = 0xFFFF;  // what Windows reports where it keeps no count
  entry->ProccntUsage = 0xFFFF;
  entry->modBaseAddr = 0;
  entry->modBaseSize = span > UINT32_MAX ? UINT32_MAX : static_cast<DWORD>(span);
  entry->hModule = 0;
  CopyText(entry->szModule, name, static_cast<std::size_t>(path + record.pathLength - name));
  CopyText(entry->szExePath, path, record.pathLength);
  return TRUE;
}

BOOL NextThread(HANDLE handle, THREADENTRY32* entry, bool first) {
  const auto lock = handles::Lock();
  Snapshot* snapshot = Prepare(handle, entry);
  if (snapshot == nullptr) {
    return FALSE;
  }
  if (first) {
    snapshot->nextThread = 0;
  }
  if (snapshot->nextThread >= snapshot->threads.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  const ThreadRecord& record = snapshot->threads[snapshot->nextThread++];
  entry->cntUsage = 0;
  entry->th32ThreadID = record.tid;
  entry->th32OwnerProcessID = record.owner;
  entry->tpBasePri = record.basePriority;
  entry->tpDeltaPri = 0;
  entry->dwFlags = 0;
  return TRUE;
}

}  // namespace

extern "C" HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
  if ((dwFlags & kKnownFlags) == 0 || (dwFlags & ~(kKnownFlags | TH32CS_SNAPHEAPLIST)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<Snapshot> snapshot;
  try {
    snapshot = std::make_shared<Snapshot>();
    if (TakeAll(dwFlags, th32ProcessID, snapshot.get()) != ERROR_SUCCESS) {
      return INVALID_HANDLE_VALUE;
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  const auto lock = handles::Lock();
  HANDLE handle = handles::Add(std::move(snapshot));
  return handle != nullptr ? handle : INVALID_HANDLE_VALUE;
}

extern "C" BOOL WINAPI Process32First(HANDLE hSnapshot, PROCESSENTRY32* lppe) {
  return NextProcess(hSnapshot, lppe, true);
}

extern "C" BOOL WINAPI Process32Next(HANDLE hSnapshot, PROCESSENTRY32* lppe) {
  return NextProcess(hSnapshot, lppe, false);
}

extern "C" BOOL WINAPI Module32First(HANDLE hSnapshot, MODULEENTRY32* lpme) {
  return NextModule(hSnapshot, lpme, true);
}

extern "C" BOOL WINAPI Module32Next(HANDLE hSnapshot, MODULEENTRY32* lpme) {
  return NextModule(hSnapshot, lpme, false);
}

extern "C" BOOL WINAPI Thread32First(HANDLE hSnapshot, THREADENTRY32* lpte) {
  return NextThread(hSnapshot, lpte, true);
}

extern "C" BOOL WINAPI Thread32Next(HANDLE hSnapshot, THREADENTRY32* lpte) {
  return NextThread(hSnapshot, lpte, false);
}
