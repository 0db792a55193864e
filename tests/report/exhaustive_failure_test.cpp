// Fails each platform call of a scripted run in turn, with several codes, and
// checks the whole outcome of every one of those runs.
#include <gtest/gtest.h>

#include <cstdio>

#include "capture.h"
#include "handle_checks.h"
#include "report.h"
#include "test_world.h"

namespace {

using fake::Op;

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

TEST(ExhaustiveFailure, FailingAnyOneCallCostsOnlyWhatDependsOnIt) {
  const fake::World world = ThreeProcesses();
  fake::Reset(world);
  const Captured clean = RunProgram();
  ASSERT_EQ(clean.err, "");
  std::vector<fake::Call> cleanCalls;
  for (const fake::Call& call : fake::Calls()) {
    if (call.op != Op::kGetLastError) {
      cleanCalls.push_back(call);
    }
  }
  ASSERT_GT(cleanCalls.size(), 20u);

  for (std::size_t k = 0; k < cleanCalls.size(); ++k) {
    for (const DWORD code :
         {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_INVALID_PARAMETER}, DWORD{1234}}) {
      SCOPED_TRACE("call " + std::to_string(k + 1) + " (" + fake::NameOf(cleanCalls[k].op) +
                   ") fails with " + std::to_string(code));
      fake::World faulty = world;
      faulty.failCallNumber = static_cast<int>(k + 1);
      faulty.failCallCode = code;
      fake::Reset(faulty);

      const Captured run = RunProgram();

      const Op op = cleanCalls[k].op;
      const bool walkFailedAtStart = op == Op::kSnapshotOfProcesses || op == Op::kProcess32First;
      EXPECT_EQ(run.status, walkFailedAtStart ? 0 : 1);
      EXPECT_EQ(BodyAfterBanner(run.out), ExpectedBody(world, cleanCalls, k));
      EXPECT_EQ(Lines(run.err), ExpectedFailures(world, op, code));
      ExpectHandlesBalanced();
      ExpectErrorReadFirst();
    }
  }
}

// The thread lines of the owner's threads among the first `entries` entries.
std::string ThreadLines(const fake::World& world, DWORD owner, std::size_t entries) {
  std::string lines;
  for (std::size_t i = 0; i < entries && i < world.threads.size(); ++i) {
    const fake::Thread& thread = world.threads[i];
    if (thread.owner == owner) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "\n\n     THREAD ID      = 0x%08X\n     base priority  = %d"
                    "\n     delta priority = %d",
                    static_cast<unsigned>(thread.tid), static_cast<int>(thread.basePriority),
                    static_cast<int>(thread.deltaPriority));
      lines += text;
    }
  }
  return lines;
}

TEST(ExhaustiveFailure, FailingAnyOneCallOfTheThreadListCostsOnlyWhatFollows) {
  fake::World world = ThreeProcesses();
  world.threads = {{10, 616, 8, 0}, {11, 2048, 13, 1}, {12, 616, 15, -2}, {13, 616, 4, 0}};
  constexpr DWORD kOwner = 616;
  fake::Reset(world);
  ASSERT_EQ(Capture([] { return ShowThreads(kOwner); }).status, 1);
  const std::vector<fake::Call> cleanCalls = fake::Calls();
  ASSERT_EQ(cleanCalls.size(), 1 + world.threads.size() + 2);  // snapshot, entries, end, close

  for (std::size_t k = 0; k < cleanCalls.size(); ++k) {
    for (const DWORD code : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_INVALID_PARAMETER}}) {
      const Op op = cleanCalls[k].op;
      SCOPED_TRACE("call " + std::to_string(k + 1) + " (" + fake::NameOf(op) + ") fails with " +
                   std::to_string(code));
      fake::World faulty = world;
      faulty.failCallNumber = static_cast<int>(k + 1);
      faulty.failCallCode = code;
      fake::Reset(faulty);

      const Captured run = Capture([] { return ShowThreads(kOwner); });

      // Call k+1 hands out entry k-1 (the snapshot comes first); a failed
      // entry call ends the list before its entry.
      const std::size_t entries = op == Op::kCloseHandle ? world.threads.size() : k - (k > 0);
      const bool failedAtStart = op == Op::kSnapshotOfThreads || op == Op::kThread32First;
      EXPECT_EQ(run.status, failedAtStart ? 0 : 1);
      EXPECT_EQ(run.out, failedAtStart ? "" : ThreadLines(world, kOwner, entries));
      EXPECT_EQ(Lines(run.err), ExpectedFailures(world, op, code));
      ExpectHandlesBalanced();
      ExpectErrorReadFirst();
    }
  }
}

}  // namespace
