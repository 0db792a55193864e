// A scripted stand-in for the platform's process services, linked in place of
// the real ones. It hands out the processes, modules and threads of a World,
// fails whichever calls the World names with whatever code it names, and
// records every call and every handle.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <windows.h>
#include <tlhelp32.h>

namespace fake {

enum class Op {
  kSnapshotOfProcesses,
  kSnapshotOfModules,
  kSnapshotOfThreads,
  kProcess32First,
  kProcess32Next,
  kModule32First,
  kModule32Next,
  kThread32First,
  kThread32Next,
  kOpenProcess,
  kGetPriorityClass,
  kCloseHandle,
  kGetLastError,
  kFormatMessageA,
  kGetStdHandle,
  kGetConsoleMode,
  kGetFileType,
  kGetFileInformationByHandle,
  kGetModuleHandleA,
  kGetProcAddress,
  kCompareObjectHandles,
};

const char* NameOf(Op op);

struct Module {
  std::string name;
  std::string path;
  DWORD size = 0;
};

struct Process {
  DWORD pid = 0;
  std::string exe;
  std::vector<Module> modules;
  DWORD priorityClass = NORMAL_PRIORITY_CLASS;
};

struct Thread {
  DWORD tid = 0;
  DWORD owner = 0;
  LONG basePriority = 8;
  LONG deltaPriority = 0;
};

// Where standard output or standard error leads, as the handle queries tell it.
struct Stream {
  std::uintptr_t handle = 0;  // what GetStdHandle gives; 0 for none
  DWORD type = FILE_TYPE_DISK;
  bool console = false;
  DWORD volume = 0;  // of a disk file: its volume's serial number and its index there
  DWORD fileIndex = 0;
  int object = 0;  // the same for two handles to one object
};

// Fails the `occurrence`-th call (counted from 1) of `op`, or every call of it when 0.
struct Fault {
  Op op;
  int occurrence;
  DWORD code;
};

struct World {
  std::vector<Process> processes;
  std::vector<Thread> threads;
  std::map<DWORD, std::string> messages;  // FormatMessageA's texts, stored as given
  // By default two files apart, as a caller that keeps the two apart has them.
  Stream out{0x7000, FILE_TYPE_DISK, false, 1, 1, 1};
  Stream err{0x7004, FILE_TYPE_DISK, false, 1, 2, 2};
  bool hasCompareObjectHandles = true;  // false as on Windows before 10
  std::vector<Fault> faults;
  int failCallNumber = 0;  // also fails the n-th call of all (GetLastError not counted)
  DWORD failCallCode = 0;
  bool recordCalls = true;  // off for long runs, such as the benchmark's
};

// Every argument of a call as passed, in order, pointers as their addresses;
// the slots after a call's last argument stay 0.
using Arguments = std::array<std::uintptr_t, 7>;

struct Call {
  Op op;
  DWORD argument;  // the process the call concerns, where there is one, else 0
  bool failed;
  DWORD code;  // the last error after the call
  Arguments arguments{};
  DWORD recordSize = 0;  // an entry call's record: its dwSize as the call found it
};

// Starts a new script: no calls, no handles.
void Reset(World world);

// Sets the code that the double's GetLastError gives, as a failed call would.
void SetLastError(DWORD code);

const std::vector<Call>& Calls();

// Handles handed out and not yet given to CloseHandle.
int OpenHandles();
// The most handles of one kind (process snapshot, module snapshot, thread
// snapshot, process) that were open at once.
int MostOpenOfOneKind();
// The most handles of all kinds that were open at once.
int MostOpenAtOnce();
// CloseHandle calls on handles that were never handed out or already closed.
int BadCloses();

}  // namespace fake
