// Where standard output and standard error reach one terminal, file or pipe, a
// failure line comes after the report written before it, on a line of its own.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "capture.h"
#include "test_world.h"

namespace {

enum class Destination { kTerminal, kFile, kPipe };

struct SharedCase {
  const char* title;
  Destination destination;
  fake::Stream out;  // as the system's handles tell it
  fake::Stream err;
};

void PrintTo(const SharedCase& c, std::ostream* os) { *os << c.title; }

std::string ReadToEnd(int descriptor) {
  std::string bytes;
  char chunk[4096];
  for (ssize_t count; (count = read(descriptor, chunk, sizeof chunk)) > 0;) {
    bytes.append(chunk, static_cast<std::size_t>(count));
  }
  return bytes;
}

// Runs the program in a child whose standard output and standard error are
// both `descriptor` (a terminal's when -1); its exit status, or -1.
int RunInChild(int descriptor, int* terminal) {
  const pid_t child = descriptor < 0 ? forkpty(terminal, nullptr, nullptr, nullptr) : fork();
  if (child == 0) {
    if (descriptor >= 0) {
      dup2(descriptor, STDOUT_FILENO);
      dup2(descriptor, STDERR_FILENO);
    }
    const int status = CallMain();
    std::fflush(stdout);
    _exit(status);
  }
  return child;
}

class SharedDestination : public testing::TestWithParam<SharedCase> {};

TEST_P(SharedDestination, HoldsEveryLineWholeInItsPlace) {
  fake::World world = ThreeProcesses();
  world.faults = {{fake::Op::kOpenProcess, 2, ERROR_ACCESS_DENIED}};
  fake::Reset(world);
  // The same run with the two apart gives the report to interleave.
  const std::string report = RunProgram().out;
  world.out = GetParam().out;
  world.err = GetParam().err;
  const std::string header = Header(world.processes[1].exe);
  std::string expected = report;
  expected.insert(report.find(header) + header.size(),
                  "\nprocreport: OpenProcess failed with error 5: Access is denied");
  fake::Reset(world);

  // A terminal or pipe is read while the child writes; a file once it is done.
  std::string bytes;
  int status = 0;
  switch (GetParam().destination) {
    case Destination::kTerminal: {
      int terminal = -1;
      const pid_t child = RunInChild(-1, &terminal);
      ASSERT_GE(child, 0);
      bytes = ReadToEnd(terminal);
      close(terminal);
      waitpid(child, &status, 0);
      // The terminal turns each line break into CR LF.
      for (std::size_t at = 0; (at = expected.find('\n', at)) != std::string::npos; at += 2) {
        expected.insert(at, "\r");
      }
      break;
    }
    case Destination::kFile: {
      std::FILE* file = std::tmpfile();
      ASSERT_NE(file, nullptr);
      const pid_t child = RunInChild(fileno(file), nullptr);
      ASSERT_GE(child, 0);
      waitpid(child, &status, 0);
      lseek(fileno(file), 0, SEEK_SET);
      bytes = ReadToEnd(fileno(file));
      std::fclose(file);
      break;
    }
    case Destination::kPipe: {
      int ends[2];
      ASSERT_EQ(pipe(ends), 0);
      const pid_t child = RunInChild(ends[1], nullptr);
      close(ends[1]);
      ASSERT_GE(child, 0);
      bytes = ReadToEnd(ends[0]);
      close(ends[0]);
      waitpid(child, &status, 0);
      break;
    }
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    SharedDestinations, SharedDestination,
    testing::Values(SharedCase{"one terminal", Destination::kTerminal, kConsoleOut, kConsoleErr},
                    SharedCase{"one file", Destination::kFile, kFileOut, kFileErr},
                    SharedCase{"one pipe", Destination::kPipe, kPipeOut, kPipeErr}),
    TitleName());

}  // namespace
