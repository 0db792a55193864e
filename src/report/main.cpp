#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report.h"

namespace {

// A report runs to megabytes on a busy machine: written in large blocks, it
// costs a few system calls instead of one for every 4 KiB.
constexpr std::size_t kOutputBufferSize = std::size_t{1} << 16;

// The exit status of a report that did not reach its destination whole (a
// full disk, say): whatever the walk gave, it is no complete report.
constexpr int kReportNotWritten = 2;

}  // namespace

int main(int /*argc*/, char* /*argv*/[], char* /*envp*/[]) {
  char output[kOutputBufferSize];
  std::setvbuf(stdout, output, _IOFBF, sizeof output);

  std::printf(";procreport - the processes of this machine and the modules they have loaded");
  std::printf("\n;Copyright (C) 2026 the procreport developers. All rights reserved.\n");
  const int status = WalkProcesses();

  // The buffer lives on this stack: emptied and let go before it is gone.
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  const bool written = flushed && std::ferror(stdout) == 0;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (!written) {
    // The reason is known where the last block failed; an earlier one's is gone.
    std::fprintf(stderr, "procreport: writing the report failed%s%s\n", error != 0 ? ": " : "",
                 error != 0 ? std::strerror(error) : "");
    return kReportNotWritten;
  }
  return status;
}
