#include "proc_text.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

namespace procfs {
namespace {

// Scheduling policies, as <sched.h> numbers them.
constexpr uint32_t kSchedFifo = 1;
constexpr uint32_t kSchedRoundRobin = 2;
constexpr uint32_t kSchedIdle = 5;
constexpr uint32_t kSchedDeadline = 6;

// Reads a number at `p` and moves past it: false when none is there, or it overflows.
template <typename Number>
bool Take(const char*& p, const char* end, int base, Number* value) {
  const auto [stop, error] = std::from_chars(p, end, *value, base);
  if (error != std::errc()) {
    return false;
  }
  p = stop;
  return true;
}

bool TakeChar(const char*& p, const char* end, char expected) {
  if (p < end && *p == expected) {
    ++p;
    return true;
  }
  return false;
}

// Positions of the fields after the command name, counting the state as 0.
enum StatField {
  kState = 0,
  kParent = 1,
  kFlags = 6,
  kNice = 16,
  kThreads = 17,
  kStartTime = 19,
  kVirtualSize = 20,
  kPolicy = 38,
};

}  // namespace

bool ParseStat(const char* text, std::size_t length, StatFields* fields) {
  // The name may itself hold ")" and spaces: it ends at the last ")".
  const std::string_view line(text, length);
  const std::size_t open = line.find('(');
  const std::size_t close = line.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close <= open) {
    return false;
  }
  StatFields parsed;
  parsed.command = text + open + 1;
  parsed.commandLength = close - open - 1;
  const char* p = text + close + 1;
  const char* end = text + length;
  bool sawStartTime = false;  // and so every field before it
  for (int field = 0; p < end && *p == ' '; ++field) {
    ++p;
    uint64_t number = 0;
    int64_t nice = 0;
    if (field == kState) {
      if (p >= end) {
        return false;
      }
      parsed.state = *p++;
    } else if (field == kNice) {
      if (!Take(p, end, 10, &nice) || nice < -20 || nice > 19) {
        return false;
      }
      parsed.nice = static_cast<int32_t>(nice);
    } else if (field == kParent || field == kThreads || field == kPolicy) {
      if (!Take(p, end, 10, &number) || number > UINT32_MAX) {
        return false;
      }
      (field == kParent    ? parsed.parent
       : field == kThreads ? parsed.threads
                           : parsed.policy) = static_cast<uint32_t>(number);
    } else if (field == kFlags || field == kStartTime || field == kVirtualSize) {
      if (!Take(p, end, 10, &number)) {
        return false;
      }
      if (field == kFlags) {
        parsed.kernelFlags = static_cast<uint32_t>(number);
      } else {
        (field == kStartTime ? parsed.startTime : parsed.virtualSize) = number;
        sawStartTime = sawStartTime || field == kStartTime;
      }
    } else {
      while (p < end && *p != ' ' && *p != '\n') {
        ++p;
      }
    }
  }
  if (!sawStartTime) {
    return false;
  }
  *fields = parsed;
  return true;
}

bool ParseStatusTgid(const char* text, std::size_t length, DWORD* tgid) {
  const std::string_view status(text, length);
  const std::size_t field = status.find("\nTgid:");
  if (field == std::string_view::npos) {
    return false;
  }
  const std::size_t digits = status.find_first_not_of(" \t", field + 6);
  const char* p = text + std::min(digits, length);
  uint64_t value = 0;
  if (!Take(p, text + length, 10, &value) || value > UINT32_MAX) {
    return false;
  }
  *tgid = static_cast<DWORD>(value);
  return true;
}

bool ParseMapsLine(const char* text, std::size_t length, MapsLine* line) {
  const char* p = text;
  const char* end = text + length;
  MapsLine parsed;
  uint64_t major = 0;
  uint64_t minor = 0;
  if (!Take(p, end, 16, &parsed.start) || !TakeChar(p, end, '-') ||
      !Take(p, end, 16, &parsed.end) || !TakeChar(p, end, ' ')) {
    return false;
  }
  if (end - p < 5 || p[4] != ' ') {
    return false;
  }
  parsed.executable = p[2] == 'x';
  p += 5;
  if (!Take(p, end, 16, &parsed.offset) || !TakeChar(p, end, ' ') || !Take(p, end, 16, &major) ||
      !TakeChar(p, end, ':') || !Take(p, end, 16, &minor) || !TakeChar(p, end, ' ') ||
      !Take(p, end, 10, &parsed.inode)) {
    return false;
  }
  if (parsed.end < parsed.start || major > UINT32_MAX || minor > UINT32_MAX) {
    return false;
  }
  parsed.device = (major << 32) | minor;
  while (p < end && *p == ' ') {
    ++p;
  }
  parsed.path = p;
  parsed.pathLength = static_cast<std::size_t>(end - p);
  *line = parsed;
  return true;
}

DWORD PriorityClassOf(uint32_t policy, int32_t nice) {
  if (policy == kSchedFifo || policy == kSchedRoundRobin || policy == kSchedDeadline) {
    return REALTIME_PRIORITY_CLASS;
  }
  if (policy == kSchedIdle || nice >= 15) {
    return IDLE_PRIORITY_CLASS;
  }
  if (nice >= 5) {
    return BELOW_NORMAL_PRIORITY_CLASS;
  }
  if (nice >= -4) {
    return NORMAL_PRIORITY_CLASS;
  }
  if (nice >= -14) {
    return ABOVE_NORMAL_PRIORITY_CLASS;
  }
  return HIGH_PRIORITY_CLASS;
}

std::size_t UnescapeMapsPath(char* path, std::size_t length) {
  static constexpr char kLineBreak[] = "\\012";
  constexpr std::size_t kEscapeLength = sizeof kLineBreak - 1;
  std::size_t out = 0;
  for (std::size_t in = 0; in < length; ++out) {
    if (length - in >= kEscapeLength && std::memcmp(path + in, kLineBreak, kEscapeLength) == 0) {
      path[out] = '\n';
      in += kEscapeLength;
    } else {
      path[out] = path[in++];
    }
  }
  return out;
}

void CopyShown(char* field, std::size_t size, const char* text, std::size_t length) {
  if (size == 0) {
    return;
  }
  constexpr std::size_t kEscapeLength = 4;  // "\ooo"
  std::size_t used = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '\\') {
      if (used + 1 > size - 1) {
        break;
      }
      field[used++] = text[i];
    } else {
      if (used + kEscapeLength > size - 1) {
        break;
      }
      field[used++] = '\\';
      field[used++] = static_cast<char>('0' + (byte >> 6));
      field[used++] = static_cast<char>('0' + ((byte >> 3) & 7));
      field[used++] = static_cast<char>('0' + (byte & 7));
    }
  }
  std::memset(field + used, 0, size - used);
}

LONG BasePriorityOf(DWORD priorityClass) {
  switch (priorityClass) {
    case IDLE_PRIORITY_CLASS:
      return 4;
    case BELOW_NORMAL_PRIORITY_CLASS:
      return 6;
    case ABOVE_NORMAL_PRIORITY_CLASS:
      return 10;
    case HIGH_PRIORITY_CLASS:
      return 13;
    case REALTIME_PRIORITY_CLASS:
      return 24;
    default:
      return 8;
  }
}

}  // namespace procfs
