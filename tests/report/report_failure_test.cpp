#include <gtest/gtest.h>

#include "capture.h"
#include "platform_double.h"
#include "report.h"
#include "test_world.h"

namespace {

constexpr DWORD kCode = 1359;

struct TextCase {
  const char* title;
  std::string platformText;  // as FormatMessageA stores it
  std::string shown;         // what follows "failed with error 1359" on standard error
};

std::vector<TextCase> Cases() {
  const std::string a255(255, 'a');
  return {
      {"sentence with period and line break", "An internal error occurred.\r\n",
       ": An internal error occurred"},
      {"only the first line is kept", "First line.\r\nSecond line.\r\n", ": First line"},
      {"a line break alone ends the line", "First\nSecond", ": First"},
      {"period space period all go", "Done. .\r\n", ": Done"},
      {"tabs inside stay, trailing mix goes", "\tA\tB \t.. \t\r\n", ": \tA\tB"},
      {"only fillers gives empty", ". \t.\r\n", ""},
      {"leading line break gives empty", "\r\nHidden second line.\r\n", ""},
      {"empty text", "", ""},
      {"inner periods stay", "Use a.b.c here.\r\n", ": Use a.b.c here"},
      {"localized text survives", "Acc\xC3\xA8s refus\xC3\xA9.\r\n",
       ": Acc\xC3\xA8s refus\xC3\xA9"},
      {"high bytes are ordinary text", "\x80\xFF x\xA0.\r\n", ": \x80\xFF x\xA0"},
      {"other control bytes end the line", "Bell\x07rest", ": Bell"},
      {"delete is ordinary text", "x\x7Fy.", ": x\x7Fy"},
      {"text filling the buffer without terminator", std::string(300, 'a'), ": " + a255},
      {"exactly the buffer without terminator", std::string(256, 'a'), ": " + a255},
      {"fillers at the cut are stripped", std::string(254, 'a') + "..",
       ": " + std::string(254, 'a')},
      {"longest text that fits", a255, ": " + a255},
  };
}

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.title; }

class FailureText : public testing::TestWithParam<TextCase> {};

TEST_P(FailureText, IsCutToOneCleanLine) {
  fake::World world;
  world.messages[kCode] = GetParam().platformText;
  fake::Reset(world);
  fake::SetLastError(kCode);

  const Captured run = Capture([] {
    ReportFailure("Module32First");
    return 0;
  });

  EXPECT_EQ(run.err, "procreport: Module32First failed with error 1359" + GetParam().shown + "\n");
  EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(Texts, FailureText, testing::ValuesIn(Cases()), TitleName());

TEST(ReportFailure, LargestCodesAreUnsigned) {
  fake::Reset(fake::World{});
  fake::SetLastError(0xFFFFFFFFu);
  const Captured run = Capture([] {
    ReportFailure("GetPriorityClass");
    return 0;
  });
  EXPECT_EQ(run.err, "procreport: GetPriorityClass failed with error 4294967295\n");
}

}  // namespace
