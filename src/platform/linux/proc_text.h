// Parsing of the kernel's /proc text: pure functions over bytes already read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <windows.h>

namespace procfs {

// The fields of /proc/PID/stat that the snapshots use. `command` points into the
// parsed text: the name between the first "(" and the last ")".
struct StatFields {
  const char* command = nullptr;
  std::size_t commandLength = 0;
  char state = '?';
  DWORD parent = 0;
  uint32_t kernelFlags = 0;
  int32_t nice = 0;
  DWORD threads = 0;
  uint64_t startTime = 0;    // clock ticks after boot: with the id, names one process for good
  uint64_t virtualSize = 0;  // 0 once the process has let go of its memory, or never had any
  uint32_t policy = 0;
};

// The kernel flag of a kernel thread (PF_KTHREAD).
constexpr uint32_t kKernelThreadFlag = 0x00200000;

// False when the text is not a whole stat line.
bool ParseStat(const char* text, std::size_t length, StatFields* fields);

// The thread-group id in the text of /proc/PID/status; false when it has none.
bool ParseStatusTgid(const char* text, std::size_t length, DWORD* tgid);

// One line of /proc/PID/maps, without its line break. `path` points into the
// line and is empty for an anonymous mapping.
struct MapsLine {
  uint64_t start = 0;
  uint64_t end = 0;
  bool executable = false;
  uint64_t offset = 0;  // into the file
  uint64_t device = 0;
  uint64_t inode = 0;
  const char* path = nullptr;
  std::size_t pathLength = 0;
};

// False when the line does not have the kernel's shape.
bool ParseMapsLine(const char* text, std::size_t length, MapsLine* line);

// Hands each whole line at the start of `text`, without its line break, to
// `onLine`, and leaves in `text` only the unfinished end, for a later read to
// complete.
template <typename OnLine>
void TakeLines(std::string* text, OnLine&& onLine) {
  std::size_t start = 0;
  for (std::size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1) {
    onLine(static_cast<const char*>(text->data() + start), end - start);
  }
  text->erase(0, start);
}

// Turns each \012 in a /proc/PID/maps path back into the line break that the
// kernel wrote it for, in place, and returns the new length. The kernel
// writes a backslash itself as it is, so a name that holds the four
// characters \012 is read wrongly: this is a guess.
std::size_t UnescapeMapsPath(char* path, std::size_t length);

// Copies a name or path into a record's text field of `size` bytes.
// - A control byte (a tab, a line break, ...) is written as a backslash and
//   three octal digits, as the kernel writes a line break in /proc/PID/maps.
//   No Windows file name holds one, and it would break the lines of whatever
//   lists the name.
// - A backslash is written the same way, so that every name shown reads back
//   as one name.
// - Other bytes pass unchanged. DEL breaks no line, and 0x80 to 0x9F are also
//   the continuation bytes of UTF-8 names.
// The copy is cut to fit, never inside an escape. It is always terminated,
// and the rest of the field is zeroed.
void CopyShown(char* field, std::size_t size, const char* text, std::size_t length);

// The Windows priority class that matches a scheduling policy and nice value.
DWORD PriorityClassOf(uint32_t policy, int32_t nice);

// The Windows base priority of a priority class.
LONG BasePriorityOf(DWORD priorityClass);

}  // namespace procfs
