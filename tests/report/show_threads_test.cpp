#include <gtest/gtest.h>

#include "capture.h"
#include "handle_checks.h"
#include "report.h"

namespace {

fake::World Threads() {
  fake::World world;
  world.threads = {
      {0x1A2B, 100, 8, 0}, {7, 200, 13, 2}, {0xFFFFFFFF, 100, 24, -15}, {12, 300, 4, 0}};
  world.messages = {{ERROR_NO_MORE_FILES, "There are no more files.\r\n"}};
  return world;
}

TEST(ShowThreads, WritesEveryThreadOfTheOwnerAndNoOther) {
  fake::Reset(Threads());
  const Captured run = Capture([] { return ShowThreads(100); });
  EXPECT_EQ(run.out,
            "\n\n     THREAD ID      = 0x00001A2B"
            "\n     base priority  = 8"
            "\n     delta priority = 0"
            "\n\n     THREAD ID      = 0xFFFFFFFF"
            "\n     base priority  = 24"
            "\n     delta priority = -15");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  ExpectHandlesBalanced();
}

TEST(ShowThreads, AnOwnerWithoutThreadsWritesNothing) {
  fake::Reset(Threads());
  const Captured run = Capture([] { return ShowThreads(999); });
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.status, 1);
  ExpectHandlesBalanced();
}

}  // namespace
