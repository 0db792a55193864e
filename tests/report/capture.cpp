#include "capture.h"

#include <unistd.h>

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <gtest/gtest.h>

namespace {

// Standard output and standard error are in text mode: on Windows every "\n"
// written arrives as CR LF. The suites compare what the program wrote, so
// each CR LF is taken back to "\n", and a line break without its CR is a fault.
std::string FromPlatformLineEnds(const std::string& bytes) {
#ifdef _WIN32
  std::string text;
  for (const char c : bytes) {
    if (c == '\n') {
      if (text.empty() || text.back() != '\r') {
        ADD_FAILURE() << "a line break arrived without its CR";
      } else {
        text.pop_back();
      }
    }
    text.push_back(c);
  }
  return text;
#else
  return bytes;
#endif
}

std::string ReadAll(std::FILE* file) {
  std::string bytes;
  std::rewind(file);
  char chunk[4096];
  for (std::size_t count; (count = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    bytes.append(chunk, count);
  }
  return FromPlatformLineEnds(bytes);
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
#ifdef _WIN32
  // The descriptors took the temporary files' binary mode; the program's own are text.
  _setmode(fileno(stdout), _O_TEXT);
  _setmode(fileno(stderr), _O_TEXT);
#endif

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
