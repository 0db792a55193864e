#include "elf_image.h"

#include <algorithm>
#include <iterator>

namespace elf {
namespace {

constexpr unsigned char kMagic[] = {0x7F, 'E', 'L', 'F'};
constexpr unsigned char ELFCLASS32 = 1;
constexpr unsigned char ELFCLASS64 = 2;
constexpr unsigned char ELFDATA2LSB = 1;
constexpr unsigned char ELFDATA2MSB = 2;
constexpr unsigned char EV_CURRENT = 1;
constexpr uint16_t ET_EXEC = 2;
constexpr uint16_t ET_DYN = 3;
constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PF_X = 1;
constexpr uint16_t PN_XNUM = 0xFFFF;  // the real count lies elsewhere: not believed

// Where a class keeps the header's and a program header's fields, and how long they are.
struct Format {
  bool wide;  // 64-bit fields
  std::size_t headerSize, phoff, phentsize, phnum;
  std::size_t entrySize, flags, offset, vaddr, filesz, memsz;
};
constexpr Format kElf32 = {false, 52, 28, 42, 44, 32, 24, 4, 8, 16, 20};
constexpr Format kElf64 = {true, 64, 32, 54, 56, 56, 4, 8, 16, 32, 40};

// The fields of a validated header.
struct Header {
  const Format* format;
  bool bigEndian;
  uint64_t tableOffset;
  std::size_t tableSize;
};

uint64_t Field(const unsigned char* at, std::size_t width, bool bigEndian) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t byte = bigEndian ? i : width - 1 - i;
    value = (value << 8) | at[byte];
  }
  return value;
}

bool ReadHeader(const unsigned char* header, std::size_t length, Header* read) {
  if (length < 16 || !std::equal(std::begin(kMagic), std::end(kMagic), header) ||
      header[6] != EV_CURRENT) {
    return false;
  }
  const unsigned char fileClass = header[4];
  const unsigned char data = header[5];
  if ((fileClass != ELFCLASS32 && fileClass != ELFCLASS64) ||
      (data != ELFDATA2LSB && data != ELFDATA2MSB)) {
    return false;
  }
  const Format& format = fileClass == ELFCLASS64 ? kElf64 : kElf32;
  const bool big = data == ELFDATA2MSB;
  if (length < format.headerSize) {
    return false;
  }
  const std::size_t address = format.wide ? 8 : 4;
  const uint64_t type = Field(header + 16, 2, big);
  const uint64_t entrySize = Field(header + format.phentsize, 2, big);
  const uint64_t count = Field(header + format.phnum, 2, big);
  const uint64_t offset = Field(header + format.phoff, address, big);
  if ((type != ET_EXEC && type != ET_DYN) || entrySize != format.entrySize || count == 0 ||
      count == PN_XNUM || count * entrySize > kMostTableSize ||
      offset > UINT64_MAX - count * entrySize) {
    return false;
  }
  *read = Header{&format, big, offset, static_cast<std::size_t>(count * entrySize)};
  return true;
}

uint64_t PageDown(uint64_t address, uint64_t pageSize) { return address & ~(pageSize - 1); }

// Rounded up to a page; false when that overflows.
bool PageUp(uint64_t address, uint64_t pageSize, uint64_t* rounded) {
  if (address > UINT64_MAX - (pageSize - 1)) {
    return false;
  }
  *rounded = PageDown(address + pageSize - 1, pageSize);
  return true;
}

}  // namespace

bool FindProgramHeaders(const unsigned char* header, std::size_t length, uint64_t* offset,
                        std::size_t* size) {
  Header read;
  if (!ReadHeader(header, length, &read)) {
    return false;
  }
  *offset = read.tableOffset;
  *size = read.tableSize;
  return true;
}

bool ReadImageLayout(const unsigned char* header, std::size_t headerLength,
                     const unsigned char* table, std::size_t tableLength, uint64_t pageSize,
                     ImageLayout* layout) {
  Header read;
  if (!ReadHeader(header, headerLength, &read) || tableLength < read.tableSize || pageSize == 0 ||
      (pageSize & (pageSize - 1)) != 0) {
    return false;
  }
  const Format& format = *read.format;
  const std::size_t address = format.wide ? 8 : 4;
  const uint64_t top = format.wide ? UINT64_MAX : UINT32_MAX;  // the class's address space
  bool any = false;
  uint64_t low = 0;        // the lowest segment's first page
  uint64_t lastStart = 0;  // the last segment's address, for their order
  uint64_t end = 0;        // the highest end in memory
  uint64_t fileStart = 0;  // the last segment with file bytes: its first page and its end
  uint64_t fileEnd = 0;
  int executables = 0;  // segments with file bytes that the process runs
  ImageLayout placed;   // where the one executable segment lies
  bool gapless = true;
  for (std::size_t at = 0; at < read.tableSize; at += format.entrySize) {
    const unsigned char* entry = table + at;
    if (Field(entry, 4, read.bigEndian) != PT_LOAD) {
      continue;
    }
    const uint64_t offset = Field(entry + format.offset, address, read.bigEndian);
    const uint64_t vaddr = Field(entry + format.vaddr, address, read.bigEndian);
    const uint64_t filesz = Field(entry + format.filesz, address, read.bigEndian);
    const uint64_t memsz = Field(entry + format.memsz, address, read.bigEndian);
    if (memsz == 0) {
      continue;  // takes no memory
    }
    uint64_t segmentEnd = 0;
    uint64_t segmentFileEnd = 0;
    if (filesz > memsz || offset > top - filesz || vaddr > top - memsz ||
        (vaddr - offset) % pageSize != 0 || (any && vaddr < lastStart) ||
        !PageUp(vaddr + memsz, pageSize, &segmentEnd) ||
        !PageUp(vaddr + filesz, pageSize, &segmentFileEnd)) {
      return false;
    }
    if (!any) {
      // The module's first mapping is the file's offset 0: so must the image's lowest page be.
      if (PageDown(offset, pageSize) != 0 || filesz == 0) {
        return false;
      }
      low = PageDown(vaddr, pageSize);
      any = true;
    } else {
      gapless = gapless && PageDown(vaddr, pageSize) <= end;
    }
    lastStart = vaddr;
    end = std::max(end, segmentEnd);
    if (filesz != 0) {
      fileStart = PageDown(vaddr, pageSize);
      fileEnd = segmentFileEnd;
      if ((Field(entry + format.flags, 4, read.bigEndian) & PF_X) != 0) {
        ++executables;
        placed.executableFileStart = PageDown(offset, pageSize);
        placed.executableFileEnd = offset + filesz;
        placed.executableStart = PageDown(vaddr, pageSize) - low;
      }
    }
  }
  if (!any) {
    return false;
  }
  *layout = ImageLayout{end - low, fileStart - low, fileEnd - low};
  layout->gapless = gapless;
  if (executables == 1) {
    layout->executableFileStart = placed.executableFileStart;
    layout->executableFileEnd = placed.executableFileEnd;
    layout->executableStart = placed.executableStart;
  }
  return true;
}

}  // namespace elf
