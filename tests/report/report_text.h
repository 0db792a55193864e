// A report read back line by line, as a program that consumes it would.
#pragma once

#include <cctype>
#include <string>
#include <vector>

struct ReportedModule {
  std::string name;
  std::string path;
  std::string size;
};

struct ReportedProcess {
  std::string name;
  std::vector<ReportedModule> modules;
};

struct ParsedReport {
  bool wellFormed = false;
  std::string fault;  // the first line out of shape, when not well formed
  std::vector<ReportedProcess> processes;
};

// A Linux path, or a Windows one on a drive or a share.
inline bool IsAbsolutePath(const std::string& path) {
  const bool onDrive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                       path[1] == ':' && path[2] == '\\';
  return path.rfind('/', 0) == 0 || onDrive || path.rfind("\\\\", 0) == 0;
}

// The banner's two lines and an empty line; then for each process an empty
// line and its header; then its module lines, each exactly three tab-separated
// fields: a name, an absolute path and a decimal size without leading zeros.
// Lines end in "\n"; no closing line break.
inline ParsedReport ParseReport(const std::string& text) {
  std::vector<std::string> lines(1);
  for (const char c : text) {
    if (c == '\n') {
      lines.emplace_back();
    } else {
      lines.back() += c;
    }
  }
  ParsedReport report;
  const auto fail = [&](std::size_t at) {
    report.fault = "line " + std::to_string(at + 1) + ": " + (at < lines.size() ? lines[at] : "");
    return report;
  };
  if (lines.size() < 3 || lines[0].rfind(';', 0) != 0 || lines[1].rfind(';', 0) != 0 ||
      !lines[2].empty()) {
    return fail(0);
  }
  const std::string header = "!PROCESS NAME:=";
  for (std::size_t i = 3; i < lines.size(); ++i) {
    if (lines[i].empty()) {
      if (i + 1 >= lines.size() || lines[i + 1].rfind(header, 0) != 0) {
        return fail(i);
      }
      report.processes.push_back({lines[++i].substr(header.size()), {}});
      continue;
    }
    const std::size_t first = lines[i].find('\t');
    const std::size_t second = lines[i].find('\t', first + 1);
    if (report.processes.empty() || first == std::string::npos || second == std::string::npos ||
        lines[i].find('\t', second + 1) != std::string::npos) {
      return fail(i);
    }
    ReportedModule module{lines[i].substr(0, first), lines[i].substr(first + 1, second - first - 1),
                          lines[i].substr(second + 1)};
    if (module.name.empty() || !IsAbsolutePath(module.path) || module.size.empty() ||
        module.size[0] == '0' || module.size.find_first_not_of("0123456789") != std::string::npos) {
      return fail(i);
    }
    report.processes.back().modules.push_back(module);
  }
  if (lines.size() == 3) {
    return fail(2);  // not even one process
  }
  report.wellFormed = true;
  return report;
}

// The processes of a report under one name.
inline std::vector<const ReportedProcess*> Named(const ParsedReport& report,
                                                 const std::string& name) {
  std::vector<const ReportedProcess*> found;
  for (const ReportedProcess& process : report.processes) {
    if (process.name == name) {
      found.push_back(&process);
    }
  }
  return found;
}
