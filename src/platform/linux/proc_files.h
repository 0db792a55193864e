// Reading /proc through directory descriptors. Every call gives -errno on failure.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

#include <windows.h>

#include "proc_text.h"

namespace procfs {

// Closes a descriptor on scope exit, unless released.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor();
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the one it holds, if any, and holds `fd` instead.
  void Reset(int fd);

 private:
  int fd_;
};

// /proc, opened anew, for listing; -ENOENT where no procfs is mounted there.
int OpenProc();

// /proc opened once for the life of the program, for paths relative to it;
// never closed, and not for listing, whose offset it would share.
int Root();

// A directory below `at`, such as "1234" below /proc. Once the process of a
// /proc/PID directory has been reaped, everything below it fails with ESRCH,
// even after its id has gone to another process: it names that very process.
int OpenDirectory(int at, const std::string& path);

// Room for a whole stat line: a 64-byte command name and 52 numbers.
constexpr std::size_t kStatBufferSize = 2048;
using StatText = char[kStatBufferSize];

// Reads a one-line file, such as a stat file, into `buffer`. The kernel writes
// such a line whole in one read, so no read is spent to find the end. The byte
// count; a line longer than the buffer fails with EFBIG.
ssize_t ReadLine(int directory, const char* path, char* buffer, std::size_t size);

// Reads and parses a stat line ("stat", or "task/TID/stat"); `stat->command`
// points into `text`. 0, or -errno: -EINVAL when it is not a whole stat line.
int ReadStat(int directory, const std::string& path, StatText& text, StatFields* stat);

// Whether the process of the directory is one, rather than another thread of
// one, whose id /proc answers to as well, unlisted.
bool IsProcessId(int directory, DWORD id);

// Appends the numeric entries of a directory (process or thread ids), ascending.
int ListIds(int directory, std::vector<DWORD>* ids);

// For a process whose main thread has ended while its other threads keep its
// memory. Calls `use(tasks, tid)` for each thread but the main one, until a
// call gives something other than -ENOENT (which means that thread ended
// meanwhile), and returns what that call gave. Returns -ESRCH when no thread
// is left, or the error that kept the threads from being listed.
template <typename Use>
long WithLiveThread(int directory, DWORD pid, Use&& use) {
  const Descriptor tasks(OpenDirectory(directory, "task"));
  std::vector<DWORD> threads;
  if (tasks.get() < 0) {
    return tasks.get();
  }
  if (const int error = ListIds(tasks.get(), &threads); error != 0) {
    return error;
  }
  for (const DWORD thread : threads) {
    const long result = thread != pid ? use(tasks.get(), thread) : -ENOENT;
    if (result != -ENOENT) {
      return result;
    }
  }
  return -ESRCH;
}

// Opens the maps of the process whose directory is given, read-only; those of
// a live thread when its main thread has ended (`leaderEnded`). A descriptor,
// or -errno.
int OpenMaps(int directory, DWORD pid, bool leaderEnded);

}  // namespace procfs
