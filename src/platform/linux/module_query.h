// The module walk that asks the kernel for mappings (PROCMAP_QUERY, Linux
// 6.11) instead of reading every line of the maps text: the kernel formats a
// line for every mapping, and a module needs a handful of them.
#pragma once

#include <string_view>

#include "snapshot.h"

// The kernel's own mappings that a run of an image's mappings spans, as it
// spans anonymous memory: its vDSO pages, which it may place in the gap
// between the segments of an image it loaded itself (64 KiB-aligned ones on
// arm64). Every other mapping of the kernel's ends a run.
inline bool IsVdsoPage(std::string_view name) {
  return name == "[vvar]" || name == "[vvar_vclock]" || name == "[vdso]";
}

enum class QueryWalk {
  kModules,   // the snapshot holds the process's modules, as the text would give them
  kNoMemory,  // the process has no memory (yet, or any more), as an empty text says
  kGone,      // its memory went away while it was asked about
  kByText,    // the kernel cannot answer, or its answers do not add up: read the text
};

// Walks the executable file mappings of the process whose maps file is
// `maps` (its /proc/PID is `directory`), and makes a module of each one's run
// of mappings exactly as the text walk would. The snapshot holds modules only
// when kModules is returned.
QueryWalk WalkByQuery(const MapsAccess& access, int maps, int directory, Snapshot* snapshot,
                      ImageLayouts* layouts);
