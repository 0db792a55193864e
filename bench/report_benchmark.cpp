// The report's formatted writes over the test double, 100,000 processes of 50
// modules each, into /dev/null; beside the double's own calls alone, and a
// plain loop that writes the same bytes with one fwrite per line. The report
// less the double, against the plain writes, is the cost of the formatting.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform_double.h"
#include "report.h"

namespace {

constexpr int kProcesses = 100000;
constexpr int kModules = 50;
constexpr int64_t kModuleLines = int64_t{kProcesses} * kModules;

std::vector<fake::Module> Modules() {
  std::vector<fake::Module> modules;
  for (int m = 0; m < kModules; ++m) {
    const std::string name = "module" + std::to_string(m) + ".dll";
    modules.push_back({name, "C:\\Windows\\System32\\" + name, static_cast<DWORD>(4096 * (m + 3))});
  }
  return modules;
}

const fake::World& BigWorld() {
  static const fake::World world = [] {
    fake::World w;
    const std::vector<fake::Module> modules = Modules();
    w.processes.reserve(kProcesses);
    for (int p = 0; p < kProcesses; ++p) {
      w.processes.push_back({static_cast<DWORD>(4 * (p + 1)),
                             "process" + std::to_string(p) + ".exe", modules,
                             NORMAL_PRIORITY_CLASS});
    }
    w.recordCalls = false;
    return w;
  }();
  return world;
}

// Standard output goes to /dev/null while this lives.
class OutputDropped {
 public:
  OutputDropped() : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~OutputDropped() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  OutputDropped(const OutputDropped&) = delete;
  OutputDropped& operator=(const OutputDropped&) = delete;

 private:
  int saved_;
};

void ReportOverTheDouble(benchmark::State& state) {
  const fake::World& world = BigWorld();
  OutputDropped dropped;
  for (auto _ : state) {
    state.PauseTiming();
    fake::Reset(world);
    state.ResumeTiming();
    benchmark::DoNotOptimize(WalkProcesses());
  }
  state.SetItemsProcessed(state.iterations() * kModuleLines);
  state.SetLabel("items: module lines");
}
BENCHMARK(ReportOverTheDouble)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same platform calls as the walk, writing nothing: what the double itself costs.
void TheDoubleAlone(benchmark::State& state) {
  const fake::World& world = BigWorld();
  for (auto _ : state) {
    state.PauseTiming();
    fake::Reset(world);
    state.ResumeTiming();
    HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process = {};
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(processes, &process); more;
         more = Process32Next(processes, &process)) {
      HANDLE handle = OpenProcess(PROCESS_ALL_ACCESS, FALSE, process.th32ProcessID);
      benchmark::DoNotOptimize(GetPriorityClass(handle));
      CloseHandle(handle);
      HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.th32ProcessID);
      MODULEENTRY32 module = {};
      module.dwSize = sizeof module;
      for (BOOL next = Module32First(modules, &module); next;
           next = Module32Next(modules, &module)) {
        benchmark::DoNotOptimize(module.modBaseSize);
      }
      CloseHandle(modules);
    }
    CloseHandle(processes);
  }
  state.SetItemsProcessed(state.iterations() * kModuleLines);
  state.SetLabel("items: module lines");
}
BENCHMARK(TheDoubleAlone)->Unit(benchmark::kMillisecond)->UseRealTime();

void PlainWritesOfTheSameBytes(benchmark::State& state) {
  const fake::World& world = BigWorld();
  std::vector<std::string> headers;
  for (const fake::Process& process : world.processes) {
    headers.push_back("\n\n!PROCESS NAME:=" + process.exe);
  }
  std::vector<std::string> lines;
  for (const fake::Module& module : Modules()) {
    lines.push_back("\n" + module.name + "\t" + module.path + "\t" + std::to_string(module.size));
  }
  OutputDropped dropped;
  for (auto _ : state) {
    for (const std::string& header : headers) {
      std::fwrite(header.data(), 1, header.size(), stdout);
      for (const std::string& line : lines) {
        std::fwrite(line.data(), 1, line.size(), stdout);
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kModuleLines);
  state.SetLabel("items: module lines");
}
BENCHMARK(PlainWritesOfTheSameBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
