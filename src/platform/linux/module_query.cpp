// The module walk that asks. The kernel finds the executable file mappings
// itself; each one's image is placed by its file's own program headers, and
// the run of mappings that the text walk would read is asked for where the
// loader's own layout does not already tell it.
// What lies between the runs is not asked for: no module begins there.
#include "module_query.h"

#include <linux/limits.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "procmap_query.h"

namespace {

// A mapping as the kernel answered for it.
struct Mapping {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t offset = 0;
  FileId file{0, 0};
  bool executable = false;

  // Anonymous memory and the kernel's own pages have no file: device and inode 0.
  bool FileBacked() const { return file.device != 0 || file.inode != 0; }
};

constexpr uint64_t kNext = PROCMAP_QUERY_COVERING_OR_NEXT_VMA;
constexpr uint64_t kNextExecutableFile =
    kNext | PROCMAP_QUERY_FILE_BACKED_VMA | PROCMAP_QUERY_VMA_EXECUTABLE;

// How many executable mappings are found before their files' headers are
// asked for, all at once: enough to keep the reader process busy, few enough
// that memory stays small however many a process has.
constexpr std::size_t kBatch = 32;

struct Walk {
  const MapsAccess& access;
  int maps;
  int directory;
  Snapshot* snapshot;
  ImageLayouts* layouts;
  // Where the mapping that ended the last run starts: no module begins below.
  uint64_t examined = 0;
  // That mapping, where it is a file's, with its path: often the next image's first.
  std::optional<Mapping> ended = {};
  std::string endedPath = {};
  char name[PATH_MAX] = {};
  std::size_t nameLength = 0;

  // One question: 0, or the errno of a refused one (ENOENT: no such mapping;
  // ESRCH: the memory is gone). With `named`, the mapping's name is read into
  // `name`: its file's path unescaped, a name of the kernel's, or nothing.
  int Ask(uint64_t address, uint64_t flags, bool named, Mapping* mapping) {
    procmap_query query = {};
    query.size = sizeof query;
    query.query_flags = flags;
    query.query_addr = address;
    if (named) {
      query.vma_name_addr = reinterpret_cast<uintptr_t>(name);
      query.vma_name_size = sizeof name;
    }
    if (access.query(maps, &query) != 0) {
      return errno != 0 ? errno : EIO;
    }
    mapping->start = query.vma_start;
    mapping->end = query.vma_end;
    mapping->offset = query.vma_offset;
    mapping->file = FileId{uint64_t{query.dev_major} << 32 | query.dev_minor, query.inode};
    mapping->executable = (query.vma_flags & PROCMAP_QUERY_VMA_EXECUTABLE) != 0;
    nameLength = named && query.vma_name_size > 0  // less its terminator
                     ? std::min<std::size_t>(query.vma_name_size, sizeof name) - 1
                     : 0;
    return 0;
  }

  std::string_view Name() const { return {name, nameLength}; }
};

// What a refused question means for the walk.
QueryWalk Refused(int error) { return error == ESRCH ? QueryWalk::kGone : QueryWalk::kByText; }

// An executable mapping found, with its file's path, waiting for its file's headers.
struct Found {
  Mapping mapping;
  std::string path;
};

// The base of the image that the file's headers place the executable mapping
// in; false where they place none there.
bool PlaceImage(const elf::ImageLayout& layout, const Mapping& executable, uint64_t* base) {
  if (layout.executableFileEnd == 0 || executable.offset < layout.executableFileStart ||
      executable.offset >= layout.executableFileEnd) {
    return false;
  }
  const uint64_t inImage =
      layout.executableStart + (executable.offset - layout.executableFileStart);
  *base = executable.start - inImage;
  return executable.start >= inImage;
}

// Makes the module whose image holds the executable mapping. Its first
// mapping must be its file's, at offset 0, at the image's base. The run then
// goes on as the text walk reads it: over the same file (at an offset other
// than 0, or at 0 within the image), over anonymous memory and the kernel's
// vDSO pages, to the first other mapping. In an image without gaps the
// loader leaves no page free before its file's last page, so the run is
// asked for from that page on; in one with gaps, mapping by mapping from the
// base. Two layouts only a process's own hand makes are not looked for:
// another file's mapping put over the pages of an image without gaps, where
// the text walk would end the run, and a mapping of the same file at offset 0
// below the base, which it would begin the run with.
QueryWalk MakeModule(Walk* walk, const Mapping& executable,
                     const std::optional<elf::ImageLayout>& layout) {
  uint64_t base = 0;
  if (!layout || !PlaceImage(*layout, executable, &base) || base < walk->examined) {
    return QueryWalk::kByText;
  }
  Mapping first;
  std::string path;
  if (walk->ended && walk->ended->start == base) {
    first = *walk->ended;
    path = walk->endedPath;
  } else {
    if (const int error = walk->Ask(base, 0, true, &first); error != 0) {
      return Refused(error);
    }
    path = walk->Name();
  }
  walk->ended.reset();
  if (first.start != base || !(first.file == executable.file) || first.offset != 0 ||
      path.empty() || path[0] != '/') {
    return QueryWalk::kByText;
  }
  ModuleRecord module = {};
  module.low = first.start;
  module.firstEnd = first.end;
  module.high = first.end;
  module.device = first.file.device;
  module.inode = first.file.inode;
  module.executable = first.executable;
  const uint64_t fileBytesEnd = base + layout->fileBytesEnd;
  if (layout->gapless && fileBytesEnd > first.end) {
    // The file's last page must be the file's, as the loader mapped it.
    Mapping last;
    if (const int error = walk->Ask(fileBytesEnd - 1, 0, false, &last); error != 0) {
      return Refused(error);
    }
    if (!(last.file == executable.file) || last.start < first.end || last.end < executable.end) {
      return QueryWalk::kByText;
    }
    module.high = last.end;
    module.executable = true;  // the executable mapping lies within
  }
  walk->examined = UINT64_MAX;
  for (uint64_t at = module.high;;) {
    Mapping next;
    if (const int error = walk->Ask(at, kNext, true, &next); error != 0) {
      if (error != ENOENT) {
        return Refused(error);
      }
      break;  // the last mapping of all
    }
    at = next.end;
    if (next.FileBacked()) {
      if (next.file == executable.file &&
          (next.offset != 0 || next.end - module.low <= layout->span)) {
        module.high = next.end;
        module.executable = module.executable || next.executable;
        module.anonymousAfter = false;
        continue;
      }
      walk->examined = next.start;
      walk->ended = next;
      walk->endedPath = walk->Name();
      break;
    }
    if (walk->Name().empty()) {
      module.anonymousAfter = module.anonymousAfter || next.start == module.high;
      continue;
    }
    if (!IsVdsoPage(walk->Name())) {
      walk->examined = next.start;
      break;
    }
  }
  if (executable.start >= module.high) {
    return QueryWalk::kByText;  // the run from the base does not reach it
  }
  if (module.anonymousAfter &&
      elf::RunEndsInTheLastFileSegment(*layout, module.high - module.low)) {
    module.high = module.low + layout->span;
  }
  walk->snapshot->KeepModulePath(path, &module);
  walk->snapshot->modules.push_back(module);
  return QueryWalk::kModules;
}

// Finds up to kBatch executable file mappings from `*from` on, setting
// `*last` once none is left. A mapping that no path names (of a file the kernel made, such as
// an anonymous inode's) is one the text walk takes as the kernel's own.
QueryWalk FindExecutables(Walk* walk, uint64_t* from, std::vector<Found>* found, bool* last) {
  found->clear();
  *last = false;
  while (found->size() < kBatch) {
    Mapping mapping;
    if (const int error = walk->Ask(*from, kNextExecutableFile, true, &mapping); error != 0) {
      if (error != ENOENT) {
        return Refused(error);
      }
      *last = true;
      break;
    }
    if (walk->Name().empty() || walk->Name()[0] != '/') {
      return QueryWalk::kByText;
    }
    found->push_back({mapping, std::string(walk->Name())});
    *from = mapping.end;
  }
  return QueryWalk::kModules;
}

}  // namespace

QueryWalk WalkByQuery(const MapsAccess& access, int maps, int directory, Snapshot* snapshot,
                      ImageLayouts* layouts) {
  Walk walk{access, maps, directory, snapshot, layouts};
  std::vector<Found> found;
  std::vector<ImageRequest> requests;
  bool last = false;
  for (uint64_t from = 0; !last;) {
    const QueryWalk step = FindExecutables(&walk, &from, &found, &last);
    if (step != QueryWalk::kModules) {
      // Memory gone before anything was asked of it is memory never seen: as an empty text.
      return step == QueryWalk::kGone && from == 0 ? QueryWalk::kNoMemory : step;
    }
    if (from == 0) {
      // No executable file mapping: no module, unless there is no memory at all.
      Mapping any;
      const int error = walk.Ask(0, kNext, false, &any);
      return error == 0                          ? QueryWalk::kModules
             : error == ENOENT || error == ESRCH ? QueryWalk::kNoMemory
                                                 : QueryWalk::kByText;
    }
    requests.clear();
    for (const Found& each : found) {
      requests.push_back({each.mapping.file, each.mapping.start, each.mapping.end, each.path, {}});
    }
    LayoutsOfImages(layouts, directory, requests.data(), requests.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
      if (found[i].mapping.start < walk.examined) {
        continue;  // within the run of a module already made
      }
      if (const QueryWalk made = MakeModule(&walk, found[i].mapping, requests[i].layout);
          made != QueryWalk::kModules) {
        return made;
      }
    }
  }
  return QueryWalk::kModules;
}
