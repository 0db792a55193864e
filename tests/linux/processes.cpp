#include "processes.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <vector>

#include "proc_files.h"
#include "proc_text.h"

void CopyFile(const std::string& from, const std::string& to, mode_t mode) {
  std::filesystem::copy_file(from, to);
  chmod(to.c_str(), mode);
}

namespace {

// The suite's sleeper, copied once into a directory that every user may read:
// the build tree may lie where only its owner can (a clone in /root), and
// sleepers are also started by the suite's children that have become another user.
class PublicSleeper {
 public:
  PublicSleeper() : owner_(getpid()) {
    char pattern[] = "/tmp/procreport-sleeper-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chmod(pattern, 0755) != 0) {
      throw std::runtime_error("cannot make a directory for the sleeper");
    }
    directory_ = pattern;
    path_ = directory_ + "/test_sleeper";
    CopyFile(TEST_SLEEPER, path_, 0755);
  }
  ~PublicSleeper() {
    // Forked children end through exit() too; only the process that made it removes it.
    if (getpid() == owner_) {
      unlink(path_.c_str());
      rmdir(directory_.c_str());
    }
  }
  PublicSleeper(const PublicSleeper&) = delete;
  PublicSleeper& operator=(const PublicSleeper&) = delete;

  const char* path() const { return path_.c_str(); }

 private:
  pid_t owner_;
  std::string directory_;
  std::string path_;
};

const char* SleeperProgram() {
  static const PublicSleeper sleeper;
  return sleeper.path();
}

// Whether the main thread of the process has ended: its stat line shows a zombie.
bool LeaderEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && line.compare(close, 3, ") Z") == 0;
}

}  // namespace

Sleeper::Sleeper(const std::string& name, pid_t wantedPid, bool leaderExits, const char* program) {
  directory_ = kSleeperDirectory;
  if (mkdtemp(directory_.data()) == nullptr) {
    throw std::runtime_error("cannot make a directory");
  }
  path_ = directory_ + "/" + name;
  CopyFile(program != nullptr ? program : SleeperProgram(), path_, 0755);

  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make a pipe");
  }
  if (wantedPid > 1) {
    // The next id the kernel hands out follows the last one it handed out.
    const int lastPid = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    const std::string text = std::to_string(wantedPid - 1);
    if (lastPid >= 0) {
      (void)!write(lastPid, text.data(), text.size());
      close(lastPid);
    }
  }
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Killed with this process; if it has already gone, it is not waited for.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
      _exit(127);
    }
    dup2(ready[1], STDOUT_FILENO);
    char mode[] = "leader-exits";
    char* argv[] = {path_.data(), leaderExits ? mode : nullptr, nullptr};
    char* envp[] = {nullptr};
    execve(path_.c_str(), argv, envp);
    _exit(errno == ENOEXEC ? 126 : 127);
  }
  close(ready[1]);
  char byte = 0;
  while (read(ready[0], &byte, 1) == 1 && byte != '!') {
    said_ += byte;
  }
  const bool started = byte == '!';
  close(ready[0]);
  if (!started) {
    int status = 0;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    unlink(path_.c_str());
    rmdir(directory_.c_str());
    throw std::runtime_error(
        WIFEXITED(status) && WEXITSTATUS(status) == 126 ? kCannotRun : "the sleeper did not start");
  }
  // The second thread may say so before the main thread has ended. No time
  // limit: a busy machine may take long, and a sleeper that dies ends the wait too.
  while (leaderExits && !LeaderEnded(pid_)) {
    usleep(1000);
  }
}

Sleeper::~Sleeper() {
  Stop();
  unlink(path_.c_str());
  rmdir(directory_.c_str());
}

void Sleeper::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

std::string OwnExecutable() {
  char path[4096] = {};
  const ssize_t count = readlink("/proc/self/exe", path, sizeof path - 1);
  return count > 0 ? std::string(path, static_cast<std::size_t>(count)) : std::string();
}

DWORD PriorityClassNow(pid_t id) {
  const int policy = sched_getscheduler(id) & ~SCHED_RESET_ON_FORK;
  return procfs::PriorityClassOf(static_cast<uint32_t>(policy),
                                 getpriority(PRIO_PROCESS, static_cast<id_t>(id)));
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::vector<PROCESSENTRY32> ProcessesIn(HANDLE snapshot) {
  std::vector<PROCESSENTRY32> entries;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    entries.push_back(entry);
  }
  return entries;
}

std::vector<PROCESSENTRY32> AllProcesses() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
  const std::vector<PROCESSENTRY32> entries = ProcessesIn(snapshot);
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  CloseHandle(snapshot);
  return entries;
}

long OwnStatus(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) {
      return std::stol(line.substr(field.size()));
    }
  }
  return -1;
}

pid_t GoneProcessId() {
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  return child;
}

int OpenDescriptors() {
  // The layer keeps descriptors on /proc and on this process's own
  // descriptors for good, the latter opened when it first reads a module's
  // headers: both opened before counting, so that a first walk does not look
  // like a leak.
  procfs::Root();
  CloseHandle(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0));
  DIR* directory = opendir("/proc/self/fd");
  int count = 0;
  while (readdir(directory) != nullptr) {
    ++count;
  }
  closedir(directory);
  return count;
}

namespace {

// Runs `body` in a child after `setup`; the child's exit status, -1 when the
// setup failed, or 254 when the child was killed.
int RunInChild(const std::function<bool()>& setup, const std::function<int()>& body) {
  // Copied while this process may still read the build tree.
  SleeperProgram();
  const pid_t child = fork();
  if (child == 0) {
    _exit(setup() ? body() : 255);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status)) {
    return 254;  // killed: a crash fails, never skips
  }
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

bool Filter(std::vector<sock_filter> program) {
  sock_fprog filter = {static_cast<unsigned short>(program.size()), program.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// PROCMAP_QUERY (Linux 6.11): _IOWR('f', 17, struct procmap_query).
constexpr uint32_t kProcmapQuery = 0xC0686611;

// Whether PROCMAP_QUERY on a maps file now fails with ENOTTY.
bool QueryRefused() {
  const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  const bool refused = maps >= 0 && ioctl(maps, kProcmapQuery, nullptr) == -1 && errno == ENOTTY;
  close(maps);
  return refused;
}

bool TakeNewCallsAway(int error) {
  // An older kernel's maps file knows no ioctl at all: ENOTTY.
  return Filter({
             BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
             BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_send_signal, 4, 0),
             BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 0, 2),
             // The request's low half, on these little-endian machines.
             BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
             BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kProcmapQuery, 2, 0),
             BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
             BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error),
             BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOTTY),
         }) &&
         syscall(SYS_pidfd_send_signal, -1, 0, nullptr, 0) == -1 && errno == error &&
         QueryRefused();
}

bool TakeWritingAway() {
  // The low half of openat's flags, on this little-endian machine.
  return Filter({
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_WRONLY | O_RDWR, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  });
}

// What is mounted on /proc in a mount namespace of its own stays there: the
// mount at /proc, the one a new mount there sits on, is made private. Only
// /proc, as "/" may be no mount point at all (in a chroot, say).
bool KeepProcMountsHere() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// In a mount namespace of its own, an empty directory in place of /proc.
bool HideProc(bool readable) {
  return KeepProcMountsHere() &&
         mount("none", "/proc", "tmpfs", 0, readable ? "mode=755" : "mode=000") == 0 &&
         (readable || BecomeNobody());
}

// In a mount namespace of its own, as "nobody", a /proc of its own that lets
// it list other users' processes but not look into them.
bool HidePids() {
  return KeepProcMountsHere() &&
         mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "hidepid=1") == 0 &&
         BecomeNobody();
}

}  // namespace

bool KernelAnswersQueries() { return !QueryRefused(); }

bool BecomeNobody() {
  constexpr gid_t kNobodyGroup = 65534;
  constexpr uid_t kNobody = 65534;
  return setgroups(0, nullptr) == 0 && setgid(kNobodyGroup) == 0 && setuid(kNobody) == 0;
}

int RunAsNobody(const std::function<int()>& body) { return RunInChild(BecomeNobody, body); }

int RunWithFewDescriptors(const std::function<int()>& body, int most) {
  const rlimit limit = {static_cast<rlim_t>(most), static_cast<rlim_t>(most)};
  return RunInChild([&limit] { return setrlimit(RLIMIT_NOFILE, &limit) == 0; }, body);
}

int RunInNewPidNamespace(const std::function<int()>& body) {
  // The first process of the namespace is the next child.
  return RunInChild([] { return unshare(CLONE_NEWPID) == 0; },
                    [&body] {
                      const pid_t child = fork();
                      if (child == 0) {
                        _exit(body());
                      }
                      int status = 0;
                      waitpid(child, &status, 0);
                      return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
                    });
}

int RunWithoutNewCalls(int error, const std::function<int()>& body) {
  return RunInChild([error] { return TakeNewCallsAway(error); }, body);
}

int RunWithoutOpeningForWriting(const std::function<int()>& body) {
  return RunInChild(TakeWritingAway, body);
}

int RunWithHiddenPids(const std::function<int()>& body) { return RunInChild(HidePids, body); }

int RunWithEmptyProc(const std::function<int()>& body, bool readable) {
  return RunInChild([readable] { return HideProc(readable); }, body);
}

LiveThread::LiveThread() {
  std::promise<DWORD> started;
  thread_ = std::thread([this, &started] {
    started.set_value(static_cast<DWORD>(syscall(SYS_gettid)));
    done_.get_future().wait();
  });
  id_ = started.get_future().get();
}

LiveThread::~LiveThread() {
  done_.set_value();
  thread_.join();
}

bool MayOpenMapFiles() {
  const std::unique_ptr<DIR, int (*)(DIR*)> entries(opendir("/proc/self/map_files"), closedir);
  for (const dirent* entry; entries != nullptr && (entry = readdir(entries.get())) != nullptr;) {
    if (entry->d_name[0] != '.') {
      const int fd = openat(dirfd(entries.get()), entry->d_name, O_PATH | O_CLOEXEC);
      if (fd >= 0) {
        close(fd);
      }
      return fd >= 0;
    }
  }
  return false;
}

bool KernelAtLeast(int major, int minor) {
  utsname name = {};
  int hasMajor = 0;
  int hasMinor = 0;
  return uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &hasMajor, &hasMinor) == 2 &&
         (hasMajor > major || (hasMajor == major && hasMinor >= minor));
}
