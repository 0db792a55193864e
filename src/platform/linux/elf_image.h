// What an ELF file's own program headers say of its image in memory: pure
// functions over bytes already read, for 32-bit and 64-bit files of either
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace elf {

// The first bytes of a file that hold its ELF header, whichever its class.
constexpr std::size_t kHeaderSize = 64;

// The longest program header table that is believed, as the kernel's own loader
// refuses longer ones.
constexpr std::size_t kMostTableSize = 65536;

// Where the file's program header table lies: false when `header` (the file's
// first bytes) is no ELF header of a loadable image, or its table is empty or
// longer than kMostTableSize.
bool FindProgramHeaders(const unsigned char* header, std::size_t length, uint64_t* offset,
                        std::size_t* size);

// The image laid out from its lowest loadable page; every field counts bytes
// from there. A module's size is its image's span when its run of mappings
// ends inside the last segment that has file bytes:
//
//   lowest loadable page                                                span
//   |                                                                      |
//   [ text ][ data ... ][ last segment with file bytes |   .bss, zeroed    ]
//                       ^                              ^
//           lastFileSegmentStart                  fileBytesEnd
//
// The loader maps the file up to fileBytesEnd and the zero-filled rest
// anonymously, so the maps show the file's run ending between the two marks,
// then anonymous memory. A run that ends elsewhere is not this layout, and
// keeps the size of its mappings.
struct ImageLayout {
  uint64_t span = 0;                  // to the highest segment's end, rounded up to a page
  uint64_t lastFileSegmentStart = 0;  // the first page of the last segment with file bytes
  uint64_t fileBytesEnd = 0;          // where that segment's file bytes end, rounded up to a page
  // The one segment with file bytes that the process runs, which places a
  // mapping of it in the image: the file offset of its first page, where its
  // file bytes end (0 when the file has none such, or more than one), and
  // where its first page lies in the image.
  uint64_t executableFileStart = 0;
  uint64_t executableFileEnd = 0;
  uint64_t executableStart = 0;
  // Whether each segment begins at or before the page where those before it
  // end: then the loader's mappings of the file leave no page free below its
  // file bytes' end, and no other mapping can lie among them.
  bool gapless = false;
};

// Reads the loadable segments (PT_LOAD) of the table that FindProgramHeaders
// placed, `table` holding it whole. False when the header or the table is
// malformed: a segment with more file than memory bytes, one whose address and
// file offset disagree modulo the page, an end past the class's address space
// (4 GiB for 32-bit files), segments out of address order, none at all, or a
// lowest one that does not start in the file's first page, where the module's
// first mapping is. `pageSize` is a power of two.
bool ReadImageLayout(const unsigned char* header, std::size_t headerLength,
                     const unsigned char* table, std::size_t tableLength, uint64_t pageSize,
                     ImageLayout* layout);

// Whether a run of one file's mappings, whose file-backed pages end `mapped`
// bytes after its first, is this image: the run ends after the start of the
// last segment with file bytes, and not past those file bytes.
inline bool RunEndsInTheLastFileSegment(const ImageLayout& layout, uint64_t mapped) {
  return mapped > layout.lastFileSegmentStart && mapped <= layout.fileBytesEnd;
}

}  // namespace elf
