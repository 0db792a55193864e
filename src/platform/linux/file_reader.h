// Reads of the files that modules map, done in a process of its own. A file
// system that does not answer (a FUSE server that stalls, an NFS mount whose
// server is gone) then holds that process alone: the caller stops waiting
// after a bound it chooses, and the stuck reader holds none of the caller's
// descriptors (its standard output among them), so the caller can finish,
// close them and exit. The reader ends by itself once its read returns and
// it finds the caller gone.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "elf_image.h"

// The kernel's PATH_MAX: the longest path a question or an answer holds.
constexpr std::size_t kPathRoom = 4096;

struct FileQuestion {
  enum Kind : uint8_t { kLayout, kPath } kind;
  uint64_t device, inode;  // the file, as the maps line names it
  uint64_t start, end;     // its mapping at its offset 0
  uint32_t pathLength;     // kLayout: the mapping's path, unescaped
  char path[kPathRoom];
};

struct FileAnswer {
  enum Outcome : uint8_t {
    kUnreached,  // the file could not be reached or read: this process's lot, nobody else's
    kNoImage,    // it is the file, and its headers lay out no image
    kImage,      // it is the file, and `layout` is its image
    kPath,       // it is the file, and `path` names it
  } outcome;
  // Whether the maps line's device and inode name this file alone on this
  // machine, so that what it gave holds wherever they are shown. Not so on
  // btrfs, whose subvolumes share the device that maps shows, nor where
  // `stat` tells another identity than maps (overlayfs over several file
  // systems).
  bool sharedIdentity;
  elf::ImageLayout layout;
  uint32_t pathLength;
  char path[kPathRoom];
};

// Answers a question in the reader's process: `directory` is the mapping
// process's /proc/PID, `ownDescriptors` the reader's own /proc/self/fd.
using AnswerFunction = void (*)(const FileQuestion& question, int directory, int ownDescriptors,
                                FileAnswer* answer);

// One reader process, a child of the caller's, started at the first question
// and given up when an answer does not come in time; the next question
// starts another. One that was given up is left to end by itself, and to be
// reaped by init once the caller has ended.
class FileReader {
 public:
  explicit FileReader(AnswerFunction answer) : answer_(answer) {}
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  enum Result { kAnswered, kTimedOut, kFailed };
  using Questions = std::function<void(std::size_t index, FileQuestion* question)>;
  using Answers = std::function<void(std::size_t index, const FileAnswer& answer)>;
  // Asks `count` questions about the mappings of the process whose /proc/PID
  // is `directory`: `question` fills each in turn, and `answered` takes each
  // answer, in the same order. The reader is given up when no answer comes
  // within `bound` of the last one, or by `until` (kTimedOut); kFailed where
  // it could not be started or ended.
  using Clock = std::chrono::steady_clock;
  Result AskAll(std::size_t count, int directory, std::chrono::milliseconds bound,
                Clock::time_point until, const Questions& question, const Answers& answered);

 private:
  bool Start();
  void GiveUp(bool stuck);

  AnswerFunction answer_;
  pid_t reader_ = -1;
  int socket_ = -1;
};
