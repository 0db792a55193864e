// Scripted worlds, the report text they should give, and what must hold after
// every run, whatever failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform_double.h"

inline std::string Header(const std::string& name) { return "\n\n!PROCESS NAME:=" + name; }

inline std::string ModuleLine(const fake::Module& module) {
  return "\n" + module.name + "\t" + module.path + "\t" + std::to_string(module.size);
}

// Three ordinary processes, each of which opens and has modules.
inline fake::World ThreeProcesses() {
  fake::World world;
  world.processes = {
      {4, "System", {{"ntoskrnl.exe", "C:\\Windows\\system32\\ntoskrnl.exe", 8433664}}},
      {616,
       "winlogon.exe",
       {{"winlogon.exe", "C:\\Windows\\system32\\winlogon.exe", 507904},
        {"ntdll.dll", "C:\\Windows\\SYSTEM32\\ntdll.dll", 1978368},
        {"KERNEL32.DLL", "C:\\Windows\\System32\\KERNEL32.DLL", 1101824}}},
      {2048,
       "explorer.exe",
       {{"explorer.exe", "C:\\Windows\\explorer.exe", 4882432},
        {"ntdll.dll", "C:\\Windows\\SYSTEM32\\ntdll.dll", 1978368}}},
  };
  world.messages = {
      {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
      {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
  };
  return world;
}

// Standard output and standard error, each as one object: one console, one
// file, one pipe.
inline constexpr std::uintptr_t kOut = 0x7000;
inline constexpr std::uintptr_t kErr = 0x7004;
inline const fake::Stream kConsoleOut{kOut, FILE_TYPE_CHAR, true, 0, 0, 7};
inline const fake::Stream kConsoleErr{kErr, FILE_TYPE_CHAR, true, 0, 0, 7};
inline const fake::Stream kFileOut{kOut, FILE_TYPE_DISK, false, 0xC0DE, 42, 9};
inline const fake::Stream kFileErr{kErr, FILE_TYPE_DISK, false, 0xC0DE, 42, 9};
inline const fake::Stream kPipeOut{kOut, FILE_TYPE_PIPE, false, 0, 0, 3};
inline const fake::Stream kPipeErr{kErr, FILE_TYPE_PIPE, false, 0, 0, 3};

// A test name from a case's title: letters and digits, the rest as "_".
struct TitleName {
  template <typename ParamInfo>
  std::string operator()(const ParamInfo& info) const {
    std::string name;
    for (const char* p = info.param.title; *p != '\0'; ++p) {
      const bool alnum =
          (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9');
      name += alnum ? *p : '_';
    }
    return name;
  }
};

// The report less its banner, after checking the banner's shape: two lines,
// each a ";" and some text.
inline std::string BodyAfterBanner(const std::string& report) {
  const std::size_t first = report.find('\n');
  const std::size_t second = first == std::string::npos ? first : report.find('\n', first + 1);
  if (second == std::string::npos || report[0] != ';' || first < 2 || report[first + 1] != ';' ||
      second < first + 3) {
    return "<banner malformed>" + report;
  }
  return report.substr(second + 1);
}

// Every handle was given back exactly once, no two of one kind were open at
// once, and besides the process snapshot only one handle at a time: a process
// handle is closed before its module list is taken.
inline void ExpectHandlesBalanced() {
  EXPECT_EQ(fake::OpenHandles(), 0) << "a handle was left open";
  EXPECT_EQ(fake::BadCloses(), 0) << "a handle was closed twice or never obtained";
  EXPECT_LE(fake::MostOpenOfOneKind(), 1) << "two handles of one kind were open at once";
  EXPECT_LE(fake::MostOpenAtOnce(), 2) << "a process handle was open with its module list";
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
