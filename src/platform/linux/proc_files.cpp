#include "proc_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

namespace procfs {

Descriptor::~Descriptor() { Reset(-1); }

void Descriptor::Reset(int fd) {
  if (fd_ >= 0) {
    close(fd_);
  }
  fd_ = fd;
}

int OpenProc() {
  const int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return -errno;
  }
  // An empty directory, as in a fresh chroot, or anything else mounted there
  // lists no process: /proc is not there.
  struct statfs system;
  if (fstatfs(fd, &system) != 0 || system.f_type != PROC_SUPER_MAGIC) {
    close(fd);
    return -ENOENT;
  }
  return fd;
}

int Root() {
  static std::atomic<int> root{-1};
  if (const int fd = root.load(); fd >= 0) {
    return fd;
  }
  const int fd = OpenProc();
  if (fd < 0) {
    return fd;
  }
  int expected = -1;
  if (!root.compare_exchange_strong(expected, fd)) {
    close(fd);  // another thread was first
    return expected;
  }
  return fd;
}

int OpenDirectory(int at, const std::string& path) {
  const int fd = openat(at, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

ssize_t ReadLine(int directory, const char* path, char* buffer, std::size_t size) {
  const Descriptor file(openat(directory, path, O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    return -errno;
  }
  std::size_t total = 0;
  while (total == 0 || buffer[total - 1] != '\n') {
    if (total == size) {
      return -EFBIG;
    }
    const ssize_t count = read(file.get(), buffer + total, size - total);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return count < 0 ? -errno : static_cast<ssize_t>(total);
    }
    total += static_cast<std::size_t>(count);
  }
  return static_cast<ssize_t>(total);
}

int ReadStat(int directory, const std::string& path, StatText& text, StatFields* stat) {
  const ssize_t count = ReadLine(directory, path.c_str(), text, sizeof text);
  if (count < 0 && count != -EFBIG) {
    return static_cast<int>(count);
  }
  return count > 0 && ParseStat(text, static_cast<std::size_t>(count), stat) ? 0 : -EINVAL;
}

bool IsProcessId(int directory, DWORD id) {
  // Tgid is among the first lines of a status text, which is longer than one read.
  char text[512];
  const Descriptor file(openat(directory, "status", O_RDONLY | O_CLOEXEC));
  const ssize_t count = file.get() >= 0 ? read(file.get(), text, sizeof text) : -1;
  DWORD tgid = 0;
  return count > 0 && ParseStatusTgid(text, static_cast<std::size_t>(count), &tgid) && tgid == id;
}

int ListIds(int directory, std::vector<DWORD>* ids) {
  // A copy of the descriptor, for the listing to own and close.
  const int copy = fcntl(directory, F_DUPFD_CLOEXEC, 0);
  const std::unique_ptr<DIR, int (*)(DIR*)> entries(copy >= 0 ? fdopendir(copy) : nullptr,
                                                    closedir);
  if (entries == nullptr) {
    const int error = errno;
    if (copy >= 0) {
      close(copy);
    }
    return -error;
  }
  rewinddir(entries.get());  // from the start, even when the descriptor was listed before
  const std::size_t first = ids->size();
  errno = 0;
  for (const dirent* entry; (entry = readdir(entries.get())) != nullptr; errno = 0) {
    const std::string_view name = entry->d_name;
    DWORD id = 0;
    const auto [stop, error] = std::from_chars(name.data(), name.data() + name.size(), id);
    if (error == std::errc() && stop == name.data() + name.size()) {
      ids->push_back(id);
    }
  }
  if (errno != 0) {
    return -errno;
  }
  std::sort(ids->begin() + static_cast<std::ptrdiff_t>(first), ids->end());
  return 0;
}

int OpenMaps(int directory, DWORD pid, bool leaderEnded) {
  if (!leaderEnded) {
    const int fd = openat(directory, "maps", O_RDONLY | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
  }
  return static_cast<int>(WithLiveThread(directory, pid, [&](int tasks, DWORD id) -> long {
    const int fd = openat(tasks, (std::to_string(id) + "/maps").c_str(), O_RDONLY | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
  }));
}

}  // namespace procfs
