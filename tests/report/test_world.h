// Scripted worlds and the report text they should give.
#pragma once

#include <string>
#include <vector>

#include "platform_double.h"

inline std::string Header(const std::string& name) { return "\n\n!PROCESS NAME:=" + name; }

inline std::string ModuleLine(const fake::Module& module) {
  return "\n" + module.name + "\t" + module.path + "\t" + std::to_string(module.size);
}

inline std::string FullRecord(const fake::Process& process) {
  std::string text = Header(process.exe);
  for (const fake::Module& module : process.modules) {
    text += ModuleLine(module);
  }
  return text;
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
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
      {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
      {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
  };
  return world;
}

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

// Splits standard error into its lines.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) {
    lines.push_back(text.substr(start));
  }
  return lines;
}

// The report less its two-line banner, after checking the banner's shape.
inline std::string BodyAfterBanner(const std::string& report) {
  const std::size_t first = report.find('\n');
  const std::size_t second = first == std::string::npos ? first : report.find('\n', first + 1);
  if (report.empty() || report[0] != ';' || second == std::string::npos ||
      report[first + 1] != ';') {
    return "<banner malformed>" + report;
  }
  return report.substr(second + 1);
}
