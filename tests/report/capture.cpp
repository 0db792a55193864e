#include "capture.h"

#include <unistd.h>

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#include <gtest/gtest.h>

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

namespace {

std::string ReadAll(std::FILE* file) {
  std::string bytes;
  std::rewind(file);
  char chunk[4096];
  for (std::size_t count; (count = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    bytes.append(chunk, count);
  }
  return FromPlatformLineEnds(bytes);
}

// A file that is removed when closed.
std::FILE* TemporaryFile() {
#ifdef _WIN32
  // msvcrt's tmpfile() fails where the TMP variable names no folder (as under
  // Wine in a fresh prefix); the system's temporary folder is surer.
  char folder[MAX_PATH];
  char path[MAX_PATH];
  if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "pr", 0, path) == 0) {
    return nullptr;
  }
  return std::fopen(path, "w+bD");  // D: deleted when closed
#else
  return std::tmpfile();
#endif
}

}  // namespace

Captured Capture(const std::function<int()>& body) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::FILE* out = TemporaryFile();
  std::FILE* err = TemporaryFile();
  if (out == nullptr || err == nullptr) {
    ADD_FAILURE() << "no temporary file to catch the output in";
    if (out != nullptr) {
      std::fclose(out);
    }
    if (err != nullptr) {
      std::fclose(err);
    }
    return Captured{};
  }
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
