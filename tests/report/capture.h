// Runs a piece of the report with standard output and standard error caught.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct Captured {
  std::string out;
  std::string err;
  int status = 0;
};

Captured Capture(const std::function<int()>& body);

// Text-mode output as the program wrote it: on Windows each CR LF back to "\n",
// and a line break that arrived without its CR a test failure.
std::string FromPlatformLineEnds(const std::string& bytes);

// Text split into its lines; a closing line break ends the last one.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) {
    lines.push_back(text.substr(start));
  }
  return lines;
}

// The program's own entry point, built from the same source under this name.
int ProcreportMain(int argc, char* argv[], char* envp[]);

// The whole program, called at its entry point.
inline int CallMain() {
  char name[] = "procreport";
  char* argv[] = {name, nullptr};
  char* envp[] = {nullptr};
  return ProcreportMain(1, argv, envp);
}

inline Captured RunProgram() { return Capture(CallMain); }
