// What must hold after every run, whatever failed.
#pragma once

#include <gtest/gtest.h>

#include "platform_double.h"

// Every handle was given back exactly once and no two of one kind were open at once.
inline void ExpectHandlesBalanced() {
  EXPECT_EQ(fake::OpenHandles(), 0) << "a handle was left open";
  EXPECT_EQ(fake::BadCloses(), 0) << "a handle was closed twice or never obtained";
  EXPECT_LE(fake::MostOpenOfOneKind(), 1) << "two handles of one kind were open at once";
}

// The calls whose failure the report must tell.
inline bool IsReported(fake::Op op) {
  switch (op) {
    case fake::Op::kSnapshotOfProcesses:
    case fake::Op::kSnapshotOfModules:
    case fake::Op::kProcess32First:
    case fake::Op::kModule32First:
    case fake::Op::kThread32First:
    case fake::Op::kOpenProcess:
    case fake::Op::kGetPriorityClass:
      return true;
    default:
      return false;
  }
}

// A reported failure's code was read by the very next platform call.
inline void ExpectErrorReadFirst() {
  const auto& calls = fake::Calls();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].failed && IsReported(calls[i].op)) {
      ASSERT_LT(i + 1, calls.size()) << fake::NameOf(calls[i].op);
      EXPECT_EQ(calls[i + 1].op, fake::Op::kGetLastError)
          << "after the failure of " << fake::NameOf(calls[i].op) << " came "
          << fake::NameOf(calls[i + 1].op);
      EXPECT_EQ(calls[i + 1].code, calls[i].code);
    }
  }
}
