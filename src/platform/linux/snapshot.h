// What a Tool Help snapshot holds: everything is read when it is taken, so
// later changes to the processes never show through its entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

struct ProcessRecord {
  DWORD pid;
  uint64_t startTime;  // with the id, names the process the snapshot saw
  bool kernelThread;
  DWORD parent;
  DWORD threads;
  LONG basePriority;
  uint32_t nameOffset;  // into Snapshot::text
  uint32_t nameLength;
};

struct ModuleRecord {
  uint64_t low;   // lowest mapped address of the file
  uint64_t high;  // highest mapped address of the file, exclusive
  uint64_t device;
  uint64_t inode;
  uint32_t pathOffset;  // into Snapshot::text
  uint32_t pathLength;
  bool executable;
};

struct ThreadRecord {
  DWORD tid;
  DWORD owner;
  LONG basePriority;
};

struct Snapshot {
  DWORD modulesOf = 0;  // the process whose modules were taken
  std::vector<ProcessRecord> processes;
  std::vector<ModuleRecord> modules;
  std::vector<ThreadRecord> threads;
  std::string text;  // the names and paths of all records, back to back
  std::size_t nextProcess = 0;
  std::size_t nextModule = 0;
  std::size_t nextThread = 0;
};

// Each fills its part of the snapshot from /proc (`root` is a descriptor of
// /proc). ERROR_SUCCESS, or the error code, which is also set as the last error.
DWORD TakeProcesses(int root, Snapshot* snapshot);
DWORD TakeThreads(int root, Snapshot* snapshot);
DWORD TakeModules(int root, DWORD pid, Snapshot* snapshot);
