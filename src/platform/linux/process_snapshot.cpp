// The process and thread snapshots.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "last_error.h"
#include "proc_files.h"
#include "snapshot.h"

namespace {

// The kernel's PATH_MAX: the longest link /proc/PID/exe can hold.
constexpr std::size_t kLinkBufferSize = 4096;
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

// Reads the executable's link, through a live thread when the main one has
// ended. Opening the link asks the kernel's ptrace read rule with the caller's
// file-system credentials, as opening the maps does, so its outcome also tells
// whether full access is granted. The byte count, or -errno.
ssize_t ReadExeLink(int directory, DWORD pid, const procfs::StatFields& stat, char* link) {
  ssize_t count = readlinkat(directory, "exe", link, kLinkBufferSize);
  if (count < 0 && errno == ENOENT && stat.state == 'Z') {
    return procfs::WithLiveThread(directory, pid, [&](int tasks, DWORD thread) -> long {
      const std::string path = std::to_string(thread) + "/exe";
      const ssize_t read = readlinkat(tasks, path.c_str(), link, kLinkBufferSize);
      return read >= 0 ? read : -errno;
    });
  }
  return count >= 0 ? count : -errno;
}

// Whether a failure means that descriptors or memory ran out, rather than
// that the process is gone: a snapshot without it would be one cut short.
bool RanShort(long error) { return error == -EMFILE || error == -ENFILE || error == -ENOMEM; }

// Closes every process directory the snapshot holds, for descriptors that ran
// short; the start times name those processes instead. False when none was held.
bool GiveBackDirectories(Snapshot* snapshot) {
  bool gaveBack = false;
  for (ProcessRecord& record : snapshot->processes) {
    if (record.directory >= 0) {
      close(record.directory);
      record.directory = -1;
      gaveBack = true;
    }
  }
  return gaveBack;
}

// How many process directories a snapshot may still hold. The first time
// descriptors or memory run short, the snapshot gives back every directory it
// holds and holds none from then on; running short again is a failure.
struct DirectoryBudget {
  std::size_t toHold;

  // Runs `attempt`, which gives a result or -errno. Where it ran short, every
  // directory held is given back and none is held any more; then, if any was
  // given back, `attempt` runs once more.
  template <typename Attempt>
  auto Run(Snapshot* snapshot, Attempt&& attempt) {
    const auto result = attempt();
    if (!RanShort(result)) {
      return result;
    }
    toHold = 0;
    return GiveBackDirectories(snapshot) ? attempt() : result;
  }
};

// Opens a process's directory and reads its stat line through it: the
// directory, or -errno.
int OpenEntry(int root, DWORD pid, procfs::StatText& text, procfs::StatFields* stat) {
  procfs::Descriptor directory(procfs::OpenDirectory(root, std::to_string(pid)));
  if (directory.get() < 0) {
    return directory.get();
  }
  const int error = procfs::ReadStat(directory.get(), "stat", text, stat);
  return error == 0 ? directory.Release() : error;
}

// A process that nothing can be read of: named by its directory, "/proc/PID",
// which no executable's file name can be, and refused to OpenProcess.
void AddUnreadable(DWORD pid, Snapshot* snapshot) {
  const std::string name = "/proc/" + std::to_string(pid);
  ProcessRecord record = {};
  record.pid = pid;
  record.directory = -1;
  record.access = ERROR_ACCESS_DENIED;
  record.priorityClass = NORMAL_PRIORITY_CLASS;
  record.nameLength = static_cast<uint32_t>(name.size());
  record.nameOffset = snapshot->Keep(name.data(), name.size());
  snapshot->processes.push_back(record);
}

}  // namespace

Snapshot::~Snapshot() {
  for (const ProcessRecord& record : processes) {
    if (record.directory >= 0) {
      close(record.directory);
    }
  }
}

const ProcessRecord* Snapshot::Find(DWORD pid) const {
  const auto record = std::lower_bound(processes.begin(), processes.end(), pid,
                                       [](const ProcessRecord& r, DWORD id) { return r.pid < id; });
  return record != processes.end() && record->pid == pid ? &*record : nullptr;
}

DWORD TakeProcesses(int root, Snapshot* snapshot) {
  std::vector<DWORD> pids;
  if (const int error = procfs::ListIds(root, &pids); error != 0) {
    return FailWithErrno(-error);
  }
  snapshot->processes.reserve(pids.size());
  DirectoryBudget budget{DirectoriesToHold()};
  procfs::StatText statText;
  char link[kLinkBufferSize];
  for (const DWORD pid : pids) {
    procfs::StatFields stat;
    const int opened = budget.Run(snapshot, [&] { return OpenEntry(root, pid, statText, &stat); });
    if (RanShort(opened)) {
      return FailWithErrno(-opened);
    }
    // A process whose directory /proc refuses to this caller (mounted with
    // hidepid=1) is listed all the same, by its id alone: it keeps its header,
    // and opening it says why it has no more. One that is gone by now, or
    // whose line cannot be read, is not listed.
    if (opened == -EPERM || opened == -EACCES) {
      AddUnreadable(pid, snapshot);
      continue;
    }
    if (opened < 0) {
      continue;
    }
    procfs::Descriptor directory(opened);
    const bool kernelThread = (stat.kernelFlags & procfs::kKernelThreadFlag) != 0;
    // Through a live thread, the link takes descriptors too.
    const ssize_t linkLength = kernelThread ? -ENOENT : budget.Run(snapshot, [&] {
      return ReadExeLink(directory.get(), pid, stat, link);
    });
    if (RanShort(linkLength)) {
      return FailWithErrno(static_cast<int>(-linkLength));
    }
    ProcessRecord record = {};
    record.pid = pid;
    record.directory = -1;
    record.startTime = stat.startTime;
    record.kernelThread = kernelThread;
    record.leaderEnded = stat.state == 'Z';
    // A main thread that has ended refuses its link to others before it says
    // it has none: the rule is asked again of a live thread, if one is left.
    record.access = linkLength >= 0                              ? ERROR_SUCCESS
                    : linkLength == -EACCES && stat.state != 'Z' ? ERROR_ACCESS_DENIED
                                                                 : kAccessUnknown;
    record.parent = stat.parent;
    record.threads = stat.threads;
    record.priorityClass = procfs::PriorityClassOf(stat.policy, stat.nice);
    // The executable's file name, else the kernel's command name (at most 15 bytes).
    std::string_view name(stat.command, stat.commandLength);
    if (linkLength > 0 && link[0] == '/') {
      name = std::string_view(link, static_cast<std::size_t>(linkLength));
      name.remove_prefix(name.rfind('/') + 1);
    }
    name = name.substr(0, MAX_PATH - 1);
    record.nameLength = static_cast<uint32_t>(name.size());
    record.nameOffset = snapshot->Keep(name.data(), name.size());
    snapshot->processes.push_back(record);
    // Where descriptors run short, the start time alone names the process.
    if (snapshot->processes.size() <= budget.toHold) {
      snapshot->processes.back().directory = directory.Release();
    }
  }
  return ERROR_SUCCESS;
}

DWORD TakeThreads(int root, Snapshot* snapshot) {
  std::vector<DWORD> pids;
  if (const int error = procfs::ListIds(root, &pids); error != 0) {
    return FailWithErrno(-error);
  }
  // Holds no directory of its own, but gives back those of the processes
  // listed in the same snapshot where descriptors run short.
  DirectoryBudget budget{0};
  procfs::StatText statText;
  std::vector<DWORD> tids;
  for (const DWORD pid : pids) {
    const procfs::Descriptor tasks(budget.Run(
        snapshot, [&] { return procfs::OpenDirectory(root, std::to_string(pid) + "/task"); }));
    const int listed = tasks.get() < 0 ? tasks.get() : budget.Run(snapshot, [&] {
      tids.clear();
      return procfs::ListIds(tasks.get(), &tids);
    });
    if (RanShort(listed)) {
      return FailWithErrno(-listed);
    }
    if (listed != 0) {
      continue;  // gone
    }
    for (const DWORD tid : tids) {
      procfs::StatFields stat;
      const int error = budget.Run(snapshot, [&] {
        return procfs::ReadStat(tasks.get(), std::to_string(tid) + "/stat", statText, &stat);
      });
      if (RanShort(error)) {
        return FailWithErrno(-error);
      }
      if (error == 0) {
        const DWORD priorityClass = procfs::PriorityClassOf(stat.policy, stat.nice);
        snapshot->threads.push_back(ThreadRecord{tid, pid, procfs::BasePriorityOf(priorityClass)});
      }
    }
  }
  return ERROR_SUCCESS;
}
