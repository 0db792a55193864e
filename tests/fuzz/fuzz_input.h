// What the fuzzers share: a check that stops at the first failure with the
// input that made it, and a reader of fixed-size fields from the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

[[noreturn]] inline void Fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "%s\ntext (%zu):", what, text.size());
  for (const char c : text) {
    std::fprintf(stderr, " %02x", static_cast<unsigned char>(c));
  }
  std::fprintf(stderr, "\n");
  __builtin_trap();
}

// Names the fuzzer's file and the condition that failed.
#define REQUIRE(condition, text)                      \
  do {                                                \
    if (!(condition)) {                               \
      Fail(__FILE__ ": failed: " #condition, (text)); \
    }                                                 \
  } while (0)

// Takes fixed-size fields from the front of the input; 0 once it runs out.
class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  template <typename T>
  T Number() {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      value = static_cast<T>(value | static_cast<T>(static_cast<T>(Byte()) << (8 * i)));
    }
    return value;
  }

  std::string Rest() {
    std::string rest(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
    at_ = size_;
    return rest;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};
