#include "mapped_images.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "proc_files.h"
#include "procmap_query.h"

namespace {

// The file behind a path, as a descriptor that only names it (O_PATH): opening
// it so reads nothing, calls no device's driver (a path that another root's
// owner chose, a container's, may name a watchdog here, which an open would
// start), and does not wait on a FIFO. No symbolic link is followed, where the
// kernel can refuse them all (openat2, Linux 5.6); elsewhere the last
// component's alone, and the file's identity decides.
int OpenPathOnly(const std::string& path) {
  open_how how = {};
  how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) {
    return static_cast<int>(fd);
  }
  return open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

uint64_t DeviceOf(const struct stat& status) {
  return (uint64_t{major(status.st_dev)} << 32) | minor(status.st_dev);
}

// Reads `size` bytes at `offset`, or fewer where the file ends; the count, or -1.
ssize_t ReadAt(int fd, unsigned char* into, std::size_t size, uint64_t offset) {
  std::size_t total = 0;
  while (total < size) {
    const ssize_t count = pread(fd, into + total, size - total, static_cast<off_t>(offset + total));
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return -1;
    }
    if (count == 0) {
      break;
    }
    total += static_cast<std::size_t>(count);
  }
  return static_cast<ssize_t>(total);
}

// What the file's headers say: kImage with its layout, kNoImage, or
// kUnreached where a read failed, which tells nothing of the file.
FileAnswer::Outcome ReadHeaders(int fd, elf::ImageLayout* layout) {
  // The program headers follow the ELF header in nearly every file: one read,
  // of no more than holds them (17 of 64 bits, 30 of 32), as the page it copies
  // from is seldom in the processor's caches.
  unsigned char header[1024];
  const ssize_t count = ReadAt(fd, header, sizeof header, 0);
  uint64_t offset = 0;
  std::size_t size = 0;
  if (count < 0) {
    return FileAnswer::kUnreached;
  }
  const auto read = static_cast<std::size_t>(count);
  if (!elf::FindProgramHeaders(header, read, &offset, &size)) {
    return FileAnswer::kNoImage;
  }
  // The table's place is the file's to choose: checked before any pointer is made from it.
  const unsigned char* table = nullptr;
  std::vector<unsigned char> elsewhere;
  if (offset <= read && size <= read - offset) {
    table = header + offset;
  } else {
    elsewhere.resize(size);
    const ssize_t got = ReadAt(fd, elsewhere.data(), size, offset);
    if (got < 0) {
      return FileAnswer::kUnreached;
    }
    if (got != static_cast<ssize_t>(size)) {
      return FileAnswer::kNoImage;  // the file ends within its table
    }
    table = elsewhere.data();
  }
  return elf::ReadImageLayout(header, read, table, size, PageSize(), layout) ? FileAnswer::kImage
                                                                             : FileAnswer::kNoImage;
}

// The name of a mapping's entry in /proc/PID/map_files.
struct MapFilesEntry {
  MapFilesEntry(uint64_t start, uint64_t end) {
    std::snprintf(name, sizeof name, "map_files/%llx-%llx", static_cast<unsigned long long>(start),
                  static_cast<unsigned long long>(end));
  }
  char name[64];
};

// How this process's own maps names its mapping at `at`.
bool OwnMappingNamed(const void* at, FileId* id) {
  const procfs::Descriptor maps(openat(procfs::Root(), "self/maps", O_RDONLY | O_CLOEXEC));
  const auto address = reinterpret_cast<uintptr_t>(at);
  procmap_query query = {};
  query.size = sizeof query;
  query.query_addr = address;
  if (maps.get() >= 0 && ioctl(maps.get(), PROCMAP_QUERY, &query) == 0) {
    *id = FileId{uint64_t{query.dev_major} << 32 | query.dev_minor, query.inode};
    return query.vma_start == address;
  }
  // Before Linux 6.11: its line of the maps text, which is short here.
  std::string text;
  char chunk[4096];
  bool found = false;
  for (ssize_t count; maps.get() >= 0 && (count = read(maps.get(), chunk, sizeof chunk)) > 0;) {
    text.append(chunk, static_cast<std::size_t>(count));
    procfs::TakeLines(&text, [&](const char* line, std::size_t length) {
      procfs::MapsLine parsed;
      if (procfs::ParseMapsLine(line, length, &parsed) && parsed.start == address) {
        *id = FileId{parsed.device, parsed.inode};
        found = true;
      }
    });
  }
  return found;
}

// Whether a file opened for reading is the one that maps names `file`, where
// `stat` tells another identity: mapped here, it is named as the process's
// mapping was, by the same rule (the superblock's device on btrfs, the layer's
// file through an overlay).
bool MapsNamesIt(int readable, const FileId& file) {
  const std::size_t page = static_cast<std::size_t>(PageSize());
  void* mapped = mmap(nullptr, page, PROT_READ, MAP_PRIVATE, readable, 0);
  if (mapped == MAP_FAILED) {
    return false;
  }
  FileId own = {};
  const bool named = OwnMappingNamed(mapped, &own) && own == file;
  munmap(mapped, page);
  return named;
}

#ifndef BCACHEFS_SUPER_MAGIC
#define BCACHEFS_SUPER_MAGIC 0xca451a4e
#endif

// Whether the file system repeats inode numbers under the one device that
// maps shows: btrfs and bcachefs do, in each of their subvolumes.
// Asked once for each device in the reader process, which lives as long as a
// process snapshot.
bool InodesRepeat(int fd, dev_t device) {
  static std::unordered_map<dev_t, bool> known;
  if (const auto found = known.find(device); found != known.end()) {
    return found->second;
  }
  struct statfs system;
  if (fstatfs(fd, &system) != 0) {
    return true;  // not known, and so not believed
  }
  return known[device] = system.f_type == BTRFS_SUPER_MAGIC ||
                         static_cast<unsigned long>(system.f_type) == BCACHEFS_SUPER_MAGIC;
}

// Whether the file lies where `stat` tells another identity than maps does,
// so that only mapping it tells whether it is the mapped file: btrfs and
// bcachefs (a subvolume's device against the file system's) and overlayfs
// (a layer's against the overlay's). Any other file reached by a path whose
// identity differs is another file, which is not opened for reading: opening
// one may do something (a tracing file, a device's sysfs resource).
bool NamedOtherwiseByMaps(int fd) {
  struct statfs system;
  return fstatfs(fd, &system) == 0 &&
         (system.f_type == BTRFS_SUPER_MAGIC || system.f_type == OVERLAYFS_SUPER_MAGIC ||
          static_cast<unsigned long>(system.f_type) == BCACHEFS_SUPER_MAGIC);
}

// The reader process's side: reaches the file, makes sure it is the mapped
// one, and answers from it.
void AnswerAboutFile(const FileQuestion& question, int directory, int ownDescriptors,
                     FileAnswer* answer) {
  const FileId file{question.device, question.inode};
  const MapFilesEntry entry(question.start, question.end);
  procfs::Descriptor mapped(openat(directory, entry.name, O_PATH | O_CLOEXEC));
  char link[kPathRoom];
  std::string byPath;  // where the mapping itself is refused, the path that leads to it
  if (mapped.get() < 0) {
    if (errno != EPERM && errno != EACCES) {
      return;  // the mapping is gone
    }
    if (question.kind == FileQuestion::kPath) {
      // Others may read the link of a process they may read, not follow it.
      const ssize_t length = readlinkat(directory, entry.name, link, sizeof link);
      if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link) {
        return;
      }
      byPath.assign(link, static_cast<std::size_t>(length));
    } else {
      byPath.assign(question.path, question.pathLength);
    }
    if (byPath.empty() || byPath[0] != '/') {
      return;
    }
  }
  const procfs::Descriptor named(mapped.get() >= 0 ? mapped.Release() : OpenPathOnly(byPath));
  struct stat status;
  if (named.get() < 0 || fstat(named.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return;
  }
  const bool statSaysSo =
      DeviceOf(status) == file.device && static_cast<uint64_t>(status.st_ino) == file.inode;
  if (!statSaysSo && !byPath.empty() && !NamedOtherwiseByMaps(named.get())) {
    return;  // another file than the mapped one: not opened for reading
  }
  const std::string own = std::to_string(named.get());
  // Opened for reading through this process's own link to that very file.
  const procfs::Descriptor readable(
      openat(ownDescriptors, own.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (readable.get() < 0 || (!statSaysSo && !MapsNamesIt(readable.get(), file))) {
    return;
  }
  answer->sharedIdentity = statSaysSo && !InodesRepeat(readable.get(), status.st_dev);
  if (question.kind == FileQuestion::kPath) {
    const ssize_t length = byPath.empty()
                               ? readlinkat(ownDescriptors, own.c_str(), link, sizeof link)
                               : static_cast<ssize_t>(byPath.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link) {
      return;
    }
    std::memcpy(answer->path, byPath.empty() ? link : byPath.data(),
                static_cast<std::size_t>(length));
    answer->pathLength = static_cast<uint32_t>(length);
    answer->outcome = FileAnswer::kPath;
    return;
  }
  answer->outcome = ReadHeaders(readable.get(), &answer->layout);
}

// A question as the caller keeps it until it is sent: the path is only
// viewed, so a process's questions cost a few words each, not a page.
struct Asked {
  FileQuestion::Kind kind;
  FileId file;
  uint64_t start;
  uint64_t end;
  std::string_view path;
};

void Pose(const Asked& asked, FileQuestion* question) {
  std::memset(question, 0, offsetof(FileQuestion, path));  // its padding is sent too
  question->kind = asked.kind;
  question->device = asked.file.device;
  question->inode = asked.file.inode;
  question->start = asked.start;
  question->end = asked.end;
  if (!asked.path.empty() && asked.path.size() <= kPathRoom) {  // an empty view may hold no pointer
    std::memcpy(question->path, asked.path.data(), asked.path.size());
    question->pathLength = static_cast<uint32_t>(asked.path.size());
  }
}

// Asks the reader about each file of `asked`, within what is left of the
// bounds: `answered` takes what it answered, and those it could not answer in
// time are asked again of a new reader, but those on a device where a read
// was given up.
void AskAll(ImageLayouts* layouts, int directory, const std::vector<Asked>& asked,
            const std::function<void(std::size_t, const FileAnswer&)>& answered) {
  std::vector<std::size_t> left(asked.size());  // indices into `asked`
  for (std::size_t i = 0; i < left.size(); ++i) {
    left[i] = i;
  }
  while (!left.empty()) {
    left.erase(std::remove_if(left.begin(), left.end(),
                              [&](std::size_t i) {
                                return layouts->stalledDevices.count(asked[i].file.device) != 0;
                              }),
               left.end());
    const auto began = FileReader::Clock::now();
    const auto until = began + (kFileReadBudget - layouts->waited);
    if (left.empty() || until <= began) {
      return;
    }
    std::size_t done = 0;
    const FileReader::Result result = layouts->reader.AskAll(
        left.size(), directory, kFileReadBound, until,
        [&](std::size_t i, FileQuestion* question) { Pose(asked[left[i]], question); },
        [&](std::size_t i, const FileAnswer& answer) {
          answered(left[i], answer);
          done = i + 1;
        });
    layouts->waited += FileReader::Clock::now() - began;
    if (result != FileReader::kTimedOut) {
      return;  // all answered, or no reader can run
    }
    layouts->stalledDevices.insert(asked[left[done]].file.device);
    left.erase(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(done) + 1);
  }
}

}  // namespace

ImageLayouts::ImageLayouts() : reader(AnswerAboutFile) {
  PageSize();  // known before any reader is forked, which then need not ask
}

uint64_t PageSize() {
  static const uint64_t size = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

void LayoutsOfImages(ImageLayouts* layouts, int directory, ImageRequest* requests,
                     std::size_t count) {
  const std::lock_guard<std::mutex> lock(layouts->mutex);
  std::vector<Asked> asked;
  std::vector<std::size_t> askedFor;  // the request of each question
  for (std::size_t i = 0; i < count; ++i) {
    ImageRequest& request = requests[i];
    request.layout.reset();
    if (layouts->stalledDevices.count(request.file.device) != 0 ||
        layouts->waited >= kFileReadBudget) {
      continue;  // not read again this report
    }
    if (layouts->unsharedDevices.count(request.file.device) == 0) {
      const auto found = layouts->byFile.find(request.file);
      if (found != layouts->byFile.end()) {
        request.layout = found->second;
        continue;
      }
    }
    asked.push_back({FileQuestion::kLayout, request.file, request.start, request.end, request.path});
    askedFor.push_back(i);
  }
  AskAll(layouts, directory, asked, [&](std::size_t i, const FileAnswer& answer) {
    ImageRequest& request = requests[askedFor[i]];
    if (answer.outcome != FileAnswer::kImage && answer.outcome != FileAnswer::kNoImage) {
      return;  // not reached: this process's lot alone
    }
    if (answer.outcome == FileAnswer::kImage) {
      request.layout = answer.layout;
    }
    if (answer.sharedIdentity) {
      layouts->byFile.emplace(request.file, request.layout);
    } else {
      layouts->unsharedDevices.insert(request.file.device);
    }
  });
}

std::size_t MappedFilePath(ImageLayouts* layouts, int directory, const FileId& file, uint64_t start,
                           uint64_t end, char* path, std::size_t room) {
  const std::lock_guard<std::mutex> lock(layouts->mutex);
  const std::vector<Asked> asked = {{FileQuestion::kPath, file, start, end, {}}};
  std::size_t length = 0;
  AskAll(layouts, directory, asked, [&](std::size_t, const FileAnswer& answer) {
    if (answer.outcome == FileAnswer::kPath && answer.pathLength < room) {
      std::memcpy(path, answer.path, answer.pathLength);
      length = answer.pathLength;
    }
  });
  return length;
}
