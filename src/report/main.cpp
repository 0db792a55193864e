#include <cstdio>

#include "report.h"

namespace {

// A report runs to megabytes on a busy machine: written in large blocks, it
// costs a few system calls instead of one for every 4 KiB.
constexpr std::size_t kOutputBufferSize = std::size_t{1} << 16;

}  // namespace

int main(int /*argc*/, char* /*argv*/[], char* /*envp*/[]) {
  char output[kOutputBufferSize];
  std::setvbuf(stdout, output, _IOFBF, sizeof output);

  std::printf(";procreport - the processes of this machine and the modules they have loaded");
  std::printf("\n;Copyright (C) 2026 the procreport developers. All rights reserved.\n");
  const int status = WalkProcesses();

  // The buffer lives on this stack: emptied and let go before it is gone.
  std::fflush(stdout);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  return status;
}
