// The kernel's PROCMAP_QUERY (Linux 6.11), which the headers of older systems
// lack: asked of a maps file, the mapping at an address, with its file's path
// unescaped; ENOTTY before 6.11.
#pragma once

#include <sys/ioctl.h>

#include <cstdint>

struct procmap_query {
  uint64_t size, query_flags, query_addr, vma_start, vma_end, vma_flags, vma_page_size, vma_offset,
      inode;
  uint32_t dev_major, dev_minor, vma_name_size, build_id_size;
  uint64_t vma_name_addr, build_id_addr;
};
// What a query asks for: the mapping covering the address, or else the next
// one, of those alone that the filters let through.
constexpr uint64_t PROCMAP_QUERY_VMA_EXECUTABLE = 0x04;
constexpr uint64_t PROCMAP_QUERY_COVERING_OR_NEXT_VMA = 0x10;
constexpr uint64_t PROCMAP_QUERY_FILE_BACKED_VMA = 0x20;
constexpr unsigned long PROCMAP_QUERY = _IOWR('f', 17, procmap_query);
