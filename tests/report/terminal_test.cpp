// A failure line on the terminal that also shows the report starts a line of its own.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capture.h"
#include "test_world.h"

namespace {

TEST(Terminal, AFailureLineIsNeverGluedOntoAHeader) {
  fake::World world = ThreeProcesses();
  world.faults = {{fake::Op::kOpenProcess, 2, ERROR_ACCESS_DENIED}};
  fake::Reset(world);

  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    char name[] = "procreport";
    char* argv[] = {name, nullptr};
    char* envp[] = {nullptr};
    const int status = ProcreportMain(1, argv, envp);
    std::fflush(stdout);
    _exit(status);
  }
  std::string screen;
  char chunk[4096];
  for (ssize_t count; (count = read(terminal, chunk, sizeof chunk)) > 0;) {
    screen.append(chunk, static_cast<std::size_t>(count));
  }
  int status = 0;
  waitpid(child, &status, 0);
  close(terminal);

  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  // The terminal turns each line break into CR LF.
  EXPECT_NE(
      screen.find("\r\n!PROCESS NAME:=winlogon.exe\r\nprocreport: OpenProcess failed with error 5: "
                  "Access is denied\r\n\r\n!PROCESS NAME:=explorer.exe"),
      std::string::npos)
      << screen;
  for (const std::string& line : Lines(screen)) {
    EXPECT_FALSE(line.find("procreport:") != std::string::npos &&
                 line.find("!PROCESS") != std::string::npos)
        << line;
  }
}

}  // namespace
