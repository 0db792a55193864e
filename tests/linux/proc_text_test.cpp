// How one line of a /proc file is read; what the /proc text parsers refuse,
// how lines are cut from chunks, and the priority classes. What the parsers
// accept is checked against plain models by tests/fuzz/proc_text_fuzzer.cpp,
// over its seeds first (corpus/proc_text).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "proc_files.h"
#include "proc_text.h"

namespace {

// A stat line as the kernel writes it, with the given command name.
std::string StatLine(const std::string& command, int nice = 0) {
  return "4242 (" + command + ") S 17 4242 4242 0 -1 4194560 1 0 0 0 0 0 0 0 20 " +
         std::to_string(nice) + " 3 0 100 1000 10 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 " +
         "17 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
}

TEST(ParseStat, RefusesWhatIsNoWholeStatLine) {
  const std::string whole = StatLine("bash");
  for (const std::string& text :
       {std::string(), std::string("4242 bash S 1"), std::string("4242 (bash S 1 2"),
        whole.substr(0, whole.find(" 20 0 3")), whole.substr(0, whole.find(" 100 1000")),
        std::string("4242 (bash) S x 1"), StatLine("bash", 20), StatLine("bash", -21)}) {
    procfs::StatFields fields;
    EXPECT_FALSE(procfs::ParseStat(text.data(), text.size(), &fields)) << text;
  }
}

TEST(ParseStatusTgid, FindsTheThreadGroupId) {
  const std::string status =
      "Name:\tbash\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t4242\nNgid:\t0\n";
  DWORD tgid = 0;
  ASSERT_TRUE(procfs::ParseStatusTgid(status.data(), status.size(), &tgid));
  EXPECT_EQ(tgid, 4242u);
  for (const std::string& text : {std::string("Name:\tTgid:\t1\n"), std::string("\nTgid:\t\n"),
                                  status.substr(0, status.find("4242"))}) {
    EXPECT_FALSE(procfs::ParseStatusTgid(text.data(), text.size(), &tgid)) << text;
  }
}

TEST(ParseMapsLine, RefusesMalformedLines) {
  for (const std::string text :
       {"", "zz-10 r-xp 0 0:0 0 /a", "10 r-xp 0 0:0 0 /a", "10-20 r-x 0 0:0 0 /a",
        "20-10 r-xp 0 0:0 0 /a", "10-20 r-xp 0 00 0 /a", "10-20 r-xp 0 0:0 /a",
        "10000000000000000-20 r-xp 0 0:0 0 /a"}) {
    procfs::MapsLine line;
    EXPECT_FALSE(procfs::ParseMapsLine(text.data(), text.size(), &line)) << text;
  }
}

TEST(UnescapeMapsPath, TurnsTheKernelsEscapeBackIntoALineBreak) {
  const std::pair<std::string, std::string> cases[] = {
      {"/a\\012b\\012", "/a\nb\n"}, {"/a\\01", "/a\\01"}, {"/a\\011b", "/a\\011b"}, {"", ""}};
  for (const auto& [text, raw] : cases) {
    std::string path = text;
    path.resize(procfs::UnescapeMapsPath(path.data(), path.size()));
    EXPECT_EQ(path, raw) << text;
  }
}

TEST(PriorityClass, FollowsPolicyAndNice) {
  struct Case {
    uint32_t policy;
    int32_t nice;
    DWORD priorityClass;
    LONG basePriority;
  };
  const Case cases[] = {
      {0, 19, IDLE_PRIORITY_CLASS, 4},           {0, 15, IDLE_PRIORITY_CLASS, 4},
      {0, 14, BELOW_NORMAL_PRIORITY_CLASS, 6},   {0, 5, BELOW_NORMAL_PRIORITY_CLASS, 6},
      {0, 4, NORMAL_PRIORITY_CLASS, 8},          {0, 0, NORMAL_PRIORITY_CLASS, 8},
      {0, -4, NORMAL_PRIORITY_CLASS, 8},         {0, -5, ABOVE_NORMAL_PRIORITY_CLASS, 10},
      {0, -14, ABOVE_NORMAL_PRIORITY_CLASS, 10}, {0, -15, HIGH_PRIORITY_CLASS, 13},
      {0, -20, HIGH_PRIORITY_CLASS, 13},         {3, 0, NORMAL_PRIORITY_CLASS, 8},  // batch
      {5, -20, IDLE_PRIORITY_CLASS, 4},                                             // idle policy
      {1, 19, REALTIME_PRIORITY_CLASS, 24},      {2, 0, REALTIME_PRIORITY_CLASS, 24},
      {6, 0, REALTIME_PRIORITY_CLASS, 24},  // deadline
  };
  for (const Case& c : cases) {
    EXPECT_EQ(procfs::PriorityClassOf(c.policy, c.nice), c.priorityClass)
        << "policy " << c.policy << " nice " << c.nice;
    EXPECT_EQ(procfs::BasePriorityOf(c.priorityClass), c.basePriority);
  }
}

TEST(ReadLine, ReadsOneLineWholeAndRefusesOneLongerThanTheBuffer) {
  char directory[] = "/tmp/procreport-line-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const int root = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const struct {
    const char* text;
    std::size_t buffer;
    ssize_t result;
  } cases[] = {{"one line\n", 32, 9}, {"no break", 32, 8}, {"too long\n", 4, -EFBIG}};
  for (const auto& c : cases) {
    std::ofstream(std::string(directory) + "/file") << c.text;
    char buffer[32] = {};
    EXPECT_EQ(procfs::ReadLine(root, "file", buffer, c.buffer), c.result) << c.text;
  }
  EXPECT_EQ(procfs::ReadLine(root, "missing", nullptr, 0), -ENOENT);
  unlink((std::string(directory) + "/file").c_str());
  close(root);
  rmdir(directory);
}

}  // namespace
