// Real processes for the Linux suite, always stopped and reaped, and what
// the suite's files share to look at them.
#pragma once

#include <sys/types.h>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <tlhelp32.h>

// What a Sleeper throws when this machine cannot run its program at all (a
// 32-bit one on a kernel without IA-32 emulation).
constexpr const char* kCannotRun = "this machine cannot run the program: exec format error";

// Copies the file at `from` to a new file at `to`, with mode `mode`.
void CopyFile(const std::string& from, const std::string& to, mode_t mode);

// The pattern of the fresh directory that each sleeper is copied into.
constexpr char kSleeperDirectory[] = "/tmp/procreport-test-XXXXXX";

// A copy of the test sleeper under a chosen file name, running until destroyed.
class Sleeper {
 public:
  // `name` is the file name of the copy, made in a fresh directory. With
  // `wantedPid`, it asks the kernel for that id (root only; check pid()).
  // With `leaderExits`, its main thread ends and a second one goes on.
  // `program` is another that says it runs as the sleeper does, with "!";
  // by default the suite's own.
  explicit Sleeper(const std::string& name, pid_t wantedPid = 0, bool leaderExits = false,
                   const char* program = nullptr);
  ~Sleeper();
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& path() const { return path_; }
  // Its directory, with the slash that its file name follows.
  std::string directory() const { return directory_ + "/"; }
  // What it wrote before it said it runs.
  const std::string& said() const { return said_; }

  // Kills and reaps it now.
  void Stop();

 private:
  std::string directory_;
  std::string path_;
  std::string said_;
  pid_t pid_ = -1;
};

// This process's executable, by its whole path.
std::string OwnExecutable();

// A path's last component.
std::string BaseName(const std::string& path);

// The priority class of a process or thread as its scheduling stands now.
DWORD PriorityClassNow(pid_t id);

// Every process entry of `snapshot`, from its first.
std::vector<PROCESSENTRY32> ProcessesIn(HANDLE snapshot);

// Every process entry of a fresh snapshot.
std::vector<PROCESSENTRY32> AllProcesses();

// The number that this process's status file gives after `field` ("Threads:"),
// or -1 where it gives none.
long OwnStatus(const std::string& field);

// A process id that no process holds now: that of a child that has been reaped.
pid_t GoneProcessId();

// The number of descriptors this process has open, the layer's lasting one on /proc among them.
int OpenDescriptors();

// Gives up root for "nobody", for good; whether it could.
bool BecomeNobody();

// Runs `body` in a child process that has given up root for "nobody"; the
// child's exit status is what `body` returns. -1 if the child could not drop root.
// The child is forked, so `body` may capture the caller's values by reference.
int RunAsNobody(const std::function<int()>& body);

// Runs `body` in a child process in which the kernel call pidfd_send_signal
// fails with `error`: ENOSYS as on kernels before 5.1, EPERM as under a
// service's call filter; and the maps file's PROCMAP_QUERY with ENOTTY, as
// before 6.11. The child's exit status is what `body` returns; -1 if the
// calls could not be taken away.
int RunWithoutNewCalls(int error, const std::function<int()>& body);

// Whether this kernel's maps files answer PROCMAP_QUERY (Linux 6.11).
bool KernelAnswersQueries();

// Runs `body` as the first process of a new pid namespace, which still sees
// the machine's /proc; as above (-1 also without root).
int RunInNewPidNamespace(const std::function<int()>& body);

// Runs `body` in a child process in which every open for writing fails with
// EACCES; as above.
int RunWithoutOpeningForWriting(const std::function<int()>& body);

// Runs `body` in a child process that may open `most` descriptors at most:
// 64 are too few for a process snapshot to hold one for each process; as above.
int RunWithFewDescriptors(const std::function<int()>& body, int most = 64);

// Runs `body` in a child process that sees in place of /proc an empty
// directory: as root one that it may read, else as "nobody" one that it may
// not; as above (-1 also without root).
int RunWithEmptyProc(const std::function<int()>& body, bool readable);

// Runs `body` in a child process, as "nobody", under a /proc of its own
// mounted with hidepid=1, which lists other users' processes but refuses their
// directories; as above (-1 also without root). Each mount of /proc has
// options of its own only from Linux 5.8: on older kernels this would hide
// them from the whole machine, and the caller must not ask.
int RunWithHiddenPids(const std::function<int()>& body);

// Whether this process may open its own map_files entries, which takes
// CAP_SYS_ADMIN.
bool MayOpenMapFiles();

// Whether this kernel is the given version or later.
bool KernelAtLeast(int major, int minor);

// A second thread of this process, alive until destroyed.
class LiveThread {
 public:
  LiveThread();
  ~LiveThread();
  LiveThread(const LiveThread&) = delete;
  LiveThread& operator=(const LiveThread&) = delete;

  DWORD id() const { return id_; }

 private:
  std::promise<void> done_;
  std::thread thread_;
  DWORD id_ = 0;
};
