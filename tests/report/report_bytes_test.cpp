// What the report writes of what the platform gives it, and what it passes to
// the platform of its own accord. The clean report's exact bytes are checked
// with the exhaustive failure suite.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>

#include "capture.h"
#include "report.h"
#include "test_world.h"

namespace {

using fake::Op;

TEST(ReportBytes, NamesPathsAndSizesAreWrittenAsThePlatformHoldsThem) {
  fake::World world;
  world.processes = {{7,
                      "%s%n%d%%.exe",
                      {{"%x.dll", "C:\\100%\\%s\\%x.dll", 0x80000000u},
                       {"b.dll", "C:\\b.dll", 0xFFFFFFFFu},
                       {"c.dll", "C:\\c.dll", 0}}},
                     {9, "a\tb \xC3\xA9\xFF", {{"m\t.so", "/x y/m\t.so", 1}}}};
  fake::Reset(world);
  EXPECT_EQ(BodyAfterBanner(RunProgram().out),
            "\n\n!PROCESS NAME:=%s%n%d%%.exe"
            "\n%x.dll\tC:\\100%\\%s\\%x.dll\t2147483648"
            "\nb.dll\tC:\\b.dll\t4294967295"
            "\nc.dll\tC:\\c.dll\t0"
            "\n\n!PROCESS NAME:=a\tb \xC3\xA9\xFF"
            "\nm\t.so\t/x y/m\t.so\t1");
}

#ifndef _WIN32
TEST(ReportBytes, AReportThatCannotBeWrittenWholeIsToldAndEndsWithStatusTwo) {
  fake::Reset(ThreeProcesses());
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) {
    GTEST_SKIP() << "no /dev/full here";
  }
  const Captured run = Capture([full] {
    const int saved = dup(STDOUT_FILENO);
    dup2(full, STDOUT_FILENO);
    close(full);
    const int status = CallMain();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::clearerr(stdout);
    return status;
  });
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "procreport: writing the report failed: No space left on device\n");
}
#endif

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
      EXPECT_EQ(value, c.value) << "0x" << std::hex << value;
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
        // LANG_NEUTRAL, SUBLANG_DEFAULT: the user's language.
        FixedArgument{"message language", Op::kFormatMessageA, 3, 0x0400},
        FixedArgument{"message buffer size", Op::kFormatMessageA, 5, 256},
        FixedArgument{"no insert arguments", Op::kFormatMessageA, 6, 0}),
    TitleName());

}  // namespace
