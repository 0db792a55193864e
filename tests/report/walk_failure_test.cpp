#include <gtest/gtest.h>

#include "capture.h"
#include "handle_checks.h"
#include "report.h"
#include "test_world.h"

namespace {

using fake::Op;

struct FailureCase {
  const char* title;
  std::vector<fake::Fault> faults;
  std::string body;  // the report after its banner
  int status;
  std::vector<std::string> failures;  // standard error, line by line
};

std::string Record(int index) { return FullRecord(ThreeProcesses().processes[index]); }
std::string HeaderOf(int index) { return Header(ThreeProcesses().processes[index].exe); }

std::vector<FailureCase> Cases() {
  // Each single failure of a scripted run is in the exhaustive suite; these
  // are what it does not reach.
  return {
      {"the text lookup fails too",
       {{Op::kOpenProcess, 1, ERROR_ACCESS_DENIED},
        {Op::kFormatMessageA, 0, ERROR_NOT_ENOUGH_MEMORY}},
       HeaderOf(0) + Record(1) + Record(2),
       1,
       {"procreport: OpenProcess failed with error 5"}},
      {"every process refuses",
       {{Op::kOpenProcess, 0, ERROR_ACCESS_DENIED}},
       HeaderOf(0) + HeaderOf(1) + HeaderOf(2),
       1,
       {"procreport: OpenProcess failed with error 5: Access is denied",
        "procreport: OpenProcess failed with error 5: Access is denied",
        "procreport: OpenProcess failed with error 5: Access is denied"}},
  };
}

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.title; }

class WalkFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(WalkFailure, CostsOnlyWhatFailedAndIsToldOnStandardError) {
  const FailureCase& c = GetParam();
  fake::World world = ThreeProcesses();
  world.faults = c.faults;
  fake::Reset(world);

  const Captured run = RunProgram();

  EXPECT_EQ(BodyAfterBanner(run.out), c.body);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(Lines(run.err), c.failures);
  ExpectHandlesBalanced();
  ExpectErrorReadFirst();
}

INSTANTIATE_TEST_SUITE_P(EachFailure, WalkFailure, testing::ValuesIn(Cases()), TitleName());

TEST(Walk, AProcessWithoutModulesKeepsItsHeaderAlone) {
  fake::World world = ThreeProcesses();
  world.processes[0].modules.clear();
  fake::Reset(world);
  const Captured run = RunProgram();
  EXPECT_EQ(BodyAfterBanner(run.out), HeaderOf(0) + Record(1) + Record(2));
  EXPECT_EQ(Lines(run.err),
            std::vector<std::string>{
                "procreport: Module32First failed with error 18: There are no more files"});
  EXPECT_EQ(run.status, 1);
  ExpectHandlesBalanced();
}

TEST(Walk, AnEmptyProcessListGivesTheBannerAloneAndStatusZero) {
  fake::World world = ThreeProcesses();
  world.processes.clear();
  fake::Reset(world);
  const Captured run = RunProgram();
  EXPECT_EQ(BodyAfterBanner(run.out), "");
  EXPECT_EQ(run.status, 0);
  ExpectHandlesBalanced();
}

// Every value the report passes to the platform of its own accord, checked on
// every call that takes it. A 64-bit Windows program must also ask for the
// 32-bit modules, or a 32-bit process shows only the WoW64 layer.
#ifdef _WIN64
constexpr DWORD kModuleSnapshotKinds = TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32;
constexpr DWORD kProcessEntrySize = 304;
constexpr DWORD kModuleEntrySize = 568;
#else
constexpr DWORD kModuleSnapshotKinds = TH32CS_SNAPMODULE;
constexpr DWORD kProcessEntrySize = 296;
constexpr DWORD kModuleEntrySize = 548;
#endif
constexpr DWORD kThreadEntrySize = 28;

constexpr std::size_t kRecordSize = 99;  // the record's dwSize, not an argument
constexpr std::uintptr_t kNotNull = ~std::uintptr_t{0};

struct FixedArgument {
  const char* title;
  Op op;
  std::size_t index;  // into the call's arguments, or kRecordSize
  std::uintptr_t value;
};

void PrintTo(const FixedArgument& c, std::ostream* os) { *os << c.title; }

class Passes : public testing::TestWithParam<FixedArgument> {};

TEST_P(Passes, TheSameValueOnEveryCall) {
  const FixedArgument& c = GetParam();
  fake::World world = ThreeProcesses();
  world.threads = {{100, 616}, {101, 616}};
  world.faults = {{Op::kOpenProcess, 2, ERROR_ACCESS_DENIED}};
  fake::Reset(world);
  RunProgram();
  Capture([] { return ShowThreads(616); });

  int calls = 0;
  for (const fake::Call& call : fake::Calls()) {
    if (call.op == c.op) {
      ++calls;
      const std::uintptr_t value =
          c.index == kRecordSize ? call.recordSize : call.arguments[c.index];
      if (c.value == kNotNull) {
        EXPECT_NE(value, 0u);
      } else {
        EXPECT_EQ(value, c.value) << "0x" << std::hex << value;
      }
    }
  }
  EXPECT_GT(calls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachFixedArgument, Passes,
    testing::Values(
        FixedArgument{"process snapshot kinds", Op::kSnapshotOfProcesses, 0, TH32CS_SNAPPROCESS},
        FixedArgument{"process snapshot of all processes", Op::kSnapshotOfProcesses, 1, 0},
        FixedArgument{"module snapshot kinds", Op::kSnapshotOfModules, 0, kModuleSnapshotKinds},
        FixedArgument{"thread snapshot kinds", Op::kSnapshotOfThreads, 0, TH32CS_SNAPTHREAD},
        FixedArgument{"thread snapshot of all processes", Op::kSnapshotOfThreads, 1, 0},
        FixedArgument{"first process record", Op::kProcess32First, kRecordSize, kProcessEntrySize},
        FixedArgument{"next process record", Op::kProcess32Next, kRecordSize, kProcessEntrySize},
        FixedArgument{"first module record", Op::kModule32First, kRecordSize, kModuleEntrySize},
        FixedArgument{"next module record", Op::kModule32Next, kRecordSize, kModuleEntrySize},
        FixedArgument{"first thread record", Op::kThread32First, kRecordSize, kThreadEntrySize},
        FixedArgument{"next thread record", Op::kThread32Next, kRecordSize, kThreadEntrySize},
        // The classic full-access mask, never the 0x001FFFFF of newer headers.
        FixedArgument{"full access mask", Op::kOpenProcess, 0, 0x001F0FFF},
        FixedArgument{"process handle not inherited", Op::kOpenProcess, 1, FALSE},
        // From the system, inserts ignored.
        FixedArgument{"message flags", Op::kFormatMessageA, 0, 0x1200},
        FixedArgument{"no message source", Op::kFormatMessageA, 1, 0},
        FixedArgument{"message of the failure's code", Op::kFormatMessageA, 2, ERROR_ACCESS_DENIED},
        // LANG_NEUTRAL, SUBLANG_DEFAULT: the user's language.
        FixedArgument{"message language", Op::kFormatMessageA, 3, 0x0400},
        FixedArgument{"message buffer", Op::kFormatMessageA, 4, kNotNull},
        FixedArgument{"message buffer size", Op::kFormatMessageA, 5, 256},
        FixedArgument{"no insert arguments", Op::kFormatMessageA, 6, 0}),
    TitleName());

TEST(Walk, EachModuleListRunsAfterItsProcessHandleIsClosed) {
  fake::Reset(ThreeProcesses());
  RunProgram();
  const auto& calls = fake::Calls();
  int moduleLists = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].op == Op::kSnapshotOfModules) {
      ++moduleLists;
      ASSERT_GE(i, 2u);
      EXPECT_EQ(calls[i - 2].op, Op::kGetPriorityClass);
      EXPECT_EQ(calls[i - 1].op, Op::kCloseHandle);
    }
  }
  EXPECT_EQ(moduleLists, 3);
}

}  // namespace
