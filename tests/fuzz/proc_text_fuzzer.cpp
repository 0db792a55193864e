// The /proc text parsers on hostile bytes. The first byte picks what the rest is:
//   '0' a stat line          '1' a maps line          '2' a text read line by line
//   '3' fields of a stat line the kernel could write, the rest its command name
//   '4' fields of a maps line the kernel could write, the rest its path
//   '5' a name or path copied into a record's text field of a chosen size
// Texts are copied into buffers of their exact size, so that any read past
// them is caught.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "proc_text.h"

namespace {

// A heap copy of exactly the text's size.
std::unique_ptr<char[]> ExactCopy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size()]);
  std::memcpy(copy.get(), text.data(), text.size());
  return copy;
}

// --- plain helpers for the reference checks -------------------------------

bool IsDecimal(const std::string& s) {
  if (s.empty()) {
    return false;
  }
  for (const char c : s) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

// The value of a run of digits, or false when it does not fit 64 bits.
bool ValueOf(const std::string& digits, int base, uint64_t* value) {
  unsigned __int128 result = 0;
  for (const char c : digits) {
    int digit = -1;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    }
    if (digit < 0) {
      return false;
    }
    result = result * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (result > UINT64_MAX) {
      return false;
    }
  }
  *value = static_cast<uint64_t>(result);
  return !digits.empty();
}

std::string LeadingDigits(const std::string& s) {
  std::size_t n = 0;
  while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
    ++n;
  }
  return s.substr(0, n);
}

std::vector<std::string> Split(const std::string& s, char separator) {
  std::vector<std::string> parts(1);
  for (const char c : s) {
    if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back().push_back(c);
    }
  }
  return parts;
}

// --- stat lines --------------------------------------------------------------

bool SameStat(const procfs::StatFields& a, const procfs::StatFields& b) {
  return std::string(a.command, a.commandLength) == std::string(b.command, b.commandLength) &&
         a.state == b.state && a.parent == b.parent && a.kernelFlags == b.kernelFlags &&
         a.nice == b.nice && a.threads == b.threads && a.startTime == b.startTime &&
         a.policy == b.policy;
}

// A stat line in the kernel's layout: 52 fields, the ones the parser does not
// keep filled with plausible values, some of them negative.
std::string StatLine(const std::string& pid, const std::string& command, char state,
                     uint64_t parent, uint64_t flags, int64_t nice, uint64_t threads,
                     uint64_t startTime, uint64_t policy) {
  std::vector<std::string> after(50, "0");  // after[k]: field k, the state being 0
  after[1] = std::to_string(parent);
  after[2] = "4242";
  after[5] = "-1";
  after[6] = std::to_string(flags);
  after[15] = std::to_string(nice + 20);
  after[16] = std::to_string(nice);
  after[17] = std::to_string(threads);
  after[19] = std::to_string(startTime);
  after[21] = "2150";
  after[22] = "18446744073709551615";
  after[35] = "17";
  after[38] = std::to_string(policy);
  std::string line = pid + " (" + command + ") " + state;
  for (std::size_t k = 1; k < after.size(); ++k) {
    line += " " + after[k];
  }
  return line + "\n";
}

void CheckStat(const std::string& text) {
  const std::unique_ptr<char[]> copy = ExactCopy(text);
  procfs::StatFields fields;
  if (!procfs::ParseStat(copy.get(), text.size(), &fields)) {
    return;
  }
  // The name: from the first "(" to the last ")" after it.
  const std::size_t open = text.find('(');
  REQUIRE(open != std::string::npos, text);
  const std::size_t close = text.rfind(')');
  REQUIRE(close != std::string::npos && close > open, text);
  REQUIRE(fields.command == copy.get() + open + 1, text);
  REQUIRE(fields.commandLength == close - open - 1, text);

  // After the name: " <state>" and then space-separated fields.
  REQUIRE(close + 2 < text.size() && text[close + 1] == ' ', text);
  REQUIRE(fields.state == text[close + 2], text);
  const std::vector<std::string> after = Split(text.substr(close + 3), ' ');
  REQUIRE(after.size() >= 18 && after[0].empty(), text);
  for (std::size_t k = 1; k < 17; ++k) {
    REQUIRE(after[k].find('\n') == std::string::npos, text);
  }
  uint64_t value = 0;
  REQUIRE(IsDecimal(after[1]) && ValueOf(after[1], 10, &value) && value == fields.parent, text);
  REQUIRE(IsDecimal(after[6]) && ValueOf(after[6], 10, &value) &&
              static_cast<uint32_t>(value) == fields.kernelFlags,
          text);
  const bool negative = !after[16].empty() && after[16][0] == '-';
  const std::string niceDigits = after[16].substr(negative ? 1 : 0);
  REQUIRE(IsDecimal(niceDigits) && ValueOf(niceDigits, 10, &value), text);
  REQUIRE(fields.nice >= -20 && fields.nice <= 19, text);
  REQUIRE(static_cast<int64_t>(value) == (negative ? -fields.nice : fields.nice), text);
  REQUIRE(ValueOf(LeadingDigits(after[17]), 10, &value) && value == fields.threads, text);
  // Fields past the thread count are read while the line keeps its shape.
  if (fields.startTime != 0) {
    REQUIRE(after.size() > 19 && ValueOf(LeadingDigits(after[19]), 10, &value) &&
                value == fields.startTime,
            text);
  }
  if (fields.policy != 0) {
    REQUIRE(after.size() > 38 && ValueOf(LeadingDigits(after[38]), 10, &value) &&
                value == fields.policy,
            text);
  }

  // What was read, written again the kernel's way, reads the same.
  const std::string again =
      StatLine("1", std::string(fields.command, fields.commandLength), fields.state, fields.parent,
               fields.kernelFlags, fields.nice, fields.threads, fields.startTime, fields.policy);
  const std::unique_ptr<char[]> againCopy = ExactCopy(again);
  procfs::StatFields reread;
  REQUIRE(procfs::ParseStat(againCopy.get(), again.size(), &reread), again);
  REQUIRE(SameStat(fields, reread), again);
}

void CheckBuiltStat(Reader& in) {
  static constexpr char kStates[] = "RSDZTtXxKWPI";
  const char state = kStates[in.Byte() % (sizeof kStates - 1)];
  const uint32_t pid = in.Number<uint32_t>();
  const uint32_t parent = in.Number<uint32_t>();
  const uint32_t flags = in.Number<uint32_t>();
  const int32_t nice = static_cast<int32_t>(in.Byte() % 40) - 20;
  const uint32_t threads = in.Number<uint32_t>();
  const uint64_t startTime = in.Number<uint64_t>();
  const uint32_t policy = in.Number<uint32_t>();
  // The kernel keeps any bytes but NUL in a name; ")", "(", spaces and
  // line breaks included.
  std::string command;
  for (const char c : in.Rest()) {
    if (c != '\0') {
      command.push_back(c);
    }
  }
  const std::string line = StatLine(std::to_string(pid), command, state, parent, flags, nice,
                                    threads, startTime, policy);
  const std::unique_ptr<char[]> copy = ExactCopy(line);
  procfs::StatFields fields;
  REQUIRE(procfs::ParseStat(copy.get(), line.size(), &fields), line);
  REQUIRE(std::string(fields.command, fields.commandLength) == command, line);
  REQUIRE(fields.state == state && fields.parent == parent && fields.kernelFlags == flags &&
              fields.nice == nice && fields.threads == threads && fields.startTime == startTime &&
              fields.policy == policy,
          line);
}

// --- maps lines --------------------------------------------------------------

struct Maps {
  uint64_t start = 0, end = 0;
  bool executable = false;
  uint64_t device = 0, inode = 0;
  std::string path;
};

bool operator==(const Maps& a, const Maps& b) {
  return a.start == b.start && a.end == b.end && a.executable == b.executable &&
         a.device == b.device && a.inode == b.inode && a.path == b.path;
}

std::string MapsText(uint64_t start, uint64_t end, const char perms[4], uint64_t offset,
                     uint32_t major, uint32_t minor, uint64_t inode, std::size_t pad,
                     const std::string& path) {
  char head[160];
  std::snprintf(head, sizeof head,
                "%08" PRIx64 "-%08" PRIx64 " %.4s %08" PRIx64 " %02" PRIx32 ":%02" PRIx32
                " %" PRIu64 " ",
                start, end, perms, offset, major, minor, inode);
  std::string line = head;
  if (!path.empty()) {
    line.append(pad, ' ');
    line += path;
  }
  return line;
}

// The kernel's shape read plainly: false for anything else.
bool ReferenceMaps(const std::string& text, Maps* maps) {
  std::size_t at = 0;
  auto take = [&](auto accept) {
    const std::size_t from = at;
    while (at < text.size() && accept(text[at])) {
      ++at;
    }
    return text.substr(from, at - from);
  };
  auto isHex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  auto expect = [&](char c) { return at < text.size() && text[at++] == c; };
  uint64_t offset = 0, major = 0, minor = 0;
  if (!ValueOf(take(isHex), 16, &maps->start) || !expect('-') ||
      !ValueOf(take(isHex), 16, &maps->end) || !expect(' ')) {
    return false;
  }
  const std::string perms = text.substr(at, 4);
  if (perms.size() != 4 || (perms[0] != 'r' && perms[0] != '-') ||
      (perms[1] != 'w' && perms[1] != '-') || (perms[2] != 'x' && perms[2] != '-') ||
      (perms[3] != 'p' && perms[3] != 's')) {
    return false;
  }
  at += 4;
  maps->executable = perms[2] == 'x';
  if (!expect(' ') || !ValueOf(take(isHex), 16, &offset) || !expect(' ') ||
      !ValueOf(take(isHex), 16, &major) || !expect(':') || !ValueOf(take(isHex), 16, &minor) ||
      !expect(' ') || !ValueOf(take(isDigit), 10, &maps->inode)) {
    return false;
  }
  if (at < text.size() && text[at] != ' ') {
    return false;
  }
  if (maps->end < maps->start || major > UINT32_MAX || minor > UINT32_MAX) {
    return false;
  }
  maps->device = (major << 32) | minor;
  take([](char c) { return c == ' '; });
  maps->path = text.substr(at);
  return true;
}

void CheckMaps(const std::string& text) {
  const std::unique_ptr<char[]> copy = ExactCopy(text);
  procfs::MapsLine line;
  const bool accepted = procfs::ParseMapsLine(copy.get(), text.size(), &line);
  Maps reference;
  const bool kernelShaped = ReferenceMaps(text, &reference);
  REQUIRE(accepted || !kernelShaped, text);
  if (!accepted) {
    return;
  }
  REQUIRE(line.start <= line.end, text);
  // The path is the end of the line, after the spaces that pad it.
  REQUIRE(line.path >= copy.get() && line.path <= copy.get() + text.size(), text);
  REQUIRE(line.path + line.pathLength == copy.get() + text.size(), text);
  REQUIRE(line.pathLength == 0 || line.path[0] != ' ', text);
  const Maps parsed{line.start,  line.end,   line.executable,
                    line.device, line.inode, std::string(line.path, line.pathLength)};
  REQUIRE(!kernelShaped || parsed == reference, text);

  // Written again the kernel's way, it reads the same.
  const std::string again =
      MapsText(parsed.start, parsed.end, parsed.executable ? "r-xp" : "rw-p", 0,
               static_cast<uint32_t>(parsed.device >> 32), static_cast<uint32_t>(parsed.device),
               parsed.inode, 1, parsed.path);
  const std::unique_ptr<char[]> againCopy = ExactCopy(again);
  procfs::MapsLine reread;
  REQUIRE(procfs::ParseMapsLine(againCopy.get(), again.size(), &reread), again);
  REQUIRE((Maps{reread.start, reread.end, reread.executable, reread.device, reread.inode,
                std::string(reread.path, reread.pathLength)} == parsed),
          again);
}

void CheckBuiltMaps(Reader& in) {
  const uint64_t start = in.Number<uint64_t>();
  const uint64_t length = in.Number<uint64_t>();
  const uint64_t end = start + std::min(length, UINT64_MAX - start);
  const uint8_t bits = in.Byte();
  const char perms[4] = {bits & 1 ? 'r' : '-', bits & 2 ? 'w' : '-', bits & 4 ? 'x' : '-',
                         bits & 8 ? 's' : 'p'};
  const uint64_t offset = in.Number<uint64_t>();
  const uint32_t major = in.Number<uint32_t>();
  const uint32_t minor = in.Number<uint32_t>();
  const uint64_t inode = in.Number<uint64_t>();
  const std::size_t pad = in.Byte() % 48 + 1;
  // The kernel escapes line breaks in a path; its paths never start with a space.
  std::string path = in.Rest();
  for (char& c : path) {
    if (c == '\n') {
      c = '/';
    }
  }
  path.erase(0, path.find_first_not_of(' ') == std::string::npos ? path.size()
                                                                 : path.find_first_not_of(' '));
  const std::string text = MapsText(start, end, perms, offset, major, minor, inode, pad, path);
  const std::unique_ptr<char[]> copy = ExactCopy(text);
  procfs::MapsLine line;
  REQUIRE(procfs::ParseMapsLine(copy.get(), text.size(), &line), text);
  REQUIRE((Maps{line.start, line.end, line.executable, line.device, line.inode,
                std::string(line.path, line.pathLength)} ==
           Maps{start, end, (bits & 4) != 0, (uint64_t{major} << 32) | minor, inode, path}),
          text);
  REQUIRE(line.offset == offset, text);
}

// --- reading line by line ----------------------------------------------------

void CheckLines(Reader& in) {
  std::vector<std::size_t> chunks(in.Byte() % 9);
  for (std::size_t& chunk : chunks) {
    chunk = in.Byte() % 64 + 1;
  }
  if (chunks.empty()) {
    chunks.push_back(4096);
  }
  const std::string text = in.Rest();
  // Fed in chunks, as reads deliver them; what is left at the end is the unfinished last line.
  std::string pending;
  std::vector<std::string> lines;
  for (std::size_t at = 0, read = 0; at < text.size(); at += chunks[read++ % chunks.size()]) {
    pending.append(text, at, chunks[read % chunks.size()]);
    procfs::TakeLines(&pending, [&](const char* line, std::size_t length) {
      REQUIRE(line >= pending.data() && line + length <= pending.data() + pending.size(), text);
      lines.emplace_back(line, length);
    });
    REQUIRE(pending.find('\n') == std::string::npos, text);
  }
  std::vector<std::string> expected = Split(text, '\n');
  REQUIRE(expected.back() == pending, text);
  expected.pop_back();
  REQUIRE(lines == expected, text);
}

// --- names and paths shown in a record's field --------------------------------

void CheckShown(Reader& in) {
  const std::size_t size = in.Byte();  // 0 to 255, around the fields' 256 and 260
  const std::string text = in.Rest();
  // The model: each byte in turn, a control byte or a backslash as "\ooo", while it fits whole.
  std::string expected;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    char piece[5] = {c, '\0'};
    if (byte < 0x20 || c == '\\') {
      std::snprintf(piece, sizeof piece, "\\%03o", byte);
    }
    if (size == 0 || expected.size() + std::strlen(piece) > size - 1) {
      break;
    }
    expected += piece;
  }
  std::unique_ptr<char[]> field(new char[size == 0 ? 1 : size]);
  std::memset(field.get(), 'X', size == 0 ? 1 : size);
  const std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.data(), text.size());
  procfs::CopyShown(field.get(), size, copy.get(), text.size());
  if (size == 0) {
    REQUIRE(field[0] == 'X', text);  // an empty field is not touched
    return;
  }
  REQUIRE(std::string(field.get()) == expected, text);
  for (std::size_t i = expected.size(); i < size; ++i) {
    REQUIRE(field[i] == '\0', text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Reader in(data, size);
  switch (static_cast<uint8_t>(in.Byte() - '0') % 6) {
    case 0:
      CheckStat(in.Rest());
      break;
    case 1:
      CheckMaps(in.Rest());
      break;
    case 2:
      CheckLines(in);
      break;
    case 3:
      CheckBuiltStat(in);
      break;
    case 4:
      CheckBuiltMaps(in);
      break;
    case 5:
      CheckShown(in);
      break;
  }
  return 0;
}
