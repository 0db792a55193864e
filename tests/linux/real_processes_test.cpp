// The whole report over this machine's real processes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include "capture.h"
#include "processes.h"
#include "report.h"

namespace {

struct Record {
  std::string name;
  std::vector<std::string> moduleLines;
};

// Splits the report into its process records: a header starts each, and a
// header's name cannot hold a line break.
std::vector<Record> Records(const std::string& report) {
  std::vector<Record> records;
  const std::string marker = "\n\n!PROCESS NAME:=";
  std::size_t at = report.find(marker);
  while (at != std::string::npos) {
    const std::size_t next = report.find(marker, at + marker.size());
    const std::string text = report.substr(
        at + marker.size(), next == std::string::npos ? next : next - at - marker.size());
    Record record;
    std::size_t lineStart = 0;
    std::size_t lineEnd = text.find('\n');
    record.name = text.substr(0, lineEnd);
    while (lineEnd != std::string::npos) {
      lineStart = lineEnd + 1;
      lineEnd = text.find('\n', lineStart);
      record.moduleLines.push_back(
          text.substr(lineStart, lineEnd == std::string::npos ? lineEnd : lineEnd - lineStart));
    }
    records.push_back(record);
    at = next;
  }
  return records;
}

const Record* Find(const std::vector<Record>& records, const std::string& name) {
  for (const Record& record : records) {
    if (record.name == name) {
      return &record;
    }
  }
  return nullptr;
}

TEST(RealReport, ShowsAProcessUnderAHostileNameWithItsOwnModules) {
  const std::string name = "sleeper %s\t%n \xC3\xA9\xFF";
  Sleeper sleeper(name);

  const Captured run = RunProgram();

  EXPECT_EQ(run.status, 1);
  const std::vector<Record> records = Records(run.out);
  const Record* record = Find(records, name);
  ASSERT_NE(record, nullptr) << "no header for the sleeper";
  bool sawItself = false;
  bool sawLibc = false;
  for (const std::string& line : record->moduleLines) {
    sawItself = sawItself || line.rfind(name + "\t" + sleeper.path() + "\t", 0) == 0;
    sawLibc = sawLibc || line.rfind("libc.so.6\t/", 0) == 0;
    const std::size_t lastTab = line.rfind('\t');
    ASSERT_NE(lastTab, std::string::npos) << line;
    EXPECT_GT(std::stoull(line.substr(lastTab + 1)), 0u) << line;
  }
  EXPECT_TRUE(sawItself);
  EXPECT_TRUE(sawLibc);
}

TEST(RealReport, AProcessThatMayNotBeOpenedGetsItsHeaderAlone) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to become another user";
  }
  // A process that root owns and nobody may not open.
  Sleeper sleeper("owned by root");
  const int result = RunAsNobody([] {
    const Captured run = RunProgram();
    const std::vector<Record> records = Records(run.out);
    const Record* record = Find(records, "owned by root");
    const bool headerAlone = record != nullptr && record->moduleLines.empty();
    const bool told =
        run.err.find("procreport: OpenProcess failed with error 5: Access is denied\n") !=
        std::string::npos;
    return run.status == 1 && headerAlone && told ? 0 : 1;
  });
  EXPECT_EQ(result, 0);
}

TEST(RealReport, AProcessGoneBetweenSnapshotAndOpenKeepsItsEntry) {
  Sleeper sleeper("short lived");
  const DWORD pid = static_cast<DWORD>(sleeper.pid());
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  sleeper.Stop();

  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == pid) {
      found = true;
      EXPECT_STREQ(entry.szExeFile, "short lived");
      EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid), nullptr);
      EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
      EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid), INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_TRUE(CloseHandle(snapshot));
}

TEST(RealReport, AWalkLeavesNoDescriptorOpen) {
  Sleeper sleeper("for the walk");
  const int before = OpenDescriptors();
  for (int walk = 0; walk < 3; ++walk) {
    EXPECT_EQ(RunProgram().status, 1);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(RealReport, IsWellFormedLineByLine) {
  const Captured run = RunProgram();
  ASSERT_EQ(run.status, 1);
  const std::vector<Record> records = Records(run.out);
  EXPECT_GE(records.size(), 2u);
  EXPECT_NE(run.out.back(), '\n');
  for (const Record& record : records) {
    for (const std::string& line : record.moduleLines) {
      // Names may hold tabs; the size after the last tab and the path's leading
      // slash after some tab are certain.
      const std::size_t last = line.rfind('\t');
      ASSERT_NE(last, std::string::npos) << line;
      const std::string size = line.substr(last + 1);
      EXPECT_FALSE(size.empty()) << line;
      EXPECT_EQ(size.find_first_not_of("0123456789"), std::string::npos) << line;
      EXPECT_NE(line.substr(0, last).find("\t/"), std::string::npos) << line;
    }
  }
}

}  // namespace
