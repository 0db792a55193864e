// What a Tool Help snapshot holds: everything is read when it is taken, so
// later changes to the processes never show through its entries.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include "mapped_images.h"

struct ProcessRecord {
  DWORD pid;
  // /proc/PID, held open while the snapshot is: it names the process the
  // snapshot saw for good. -1 when descriptors ran out; then the start time,
  // with the id, names it.
  int directory;
  uint64_t startTime;
  bool kernelThread;
  bool leaderEnded;  // its main thread had ended while others went on
  // Whether the caller may read its memory map, as reading its executable's
  // link told (the same rule): ERROR_SUCCESS, ERROR_ACCESS_DENIED, or
  // kAccessUnknown where the link said nothing of it.
  DWORD access;
  DWORD parent;
  DWORD threads;
  DWORD priorityClass;
  std::size_t nameOffset;  // into Snapshot::text
  uint32_t nameLength;
};
constexpr DWORD kAccessUnknown = ~DWORD{0};

// One loaded file: a run of mappings that starts at the file's offset 0 and
// goes on over the same file, anonymous gaps between them allowed.
struct ModuleRecord {
  uint64_t low;       // the run's lowest address
  uint64_t firstEnd;  // the end of its first mapping, at the file's offset 0
  uint64_t high;      // the run's highest address, exclusive: its file's last mapping,
                      // or the image's end where the file's headers tell it
  uint64_t device;
  uint64_t inode;
  // Into Snapshot::text: as much of the path's start and of its file name as
  // a record can show, which are the same bytes unless the path is longer.
  std::size_t pathOffset;
  uint32_t pathLength;
  std::size_t nameOffset;
  uint32_t nameLength;
  bool executable;
  // Whether anonymous memory begins where its file's last mapping ends, as
  // the zero-filled pages of an image's .bss do: only then may the image go on.
  bool anonymousAfter;
};

struct ThreadRecord {
  DWORD tid;
  DWORD owner;
  LONG basePriority;
};

struct Snapshot {
  Snapshot() = default;
  ~Snapshot();  // closes the processes' directories
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  DWORD modulesOf = 0;  // the process whose modules were taken
  bool modulesQueried =
      false;  // whether from the kernel's answers to PROCMAP_QUERY, not the maps text
  std::vector<ProcessRecord> processes;  // by ascending id
  std::vector<ModuleRecord> modules;
  std::vector<ThreadRecord> threads;
  std::string text;  // the names and paths of all records, back to back
  // Of a process snapshot: the layouts of the images that the module snapshots
  // of its processes read, kept while it is open.
  mutable ImageLayouts images;
  std::size_t nextProcess = 0;
  std::size_t nextModule = 0;
  std::size_t nextThread = 0;

  // Adds a name or path to `text`; its offset there.
  std::size_t Keep(const char* bytes, std::size_t length) {
    const std::size_t offset = text.size();
    text.append(bytes, length);
    return offset;
  }
  // The record of a listed id, or null.
  const ProcessRecord* Find(DWORD pid) const;
  // Keeps as much of a module's path, and of its file name, as a record shows.
  void KeepModulePath(std::string_view path, ModuleRecord* module);
};

// Each fills its part of the snapshot from /proc (`root` is a descriptor of
// /proc). ERROR_SUCCESS, or the error code, which is also set as the last error.
DWORD TakeProcesses(int root, Snapshot* snapshot);
DWORD TakeThreads(int root, Snapshot* snapshot);

struct procmap_query;

// How a module snapshot reaches a process's maps: the text through `read` (as
// read(2) does), and, where given and the kernel answers, the mappings one by
// one through `query` (as ioctl(2) does with PROCMAP_QUERY). A suite can so
// end the process between two reads or two queries, or give a text of its own.
struct MapsAccess {
  std::function<ssize_t(int fd, char* into, std::size_t room)> read;
  std::function<int(int fd, procmap_query* query)> query;
};
MapsAccess KernelMaps();  // read(2) and ioctl(2) themselves

// Fills the snapshot with the modules of a process (`root` is a descriptor of
// /proc). ERROR_SUCCESS, or the error code, which is also set as the last
// error.
DWORD TakeModules(int root, DWORD pid, Snapshot* snapshot, const MapsAccess& maps = KernelMaps());
