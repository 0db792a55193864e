// Runs a piece of the report with standard output and standard error caught.
#pragma once

#include <functional>
#include <string>

struct Captured {
  std::string out;
  std::string err;
  int status = 0;
};

Captured Capture(const std::function<int()>& body);

// The program's own entry point, built from the same source under this name.
int ProcreportMain(int argc, char* argv[], char* envp[]);

// Runs the whole program from its entry point.
inline Captured RunProgram() {
  char name[] = "procreport";
  char* argv[] = {name, nullptr};
  char* envp[] = {nullptr};
  return Capture([&] { return ProcreportMain(1, argv, envp); });
}
