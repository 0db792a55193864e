// Parsing of the kernel's /proc text: pure functions over bytes already read.
#pragma once

#include <cstddef>
#include <cstdint>

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
  uint32_t policy = 0;
};

// The kernel flag of a kernel thread (PF_KTHREAD).
constexpr uint32_t kKernelThreadFlag = 0x00200000;

// False when the text is not a whole stat line.
bool ParseStat(const char* text, std::size_t length, StatFields* fields);

// One line of /proc/PID/maps, without its line break. `path` points into the
// line and is empty for an anonymous mapping.
struct MapsLine {
  uint64_t start = 0;
  uint64_t end = 0;
  bool executable = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  const char* path = nullptr;
  std::size_t pathLength = 0;
};

// False when the line does not have the kernel's shape.
bool ParseMapsLine(const char* text, std::size_t length, MapsLine* line);

// The Windows priority class that matches a scheduling policy and nice value.
DWORD PriorityClassOf(uint32_t policy, int32_t nice);

// The Windows base priority of a priority class.
LONG BasePriorityOf(DWORD priorityClass);

}  // namespace procfs
