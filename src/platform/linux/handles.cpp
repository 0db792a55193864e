#include "handles.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

namespace handles {
namespace {

enum class Kind { kFree, kSnapshot, kProcess };

struct Slot {
  Kind kind = Kind::kFree;
  uintptr_t generation = 0;
  std::shared_ptr<Snapshot> snapshot;
  Process process;
};

// A handle is (generation << kSlotBits) | (slot + 1): never null, never all ones.
constexpr unsigned kSlotBits = 16;
constexpr std::size_t kMaxSlots = (std::size_t{1} << kSlotBits) - 1;
// The top bit stays clear, so no handle is all ones; on a 64-bit host a stale
// handle would only match again after two billion reuses of its slot.
constexpr uintptr_t kGenerationMask = UINTPTR_MAX >> (kSlotBits + 1);

struct Table {
  std::mutex mutex;
  std::vector<Slot> slots;
  uint64_t snapshotsTaken = 0;
};

Table& TheTable() {
  static Table table;
  return table;
}

Slot* Acquire(Kind kind, HANDLE* handle) {
  std::vector<Slot>& slots = TheTable().slots;
  std::size_t index = 0;
  while (index < slots.size() && slots[index].kind != Kind::kFree) {
    ++index;
  }
  if (index == slots.size()) {
    if (slots.size() == kMaxSlots) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    try {
      slots.emplace_back();
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  Slot& slot = slots[index];
  slot.kind = kind;
  slot.generation = (slot.generation % kGenerationMask) + 1;
  *handle = reinterpret_cast<HANDLE>((static_cast<uintptr_t>(slot.generation) << kSlotBits) |
                                     (index + 1));
  return &slot;
}

Slot* Find(HANDLE handle, Kind kind) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  const std::size_t index = (value & kMaxSlots);
  const uintptr_t generation = value >> kSlotBits;
  std::vector<Slot>& slots = TheTable().slots;
  if (index == 0 || index > slots.size()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  Slot& slot = slots[index - 1];
  if (slot.kind == Kind::kFree || slot.generation != generation ||
      (kind != Kind::kFree && slot.kind != kind)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return &slot;
}

}  // namespace

std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(TheTable().mutex); }

HANDLE AddSnapshot(std::shared_ptr<Snapshot> snapshot) {
  HANDLE handle = nullptr;
  Slot* slot = Acquire(Kind::kSnapshot, &handle);
  if (slot != nullptr) {
    snapshot->taken = ++TheTable().snapshotsTaken;
    slot->snapshot = std::move(snapshot);
  }
  return handle;
}

HANDLE AddProcess(Process process) {
  HANDLE handle = nullptr;
  Slot* slot = Acquire(Kind::kProcess, &handle);
  if (slot != nullptr) {
    slot->process = process;
  }
  return handle;
}

Snapshot* FindSnapshot(HANDLE handle) {
  Slot* slot = Find(handle, Kind::kSnapshot);
  return slot != nullptr ? slot->snapshot.get() : nullptr;
}

const Process* FindProcess(HANDLE handle) {
  Slot* slot = Find(handle, Kind::kProcess);
  return slot != nullptr ? &slot->process : nullptr;
}

namespace {

const ProcessRecord* FindListed(const Slot& slot, DWORD pid) {
  const std::vector<ProcessRecord>& processes = slot.snapshot->processes;  // by ascending id
  const auto record = std::lower_bound(processes.begin(), processes.end(), pid,
                                       [](const ProcessRecord& r, DWORD id) { return r.pid < id; });
  return record != processes.end() && record->pid == pid ? &*record : nullptr;
}

}  // namespace

std::shared_ptr<const Snapshot> ListingOf(DWORD pid, const ProcessRecord** record) {
  std::shared_ptr<const Snapshot> newest;
  for (const Slot& slot : TheTable().slots) {
    const ProcessRecord* listed = slot.kind == Kind::kSnapshot ? FindListed(slot, pid) : nullptr;
    if (listed != nullptr && (newest == nullptr || slot.snapshot->taken > newest->taken)) {
      newest = slot.snapshot;
      *record = listed;
    }
  }
  return newest;
}

bool Close(HANDLE handle) {
  Slot* slot = Find(handle, Kind::kFree);
  if (slot == nullptr) {
    return false;
  }
  if (slot->kind == Kind::kProcess) {
    if (slot->process.listing == nullptr && slot->process.directory >= 0) {
      close(slot->process.directory);
    }
    slot->process = Process{};
  }
  slot->snapshot.reset();
  slot->kind = Kind::kFree;
  return true;
}

}  // namespace handles
