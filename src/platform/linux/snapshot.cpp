// The process and thread snapshots.
#include "snapshot.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "last_error.h"
#include "proc_files.h"
#include "proc_text.h"

namespace {

// The kernel's PATH_MAX: the longest link /proc/PID/exe can hold.
constexpr std::size_t kLinkBufferSize = 4096;
// The longest name a record keeps (szExeFile less its terminator).
constexpr std::size_t kMaxNameLength = MAX_PATH - 1;

// The executable's file name where its link may be read (through a live
// thread when the main one has ended), else the kernel's command name.
void NameOf(int directory, DWORD pid, const procfs::StatFields& stat, const char** name,
            std::size_t* length, char* link) {
  ssize_t count = readlinkat(directory, "exe", link, kLinkBufferSize);
  if (count < 0 && stat.state == 'Z') {
    count = procfs::ReadLiveThreadExe(directory, pid, link, kLinkBufferSize);
  }
  if (count > 0 && link[0] == '/') {
    const char* slash = link + count;
    while (slash[-1] != '/') {
      --slash;
    }
    *name = slash;
    *length = static_cast<std::size_t>(link + count - slash);
  } else {
    *name = stat.command;
    *length = stat.commandLength;
  }
  *length = std::min(*length, kMaxNameLength);
}

}  // namespace

Snapshot::~Snapshot() {
  for (const ProcessRecord& record : processes) {
    if (record.directory >= 0) {
      close(record.directory);
    }
  }
}

namespace {

// Descriptors left to everything else when a snapshot holds a directory for
// each process it lists.
constexpr rlim_t kSpareDescriptors = 64;

// How many process directories a snapshot may hold: the soft limit on open
// files is first raised to the hard one.
std::size_t DirectoriesToHold() {
  rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return 0;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
      limit = raised;
    }
  }
  return limit.rlim_cur > kSpareDescriptors && limit.rlim_cur != RLIM_INFINITY
             ? static_cast<std::size_t>(limit.rlim_cur - kSpareDescriptors)
             : 0;
}

}  // namespace

DWORD TakeProcesses(int root, Snapshot* snapshot) {
  std::vector<DWORD> pids;
  if (const int error = procfs::ListIds(root, &pids); error != 0) {
    return FailWithErrno(-error);
  }
  snapshot->processes.reserve(pids.size());
  const std::size_t toHold = DirectoriesToHold();
  std::size_t held = 0;
  char statText[procfs::kStatBufferSize];
  char link[kLinkBufferSize];
  for (const DWORD pid : pids) {
    procfs::Descriptor directory(procfs::OpenProcessDirectory(root, pid));
    procfs::StatFields stat;
    // A process that is gone by now, or whose line cannot be read, is not listed.
    if (directory.get() < 0 || !procfs::ReadOwnStat(directory.get(), statText, &stat)) {
      continue;
    }
    const char* name = nullptr;
    std::size_t nameLength = 0;
    NameOf(directory.get(), pid, stat, &name, &nameLength, link);
    ProcessRecord record = {};
    record.pid = pid;
    record.directory = -1;
    record.startTime = stat.startTime;
    record.kernelThread = (stat.kernelFlags & procfs::kKernelThreadFlag) != 0;
    record.leaderEnded = stat.state == 'Z';
    record.parent = stat.parent;
    record.threads = stat.threads;
    record.priorityClass = procfs::PriorityClassOf(stat.policy, stat.nice);
    record.nameLength = static_cast<uint32_t>(nameLength);
    record.nameOffset = snapshot->Keep(name, nameLength);
    snapshot->processes.push_back(record);
    // Where descriptors run short, the start time alone names the process.
    if (held < toHold) {
      snapshot->processes.back().directory = directory.Release();
      ++held;
    }
  }
  return ERROR_SUCCESS;
}

DWORD TakeThreads(int root, Snapshot* snapshot) {
  std::vector<DWORD> pids;
  if (const int error = procfs::ListIds(root, &pids); error != 0) {
    return FailWithErrno(-error);
  }
  char statText[procfs::kStatBufferSize];
  std::vector<DWORD> tids;
  for (const DWORD pid : pids) {
    const procfs::Descriptor tasks(
        openat(root, procfs::Path(pid, "task").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    tids.clear();
    if (tasks.get() < 0 || procfs::ListIds(tasks.get(), &tids) != 0) {
      continue;  // gone
    }
    for (const DWORD tid : tids) {
      procfs::StatFields stat;
      if (!procfs::ReadStat(tasks.get(), tid, statText, &stat)) {
        continue;
      }
      const LONG base = procfs::BasePriorityOf(procfs::PriorityClassOf(stat.policy, stat.nice));
      snapshot->threads.push_back(ThreadRecord{tid, pid, base});
    }
  }
  return ERROR_SUCCESS;
}
