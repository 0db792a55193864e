// The module snapshot: the modules of one process, from its maps text.
#include "snapshot.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include <tlhelp32.h>

#include "last_error.h"
#include "module_query.h"
#include "proc_files.h"
#include "process_by_id.h"
#include "procmap_query.h"

namespace {

// The kernel's PATH_MAX: the longest path a mapping's query gives.
constexpr std::size_t kPathBufferSize = 4096;

// The path of a mapping as the file system holds it. The kernel writes a line
// break in a maps path as "\012" and leaves a backslash as it is, so a path
// with a backslash is asked for again by its address (PROCMAP_QUERY), else
// read from the mapping's own link in map_files; where neither answers,
// "\012" is taken for the line break it most likely is.
std::size_t RawPath(int maps, int directory, ImageLayouts* layouts, const procfs::MapsLine& line,
                    char* path) {
  procmap_query query = {};
  query.size = sizeof query;
  query.query_addr = line.start;
  query.vma_name_size = kPathBufferSize;
  query.vma_name_addr = reinterpret_cast<uintptr_t>(path);
  if (ioctl(maps, PROCMAP_QUERY, &query) == 0 && query.vma_start == line.start &&
      query.vma_end == line.end && query.inode == line.inode &&
      (uint64_t{query.dev_major} << 32 | query.dev_minor) == line.device &&
      query.vma_name_size > 1) {
    return query.vma_name_size - 1;  // less its terminator
  }
  const std::size_t linked = MappedFilePath(layouts, directory, FileId{line.device, line.inode},
                                            line.start, line.end, path, kPathBufferSize);
  if (linked != 0) {
    return linked;
  }
  std::memcpy(path, line.path, line.pathLength);
  return procfs::UnescapeMapsPath(path, line.pathLength);
}

// The kernel's last line of every maps text where it has the page (x86-64):
// it comes only after all the others, from memory still there.
constexpr std::string_view kGateName = "[vsyscall]";

// A maps text read into the snapshot, line by line.
struct Reading {
  int maps;
  int directory;  // the process's /proc/PID
  Snapshot* snapshot;
  ImageLayouts* layouts;  // what files' headers gave, kept by the process snapshot
  std::string path;       // the whole path of the run being read, for its headers
  bool runOpen = false;   // whether the last module may still go on
  bool empty = true;
  bool whole = false;  // ended with the gate line
  // The modules whose images are to be sized, each with its run's whole path.
  std::vector<std::pair<std::size_t, std::string>> toSize = {};
  // The last file asked for while the text is read, under its path, and what
  // it gave (a failure too, which is this process's alone): a file mapped
  // over and over is asked for once.
  std::pair<FileId, std::string> asked = {FileId{0, 0}, {}};
  std::optional<elf::ImageLayout> askedLayout = {};
};

// Extends each module whose run anonymous memory follows to its image's end,
// where its file's own headers lay the run out: the zero-filled pages past
// the file's end (.bss), which the loader maps anonymously, are the image's
// too. How much memory follows a module tells nothing of that, as the kernel
// merges adjacent anonymous mappings, a heap block among them; but where none
// follows, the loader mapped no .bss past the file, and the file is not read.
// All files of the process are asked for at once, when its maps have been read.
void SizeImages(Reading* reading) {
  std::vector<ModuleRecord>& modules = reading->snapshot->modules;
  std::vector<ImageRequest> requests;
  for (const auto& [index, path] : reading->toSize) {
    const ModuleRecord& module = modules[index];
    requests.push_back(ImageRequest{FileId{module.device, module.inode}, module.low,
                                    module.firstEnd, path, std::nullopt});
  }
  LayoutsOfImages(reading->layouts, reading->directory, requests.data(), requests.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    ModuleRecord& module = modules[reading->toSize[i].first];
    const std::optional<elf::ImageLayout>& layout = requests[i].layout;
    if (layout && elf::RunEndsInTheLastFileSegment(*layout, module.high - module.low)) {
      module.high = module.low + layout->span;
    }
  }
  reading->toSize.clear();
}

// The run of the last module has ended. Without an executable mapping it is
// data, no module, and its text goes with it: the snapshot keeps text only
// for what it will list.
void EndRun(Reading* reading) {
  if (!reading->runOpen) {
    return;
  }
  reading->runOpen = false;
  Snapshot& snapshot = *reading->snapshot;
  ModuleRecord& last = snapshot.modules.back();
  if (!last.executable) {
    snapshot.text.resize(last.pathOffset);
    snapshot.modules.pop_back();
  } else if (last.anonymousAfter) {
    reading->toSize.emplace_back(snapshot.modules.size() - 1, reading->path);
  }
}

// Whether a mapping of the last module's file at its offset 0 is one of that
// module's later segments, not the file loaded once more: a segment whose
// file bytes begin in the file's first page maps that page again (small files,
// and those linked without page-aligned segments, as lld does by default).
// Only the file's own headers tell, by the image's span.
void AskForTheImage(Reading* reading, const ModuleRecord& last) {
  ImageRequest request{FileId{last.device, last.inode}, last.low, last.firstEnd, reading->path,
                       std::nullopt};
  LayoutsOfImages(reading->layouts, reading->directory, &request, 1);
  reading->asked = {request.file, reading->path};
  reading->askedLayout = request.layout;
}

bool WithinTheImage(Reading* reading, const ModuleRecord& last, const procfs::MapsLine& line) {
  if (!(reading->asked.first == FileId{last.device, last.inode}) ||
      reading->asked.second != reading->path) {
    AskForTheImage(reading, last);
  }
  return reading->askedLayout && line.end - last.low <= reading->askedLayout->span;
}

void AddFileMapping(Reading* reading, const procfs::MapsLine& line) {
  std::vector<ModuleRecord>& modules = reading->snapshot->modules;
  ModuleRecord* last = reading->runOpen ? &modules.back() : nullptr;
  if (last != nullptr && last->inode == line.inode && last->device == line.device &&
      line.start >= last->high && (line.offset != 0 || WithinTheImage(reading, *last, line))) {
    // Goes on with the run of the same file.
    last->high = line.end;
    last->executable = last->executable || line.executable;
    last->anonymousAfter = false;
    return;
  }
  if (line.offset != 0) {
    EndRun(reading);  // belongs to no module
    return;
  }
  EndRun(reading);
  std::string_view path(line.path, line.pathLength);
  // Escaped, a path of PATH_MAX bytes can take four times as many.
  reading->path.clear();
  if (path.find('\\') != std::string_view::npos) {
    reading->path.resize(std::max(path.size(), kPathBufferSize));
    reading->path.resize(
        RawPath(reading->maps, reading->directory, reading->layouts, line, reading->path.data()));
  } else {
    reading->path.assign(path);
  }
  ModuleRecord module = {};
  module.low = line.start;
  module.firstEnd = line.end;
  module.high = line.end;
  module.device = line.device;
  module.inode = line.inode;
  module.executable = line.executable;
  reading->snapshot->KeepModulePath(reading->path, &module);
  modules.push_back(module);
  reading->runOpen = true;
}

void AddLine(Reading* reading, const char* text, std::size_t length) {
  reading->empty = false;
  reading->whole = false;
  procfs::MapsLine line;
  if (!procfs::ParseMapsLine(text, length, &line)) {
    return;
  }
  if (line.pathLength == 0) {
    // Anonymous memory: a gap that a run may span, or the .bss of its image.
    std::vector<ModuleRecord>& modules = reading->snapshot->modules;
    if (reading->runOpen && line.start == modules.back().high) {
      modules.back().anonymousAfter = true;
    }
    return;
  }
  const std::string_view path(line.path, line.pathLength);
  if (path[0] == '/') {
    AddFileMapping(reading, line);
    return;
  }
  // None of the kernel's own mappings is a module, and each ends a run but its vDSO pages.
  if (!IsVdsoPage(path)) {
    EndRun(reading);
    reading->whole = path == kGateName;
  }
}

// Reads a maps text to its end, or to the gate line. 0, or the errno of a failed read.
int ReadMaps(Reading* reading, const MapsAccess& access) {
  std::string pending;  // a line begun in one read and ended in a later one
  char chunk[4096];     // the kernel hands out a maps text a page at a time
  while (!reading->whole) {
    const ssize_t count = access.read(reading->maps, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      if (count < 0) {
        return errno;
      }
      break;
    }
    pending.append(chunk, static_cast<std::size_t>(count));
    procfs::TakeLines(
        &pending, [&](const char* line, std::size_t length) { AddLine(reading, line, length); });
  }
  if (!pending.empty() && !reading->whole) {
    AddLine(reading, pending.data(), pending.size());
  }
  EndRun(reading);
  SizeImages(reading);
  return 0;
}

DWORD Fail(Snapshot* snapshot, DWORD error) {
  snapshot->modules.clear();
  snapshot->text.clear();
  SetLastError(error);
  return error;
}

// Whether the memory whose maps were read is still there after the last read.
// A read that finds it gone ends as if at the end of the text, so a list read
// from memory that went away meanwhile (the process ended, or ran another
// program by execve) may be cut short; memory once let go of never comes
// back, so memory still there now was there all along.
bool MemoryOutlivedTheRead(int maps) {
  char first = 0;
  return lseek(maps, 0, SEEK_SET) == 0 && ::read(maps, &first, 1) == 1;
}

// Reads the whole maps text. 0, with `*empty` where it had no line at all, or
// the error code of a failure.
DWORD WalkByText(const MapsAccess& access, int maps, int directory, Snapshot* snapshot,
                 ImageLayouts* layouts, bool* empty) {
  Reading reading{maps, directory, snapshot, layouts, {}};
  if (const int error = ReadMaps(&reading, access); error != 0) {
    return ErrorFromErrno(error);
  }
  *empty = reading.empty;
  if (reading.whole || reading.empty) {
    return ERROR_SUCCESS;  // that very process, its memory there to the last line; or none
  }
  return MemoryOutlivedTheRead(maps) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

}  // namespace

void Snapshot::KeepModulePath(std::string_view path, ModuleRecord* module) {
  // Each byte shows as one or more; the name apart only where the path is longer.
  const std::string_view shown = path.substr(0, MAX_PATH - 1);
  const std::string_view name = path.substr(path.rfind('/') + 1).substr(0, MAX_MODULE_NAME32);
  module->pathOffset = Keep(shown.data(), shown.size());
  module->pathLength = static_cast<uint32_t>(shown.size());
  module->nameLength = static_cast<uint32_t>(name.size());
  module->nameOffset =
      name.data() + name.size() <= shown.data() + shown.size()
          ? module->pathOffset + static_cast<std::size_t>(name.data() - path.data())
          : Keep(name.data(), name.size());
}

MapsAccess KernelMaps() {
  // A kernel that does not know the call (before 6.11) is not asked again.
  static std::atomic<bool> unknown{false};
  return {::read, [](int fd, procmap_query* query) {
            if (unknown.load(std::memory_order_relaxed)) {
              errno = ENOTTY;
              return -1;
            }
            const int result = ioctl(fd, PROCMAP_QUERY, query);
            if (result != 0 && errno == ENOTTY) {
              unknown.store(true, std::memory_order_relaxed);
            }
            return result;
          }};
}

DWORD TakeModules(int root, DWORD pid, Snapshot* snapshot, const MapsAccess& access) {
  snapshot->modulesOf = pid;
  FoundProcess found;
  if (const DWORD error = FindProcessById(root, pid, IdRule::kTheListedProcess, &found);
      error != ERROR_SUCCESS) {
    return Fail(snapshot, error);
  }
  const int directory = found.directory;
  // A process snapshot keeps what the files gave for the others it lists;
  // without one, nothing outlives this snapshot.
  ImageLayouts unlisted;
  ImageLayouts* layouts = found.listing != nullptr ? &found.listing->images : &unlisted;
  for (bool throughThread = false;; throughThread = true) {
    const procfs::Descriptor maps(procfs::OpenMaps(directory, pid, throughThread));
    if (maps.get() < 0) {
      return Fail(snapshot, ErrorFromErrno(-maps.get()));
    }
    // Asked first where the kernel answers; the text is read where it does
    // not, or where its answers do not add up, and then alone.
    const QueryWalk walked = access.query
                                 ? WalkByQuery(access, maps.get(), directory, snapshot, layouts)
                                 : QueryWalk::kByText;
    snapshot->modulesQueried = walked == QueryWalk::kModules;
    if (walked == QueryWalk::kModules) {
      break;
    }
    if (walked == QueryWalk::kGone) {
      return Fail(snapshot, ERROR_INVALID_PARAMETER);  // gone while it was asked about
    }
    if (walked == QueryWalk::kByText) {
      snapshot->modules.clear();
      snapshot->text.clear();
      bool empty = false;
      const DWORD error = WalkByText(access, maps.get(), directory, snapshot, layouts, &empty);
      if (error != ERROR_SUCCESS) {
        return Fail(snapshot, error);  // ERROR_INVALID_PARAMETER: gone while its maps were read
      }
      if (!empty) {
        break;
      }
    }
    procfs::StatFields& stat = found.stat;
    if (const int error = procfs::ReadStat(directory, "stat", found.statText, &stat); error != 0) {
      return Fail(snapshot, ErrorFromErrno(-error));
    }
    if ((stat.kernelFlags & procfs::kKernelThreadFlag) != 0) {
      break;  // a kernel thread has no memory of its own: an empty list
    }
    // No memory at all: the process is ending, or has ended and waits to be
    // reaped. It counts as gone, as a reaped one does (ERROR_INVALID_PARAMETER).
    // The exception is a process whose main thread alone has ended: its other
    // threads have the maps.
    if (stat.state != 'Z' || throughThread) {
      return Fail(snapshot, ERROR_INVALID_PARAMETER);
    }
  }
  return ERROR_SUCCESS;
}
