#include "capture.h"

#include <unistd.h>

#include <cstdio>

namespace {

std::string ReadAll(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  for (std::size_t count; (count = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    text.append(chunk, count);
  }
  return text;
}

}  // namespace

Captured Capture(const std::function<int()>& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int savedOut = dup(fileno(stdout));
  const int savedErr = dup(fileno(stderr));
  dup2(fileno(out), fileno(stdout));
  dup2(fileno(err), fileno(stderr));

  Captured captured;
  captured.status = body();

  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, fileno(stdout));
  dup2(savedErr, fileno(stderr));
  close(savedOut);
  close(savedErr);
  captured.out = ReadAll(out);
  captured.err = ReadAll(err);
  std::fclose(out);
  std::fclose(err);
  return captured;
}

Captured RunProgram() {
  char name[] = "procreport";
  char* argv[] = {name, nullptr};
  char* envp[] = {nullptr};
  return Capture([&] { return ProcreportMain(1, argv, envp); });
}
