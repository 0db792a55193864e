#include <cstdio>

#include "report.h"

int main(int /*argc*/, char* /*argv*/[], char* /*envp*/[]) {
  std::printf(";procreport - the processes of this machine and the modules they have loaded");
  std::printf("\n;Copyright (C) 2026 the procreport developers. All rights reserved.\n");
  return WalkProcesses();
}
