// File names chosen to break the report, each with how the report must show
// it: one table for every test that starts processes under such names.
#pragma once

#include <string>
#include <vector>

// The test that starts processes under a name. Each name has one: the tests
// run side by side, and a test that looks for the one process under a name
// must not meet another test's.
enum class StartedBy { kChurn, kHostileProcess, kRealReport };

struct HostileName {
  StartedBy by;
  const char* title;
  std::string file;   // the executable's file name
  std::string shown;  // its header name, in a field of MAX_PATH bytes
  // What the hostile process test alone asks for.
  bool deleteAfterStart = false;
  std::string shownModule = "";  // when cut shorter, in a field of 256 bytes
  std::string shownPath = "";    // when cut before the name's end
  std::string guessed = "";      // where neither PROCMAP_QUERY nor map_files answers
};

// The names that `by` starts processes under; it throws where there are none.
std::vector<HostileName> HostileNames(StartedBy by);
