// The module snapshot: the modules of one process, from its maps text.
#include "modules.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "handles.h"
#include "last_error.h"
#include "proc_files.h"
#include "proc_text.h"

namespace {

// The kernel's PATH_MAX: the longest path a mapping can have.
constexpr std::size_t kPathBufferSize = 4096;
// Maps are read in chunks. A line is about 80 bytes and a path, which is
// usually short but may be far longer than PATH_MAX in a deep directory tree.
constexpr std::size_t kMapsBufferSize = 65536;
constexpr std::size_t kMaxMapsLine = std::size_t{16} << 20;

}  // namespace

namespace {

// The kernel's PROCMAP_QUERY (Linux 6.11), which <linux/fs.h> of older
// systems lacks: the mapping at an address, with its file's path unescaped.
struct procmap_query {
  uint64_t size;
  uint64_t query_flags;
  uint64_t query_addr;
  uint64_t vma_start;
  uint64_t vma_end;
  uint64_t vma_flags;
  uint64_t vma_page_size;
  uint64_t vma_offset;
  uint64_t inode;
  uint32_t dev_major;
  uint32_t dev_minor;
  uint32_t vma_name_size;
  uint32_t build_id_size;
  uint64_t vma_name_addr;
  uint64_t build_id_addr;
};
constexpr unsigned long PROCMAP_QUERY = _IOWR('f', 17, procmap_query);

// The path of a mapping as the file system holds it. The kernel writes a line
// break in a maps path as "\012" and leaves a backslash as it is, so a path
// with a backslash is asked for again by its address; where the kernel cannot
// tell, "\012" is taken for the line break it most likely is.
std::size_t RawPath(int maps, const procfs::MapsLine& line, char* path) {
  procmap_query query = {};
  query.size = sizeof query;
  query.query_addr = line.start;
  query.vma_name_size = kPathBufferSize;
  query.vma_name_addr = reinterpret_cast<uintptr_t>(path);
  if (ioctl(maps, PROCMAP_QUERY, &query) == 0 && query.vma_start == line.start &&
      query.inode == line.inode && query.vma_name_size > 1) {
    return query.vma_name_size - 1;  // less its terminator
  }
  std::memcpy(path, line.path, line.pathLength);
  return procfs::UnescapeMapsPath(path, line.pathLength);
}

// Where the module being built may still go on: after a mapping of its file,
// or an anonymous gap after one.
struct Run {
  bool open = false;
};

void AddMapping(int maps, const procfs::MapsLine& line, Run* run, Snapshot* snapshot) {
  std::vector<ModuleRecord>& modules = snapshot->modules;
  if (line.offset != 0) {
    // Goes on with the run of the same file, else belongs to no module.
    ModuleRecord* last = run->open ? &modules.back() : nullptr;
    run->open = last != nullptr && last->inode == line.inode && last->device == line.device &&
                line.start >= last->high;
    if (run->open) {
      last->high = line.end;
      last->executable = last->executable || line.executable;
    }
    return;
  }
  const char* path = line.path;
  std::size_t pathLength = line.pathLength;
  char raw[kPathBufferSize];
  if (std::memchr(path, '\\', pathLength) != nullptr && pathLength <= sizeof raw) {
    pathLength = RawPath(maps, line, raw);
    path = raw;
  }
  ModuleRecord record = {};
  record.low = line.start;
  record.high = line.end;
  record.device = line.device;
  record.inode = line.inode;
  record.executable = line.executable;
  record.pathLength = static_cast<uint32_t>(pathLength);
  record.pathOffset = snapshot->Keep(path, pathLength);
  modules.push_back(record);
  run->open = true;
}

// The kernel's last line of every maps text where it has the page
// (x86-64): it comes only after all the others, from memory still there.
constexpr char kGateName[] = "[vsyscall]";

// Adds one line of a maps text; whether it was the gate line.
bool AddMapsLine(int maps, const char* text, std::size_t length, Run* run, Snapshot* snapshot) {
  procfs::MapsLine line;
  if (!procfs::ParseMapsLine(text, length, &line)) {
    return false;
  }
  if (line.pathLength == 0) {
    return false;  // anonymous memory: a gap that a run may span
  }
  // Only files count: [heap], [stack], [vdso] are no modules, and end a run.
  if (line.path[0] == '/') {
    AddMapping(maps, line, run, snapshot);
    return false;
  }
  run->open = false;
  return line.pathLength == sizeof kGateName - 1 &&
         std::memcmp(line.path, kGateName, line.pathLength) == 0;
}

DWORD OpenError(int error) {
  if (error == ENOENT || error == ESRCH) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  return FailWithErrno(error);
}

// Adds the mappings of a maps file to the snapshot. `empty` tells whether it
// had no line; `whole`, whether it ended with the gate line, after which
// nothing more is read.
int ReadMaps(int maps, const ReadChunk& read, std::vector<char>* buffer, bool* empty, bool* whole,
             Snapshot* snapshot) {
  Run run;
  return procfs::ForEachLine(
      [&](char* into, std::size_t room) -> long {
        while (!*whole) {
          const ssize_t count = read(maps, into, room);
          if (count >= 0 || errno != EINTR) {
            return count >= 0 ? count : -errno;
          }
        }
        return 0;
      },
      buffer, kMaxMapsLine,
      [&](const char* line, std::size_t length) {
        *empty = false;
        *whole = AddMapsLine(maps, line, length, &run, snapshot);
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

}  // namespace

namespace {

DWORD Gone(Snapshot* snapshot) {
  snapshot->modules.clear();
  SetLastError(ERROR_INVALID_PARAMETER);
  return ERROR_INVALID_PARAMETER;
}

// Whether the memory whose maps were read through `thread` was still there
// after the last read. A read that finds it gone ends as if at the end of the
// text, so a list read from memory that went away meanwhile may be cut short;
// memory once let go of never comes back, so memory still there now was there
// all along.
bool MemoryOutlivedTheRead(int directory, DWORD pid, DWORD thread, const procfs::StatFields& stat) {
  if (thread == pid) {
    return stat.virtualSize != 0;
  }
  char text[procfs::kStatBufferSize];
  const ssize_t count =
      procfs::ReadLine(directory, procfs::TaskPath(thread, "stat").c_str(), text, sizeof text);
  procfs::StatFields threadStat;
  return count > 0 && procfs::ParseStat(text, static_cast<std::size_t>(count), &threadStat) &&
         threadStat.virtualSize != 0;
}

}  // namespace

DWORD TakeModules(int root, DWORD pid, Snapshot* snapshot, const ReadChunk& read) {
  snapshot->modulesOf = pid;
  // A listed id is read through the directory that its snapshot holds, which
  // fails once the process it saw has been reaped: a later holder of the id is
  // never read for it.
  const ProcessRecord* listed = nullptr;
  std::shared_ptr<const Snapshot> listing;
  {
    const auto lock = handles::Lock();
    listing = handles::ListingOf(pid, &listed);
  }
  const bool pinned = listed != nullptr && listed->directory >= 0;
  const procfs::Descriptor opened(pinned ? -1 : procfs::OpenProcessDirectory(root, pid));
  const int directory = pinned ? listed->directory : opened.get();
  if (directory < 0) {
    return OpenError(-directory);
  }
  std::vector<char>& buffer = MapsBuffer();
  DWORD thread = pid;  // whose maps are read
  int maps = procfs::OpenMemoryLeaf(directory, pid, "maps", O_RDONLY, false);
  if (maps < 0) {
    return OpenError(-maps);
  }
  for (bool leaderEnded = false;;) {
    bool empty = true;
    bool whole = false;
    int error = 0;
    {
      const procfs::Descriptor closeMaps(maps);
      error = ReadMaps(maps, read, &buffer, &empty, &whole, snapshot);
    }
    if (error != 0) {
      snapshot->modules.clear();
      return OpenError(-error);
    }
    if (pinned && whole) {
      break;  // that very process, its memory there to the last line
    }
    char statText[procfs::kStatBufferSize];
    procfs::StatFields stat;
    if (!procfs::ReadOwnStat(directory, statText, &stat)) {
      return Gone(snapshot);
    }
    // Without a held directory, the start time read after the maps names the
    // process: if the listed one still holds the id now, it held it while its
    // maps were read. An id that no snapshot lists may be a thread's, which
    // /proc answers to as well, but which Windows does not know here.
    if (!pinned && (listed != nullptr ? stat.startTime != listed->startTime
                                      : !procfs::IsProcessId(directory, pid))) {
      return Gone(snapshot);
    }
    if (!empty) {
      if (!whole && !MemoryOutlivedTheRead(directory, pid, thread, stat)) {
        return Gone(snapshot);  // ended while its maps were read
      }
      break;
    }
    if ((stat.kernelFlags & procfs::kKernelThreadFlag) != 0) {
      break;  // a kernel thread has no memory of its own: an empty list
    }
    // No memory at all: the process is ending, or has ended and waits to be
    // reaped, gone like one that has been (87); unless only its main thread
    // has ended, and the others have the maps.
    if (stat.state != 'Z' || leaderEnded) {
      return Gone(snapshot);
    }
    leaderEnded = true;
    // No live thread: 87 as well. A live thread's maps that may not be read: refused.
    maps = procfs::OpenMemoryLeaf(directory, pid, "maps", O_RDONLY, true, &thread);
    if (maps < 0) {
      snapshot->modules.clear();
      return OpenError(-maps);
    }
  }

  // Runs of a file with no executable mapping are data, not modules.
  std::vector<ModuleRecord>& modules = snapshot->modules;
  modules.erase(std::remove_if(modules.begin(), modules.end(),
                               [](const ModuleRecord& m) { return !m.executable; }),
                modules.end());
  return ERROR_SUCCESS;
}
