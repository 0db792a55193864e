// A FUSE file system, served by a thread of this process, whose one file
// "lib.so" a process may open and map but root may not read: every read of
// it, or else every question root asks of its attributes (its lookups too),
// is held unanswered until the file system is destroyed.
#pragma once

#include <string>
#include <thread>

class StalledFuse {
 public:
  enum Held { kReads, kRootsAttributes };
  explicit StalledFuse(Held held);
  ~StalledFuse();
  StalledFuse(const StalledFuse&) = delete;
  StalledFuse& operator=(const StalledFuse&) = delete;

  std::string file() const { return directory_ + "/lib.so"; }
  const std::string& skipped() const { return skipped_; }  // why it could not be mounted

 private:
  void Serve();

  Held held_;
  std::string directory_;
  std::string skipped_;
  int device_ = -1;
  int connection_ = -1;  // its number under /sys/fs/fuse/connections
  int stop_[2] = {-1, -1};
  std::thread server_;
};
