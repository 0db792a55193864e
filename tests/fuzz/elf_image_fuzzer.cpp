// The ELF header reader on hostile bytes, against a model that reads the
// header and program headers through <elf.h>'s own structures. The first byte
// picks what the rest is:
//   '0' a file's first bytes, its ELF header and program headers read
//   '1' an ELF header and program headers built from fields, mostly loadable
// Bytes are copied into buffers of their exact size, so that any read past
// them is caught.
#include <elf.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "elf_image.h"
#include "fuzz_input.h"

namespace {

// A heap copy of exactly the bytes' size.
std::unique_ptr<unsigned char[]> ExactBytes(const std::string& bytes) {
  std::unique_ptr<unsigned char[]> copy(new unsigned char[bytes.size()]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

constexpr uint64_t kPageSizes[] = {4096, 16384, 65536};
constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
constexpr unsigned __int128 kMost64 = UINT64_MAX;

// A field turned between the file's byte order and the host's.
template <typename T>
T Swapped(T value, bool swap) {
  if (!swap) {
    return value;
  }
  if constexpr (sizeof(T) == 2) {
    return __builtin_bswap16(value);
  } else if constexpr (sizeof(T) == 4) {
    return __builtin_bswap32(value);
  } else {
    static_assert(sizeof(T) == 8);
    return __builtin_bswap64(value);
  }
}

// The model: the header and table read through <elf.h>'s own structures.
struct ModelHeader {
  bool wide = false;
  bool swap = false;  // the file's byte order is not the host's
  uint64_t count = 0;
  uint64_t tableOffset = 0;
  uint64_t tableSize = 0;
};

// The header's fields of either class, in the host's byte order; false when
// the file is too short for the class's header.
template <typename Ehdr, typename Phdr>
bool DecodeHeader(const std::string& file, bool swap, uint16_t* type, uint16_t* entrySize,
                  uint16_t* count, uint64_t* offset, std::size_t* classEntrySize) {
  Ehdr header;
  if (file.size() < sizeof header) {
    return false;
  }
  std::memcpy(&header, file.data(), sizeof header);
  *type = Swapped(header.e_type, swap);
  *entrySize = Swapped(header.e_phentsize, swap);
  *count = Swapped(header.e_phnum, swap);
  *offset = Swapped(header.e_phoff, swap);
  *classEntrySize = sizeof(Phdr);
  return true;
}

bool ModelReadHeader(const std::string& file, ModelHeader* model) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
  if (file.size() < EI_NIDENT || std::memcmp(bytes, ELFMAG, SELFMAG) != 0 ||
      bytes[EI_VERSION] != EV_CURRENT ||
      (bytes[EI_DATA] != ELFDATA2LSB && bytes[EI_DATA] != ELFDATA2MSB)) {
    return false;
  }
  const bool swap = (bytes[EI_DATA] == ELFDATA2MSB) != kHostBigEndian;
  uint16_t type = 0;
  uint16_t entrySize = 0;
  uint16_t count = 0;
  uint64_t offset = 0;
  std::size_t classEntrySize = 0;
  const bool decoded = bytes[EI_CLASS] == ELFCLASS32
                           ? DecodeHeader<Elf32_Ehdr, Elf32_Phdr>(file, swap, &type, &entrySize,
                                                                  &count, &offset, &classEntrySize)
                       : bytes[EI_CLASS] == ELFCLASS64
                           ? DecodeHeader<Elf64_Ehdr, Elf64_Phdr>(file, swap, &type, &entrySize,
                                                                  &count, &offset, &classEntrySize)
                           : false;
  if (!decoded) {
    return false;
  }
  // An image that loads, with a table of its class's own entries, counted in the header.
  if ((type != ET_EXEC && type != ET_DYN) || entrySize != classEntrySize || count == 0 ||
      count == PN_XNUM) {
    return false;
  }
  const uint64_t tableSize = uint64_t{count} * entrySize;
  if (tableSize > elf::kMostTableSize ||
      static_cast<unsigned __int128>(offset) + tableSize > kMost64) {
    return false;
  }
  *model = ModelHeader{bytes[EI_CLASS] == ELFCLASS64, swap, count, offset, tableSize};
  return true;
}

struct Segment {
  uint32_t type = PT_LOAD;
  uint64_t offset = 0, vaddr = 0, filesz = 0, memsz = 0;
  uint32_t flags = 0;
};

// Wider than 64 bits, so that a rounding that overflows them shows.
unsigned __int128 PageUp(unsigned __int128 at, uint64_t page) {
  return (at + page - 1) / page * page;
}

uint64_t PageDown(uint64_t at, uint64_t page) { return at / page * page; }

bool ModelLayout(const ModelHeader& header, const unsigned char* table, uint64_t page,
                 elf::ImageLayout* layout) {
  std::vector<Segment> loads;
  for (uint64_t i = 0; i < header.count; ++i) {
    Segment s;
    if (header.wide) {
      Elf64_Phdr entry;
      std::memcpy(&entry, table + i * sizeof entry, sizeof entry);
      s = {Swapped(entry.p_type, header.swap),  Swapped(entry.p_offset, header.swap),
           Swapped(entry.p_vaddr, header.swap), Swapped(entry.p_filesz, header.swap),
           Swapped(entry.p_memsz, header.swap), Swapped(entry.p_flags, header.swap)};
    } else {
      Elf32_Phdr entry;
      std::memcpy(&entry, table + i * sizeof entry, sizeof entry);
      s = {Swapped(entry.p_type, header.swap),  Swapped(entry.p_offset, header.swap),
           Swapped(entry.p_vaddr, header.swap), Swapped(entry.p_filesz, header.swap),
           Swapped(entry.p_memsz, header.swap), Swapped(entry.p_flags, header.swap)};
    }
    if (s.type == PT_LOAD && s.memsz != 0) {
      loads.push_back(s);
    }
  }
  if (loads.empty()) {
    return false;
  }
  // File bytes fit in the memory, no end passes the class's address space (nor
  // 64 bits once rounded up to a page), address and offset agree within a
  // page, and addresses never go down.
  const unsigned __int128 most = header.wide ? kMost64 : UINT32_MAX;
  for (std::size_t i = 0; i < loads.size(); ++i) {
    const Segment& s = loads[i];
    if (s.filesz > s.memsz || static_cast<unsigned __int128>(s.offset) + s.filesz > most ||
        static_cast<unsigned __int128>(s.vaddr) + s.memsz > most ||
        PageUp(static_cast<unsigned __int128>(s.vaddr) + s.memsz, page) > kMost64 ||
        PageUp(static_cast<unsigned __int128>(s.vaddr) + s.filesz, page) > kMost64 ||
        s.vaddr % page != s.offset % page || (i > 0 && s.vaddr < loads[i - 1].vaddr)) {
      return false;
    }
  }
  // The lowest segment holds the file's first page.
  const Segment& first = loads.front();
  if (first.offset / page != 0 || first.filesz == 0) {
    return false;
  }
  const uint64_t low = PageDown(first.vaddr, page);
  unsigned __int128 high = 0;
  const Segment* lastWithFile = nullptr;
  const Segment* executable = nullptr;
  int executables = 0;
  layout->gapless = true;
  for (const Segment& s : loads) {
    // Each begins no higher than the page where all before it end.
    layout->gapless = layout->gapless && (&s == &first || PageDown(s.vaddr, page) <= high);
    high = std::max(high, PageUp(static_cast<unsigned __int128>(s.vaddr) + s.memsz, page));
    if (s.filesz != 0) {
      lastWithFile = &s;
      if ((s.flags & PF_X) != 0) {
        executable = &s;
        ++executables;
      }
    }
  }
  if (executables == 1) {
    layout->executableFileStart = PageDown(executable->offset, page);
    layout->executableFileEnd = executable->offset + executable->filesz;
    layout->executableStart = PageDown(executable->vaddr, page) - low;
  }
  layout->span = static_cast<uint64_t>(high - low);
  layout->lastFileSegmentStart = PageDown(lastWithFile->vaddr, page) - low;
  layout->fileBytesEnd = static_cast<uint64_t>(
      PageUp(static_cast<unsigned __int128>(lastWithFile->vaddr) + lastWithFile->filesz, page) -
      low);
  return true;
}

bool SameLayout(const elf::ImageLayout& a, const elf::ImageLayout& b) {
  return a.span == b.span && a.lastFileSegmentStart == b.lastFileSegmentStart &&
         a.fileBytesEnd == b.fileBytesEnd && a.executableFileStart == b.executableFileStart &&
         a.executableFileEnd == b.executableFileEnd && a.executableStart == b.executableStart &&
         a.gapless == b.gapless;
}

// A run ending `mapped` bytes after its first is placed when its last byte lies among the
// last file-backed segment's pages.
void CheckPlaces(const elf::ImageLayout& layout, uint64_t mapped, const std::string& text) {
  const uint64_t tries[] = {mapped,
                            0,
                            layout.lastFileSegmentStart,
                            layout.lastFileSegmentStart + 1,
                            layout.fileBytesEnd - 1,
                            layout.fileBytesEnd,
                            layout.fileBytesEnd + 1,
                            layout.span};
  for (const uint64_t run : tries) {
    const bool placed =
        run != 0 && run - 1 >= layout.lastFileSegmentStart && run - 1 < layout.fileBytesEnd;
    REQUIRE(elf::RunEndsInTheLastFileSegment(layout, run) == placed, text);
  }
}

// The reader on a file's first bytes, against the model, the table taken from those bytes when
// it lies there: as a copy of its own, and in place as the program reads it.
void CheckElf(const std::string& file, uint64_t page, uint64_t mapped) {
  const std::unique_ptr<unsigned char[]> whole = ExactBytes(file);
  const std::string first = file.substr(0, elf::kHeaderSize);
  const std::unique_ptr<unsigned char[]> header = ExactBytes(first);

  ModelHeader model;
  const bool found = ModelReadHeader(file, &model);
  uint64_t offset = 0;
  std::size_t size = 0;
  REQUIRE(elf::FindProgramHeaders(whole.get(), file.size(), &offset, &size) == found, file);
  REQUIRE(!found || (offset == model.tableOffset && size == model.tableSize), file);
  uint64_t headerOffset = 0;
  std::size_t headerSize = 0;
  REQUIRE(elf::FindProgramHeaders(header.get(), first.size(), &headerOffset, &headerSize) == found,
          file);
  REQUIRE(!found || (headerOffset == offset && headerSize == size), file);
  elf::ImageLayout layout;
  if (!found) {
    REQUIRE(
        !elf::ReadImageLayout(whole.get(), file.size(), whole.get(), file.size(), page, &layout),
        file);
    return;
  }

  const std::string there = offset < file.size() ? file.substr(offset) : std::string();
  if (there.size() < size) {
    // A table cut short is refused, and not read past its end.
    const std::unique_ptr<unsigned char[]> cut = ExactBytes(there);
    REQUIRE(
        !elf::ReadImageLayout(header.get(), first.size(), cut.get(), there.size(), page, &layout),
        file);
    return;
  }
  const std::unique_ptr<unsigned char[]> table = ExactBytes(there.substr(0, size));
  elf::ImageLayout expected;
  const bool laidOut = ModelLayout(model, table.get(), page, &expected);
  REQUIRE(
      elf::ReadImageLayout(header.get(), first.size(), table.get(), size, page, &layout) == laidOut,
      file);
  REQUIRE(!laidOut || SameLayout(layout, expected), file);
  elf::ImageLayout inPlace;
  REQUIRE(elf::ReadImageLayout(whole.get(), file.size(), whole.get() + offset, size, page,
                               &inPlace) == laidOut,
          file);
  REQUIRE(!laidOut || SameLayout(inPlace, expected), file);
  const std::unique_ptr<unsigned char[]> cut = ExactBytes(there.substr(0, size - 1));
  REQUIRE(!elf::ReadImageLayout(header.get(), first.size(), cut.get(), size - 1, page, &layout),
          file);
  if (laidOut) {
    CheckPlaces(expected, mapped, file);
  }
}

void CheckElfFile(Reader& in) {
  const std::string file = in.Rest();
  for (const uint64_t page : kPageSizes) {
    CheckElf(file, page, file.size());
  }
}

// A file's header and program headers in <elf.h>'s structures, in the file's byte order.
template <typename Ehdr, typename Phdr>
std::string Encode(unsigned char data, uint16_t type, uint64_t tableOffset, uint16_t count,
                   const std::vector<Segment>& segments) {
  const bool swap = (data == ELFDATA2MSB) != kHostBigEndian;
  Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = sizeof(Ehdr) == sizeof(Elf64_Ehdr) ? ELFCLASS64 : ELFCLASS32;
  header.e_ident[EI_DATA] = data;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = Swapped(type, swap);
  header.e_version = Swapped(static_cast<decltype(header.e_version)>(EV_CURRENT), swap);
  header.e_phoff = Swapped(static_cast<decltype(header.e_phoff)>(tableOffset), swap);
  header.e_ehsize = Swapped(static_cast<uint16_t>(sizeof(Ehdr)), swap);
  header.e_phentsize = Swapped(static_cast<uint16_t>(sizeof(Phdr)), swap);
  header.e_phnum = Swapped(count, swap);
  // Entries past the segments are left empty (PT_NULL); a count past the longest table
  // believed gets no room, as it is refused before any table is read.
  const std::size_t room = count * sizeof(Phdr) <= elf::kMostTableSize + sizeof(Phdr) ? count : 0;
  std::string file(tableOffset + std::max(room, segments.size()) * sizeof(Phdr), '\0');
  std::memcpy(&file[0], &header, sizeof header);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    using Word = decltype(Phdr{}.p_vaddr);  // an address: 32 or 64 bits
    const Segment& s = segments[i];
    Phdr entry{};
    entry.p_type = Swapped(s.type, swap);
    entry.p_offset = Swapped(static_cast<decltype(entry.p_offset)>(s.offset), swap);
    entry.p_vaddr = Swapped(static_cast<Word>(s.vaddr), swap);
    entry.p_paddr = entry.p_vaddr;
    entry.p_filesz = Swapped(static_cast<decltype(entry.p_filesz)>(s.filesz), swap);
    entry.p_memsz = Swapped(static_cast<decltype(entry.p_memsz)>(s.memsz), swap);
    std::memcpy(&file[tableOffset + i * sizeof entry], &entry, sizeof entry);
  }
  return file;
}

// Segments laid out as a linker would, one after the other, so that most inputs are
// images the reader accepts; now and then a field is disturbed, or the header's bytes.
void CheckBuiltElf(Reader& in) {
  const uint8_t shape = in.Byte();
  const bool wide = (shape & 1) != 0;
  const unsigned char data = (shape & 2) != 0 ? ELFDATA2MSB : ELFDATA2LSB;
  const uint64_t page = kPageSizes[(shape >> 2) % 3];
  const uint16_t type = (shape & 0x10) != 0 ? ET_EXEC : ET_DYN;
  const std::size_t ehsize = wide ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
  const uint64_t tableOffset = ehsize + ((shape & 0x20) != 0 ? in.Byte() : 0);
  uint64_t memAt = 0;
  if ((shape & 0x40) != 0) {
    memAt = in.Number<uint64_t>() & (wide ? 0x7FFFFFFFFFFF : 0xFFFFFFFF);
  }
  uint64_t fileAt = 0;
  std::vector<Segment> segments(in.Byte() % 12 + 1);
  for (Segment& s : segments) {
    const uint8_t how = in.Byte();
    s.type = (how & 7) != 0 ? PT_LOAD : in.Byte() % 8;
    s.filesz = (how & 8) != 0 ? 0 : in.Number<uint16_t>() + 1u;
    s.memsz = s.filesz + ((how & 0x10) != 0 ? in.Number<uint16_t>() : 0);
    s.offset = fileAt;
    // Past the previous segment's pages, maybe a page further, at its offset's place in a page.
    s.vaddr = static_cast<uint64_t>(PageUp(memAt, page)) + ((how & 0x20) != 0 ? page : 0) +
              s.offset % page;
    if ((how & 0xC0) == 0xC0) {
      uint64_t* const fields[] = {&s.offset, &s.vaddr, &s.filesz, &s.memsz};
      uint64_t& field = *fields[in.Byte() % 4];
      switch (in.Byte() % 4) {
        case 0:
          field = in.Number<uint64_t>();
          break;
        case 1:
          field += in.Number<uint16_t>();
          break;
        case 2:
          field -= in.Number<uint16_t>();
          break;
        case 3:
          field ^= uint64_t{1} << (in.Byte() % 64);
          break;
      }
    }
    if (s.type == PT_LOAD) {
      fileAt = s.offset + s.filesz;
      memAt = s.vaddr + s.memsz;
    }
  }
  uint16_t count = static_cast<uint16_t>(segments.size());
  if ((shape & 0x80) != 0) {
    // About the longest table believed, or any count at all.
    const uint8_t pick = in.Byte();
    const std::size_t most = elf::kMostTableSize / (wide ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr));
    count =
        (pick & 1) != 0 ? in.Number<uint16_t>() : static_cast<uint16_t>(most - 2 + pick / 2 % 5);
  }
  std::string file = wide
                         ? Encode<Elf64_Ehdr, Elf64_Phdr>(data, type, tableOffset, count, segments)
                         : Encode<Elf32_Ehdr, Elf32_Phdr>(data, type, tableOffset, count, segments);
  const uint8_t damage = in.Byte();
  if (damage < 32) {
    file[in.Byte() % ehsize] = static_cast<char>(in.Byte());
  } else if (damage < 48) {
    file.resize(in.Number<uint16_t>() % (file.size() + 1));
  }
  CheckElf(file, page, in.Number<uint64_t>());

  // Any three numbers, not only a layout that was read.
  elf::ImageLayout layout;
  layout.span = in.Number<uint64_t>();
  layout.lastFileSegmentStart = in.Number<uint64_t>();
  layout.fileBytesEnd = in.Number<uint64_t>();
  CheckPlaces(layout, in.Number<uint64_t>(), file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Reader in(data, size);
  switch (static_cast<uint8_t>(in.Byte() - '0') % 2) {
    case 0:
      CheckElfFile(in);
      break;
    case 1:
      CheckBuiltElf(in);
      break;
  }
  return 0;
}
