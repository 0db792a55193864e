// The images of the files that modules map, as the files' own program headers
// lay them out. The headers are read only from the very file that a mapping
// names, and never waited on for long: the reads run in a reader process
// (file_reader.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "elf_image.h"
#include "file_reader.h"

// A file as a maps line names it: the device as (major << 32) | minor.
struct FileId {
  uint64_t device;
  uint64_t inode;
  bool operator==(const FileId& other) const {
    return device == other.device && inode == other.inode;
  }
};

struct FileIdHash {
  std::size_t operator()(const FileId& id) const {
    return std::hash<uint64_t>()(id.inode * 0x9E3779B97F4A7C15u ^ id.device);
  }
};

// How long one read of a mapped file may take before it is given up, with
// every later read of a file on the same device; and how long all of them
// together may hold one process snapshot's module snapshots.
constexpr std::chrono::milliseconds kFileReadBound{1000};
constexpr std::chrono::milliseconds kFileReadBudget{4000};

// What reading mapped files gave. A process snapshot keeps one for the
// module snapshots taken while it is open, so that a file shared by a
// thousand processes is read once, and the bounds hold for them all.
struct ImageLayouts {
  ImageLayouts();

  std::mutex mutex;
  // What each file's headers gave, or nothing for a file that lays out no
  // image. These are facts of the file itself, kept only where the maps
  // line's device and inode name that one file. A failure to reach or read a
  // file is never kept: it may be one process's view of the file alone.
  std::unordered_map<FileId, std::optional<elf::ImageLayout>, FileIdHash> byFile;
  std::unordered_set<uint64_t> unsharedDevices;  // where they do not: read for each mapping
  std::unordered_set<uint64_t> stalledDevices;   // where a read was given up: not read again
  std::chrono::steady_clock::duration waited{};  // on reads, all told
  FileReader reader;
};

// A file that the process maps at [start, end) (any one of its mappings),
// under `path` (unescaped). Once asked for, `layout` holds its image's
// layout, or nothing where the file could not be reached in time or lays out
// no image.
struct ImageRequest {
  FileId file;
  uint64_t start;
  uint64_t end;
  std::string_view path;
  std::optional<elf::ImageLayout> layout;
};

// Fills in the layouts of the requests about the mappings of the process of
// `directory`, asking the reader for all of them at once.
// - A file is reached through the process's map_files entry for the mapping:
//   the very file mapped. Only a caller with CAP_SYS_ADMIN may open it.
// - Where that is refused, it is reached through its path, if the path leads
//   through no symbolic link to a regular file that is the mapped one.
// Nothing is read before the file is known to be a regular file.
void LayoutsOfImages(ImageLayouts* layouts, int directory, ImageRequest* requests,
                     std::size_t count);

// Writes the path of the file that the process of `directory` maps at
// [start, end), unescaped, into `path` (`room` bytes), and returns its length,
// or 0. The path is taken only where it is that very file's:
// - the name of the mapping's own descriptor, where the mapping may be opened
//   (CAP_SYS_ADMIN);
// - else the text of its map_files link, where that leads through no symbolic
//   link to the file.
std::size_t MappedFilePath(ImageLayouts* layouts, int directory, const FileId& file, uint64_t start,
                           uint64_t end, char* path, std::size_t room);

// The kernel's page size.
uint64_t PageSize();
