#include <gtest/gtest.h>

#include "capture.h"
#include "platform_double.h"
#include "test_world.h"

namespace {

TEST(ReportBytes, BannerIsTwoNoticeLinesThenTheRecordsWithNoClosingLineBreak) {
  fake::Reset(ThreeProcesses());
  const Captured run = RunProgram();

  const std::size_t firstBreak = run.out.find('\n');
  ASSERT_NE(firstBreak, std::string::npos);
  const std::size_t secondBreak = run.out.find('\n', firstBreak + 1);
  ASSERT_NE(secondBreak, std::string::npos);
  EXPECT_EQ(run.out[0], ';');
  EXPECT_GT(firstBreak, 1u) << "the maker's notice is empty";
  EXPECT_EQ(run.out[firstBreak + 1], ';');
  EXPECT_GT(secondBreak, firstBreak + 2) << "the rights notice is empty";

  EXPECT_EQ(run.out.substr(secondBreak + 1),
            "\n\n!PROCESS NAME:=System"
            "\nntoskrnl.exe\tC:\\Windows\\system32\\ntoskrnl.exe\t8433664"
            "\n\n!PROCESS NAME:=winlogon.exe"
            "\nwinlogon.exe\tC:\\Windows\\system32\\winlogon.exe\t507904"
            "\nntdll.dll\tC:\\Windows\\SYSTEM32\\ntdll.dll\t1978368"
            "\nKERNEL32.DLL\tC:\\Windows\\System32\\KERNEL32.DLL\t1101824"
            "\n\n!PROCESS NAME:=explorer.exe"
            "\nexplorer.exe\tC:\\Windows\\explorer.exe\t4882432"
            "\nntdll.dll\tC:\\Windows\\SYSTEM32\\ntdll.dll\t1978368");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
}

TEST(ReportBytes, NamesAndPathsWithPercentSignsAreWrittenUnchanged) {
  fake::World world = ThreeProcesses();
  world.processes = {{7, "%s%n%d%%.exe", {{"%x.dll", "C:\\100%\\%s\\%x.dll", 100}}}};
  fake::Reset(world);
  EXPECT_EQ(BodyAfterBanner(RunProgram().out),
            "\n\n!PROCESS NAME:=%s%n%d%%.exe\n%x.dll\tC:\\100%\\%s\\%x.dll\t100");
}

TEST(ReportBytes, SizesOfTwoGibibytesAndMoreAreUnsigned) {
  fake::World world = ThreeProcesses();
  world.processes = {{7,
                      "big.exe",
                      {{"a.dll", "C:\\a.dll", 0x80000000u},
                       {"b.dll", "C:\\b.dll", 0xFFFFFFFFu},
                       {"c.dll", "C:\\c.dll", 0}}}};
  fake::Reset(world);
  EXPECT_EQ(BodyAfterBanner(RunProgram().out),
            "\n\n!PROCESS NAME:=big.exe"
            "\na.dll\tC:\\a.dll\t2147483648"
            "\nb.dll\tC:\\b.dll\t4294967295"
            "\nc.dll\tC:\\c.dll\t0");
}

TEST(ReportBytes, ProcessesWithoutModuleLinesStandOneEmptyLineApart) {
  fake::World world = ThreeProcesses();
  world.faults = {{fake::Op::kOpenProcess, 0, ERROR_ACCESS_DENIED}};
  fake::Reset(world);
  const Captured run = RunProgram();
  EXPECT_EQ(
      BodyAfterBanner(run.out),
      "\n\n!PROCESS NAME:=System\n\n!PROCESS NAME:=winlogon.exe\n\n!PROCESS NAME:=explorer.exe");
  EXPECT_EQ(run.status, 1);
}

TEST(ReportBytes, NamesWithTabsAndHighBytesPassThrough) {
  fake::World world = ThreeProcesses();
  world.processes = {{9, "a\tb \xC3\xA9\xFF", {{"m\t.so", "/x y/m\t.so", 1}}}};
  fake::Reset(world);
  EXPECT_EQ(BodyAfterBanner(RunProgram().out),
            "\n\n!PROCESS NAME:=a\tb \xC3\xA9\xFF\nm\t.so\t/x y/m\t.so\t1");
}

}  // namespace
