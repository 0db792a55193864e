#include "proc_files.h"

#include "proc_text.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>

namespace procfs {

Path::Path(DWORD id, const char* leaf) {
  char* out = std::to_chars(text_, text_ + sizeof text_, id).ptr;
  *out++ = '/';
  const std::size_t room = sizeof text_ - static_cast<std::size_t>(out - text_) - 1;
  const std::size_t length = std::min(std::strlen(leaf), room);
  std::memcpy(out, leaf, length);
  out[length] = '\0';
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

int OpenRoot() {
  const int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

int Root() {
  static std::atomic<int> root{-1};
  int fd = root.load();
  if (fd >= 0) {
    return fd;
  }
  fd = OpenRoot();
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

ssize_t ReadFileHead(int directory, const char* path, char* buffer, std::size_t size) {
  const Descriptor file(openat(directory, path, O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    return -errno;
  }
  std::size_t total = 0;
  while (total < size) {
    const ssize_t count = read(file.get(), buffer + total, size - total);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return -errno;
    }
    if (count == 0) {
      break;
    }
    total += static_cast<std::size_t>(count);
  }
  return static_cast<ssize_t>(total);
}

bool ReadStat(int directory, DWORD id, char (&text)[kStatBufferSize], StatFields* stat) {
  const ssize_t count = ReadLine(directory, Path(id, "stat").c_str(), text, sizeof text);
  return count > 0 && ParseStat(text, static_cast<std::size_t>(count), stat);
}

int OpenProcessDirectory(int root, DWORD pid) {
  const int fd = openat(root, Path(pid, "").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

bool ReadOwnStat(int directory, char (&text)[kStatBufferSize], StatFields* stat) {
  const ssize_t count = ReadLine(directory, "stat", text, sizeof text);
  return count > 0 && ParseStat(text, static_cast<std::size_t>(count), stat);
}

std::string TaskPath(DWORD thread, const char* leaf) {
  return "task/" + std::to_string(thread) + "/" + leaf;
}

namespace {

// Calls `use` with each thread of the process but its main one, until it
// gives something other than -ENOENT (that thread has ended meanwhile). What
// `use` gave, or -ESRCH when no thread is left.
template <typename Use>
long WithLiveThread(int directory, DWORD pid, Use&& use) {
  const Descriptor tasks(openat(directory, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<DWORD> threads;
  try {
    if (tasks.get() < 0 || ListIds(tasks.get(), &threads) != 0) {
      return -ESRCH;
    }
  } catch (const std::bad_alloc&) {
    return -ENOMEM;  // nothing thrown through the platform's calls
  }
  for (const DWORD thread : threads) {
    if (thread != pid) {
      const long result = use(tasks.get(), thread);
      if (result != -ENOENT) {
        return result;
      }
    }
  }
  return -ESRCH;
}

}  // namespace

int OpenMemoryLeaf(int directory, DWORD pid, const char* leaf, int flags, bool leaderEnded,
                   DWORD* thread) {
  if (thread != nullptr) {
    *thread = pid;
  }
  if (!leaderEnded) {
    const int fd = openat(directory, leaf, flags | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
  }
  return static_cast<int>(WithLiveThread(directory, pid, [&](int tasks, DWORD id) -> long {
    const int fd = openat(tasks, Path(id, leaf).c_str(), flags | O_CLOEXEC);
    if (fd >= 0 && thread != nullptr) {
      *thread = id;
    }
    return fd >= 0 ? fd : -errno;
  }));
}

ssize_t ReadLiveThreadExe(int directory, DWORD pid, char* buffer, std::size_t size) {
  return WithLiveThread(directory, pid, [&](int tasks, DWORD id) -> long {
    const ssize_t count = readlinkat(tasks, Path(id, "exe").c_str(), buffer, size);
    return count >= 0 ? count : -errno;
  });
}

bool IsProcessId(int directory, DWORD id) {
  // Tgid is among the first lines of a status text.
  char text[512];
  const ssize_t count = ReadFileHead(directory, "status", text, sizeof text);
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
    const char* end = entry->d_name + std::strlen(entry->d_name);
    DWORD id = 0;
    const auto [stop, error] = std::from_chars(entry->d_name, end, id);
    if (error == std::errc() && stop == end) {
      ids->push_back(id);
    }
  }
  if (errno != 0) {
    return -errno;
  }
  std::sort(ids->begin() + static_cast<std::ptrdiff_t>(first), ids->end());
  return 0;
}

}  // namespace procfs
