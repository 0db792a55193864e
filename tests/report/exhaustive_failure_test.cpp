// Fails each platform call of a scripted run in turn, with several codes, and
// checks the whole outcome of every one of those runs.
#include <gtest/gtest.h>

#include <functional>

#include "capture.h"
#include "report.h"
#include "test_world.h"

namespace {

using fake::Op;

// 18, the end of a list, is also what an empty list gives at its first entry;
// 1234 has no text.
constexpr DWORD kCodes[] = {ERROR_ACCESS_DENIED, ERROR_NO_MORE_FILES, 1234};

std::vector<std::string> ExpectedFailures(const fake::World& world, Op op, DWORD code) {
  if (!IsReported(op)) {
    return {};
  }
  std::string line =
      std::string("procreport: ") + fake::NameOf(op) + " failed with error " + std::to_string(code);
  const auto text = world.messages.find(code);
  if (text != world.messages.end()) {
    line += ": " + text->second.substr(0, text->second.size() - 3);  // less ".\r\n"
  }
  return {line};
}

// The calls of the clean run just made, GetLastError left out.
std::vector<fake::Call> CleanCalls() {
  std::vector<fake::Call> calls;
  for (const fake::Call& call : fake::Calls()) {
    if (call.op != Op::kGetLastError) {
      calls.push_back(call);
    }
  }
  return calls;
}

// Runs `body` again for each of the clean run's calls failed in turn with each
// code; checks what every run must give and hands it to `check` with the index
// of the failed call.
void FailEachCallInTurn(fake::World world, const std::vector<fake::Call>& clean,
                        const std::function<int()>& body,
                        const std::function<void(std::size_t, const Captured&)>& check) {
  for (std::size_t k = 0; k < clean.size(); ++k) {
    for (const DWORD code : kCodes) {
      const Op op = clean[k].op;
      SCOPED_TRACE("call " + std::to_string(k + 1) + " (" + fake::NameOf(op) + ") fails with " +
                   std::to_string(code));
      world.failCallNumber = static_cast<int>(k + 1);
      world.failCallCode = code;
      fake::Reset(world);

      const Captured run = Capture(body);

      const bool failedAtStart = op == Op::kSnapshotOfProcesses || op == Op::kProcess32First ||
                                 op == Op::kSnapshotOfThreads || op == Op::kThread32First;
      EXPECT_EQ(run.status, failedAtStart ? 0 : 1);
      EXPECT_EQ(Lines(run.err), ExpectedFailures(world, op, code));
      ExpectHandlesBalanced();
      ExpectErrorReadFirst();
      check(k, run);
    }
  }
}

// The report that a run gives when only `failed` (a call of the clean run)
// fails: derived from the clean run's calls, not from the report code.
std::string ExpectedBody(const fake::World& world, const std::vector<fake::Call>& clean,
                         std::size_t failed) {
  const fake::Call& call = clean[failed];
  if (call.op == Op::kSnapshotOfProcesses || call.op == Op::kProcess32First) {
    return "";
  }
  std::size_t processesShown = world.processes.size();
  if (call.op == Op::kProcess32Next) {
    processesShown = 0;
    for (std::size_t i = 0; i <= failed; ++i) {
      processesShown += clean[i].op == Op::kProcess32Next ? 1 : 0;
    }
  }
  std::string body;
  for (std::size_t p = 0; p < processesShown; ++p) {
    const fake::Process& process = world.processes[p];
    std::size_t modulesShown = process.modules.size();
    if (call.argument == process.pid) {
      if (call.op == Op::kOpenProcess || call.op == Op::kGetPriorityClass ||
          call.op == Op::kSnapshotOfModules || call.op == Op::kModule32First) {
        modulesShown = 0;
      } else if (call.op == Op::kModule32Next) {
        modulesShown = 0;
        for (std::size_t i = 0; i < failed; ++i) {
          const bool entry = clean[i].op == Op::kModule32First || clean[i].op == Op::kModule32Next;
          modulesShown += entry && clean[i].argument == process.pid ? 1 : 0;
        }
      }
    }
    body += Header(process.exe);
    for (std::size_t m = 0; m < modulesShown; ++m) {
      body += ModuleLine(process.modules[m]);
    }
  }
  return body;
}

TEST(ExhaustiveFailure, FailingAnyOneCallCostsOnlyWhatDependsOnIt) {
  const fake::World world = ThreeProcesses();
  fake::Reset(world);
  const Captured clean = RunProgram();
  // The clean report byte for byte: what Header and ModuleLine stand for.
  EXPECT_EQ(BodyAfterBanner(clean.out),
            "\n\n!PROCESS NAME:=System"
            "\nntoskrnl.exe\tC:\\Windows\\system32\\ntoskrnl.exe\t8433664"
            "\n\n!PROCESS NAME:=winlogon.exe"
            "\nwinlogon.exe\tC:\\Windows\\system32\\winlogon.exe\t507904"
            "\nntdll.dll\tC:\\Windows\\SYSTEM32\\ntdll.dll\t1978368"
            "\nKERNEL32.DLL\tC:\\Windows\\System32\\KERNEL32.DLL\t1101824"
            "\n\n!PROCESS NAME:=explorer.exe"
            "\nexplorer.exe\tC:\\Windows\\explorer.exe\t4882432"
            "\nntdll.dll\tC:\\Windows\\SYSTEM32\\ntdll.dll\t1978368");
  EXPECT_EQ(clean.status, 1);
  ASSERT_EQ(clean.err, "");
  const std::vector<fake::Call> calls = CleanCalls();
  ASSERT_GT(calls.size(), 20u);

  FailEachCallInTurn(world, calls, CallMain, [&](std::size_t k, const Captured& run) {
    EXPECT_EQ(BodyAfterBanner(run.out), ExpectedBody(world, calls, k));
  });
}

TEST(ExhaustiveFailure, FailingAnyOneCallOfTheThreadListCostsOnlyWhatFollows) {
  constexpr DWORD kOwner = 100;
  fake::World world = ThreeProcesses();
  world.threads = {
      {7, 200, 13, 2}, {0x1A2B, kOwner, 8, 0}, {12, 300}, {0xFFFFFFFF, kOwner, 24, -15}};
  // What each thread gives: nothing unless it is the owner's.
  const std::string shown[] = {"",
                               "\n\n     THREAD ID      = 0x00001A2B"
                               "\n     base priority  = 8"
                               "\n     delta priority = 0",
                               "",
                               "\n\n     THREAD ID      = 0xFFFFFFFF"
                               "\n     base priority  = 24"
                               "\n     delta priority = -15"};
  const auto body = [] { return ShowThreads(kOwner); };
  fake::Reset(world);
  const Captured clean = Capture(body);
  EXPECT_EQ(clean.out, shown[0] + shown[1] + shown[2] + shown[3]);
  EXPECT_EQ(clean.status, 1);
  ASSERT_EQ(clean.err, "");
  const std::vector<fake::Call> calls = CleanCalls();
  ASSERT_EQ(calls.size(), 1 + world.threads.size() + 2);  // snapshot, entries, end, close

  FailEachCallInTurn(world, calls, body, [&](std::size_t k, const Captured& run) {
    // Call k+1 hands out entry k-1 (the snapshot comes first); a failed entry
    // call ends the list before its entry.
    std::string expected;
    for (std::size_t i = 0; i + 1 < k && i < world.threads.size(); ++i) {
      expected += shown[i];
    }
    EXPECT_EQ(run.out, expected);
  });
}

}  // namespace
