// The failure reporter over the double's FormatMessageA. How the text is cut
// is checked in full by tests/fuzz/clean_error_text_fuzzer.cpp against a
// model, over its seeds first; these are what its seeds do not hold, and what
// the reporter's own buffer does.
#include <gtest/gtest.h>

#include "capture.h"
#include "report.h"
#include "test_world.h"

namespace {

// The largest code: it is shown unsigned.
constexpr DWORD kCode = 0xFFFFFFFFu;

struct TextCase {
  const char* title;
  std::string platformText;  // as FormatMessageA stores it
  std::string shown;         // what follows "failed with error 4294967295" on standard error
};

std::vector<TextCase> Cases() {
  return {
      {"leading blanks stay, trailing mix goes", "\tA\tB \t.. \t\r\n", ": \tA\tB"},
      {"a line break alone ends the line", "First\nSecond", ": First"},
      {"leading line break gives the code alone", "\r\nHidden second line.\r\n", ""},
      {"text filling the buffer without terminator", std::string(300, 'a'),
       ": " + std::string(255, 'a')},
      {"fillers at the cut are stripped", std::string(254, 'a') + "..",
       ": " + std::string(254, 'a')},
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

  EXPECT_EQ(run.err,
            "procreport: Module32First failed with error 4294967295" + GetParam().shown + "\n");
}

INSTANTIATE_TEST_SUITE_P(FailureTexts, FailureText, testing::ValuesIn(Cases()), TitleName());

}  // namespace
