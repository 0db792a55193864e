// The table of live handles. A handle is a number never handed out before, so
// a closed or made-up handle is recognized instead of being dereferenced.
#pragma once

#include <memory>
#include <mutex>

#include <windows.h>

#include "snapshot.h"

namespace handles {

// An open process: its /proc/PID directory, which names that very process
// whatever later happens to its id. Either its own, or that of the snapshot
// that listed the process, kept open for the handle by `listing`; then its
// priority class is the one that the snapshot read.
struct Process {
  int directory = -1;
  std::shared_ptr<const Snapshot> listing;  // null when the directory is the handle's own
  DWORD priorityClass = 0;

  // Whether the handle opened the directory itself, and so closes it; else
  // it borrows the listing snapshot's, which that snapshot closes.
  bool OwnsDirectory() const { return listing == nullptr; }
};

// Every function below expects the table lock held by the caller.
std::unique_lock<std::mutex> Lock();

// Null, with ERROR_NOT_ENOUGH_MEMORY set, when there is no room.
HANDLE Add(std::shared_ptr<Snapshot> snapshot);
HANDLE Add(Process process);

// Null, with ERROR_INVALID_HANDLE set, when the handle is not a live one of that kind.
Snapshot* FindSnapshot(HANDLE handle);
const Process* FindProcess(HANDLE handle);

// The newest open process snapshot that lists the id, kept alive by the
// pointer even if its handle is closed meanwhile, and the record in it. Ids
// come from a snapshot and are used a while later; in between, a process can
// end and its id go to a new one, whose modules must not be reported under the
// name of the first.
std::shared_ptr<const Snapshot> ListingOf(DWORD pid, const ProcessRecord** record);

// Releases what the handle holds; false, with ERROR_INVALID_HANDLE set, when it is not live.
bool Close(HANDLE handle);

}  // namespace handles
