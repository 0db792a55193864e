#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

#include "report.h"

namespace {

constexpr std::size_t kMessageBufferSize = 256;

// Control bytes end the first line; tabs, and bytes of 0x80 and above
// (localized texts), are ordinary text.
bool EndsLine(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 && byte != '\t';
}

bool IsTrailingFiller(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte == '.' || byte < 0x21;
}

// The report has no line break after a header and goes out in large blocks, so
// a failure line that shares its destination (`>out 2>&1`, `2>&1 | less`, one
// terminal) must let the report through first and start a line of its own.
// The Windows C runtime gives every file inode 0: there, only terminals tell.
bool SharesDestinationWithReport() {
  const int out = fileno(stdout);
  const int err = fileno(stderr);
  if (isatty(out) && isatty(err)) {
    return true;
  }
  struct stat outFile = {};
  struct stat errFile = {};
  return fstat(out, &outFile) == 0 && fstat(err, &errFile) == 0 && outFile.st_ino != 0 &&
         outFile.st_ino == errFile.st_ino && outFile.st_dev == errFile.st_dev;
}

}  // namespace

void CleanErrorText(char* text, std::size_t size) {
  if (size == 0) {
    return;
  }
  // The last byte is kept for the terminator, so a text that fills the whole
  // buffer without one is still cut inside it.
  std::size_t end = 0;
  while (end < size - 1 && !EndsLine(text[end])) {
    ++end;
  }
  text[end] = '\0';
  while (end > 0 && IsTrailingFiller(text[end - 1])) {
    text[--end] = '\0';
  }
}

void ReportFailure(const char* operation) {
  // First, before anything else can overwrite it.
  const DWORD code = GetLastError();

  char text[kMessageBufferSize] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  CleanErrorText(text, sizeof text);

  const bool shared = SharesDestinationWithReport();
  if (shared) {
    std::fflush(stdout);
  }
  std::fprintf(stderr, "%sprocreport: %s failed with error %u%s%s%s", shared ? "\n" : "", operation,
               static_cast<unsigned>(code), text[0] != '\0' ? ": " : "", text, shared ? "" : "\n");
}
