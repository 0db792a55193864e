// The one lookup of a process by its id. Once a process that a snapshot
// listed has been reaped, /proc may give its id to a new one; which of the two
// an id then names depends on the call, by one of two rules.
#pragma once

#include <memory>

#include <windows.h>

#include "proc_files.h"
#include "snapshot.h"

enum class IdRule {
  // The module snapshot's: a listed id names the process that its snapshot
  // saw, or none once that one has been reaped, so that a later holder of the
  // id is never read under its name. An unlisted id names whoever holds it now.
  kTheListedProcess,
  // OpenProcess's, as Windows has it: a listed id names the process that its
  // snapshot saw while that one is there, and otherwise whoever holds it now.
  kWhoeverHoldsItNow,
};

// A process found, through its /proc/PID directory: one that the listing
// snapshot holds and lends, or one opened now.
struct FoundProcess {
  std::shared_ptr<const Snapshot> listing;  // the newest open snapshot that lists the id
  const ProcessRecord* listed = nullptr;    // its record there
  int directory = -1;                       // the listing's, or `opened`
  procfs::Descriptor opened{-1};            // where it was opened now
  // Read where the directory was opened now, and only then.
  procfs::StatText statText = {};
  procfs::StatFields stat;

  bool Borrowed() const { return opened.get() < 0; }
};

// Finds the process that the id names by the rule (`root` is a descriptor of
// /proc). ERROR_SUCCESS; ERROR_INVALID_PARAMETER where it names none (gone, or
// the id of a thread, which /proc answers to as well but Windows does not know
// here); or the error of opening its directory.
DWORD FindProcessById(int root, DWORD pid, IdRule rule, FoundProcess* found);

// Whether the process of a /proc/PID directory is still there, not reaped.
bool IsThere(int directory);
