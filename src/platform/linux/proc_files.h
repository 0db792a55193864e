// Reading /proc through directory file descriptors into the caller's buffers.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include <windows.h>

#include "proc_text.h"

namespace procfs {

// Room for a whole stat line: a 64-byte command name and 52 numbers.
constexpr std::size_t kStatBufferSize = 2048;

// A relative path under /proc such as "1234/stat", built without formatting.
class Path {
 public:
  Path(DWORD id, const char* leaf);
  const char* c_str() const { return text_; }

 private:
  char text_[48];
};

// Opens /proc itself, for listing its entries; -errno on failure.
int OpenRoot();

// /proc, opened once for the life of the process, that paths below it are
// opened relative to: two system calls fewer for every call that reads it.
// Never closed, and not for listing (its offset is shared). -errno on failure.
int Root();

// Reads a file of one line, such as a stat file, below `directory` into
// `buffer`, until what it has read ends in a line break or the file ends. The
// kernel writes such a line whole in one read, so no further read is spent to
// find the end. Returns the byte count, or -errno; a line longer than the
// buffer is an error (-EFBIG).
ssize_t ReadLine(int directory, const char* path, char* buffer, std::size_t size);

// Reads the first bytes of a file below `directory`, up to `size`. Returns the
// byte count, or -errno.
ssize_t ReadFileHead(int directory, const char* path, char* buffer, std::size_t size);

// Reads and parses ID/stat below `directory` into `text`, to whose bytes
// `stat->command` then points. False when the process is gone or the line is not whole.
bool ReadStat(int directory, DWORD id, char (&text)[kStatBufferSize], StatFields* stat);

// Opens /proc/PID as a directory. Once the process has been reaped, whatever
// is opened or read below it fails with ESRCH, even after its id has gone to
// another process: the descriptor names that very process. A descriptor, or -errno.
int OpenProcessDirectory(int root, DWORD pid);

// Reads and parses the stat line of the process whose directory is given.
bool ReadOwnStat(int directory, char (&text)[kStatBufferSize], StatFields* stat);

// Opens `leaf` ("maps") of the process whose directory is given. A process
// whose main thread has ended while others go on (`leaderEnded`) keeps its
// memory only with those: then the leaf of a live thread is opened, and
// `thread` tells which (else the process's own id). A descriptor, or -errno.
int OpenMemoryLeaf(int directory, DWORD pid, const char* leaf, int flags, bool leaderEnded,
                   DWORD* thread = nullptr);

// "task/TID/leaf", a thread's file relative to its process's directory.
std::string TaskPath(DWORD thread, const char* leaf);

// Reads the executable's link of a process whose main thread has ended, from
// a live thread. The byte count, or -errno.
ssize_t ReadLiveThreadExe(int directory, DWORD pid, char* buffer, std::size_t size);

// Whether the process whose directory is given is one, rather than another
// thread of one (whose ids /proc also answers to, unlisted).
bool IsProcessId(int directory, DWORD id);

// Appends the numeric entries of a directory (process or thread ids) in
// ascending order. 0, or -errno.
int ListIds(int directory, std::vector<DWORD>* ids);

// Closes a descriptor on scope exit.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor();
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Gives the descriptor up, no longer to be closed here.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace procfs
