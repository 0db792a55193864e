// The report while processes start and end all around it, some under names
// chosen to break it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "capture.h"
#include "hostile_names.h"
#include "processes.h"
#include "report_text.h"

namespace {

// Starts and ends short-lived processes without pause until destroyed: copies
// of the sleeper under the given paths, each killed a few starts later.
class Churn {
 public:
  explicit Churn(std::vector<std::string> paths)
      : paths_(std::move(paths)),
        devNull_(open("/dev/null", O_WRONLY | O_CLOEXEC)),
        thread_([this] { Run(); }) {}
  ~Churn() {
    stop_ = true;
    thread_.join();
    close(devNull_);
  }
  Churn(const Churn&) = delete;
  Churn& operator=(const Churn&) = delete;

  int started() const { return started_; }

 private:
  static constexpr std::size_t kAlive = 8;

  void Run() {
    std::deque<pid_t> alive;
    for (std::size_t next = 0; !stop_; ++next) {
      std::string& path = paths_[next % paths_.size()];
      const pid_t child = fork();
      if (child == 0) {
        // Only calls that are safe after fork in a threaded process; the
        // sleeper's readiness byte must not land in a captured report. A
        // crashed suite leaves no sleeper behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(devNull_, STDOUT_FILENO);
        char* argv[] = {path.data(), nullptr};
        char* envp[] = {nullptr};
        execve(path.c_str(), argv, envp);
        _exit(127);
      }
      if (child > 0) {
        alive.push_back(child);
        ++started_;
      }
      if (alive.size() > kAlive || (child < 0 && !alive.empty())) {
        kill(alive.front(), SIGKILL);
        waitpid(alive.front(), nullptr, 0);
        alive.pop_front();
      }
    }
    for (const pid_t child : alive) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }

  std::vector<std::string> paths_;
  int devNull_;
  std::atomic<bool> stop_{false};
  std::atomic<int> started_{0};
  std::thread thread_;
};

TEST(Churn, EveryWalkIsWholeAndWellFormedAndLeavesNothingOpen) {
  constexpr int kWalks = 50;
  const std::vector<HostileName> names = HostileNames(StartedBy::kChurn);
  std::vector<std::unique_ptr<Sleeper>> longLived;
  std::vector<std::string> paths;
  for (const HostileName& name : names) {
    longLived.push_back(std::make_unique<Sleeper>(name.file));
    paths.push_back(longLived.back()->path());
  }
  // Refused (kernel threads), gone before its turn came, or caught inside
  // execve with nothing mapped yet (an empty module list); nothing else.
  const std::regex failure(
      "procreport: (OpenProcess|GetPriorityClass|CreateToolhelp32Snapshot \\(of modules\\)|"
      "Module32First) failed with error (5: Access is denied|87: The parameter is incorrect|"
      "18: There are no more files)");

  const int descriptorsBefore = OpenDescriptors();
  {
    Churn churn(paths);
    for (int walk = 0, startedBefore = 0; walk < kWalks; ++walk) {
      SCOPED_TRACE("walk " + std::to_string(walk + 1));
      // However slow the machine, every walk meets processes new since the last.
      while (churn.started() == startedBefore) {
        std::this_thread::yield();
      }
      startedBefore = churn.started();
      const Captured run = RunProgram();
      EXPECT_EQ(run.status, 1);
      const ParsedReport report = ParseReport(run.out);
      ASSERT_TRUE(report.wellFormed) << report.fault;
      EXPECT_TRUE(Named(report, "forged").empty());

      for (const HostileName& name : names) {
        // Churned copies share the name; the long-lived one has its modules.
        bool whole = false;
        for (const ReportedProcess* process : Named(report, name.shown)) {
          whole = whole || (!process->modules.empty() && process->modules[0].name == name.shown &&
                            process->modules.size() >= 2);
        }
        EXPECT_TRUE(whole) << "no whole record for " << name.shown;
      }
      std::istringstream err(run.err);
      for (std::string line; std::getline(err, line);) {
        EXPECT_TRUE(std::regex_match(line, failure)) << line;
      }
    }
  }
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

}  // namespace
