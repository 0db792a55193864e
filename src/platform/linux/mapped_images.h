// The images of the files that modules map, from the files' own program
// headers, read only from the very file a mapping names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "elf_image.h"

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

// What each file's headers gave, nothing where they could not be used, so
// that a file shared by a thousand processes is read once. A process snapshot
// keeps one for the module snapshots taken while it is open.
struct ImageLayouts {
  std::mutex mutex;
  std::unordered_map<FileId, std::optional<elf::ImageLayout>, FileIdHash> byFile;
};

// The layout of the image of a file that the process of `directory` maps at
// [start, end), at the file's offset 0. It is read from `path` when that
// leads, through no symbolic link, to a regular file that is the mapped one
// (its device and inode); else through the process's map_files entry for the
// mapping, which only a caller with CAP_SYS_ADMIN may open, and which reaches
// deleted files and those outside this process's root too. Nothing is opened
// for reading before it is known to be that file; nothing where the file
// cannot be reached or its headers are no loadable image.
std::optional<elf::ImageLayout> ReadMappedImage(int directory, const std::string& path,
                                                const FileId& file, uint64_t start, uint64_t end);

// The path of the file that the process of `directory` maps at [start, end),
// unescaped, as its map_files link gives it, into `path` (`room` bytes); its
// length, or 0. The text is taken only where it is that very file's: its
// descriptor's name where the mapping itself may be opened (CAP_SYS_ADMIN),
// else the link's text where it leads, through no symbolic link, to the file.
std::size_t MappedFilePath(int directory, const FileId& file, uint64_t start, uint64_t end,
                           char* path, std::size_t room);

// The kernel's page size.
uint64_t PageSize();
