// CleanErrorText against a plain model over std::string, on buffers of exactly
// the given size so that the sanitizer sees any byte touched outside them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "report.h"

namespace {

// The reporter's own buffer: FormatMessageA may fill it without a terminator.
constexpr std::size_t kReporterBufferSize = 256;

struct Expected {
  std::size_t stop = 0;  // where the terminator goes; nothing after it may change
  std::string line;      // the text left in front of it
};

Expected Model(const std::string& original) {
  Expected expected;
  if (original.empty()) {
    return expected;
  }
  // The first line, within all but the last byte.
  std::string line;
  for (std::size_t i = 0; i + 1 < original.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(original[i]);
    if (byte < 0x20 && byte != '\t') {
      break;
    }
    line.push_back(original[i]);
  }
  expected.stop = line.size();
  while (!line.empty() && (line.back() == '.' || static_cast<unsigned char>(line.back()) <= 0x20)) {
    line.pop_back();
  }
  expected.line = line;
  return expected;
}

void PrintBytes(const char* label, const char* bytes, std::size_t size) {
  std::fprintf(stderr, "%s (%zu):", label, size);
  for (std::size_t i = 0; i < size; ++i) {
    std::fprintf(stderr, " %02x", static_cast<unsigned char>(bytes[i]));
  }
  std::fprintf(stderr, "\n");
}

void Check(const std::string& original) {
  const std::size_t size = original.size();
  std::unique_ptr<char[]> text(new char[size]);
  std::memcpy(text.get(), original.data(), size);
  CleanErrorText(text.get(), size);

  // The whole buffer as it must be: the kept text, terminators from its end up
  // to and including the stop, and the rest as it was.
  const Expected expected = Model(original);
  std::string wanted = original;
  if (size > 0) {
    for (std::size_t i = expected.line.size(); i <= expected.stop; ++i) {
      wanted[i] = '\0';
    }
  }
  if (std::memcmp(text.get(), wanted.data(), size) != 0) {
    PrintBytes("input", original.data(), size);
    PrintBytes("wanted", wanted.data(), size);
    PrintBytes("got", text.get(), size);
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Check(input);
  if (size >= kReporterBufferSize) {
    // A text that fills the reporter's buffer with no terminator at all.
    std::string full = input.substr(0, kReporterBufferSize);
    for (char& c : full) {
      if (c == '\0') {
        c = '.';
      }
    }
    Check(full);
  }
  return 0;
}
