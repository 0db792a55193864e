#include "snapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "handles.h"
#include "last_error.h"
#include "proc_files.h"
#include "proc_text.h"

namespace {

// The kernel's PATH_MAX: the longest link /proc/PID/exe can hold.
constexpr std::size_t kLinkBufferSize = 4096;
// Maps are read in chunks. A line is about 80 bytes and a path, which is
// usually short but may be far longer than PATH_MAX in a deep directory tree.
constexpr std::size_t kMapsBufferSize = 65536;
constexpr std::size_t kMaxMapsLine = std::size_t{16} << 20;
// The longest name a record keeps (szExeFile less its terminator).
constexpr std::size_t kMaxNameLength = MAX_PATH - 1;

uint32_t Append(std::string* text, const char* bytes, std::size_t length) {
  const auto offset = static_cast<uint32_t>(text->size());
  text->append(bytes, length);
  return offset;
}

// The executable's file name where its link may be read, else the kernel's
// command name.
void NameOf(int root, DWORD pid, const procfs::StatFields& stat, const char** name,
            std::size_t* length, char* link) {
  const ssize_t count = readlinkat(root, procfs::Path(pid, "exe").c_str(), link, kLinkBufferSize);
  if (count > 0 && link[0] == '/') {
    const char* slash = link + count;
    while (slash[-1] != '/') {
      --slash;
    }
    *name = slash;
    *length = static_cast<std::size_t>(link + count - slash);
  } else {
    *name = stat.command;
    *length = stat.commandLength;
  }
  *length = std::min(*length, kMaxNameLength);
}

}  // namespace

DWORD TakeProcesses(int root, Snapshot* snapshot) {
  std::vector<DWORD> pids;
  if (const int error = procfs::ListIds(root, &pids); error != 0) {
    return FailWithErrno(-error);
  }
  snapshot->processes.reserve(pids.size());
  char statText[procfs::kStatBufferSize];
  char link[kLinkBufferSize];
  for (const DWORD pid : pids) {
    procfs::StatFields stat;
    // A process that is gone by now, or whose line cannot be read, is not listed.
    if (!procfs::ReadStat(root, pid, statText, &stat)) {
      continue;
    }
    const char* name = nullptr;
    std::size_t nameLength = 0;
    NameOf(root, pid, stat, &name, &nameLength, link);
    ProcessRecord record = {};
    record.pid = pid;
    record.startTime = stat.startTime;
    record.kernelThread = (stat.kernelFlags & procfs::kKernelThreadFlag) != 0;
    record.parent = stat.parent;
    record.threads = stat.threads;
    record.basePriority = procfs::BasePriorityOf(procfs::PriorityClassOf(stat.policy, stat.nice));
    record.nameLength = static_cast<uint32_t>(nameLength);
    record.nameOffset = Append(&snapshot->text, name, nameLength);
    snapshot->processes.push_back(record);
  }
  return ERROR_SUCCESS;
}

DWORD TakeThreads(int root, Snapshot* snapshot) {
  std::vector<DWORD> pids;
  if (const int error = procfs::ListIds(root, &pids); error != 0) {
    return FailWithErrno(-error);
  }
  char statText[procfs::kStatBufferSize];
  std::vector<DWORD> tids;
  for (const DWORD pid : pids) {
    const procfs::Descriptor tasks(
        openat(root, procfs::Path(pid, "task").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    tids.clear();
    if (tasks.get() < 0 || procfs::ListIds(tasks.get(), &tids) != 0) {
      continue;  // gone
    }
    for (const DWORD tid : tids) {
      procfs::StatFields stat;
      if (!procfs::ReadStat(tasks.get(), tid, statText, &stat)) {
        continue;
      }
      const LONG base = procfs::BasePriorityOf(procfs::PriorityClassOf(stat.policy, stat.nice));
      snapshot->threads.push_back(ThreadRecord{tid, pid, base});
    }
  }
  return ERROR_SUCCESS;
}

namespace {

// Adds one mapping to the module of its file, or starts a new module.
void AddMapping(const procfs::MapsLine& line, Snapshot* snapshot) {
  std::vector<ModuleRecord>& modules = snapshot->modules;
  // The mappings of one file are nearly always adjacent: look at the newest first.
  for (auto it = modules.rbegin(); it != modules.rend(); ++it) {
    if (it->inode == line.inode && it->device == line.device && it->pathLength == line.pathLength &&
        std::memcmp(snapshot->text.data() + it->pathOffset, line.path, line.pathLength) == 0) {
      it->low = std::min(it->low, line.start);
      it->high = std::max(it->high, line.end);
      it->executable = it->executable || line.executable;
      return;
    }
  }
  ModuleRecord record = {};
  record.low = line.start;
  record.high = line.end;
  record.device = line.device;
  record.inode = line.inode;
  record.executable = line.executable;
  record.pathLength = static_cast<uint32_t>(line.pathLength);
  record.pathOffset = Append(&snapshot->text, line.path, line.pathLength);
  modules.push_back(record);
}

void AddMapsLine(const char* text, std::size_t length, Snapshot* snapshot) {
  procfs::MapsLine line;
  // Only files count: anonymous memory and [heap], [stack], [vdso] are no modules.
  if (procfs::ParseMapsLine(text, length, &line) && line.pathLength > 0 && line.path[0] == '/') {
    AddMapping(line, snapshot);
  }
}

DWORD OpenError(int error) {
  if (error == ENOENT || error == ESRCH) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  return FailWithErrno(error);
}

// Adds the mappings of a maps file to the snapshot; `empty` tells whether it had no line.
int ReadMaps(int maps, std::vector<char>* buffer, bool* empty, Snapshot* snapshot) {
  return procfs::ForEachLine(
      [&](char* into, std::size_t room) -> long {
        for (;;) {
          const ssize_t count = read(maps, into, room);
          if (count >= 0 || errno != EINTR) {
            return count >= 0 ? count : -errno;
          }
        }
      },
      buffer, kMaxMapsLine,
      [&](const char* line, std::size_t length) {
        *empty = false;
        AddMapsLine(line, length, snapshot);
      });
}

// One buffer per thread for every module snapshot: clearing 64 KiB for each
// would cost more than parsing the maps. One grown for a long line is given back.
std::vector<char>& MapsBuffer() {
  thread_local std::vector<char> buffer;
  if (buffer.size() != kMapsBufferSize) {
    buffer.resize(kMapsBufferSize);
    buffer.shrink_to_fit();
  }
  return buffer;
}

handles::Listing ListingOf(DWORD pid, uint64_t startTime) {
  const auto lock = handles::Lock();
  return handles::ListingOf(pid, startTime);
}

}  // namespace

DWORD TakeModules(int root, DWORD pid, Snapshot* snapshot) {
  std::vector<char>& buffer = MapsBuffer();
  int maps = procfs::OpenMemoryLeaf(root, pid, "maps", O_RDONLY, false);
  if (maps < 0) {
    return OpenError(-maps);
  }
  snapshot->modulesOf = pid;
  char statText[procfs::kStatBufferSize];
  procfs::StatFields stat;
  for (bool leaderEnded = false;;) {
    bool empty = true;
    int error = 0;
    {
      const procfs::Descriptor closeMaps(maps);
      error = ReadMaps(maps, &buffer, &empty, snapshot);
    }
    if (error != 0) {
      snapshot->modules.clear();
      return OpenError(-error);
    }
    // Read after the maps: if the process that a process snapshot listed still
    // holds the id now, it held it while its maps were read. An id that no
    // snapshot lists may be a thread's, which /proc answers to as well, but
    // which Windows does not know here.
    const bool read = procfs::ReadStat(root, pid, statText, &stat);
    const handles::Listing listing =
        read ? ListingOf(pid, stat.startTime) : handles::Listing::kAnother;
    if (listing == handles::Listing::kAnother ||
        (listing == handles::Listing::kUnlisted && !procfs::IsProcessId(root, pid))) {
      snapshot->modules.clear();
      SetLastError(ERROR_INVALID_PARAMETER);
      return ERROR_INVALID_PARAMETER;
    }
    if (!empty || (stat.kernelFlags & procfs::kKernelThreadFlag) != 0) {
      break;  // a kernel thread has no memory of its own: an empty list
    }
    // No memory at all: the process is ending, or has ended and waits to be
    // reaped, gone like one that has been (87); unless only its main thread
    // has ended, and the others have the maps.
    if (stat.state != 'Z' || leaderEnded) {
      snapshot->modules.clear();
      SetLastError(ERROR_INVALID_PARAMETER);
      return ERROR_INVALID_PARAMETER;
    }
    leaderEnded = true;
    // No live thread: 87 as well. A live thread's maps that may not be read: refused.
    maps = procfs::OpenMemoryLeaf(root, pid, "maps", O_RDONLY, true);
    if (maps < 0) {
      snapshot->modules.clear();
      return OpenError(-maps);
    }
  }

  std::vector<ModuleRecord>& modules = snapshot->modules;
  modules.erase(std::remove_if(modules.begin(), modules.end(),
                               [](const ModuleRecord& m) { return !m.executable; }),
                modules.end());
  std::stable_sort(modules.begin(), modules.end(),
                   [](const ModuleRecord& a, const ModuleRecord& b) { return a.low < b.low; });
  return ERROR_SUCCESS;
}
