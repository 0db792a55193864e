#include "hostile_names.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "processes.h"

namespace {

// The directory that each sleeper is copied into, with its slash.
const std::size_t kDirectoryLength = std::string(kSleeperDirectory).size() + 1;

}  // namespace

std::vector<HostileName> HostileNames(StartedBy by) {
  const HostileName names[] = {
      {StartedBy::kChurn, "format directives", "%n%s%x", "%n%s%x"},
      {StartedBy::kChurn, "a tab", "a\ttab", "a\\011tab"},
      {StartedBy::kChurn, "a line break", "a\nline break", "a\\012line break"},
      {StartedBy::kChurn, "a forged header", "\n\n!PROCESS NAME:=forged",
       "\\012\\012!PROCESS NAME:=forged"},
      {StartedBy::kChurn, "the longest file name", std::string(255, 'x'), std::string(255, 'x')},
      {StartedBy::kChurn, "not UTF-8", "\xFF\xFE\x80 not UTF-8", "\xFF\xFE\x80 not UTF-8"},

      // The kernel marks the link and the mapping of a deleted file; the mark is kept.
      {StartedBy::kHostileProcess, "deleted executable", "doomed", "doomed (deleted)", true},
      {StartedBy::kHostileProcess, "line break and spaces", "two words\nthree",
       "two words\\012three"},
      {StartedBy::kHostileProcess, "the longest file name", std::string(255, 'y'),
       std::string(255, 'y')},
      // The kernel writes a line break in maps as \012: cut whole, in the name and in the path.
      {StartedBy::kHostileProcess, "a line break at the module name's end",
       std::string(253, 'M') + "\nz", std::string(253, 'M') + "\\012z", false,
       std::string(253, 'M')},
      {StartedBy::kHostileProcess, "a line break at the path's end",
       std::string(257 - kDirectoryLength, 'P') + "\nq",
       std::string(257 - kDirectoryLength, 'P') + "\\012q", false, "",
       std::string(257 - kDirectoryLength, 'P')},
      // Which the kernel's maps text cannot tell from a line break: asked
      // for again, or read from map_files, where that link's text leads to
      // the file. A deleted one's reaches nothing, unless the caller may
      // open the mapping itself.
      {StartedBy::kHostileProcess, "the kernel's escape, literally", "lit\\012x", "lit\\134012x"},
      {StartedBy::kHostileProcess, "the kernel's escape, literally, deleted", "dlit\\012x",
       "dlit\\134012x (deleted)", true, "", "", "dlit\\012x (deleted)"},

      // A tab would split the module line: it is shown as an octal escape,
      // like the kernel's own for a line break in maps; "%" and other bytes
      // pass unchanged.
      {StartedBy::kRealReport, "a tab among format directives and bytes of UTF-8 and not",
       "sleeper %s\t%n \xC3\xA9\xFF", "sleeper %s\\011%n \xC3\xA9\xFF"},
  };
  std::vector<HostileName> chosen;
  std::copy_if(std::begin(names), std::end(names), std::back_inserter(chosen),
               [by](const HostileName& name) { return name.by == by; });
  if (chosen.empty()) {
    throw std::logic_error("no hostile name for this test, which would then check nothing");
  }
  return chosen;
}
