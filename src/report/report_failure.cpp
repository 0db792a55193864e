#include <cstdio>

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

// CompareObjectHandles came with Windows 10, in kernelbase.dll alone: it is
// looked up, so that the program still starts on the systems before.
using CompareObjectHandlesProc = BOOL(WINAPI*)(HANDLE, HANDLE);

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != FALSE;
}

// One file, however often opened: the same file index on the same volume.
bool AreOneFile(HANDLE out, HANDLE err) {
  BY_HANDLE_FILE_INFORMATION outFile = {};
  BY_HANDLE_FILE_INFORMATION errFile = {};
  return GetFileInformationByHandle(out, &outFile) && GetFileInformationByHandle(err, &errFile) &&
         outFile.dwVolumeSerialNumber == errFile.dwVolumeSerialNumber &&
         outFile.nFileIndexHigh == errFile.nFileIndexHigh &&
         outFile.nFileIndexLow == errFile.nFileIndexLow;
}

// Where the system cannot tell, two pipes count as two: each stream then
// keeps the very bytes it would have apart.
bool AreOneObject(HANDLE out, HANDLE err) {
  const HMODULE kernelBase = GetModuleHandleA("kernelbase.dll");
  if (kernelBase == nullptr) {
    return false;
  }
  const FARPROC found = GetProcAddress(kernelBase, "CompareObjectHandles");
  if (found == nullptr) {
    return false;
  }
  // Through a pointer to a function of no arguments, which any function pointer may be cast to.
  const auto compare =
      reinterpret_cast<CompareObjectHandlesProc>(reinterpret_cast<void (*)()>(found));
  return compare(out, err) != FALSE;
}

// The report has no line break after a header and goes out in large blocks, so
// a failure line that shares its destination (`>out 2>&1`, `2>&1 | more`, one
// console) must let the report through first and start a line of its own.
// Any query that fails counts the two as apart.
bool SharesDestinationWithReport() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || err == nullptr ||
      err == INVALID_HANDLE_VALUE) {
    return false;
  }
  if (out == err) {
    return true;
  }
  if (IsConsole(out) && IsConsole(err)) {
    return true;
  }
  const DWORD type = GetFileType(out);
  if (type == FILE_TYPE_UNKNOWN || type != GetFileType(err)) {
    return false;
  }
  return type == FILE_TYPE_DISK ? AreOneFile(out, err) : AreOneObject(out, err);
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
  // Out before the report goes on: Wine's C runtime buffers standard error in a file.
  std::fflush(stderr);
}
