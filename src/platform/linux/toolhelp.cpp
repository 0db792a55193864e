// CreateToolhelp32Snapshot and the entry calls that walk a snapshot.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <memory>
#include <new>
#include <string_view>

#include <tlhelp32.h>

#include "handles.h"
#include "last_error.h"
#include "proc_files.h"
#include "snapshot.h"

namespace {

constexpr DWORD kKnownFlags =
    TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD | TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32;

// This process's id as /proc numbers it, which may be another pid namespace's
// than getpid()'s; 0, which names no process, where /proc has none for it.
DWORD ThisProcess(int root) {
  char link[16];
  const ssize_t length = readlinkat(root, "self", link, sizeof link);
  DWORD id = 0;
  if (length > 0) {
    std::from_chars(link, link + length, id);
  }
  return id;
}

DWORD TakeAll(DWORD flags, DWORD pid, Snapshot* snapshot) {
  // Listing reads the directory from its start, and sees /proc as it is now:
  // a descriptor of its own.
  const bool lists = (flags & (TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD)) != 0;
  const procfs::Descriptor listing(lists ? procfs::OpenProc() : -1);
  const int root = lists ? listing.get() : procfs::Root();
  if (root < 0) {
    // /proc that may not be read is refused; descriptors or memory that ran
    // out are said so; anything else, /proc is not found.
    const int error = -root;
    const bool told =
        error == EACCES || error == EPERM || error == EMFILE || error == ENFILE || error == ENOMEM;
    const DWORD code = told ? ErrorFromErrno(error) : ERROR_PATH_NOT_FOUND;
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
    error = TakeModules(root, pid == 0 ? ThisProcess(root) : pid, snapshot);
  }
  return error;
}

template <std::size_t N>
void CopyText(char (&field)[N], std::string_view text) {
  procfs::CopyShown(field, N, text.data(), text.size());
}

void Fill(const Snapshot& snapshot, const ProcessRecord& record, PROCESSENTRY32* entry) {
  *entry = {};
  entry->dwSize = sizeof *entry;
  entry->th32ProcessID = record.pid;
  entry->cntThreads = record.threads;
  entry->th32ParentProcessID = record.parent;
  entry->pcPriClassBase = procfs::BasePriorityOf(record.priorityClass);
  CopyText(entry->szExeFile,
           std::string_view(snapshot.text).substr(record.nameOffset, record.nameLength));
}

void Fill(const Snapshot& snapshot, const ModuleRecord& record, MODULEENTRY32* entry) {
  const std::string_view path =
      std::string_view(snapshot.text).substr(record.pathOffset, record.pathLength);
  const uint64_t span = record.high - record.low;
  *entry = {};
  entry->dwSize = sizeof *entry;
  entry->th32ModuleID = 1;
  entry->th32ProcessID = snapshot.modulesOf;
  entry->GlblcntUsage = 0xFFFF;  // what Windows reports where it keeps no count
  entry->ProccntUsage = 0xFFFF;
  entry->modBaseSize = span > UINT32_MAX ? UINT32_MAX : static_cast<DWORD>(span);
  CopyText(entry->szModule,
           std::string_view(snapshot.text).substr(record.nameOffset, record.nameLength));
  CopyText(entry->szExePath, path);
}

void Fill(const Snapshot&, const ThreadRecord& record, THREADENTRY32* entry) {
  *entry = {};
  entry->dwSize = sizeof *entry;
  entry->th32ThreadID = record.tid;
  entry->th32OwnerProcessID = record.owner;
  entry->tpBasePri = record.basePriority;
}

// Hands out the first or next record of a snapshot. It returns false, with
// the last error set, for a handle that is no snapshot, for a record of the
// wrong size, and at the end of the list (ERROR_NO_MORE_FILES).
template <typename Entry, typename Record>
BOOL Next(HANDLE handle, Entry* entry, bool first, std::vector<Record> Snapshot::*records,
          std::size_t Snapshot::*next) {
  const auto lock = handles::Lock();
  Snapshot* snapshot = handles::FindSnapshot(handle);
  if (snapshot == nullptr) {
    return FALSE;
  }
  if (entry == nullptr || entry->dwSize != sizeof(Entry)) {
    SetLastError(entry == nullptr ? ERROR_INVALID_PARAMETER : ERROR_BAD_LENGTH);
    return FALSE;
  }
  std::size_t& at = snapshot->*next;
  at = first ? 0 : at;
  if (at >= (snapshot->*records).size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  Fill(*snapshot, (snapshot->*records)[at++], entry);
  return TRUE;
}

}  // namespace

extern "C" HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
  // An inheritable handle means nothing here: no handle outlives the process.
  if ((dwFlags & kKnownFlags) == 0 ||
      (dwFlags & ~(kKnownFlags | TH32CS_SNAPHEAPLIST | TH32CS_INHERIT)) != 0) {
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
  return Next(hSnapshot, lppe, true, &Snapshot::processes, &Snapshot::nextProcess);
}

extern "C" BOOL WINAPI Process32Next(HANDLE hSnapshot, PROCESSENTRY32* lppe) {
  return Next(hSnapshot, lppe, false, &Snapshot::processes, &Snapshot::nextProcess);
}

extern "C" BOOL WINAPI Module32First(HANDLE hSnapshot, MODULEENTRY32* lpme) {
  return Next(hSnapshot, lpme, true, &Snapshot::modules, &Snapshot::nextModule);
}

extern "C" BOOL WINAPI Module32Next(HANDLE hSnapshot, MODULEENTRY32* lpme) {
  return Next(hSnapshot, lpme, false, &Snapshot::modules, &Snapshot::nextModule);
}

extern "C" BOOL WINAPI Thread32First(HANDLE hSnapshot, THREADENTRY32* lpte) {
  return Next(hSnapshot, lpte, true, &Snapshot::threads, &Snapshot::nextThread);
}

extern "C" BOOL WINAPI Thread32Next(HANDLE hSnapshot, THREADENTRY32* lpte) {
  return Next(hSnapshot, lpte, false, &Snapshot::threads, &Snapshot::nextThread);
}
