// The handle table, and CloseHandle, which gives a handle back to it.
#include "handles.h"

#include <unistd.h>

#include <cstdint>
#include <map>
#include <new>

namespace handles {
namespace {

struct Entry {
  std::shared_ptr<Snapshot> snapshot;  // null for a process
  Process process;
};

struct Table {
  std::mutex mutex;
  std::map<uintptr_t, Entry> entries;  // by handle, so the newest last
  uintptr_t last = 0;
};

Table& TheTable() {
  static Table table;
  return table;
}

HANDLE AddEntry(Entry entry) {
  Table& table = TheTable();
  // Handle numbers only grow, and stop short of the top bit. So a handle is
  // never INVALID_HANDLE_VALUE (all ones), and never handed out twice.
  if (table.last == UINTPTR_MAX >> 1) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    table.entries.emplace(++table.last, std::move(entry));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(table.last);
}

Entry* Find(HANDLE handle) {
  auto& entries = TheTable().entries;
  const auto found = entries.find(reinterpret_cast<uintptr_t>(handle));
  if (found == entries.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return &found->second;
}

}  // namespace

std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(TheTable().mutex); }

HANDLE Add(std::shared_ptr<Snapshot> snapshot) { return AddEntry(Entry{std::move(snapshot), {}}); }

HANDLE Add(Process process) { return AddEntry(Entry{nullptr, std::move(process)}); }

Snapshot* FindSnapshot(HANDLE handle) {
  Entry* entry = Find(handle);
  if (entry != nullptr && entry->snapshot == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
  }
  return entry != nullptr ? entry->snapshot.get() : nullptr;
}

const Process* FindProcess(HANDLE handle) {
  Entry* entry = Find(handle);
  if (entry != nullptr && entry->snapshot != nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return entry != nullptr ? &entry->process : nullptr;
}

std::shared_ptr<const Snapshot> ListingOf(DWORD pid, const ProcessRecord** record) {
  const auto& entries = TheTable().entries;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    const Snapshot* snapshot = entry->second.snapshot.get();
    if (snapshot != nullptr && (*record = snapshot->Find(pid)) != nullptr) {
      return entry->second.snapshot;
    }
  }
  return nullptr;
}

bool Close(HANDLE handle) {
  Entry* entry = Find(handle);
  if (entry == nullptr) {
    return false;
  }
  if (entry->snapshot == nullptr && entry->process.OwnsDirectory() &&
      entry->process.directory >= 0) {
    close(entry->process.directory);
  }
  TheTable().entries.erase(reinterpret_cast<uintptr_t>(handle));
  return true;
}

}  // namespace handles

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
  const auto lock = handles::Lock();
  return handles::Close(hObject) ? TRUE : FALSE;
}
