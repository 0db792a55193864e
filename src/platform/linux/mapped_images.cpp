#include "mapped_images.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

#include "proc_files.h"

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

// Whether the descriptor names the mapped file, a regular one.
bool IsTheFile(int fd, const FileId& file) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  const uint64_t device = (uint64_t{major(status.st_dev)} << 32) | minor(status.st_dev);
  return device == file.device && static_cast<uint64_t>(status.st_ino) == file.inode;
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

std::optional<elf::ImageLayout> ReadHeaders(int fd) {
  // The program headers follow the ELF header in nearly every file: one read,
  // of no more than holds them (17 of 64 bits, 30 of 32), as the page it copies
  // from is seldom in the processor's caches.
  unsigned char header[1024];
  const ssize_t count = ReadAt(fd, header, sizeof header, 0);
  uint64_t offset = 0;
  std::size_t size = 0;
  if (count <= 0 ||
      !elf::FindProgramHeaders(header, static_cast<std::size_t>(count), &offset, &size)) {
    return std::nullopt;
  }
  const unsigned char* table = header + offset;
  std::vector<unsigned char> elsewhere;
  if (offset > static_cast<uint64_t>(count) || size > static_cast<uint64_t>(count) - offset) {
    elsewhere.resize(size);
    if (ReadAt(fd, elsewhere.data(), size, offset) != static_cast<ssize_t>(size)) {
      return std::nullopt;
    }
    table = elsewhere.data();
  }
  elf::ImageLayout layout;
  if (!elf::ReadImageLayout(header, static_cast<std::size_t>(count), table, size, PageSize(),
                            &layout)) {
    return std::nullopt;
  }
  return layout;
}

// This process's /proc/PID/fd, kept open, for links to its own descriptors
// that are each one name below it. A child made by fork opens its own.
int OwnDescriptors() {
  static std::mutex mutex;
  static pid_t owner = -1;
  static int directory = -1;
  const std::lock_guard<std::mutex> lock(mutex);
  if (owner != getpid()) {
    if (directory >= 0) {
      close(directory);
    }
    const int root = procfs::Root();
    directory = root >= 0 ? openat(root, "self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    owner = directory >= 0 ? getpid() : -1;
  }
  return directory;
}

// The headers of the file that a path-only descriptor names, if it is the
// mapped one; `reached` tells whether it was.
std::optional<elf::ImageLayout> ReadIfTheFile(int pathOnly, const FileId& file, bool* reached) {
  const procfs::Descriptor named(pathOnly);
  const int descriptors = OwnDescriptors();
  *reached = named.get() >= 0 && descriptors >= 0 && IsTheFile(named.get(), file);
  if (!*reached) {
    return std::nullopt;
  }
  // Opened for reading through this process's own link to that very file.
  const procfs::Descriptor readable(openat(descriptors, std::to_string(named.get()).c_str(),
                                           O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (readable.get() < 0) {
    return std::nullopt;
  }
  return ReadHeaders(readable.get());
}

// The name of a mapping's entry in /proc/PID/map_files.
struct MapFilesEntry {
  MapFilesEntry(uint64_t start, uint64_t end) {
    std::snprintf(name, sizeof name, "map_files/%llx-%llx", static_cast<unsigned long long>(start),
                  static_cast<unsigned long long>(end));
  }
  char name[64];
};

}  // namespace

uint64_t PageSize() {
  static const uint64_t size = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::optional<elf::ImageLayout> ReadMappedImage(int directory, const std::string& path,
                                                const FileId& file, uint64_t start, uint64_t end) {
  bool reached = false;
  if (!path.empty() && path[0] == '/') {
    auto layout = ReadIfTheFile(OpenPathOnly(path), file, &reached);
    if (reached) {
      return layout;
    }
  }
  const MapFilesEntry entry(start, end);
  return ReadIfTheFile(openat(directory, entry.name, O_PATH | O_CLOEXEC), file, &reached);
}

std::size_t MappedFilePath(int directory, const FileId& file, uint64_t start, uint64_t end,
                           char* path, std::size_t room) {
  const MapFilesEntry entry(start, end);
  ssize_t length = -1;
  // Held open (CAP_SYS_ADMIN), the mapping's file and the name its
  // descriptor gives are one file's, however the process remaps meanwhile.
  const procfs::Descriptor held(openat(directory, entry.name, O_PATH | O_CLOEXEC));
  if (held.get() >= 0) {
    const int descriptors = OwnDescriptors();
    if (descriptors < 0 || !IsTheFile(held.get(), file)) {
      return 0;
    }
    length = readlinkat(descriptors, std::to_string(held.get()).c_str(), path, room);
  } else {
    // Others may read the link of a process they may read, not follow it:
    // the text counts where it leads, through no symbolic link, to that file.
    length = readlinkat(directory, entry.name, path, room);
    if (length <= 0 || static_cast<std::size_t>(length) >= room) {
      return 0;
    }
    const procfs::Descriptor named(
        OpenPathOnly(std::string(path, static_cast<std::size_t>(length))));
    if (named.get() < 0 || !IsTheFile(named.get(), file)) {
      return 0;
    }
  }
  return length > 0 && static_cast<std::size_t>(length) < room ? static_cast<std::size_t>(length)
                                                               : 0;
}
