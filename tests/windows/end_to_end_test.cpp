// procreport.exe run for real against the platform's own process services
// (Wine's, in CI), and the failure reporter fed real error codes.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "report.h"
#include "report_text.h"

namespace {

// A process as the process-status calls see it.
struct LiveProcess {
  std::string name;
  bool is32Bit = false;
};

struct ProgramRun {
  std::string out;
  std::string err;
  DWORD status = 0;
};

// The folder of this suite's own executable, where procreport.exe is built too.
std::string BesideThisSuite(const char* fileName) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of('\\') + 1) + fileName;
}

std::string TemporaryFile() {
  char folder[MAX_PATH];
  char path[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  GetTempFileNameA(folder, "pr", 0, path);
  return path;
}

HANDLE InheritableFile(const std::string& path) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
}

std::string ReadBack(HANDLE file) {
  std::string bytes;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  char chunk[4096];
  DWORD count = 0;
  while (ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count > 0) {
    bytes.append(chunk, count);
  }
  return bytes;
}

// Starts a command line and waits for its end; its exit status.
DWORD RunToEnd(std::string commandLine, STARTUPINFOA startup, BOOL inheritHandles) {
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  DWORD status = 0;
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, inheritHandles, 0, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << commandLine << " did not start: error " << GetLastError();
    return status;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

// This build's program: procreport.exe, or procreport64.exe beside the 64-bit suite.
const char* const kProgram = PROCREPORT_EXE;

// Files rather than pipes take its output, so that nothing waits on a full pipe.
ProgramRun RunProcreport() {
  const std::string outPath = TemporaryFile();
  const std::string errPath = TemporaryFile();
  HANDLE out = InheritableFile(outPath);
  HANDLE err = InheritableFile(errPath);
  STARTUPINFOA startup = {};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  ProgramRun run;
  run.status = RunToEnd("\"" + BesideThisSuite(kProgram) + "\"", startup, TRUE);
  run.out = ReadBack(out);
  run.err = ReadBack(err);
  CloseHandle(out);
  CloseHandle(err);
  DeleteFileA(outPath.c_str());
  DeleteFileA(errPath.c_str());
  return run;
}

// The program run the way users capture a console program's output:
// `cmd /c "procreport.exe > file 2>&1"`, both streams into one file.
ProgramRun RunProcreportThroughCmd() {
  const std::string outPath = TemporaryFile();
  char folder[MAX_PATH] = "";
  GetSystemDirectoryA(folder, sizeof folder);
  // cmd takes the outer quotes off, and keeps those around each path.
  const std::string commandLine = std::string(folder) + "\\cmd.exe /c \"\"" +
                                  BesideThisSuite(kProgram) + "\" > \"" + outPath + "\" 2>&1\"";
  ProgramRun run;
  run.status = RunToEnd(commandLine, STARTUPINFOA{}, FALSE);
  HANDLE out = CreateFileA(outPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
  run.out = ReadBack(out);
  CloseHandle(out);
  DeleteFileA(outPath.c_str());
  return run;
}

// The report read back strictly, after its CR LF line ends are checked.
ParsedReport ReadReport(const std::string& bytes) {
  ParsedReport report = ParseReport(FromPlatformLineEnds(bytes));
  EXPECT_TRUE(report.wellFormed) << report.fault;
  return report;
}

std::string FileNameOf(const std::string& path) { return path.substr(path.find_last_of('\\') + 1); }

bool SameFileName(const std::string& a, const std::string& b) {
  return _stricmp(a.c_str(), b.c_str()) == 0;
}

// Whether this suite is a 32-bit program on 64-bit Windows.
bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// On 32-bit Windows every process is; on 64-bit Windows the 32-bit ones run under WoW64.
bool Is32Bit(HANDLE process) {
  if (sizeof(void*) == 4 && !RunsUnderWow64()) {
    return true;
  }
  BOOL wow64 = FALSE;
  return IsWow64Process(process, &wow64) && wow64;
}

// Every process the platform lists now, by id, with its executable's name and
// bitness, as the process-status calls tell it, independently of Tool Help.
std::map<DWORD, LiveProcess> ProcessesNow() {
  std::vector<DWORD> ids(4096);
  DWORD bytes = 0;
  EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes);
  ids.resize(bytes / sizeof(DWORD));
  std::map<DWORD, LiveProcess> processes;
  for (const DWORD id : ids) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr) {
      continue;
    }
    char path[MAX_PATH];
    DWORD length = sizeof path;
    if (QueryFullProcessImageNameA(process, 0, path, &length)) {
      processes[id] = {FileNameOf(std::string(path, length)), Is32Bit(process)};
    }
    CloseHandle(process);
  }
  return processes;
}

// A system program that waits on its input until the suite ends it, so that
// the report is made while it runs.
class Sleeper {
 public:
  enum class Bitness { kThis, kOther };
  enum class Access { kOpen, kRefused };

  Sleeper(const char* commandLine, Bitness bitness, Access access) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE input = nullptr;
    if (!CreatePipe(&input, &feed_, &inherit, 0)) {
      return;
    }
    SetHandleInformation(feed_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // A DACL without entries: no one may open the process, its creator aside,
    // who holds its handle already.
    SECURITY_DESCRIPTOR refusing = {};
    ACL empty = {};
    InitializeSecurityDescriptor(&refusing, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&refusing, TRUE, &empty, FALSE);
    SECURITY_ATTRIBUTES security = {sizeof security, &refusing, FALSE};
    // This bitness: the system folder as WoW64 shows it to a 32-bit caller.
    // The other: the 64-bit one as it is, or the 32-bit one.
    char folder[MAX_PATH] = "";
    PVOID redirection = nullptr;
    if (bitness == Bitness::kOther) {
      Wow64DisableWow64FsRedirection(&redirection);
    }
    if (bitness == Bitness::kThis || sizeof(void*) == 4) {
      GetSystemDirectoryA(folder, sizeof folder);
    } else {
      GetSystemWow64DirectoryA(folder, sizeof folder);
    }
    std::string line = std::string(folder) + "\\" + commandLine;
    if (CreateProcessA(nullptr, &line[0], access == Access::kRefused ? &security : nullptr, nullptr,
                       TRUE, 0, nullptr, nullptr, &startup, &process_)) {
      CloseHandle(process_.hThread);
    }
    if (bitness == Bitness::kOther) {
      Wow64RevertWow64FsRedirection(redirection);
    }
    CloseHandle(input);
  }
  ~Sleeper() {
    if (process_.hProcess != nullptr) {
      TerminateProcess(process_.hProcess, 0);
      WaitForSingleObject(process_.hProcess, INFINITE);
      CloseHandle(process_.hProcess);
    }
    CloseHandle(feed_);
  }
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;

  DWORD id() const { return process_.dwProcessId; }

 private:
  HANDLE feed_ = nullptr;
  PROCESS_INFORMATION process_ = {};
};

// The PE headers of an image of this build's bitness, read from its file.
IMAGE_NT_HEADERS HeadersOnDisk(const std::string& path) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::string head(4096, '\0');
  DWORD count = 0;
  ReadFile(file, &head[0], static_cast<DWORD>(head.size()), &count, nullptr);
  CloseHandle(file);
  IMAGE_DOS_HEADER dos = {};
  std::memcpy(&dos, head.data(), sizeof dos);
  IMAGE_NT_HEADERS nt = {};
  if (dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 &&
      static_cast<std::size_t>(dos.e_lfanew) + sizeof nt <= count) {
    std::memcpy(&nt, head.data() + dos.e_lfanew, sizeof nt);
  }
  return nt;
}

// The size of a DLL that this suite has loaded too, as the loader gives it.
DWORD SizeOfLoadedImage(const char* name) {
  MODULEINFO info = {};
  GetModuleInformation(GetCurrentProcess(), GetModuleHandleA(name), &info, sizeof info);
  return info.SizeOfImage;
}

// One run of the program, between two looks at the processes that the
// platform runs; on 64-bit Windows, while a process of the other bitness runs.
class RealReport : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::unique_ptr<Sleeper> otherBitness;
    if (sizeof(void*) == 8 || RunsUnderWow64()) {
      otherBitness = std::make_unique<Sleeper>("cmd.exe /q /k", Sleeper::Bitness::kOther,
                                               Sleeper::Access::kOpen);
      otherBitness_ = otherBitness->id();
    }
    // A failure on every Windows and under every Wine: a process that may not be opened.
    const Sleeper refusing("find.exe \"procreport\"", Sleeper::Bitness::kThis,
                           Sleeper::Access::kRefused);
    refusing_ = refusing.id();
    before_ = ProcessesNow();
    run_ = RunProcreport();
    throughCmd_ = RunProcreportThroughCmd();
    after_ = ProcessesNow();
  }

  // The processes that ran throughout, by name, as the report names them.
  static std::map<std::string, std::vector<LiveProcess>> LivedThroughout() {
    std::map<std::string, std::vector<LiveProcess>> lived;
    for (const auto& [id, process] : before_) {
      const auto after = after_.find(id);
      if (after != after_.end() && after->second.name == process.name) {
        lived[process.name].push_back(process);
      }
    }
    return lived;
  }

  inline static DWORD otherBitness_ = 0;
  inline static std::map<DWORD, LiveProcess> before_;
  inline static ProgramRun run_;
  inline static DWORD refusing_ = 0;
  inline static ProgramRun throughCmd_;
  inline static std::map<DWORD, LiveProcess> after_;
};

TEST_F(RealReport, EndsAWholeWalkWithStatusOne) { EXPECT_EQ(run_.status, 1u); }

// Its shape, line ends and the lack of a closing line break are checked by
// ReadReport, here and in every test that reads the report.
TEST_F(RealReport, HasAHeaderForEveryProcessThatLivedThroughTheRun) {
  const ParsedReport report = ReadReport(run_.out);
  const auto lived = LivedThroughout();
  EXPECT_NE(lived.count(FileNameOf(BesideThisSuite("end_to_end_tests.exe"))), 0u);
  for (const auto& [name, processes] : lived) {
    EXPECT_GE(Named(report, name).size(), processes.size()) << name;
  }
}

// Under WoW64 a 32-bit caller cannot list a 64-bit process's modules: each
// such process keeps its header alone, with its one failure line, and the
// 32-bit ones keep their module lines.
TEST_F(RealReport, UnderWow64ListsTheModulesOf32BitProcessesOnly) {
  if (!RunsUnderWow64()) {
    GTEST_SKIP() << "not a 32-bit program on 64-bit Windows";
  }
  ASSERT_NE(otherBitness_, 0u) << "the 64-bit sleeper did not start";
  ASSERT_NE(before_.count(otherBitness_), 0u);
  EXPECT_FALSE(before_[otherBitness_].is32Bit);

  const ParsedReport report = ReadReport(run_.out);
  for (const auto& [name, lived] : LivedThroughout()) {
    const bool all32 = std::all_of(lived.begin(), lived.end(),
                                   [](const LiveProcess& process) { return process.is32Bit; });
    const bool all64 = std::none_of(lived.begin(), lived.end(),
                                    [](const LiveProcess& process) { return process.is32Bit; });
    std::size_t withModules = 0;
    for (const ReportedProcess* record : Named(report, name)) {
      withModules += record->modules.empty() ? 0 : 1;
    }
    if (all64) {
      EXPECT_EQ(withModules, 0u) << name << " is 64-bit";
    } else if (all32) {
      EXPECT_GE(withModules, lived.size()) << name << " is 32-bit";
    }
  }

  // Windows says 299 (only part of a read went through); Wine 8 says 998
  // (invalid access to memory location).
  const std::regex denied(
      "procreport: CreateToolhelp32Snapshot \\(of modules\\) failed with error (299|998)(: .*)?");
  const std::vector<std::string> failures = Lines(FromPlatformLineEnds(run_.err));
  const auto moduleFailures =
      std::count_if(failures.begin(), failures.end(),
                    [&](const std::string& line) { return std::regex_match(line, denied); });
  EXPECT_GE(moduleFailures, 1) << run_.err;
}

#ifdef _WIN64
// A 64-bit caller asks for 32-bit modules too. Windows then lists a 32-bit
// process's modules; Wine 8 refuses with 998, as it does the other way round.
TEST_F(RealReport, From64BitListsA32BitProcessOrTellsWhyNot) {
  if (otherBitness_ == 0 || before_.count(otherBitness_) == 0 || after_.count(otherBitness_) == 0) {
    GTEST_SKIP() << "no 32-bit program runs on this machine's Wine";
  }
  EXPECT_TRUE(before_[otherBitness_].is32Bit);
  const ParsedReport report = ReadReport(run_.out);
  const std::vector<const ReportedProcess*> cmd = Named(report, "cmd.exe");
  ASSERT_EQ(cmd.size(), 1u) << "one cmd.exe ran: the suite's";
  if (!cmd[0]->modules.empty()) {
    EXPECT_TRUE(SameFileName(cmd[0]->modules.front().name, "cmd.exe"));
  } else {
    EXPECT_NE(run_.err.find("CreateToolhelp32Snapshot (of modules) failed with error 998"),
              std::string::npos)
        << run_.err;
  }
}
#endif

TEST_F(RealReport, ListsItsOwnModulesWithTheirSizes) {
  const std::string exe = BesideThisSuite(kProgram);
  const ParsedReport report = ReadReport(run_.out);
  const std::vector<const ReportedProcess*> named = Named(report, kProgram);
  ASSERT_FALSE(named.empty());
  const ReportedProcess* self = named.back();
  ASSERT_FALSE(self->modules.empty());

  const ReportedModule& image = self->modules.front();
  EXPECT_TRUE(SameFileName(image.name, kProgram)) << image.name;
  EXPECT_TRUE(SameFileName(image.path, exe)) << image.path << " is not " << exe;
  EXPECT_EQ(image.size, std::to_string(HeadersOnDisk(exe).OptionalHeader.SizeOfImage));

  for (const char* dll : {"ntdll.dll", "kernel32.dll"}) {
    bool found = false;
    for (const ReportedModule& module : self->modules) {
      if (SameFileName(module.name, dll)) {
        found = true;
        EXPECT_TRUE(SameFileName(FileNameOf(module.path), dll)) << module.path;
        EXPECT_EQ(module.size, std::to_string(SizeOfLoadedImage(dll))) << dll;
      }
    }
    EXPECT_TRUE(found) << dll;
  }
}

TEST_F(RealReport, ToldOnlyWellFormedFailuresOnStandardError) {
  // The suite's refusing process fails its open; one that ends between the
  // snapshot and its open fails too; under WoW64, the 64-bit ones' module lists.
  const std::regex failure(
      "procreport: (CreateToolhelp32Snapshot \\(of "
      "(processes|modules)\\)|Process32First|OpenProcess|"
      "GetPriorityClass|"
      "Module32First) failed with error [0-9]+(: [^\\r\\n]*[^.\\r\\n \\t])?");
  const std::string err = FromPlatformLineEnds(run_.err);
  EXPECT_TRUE(err.empty() || err.back() == '\n') << "the last failure line is not ended";
  const std::vector<std::string> lines = Lines(err);
  for (const std::string& line : lines) {
    EXPECT_TRUE(std::regex_match(line, failure)) << line;
  }

  // Each failure costs one process its module lines, and a process without
  // module lines had a failure.
  const std::vector<ReportedProcess> processes = ReadReport(run_.out).processes;
  const auto headersAlone =
      std::count_if(processes.begin(), processes.end(),
                    [](const ReportedProcess& process) { return process.modules.empty(); });
  EXPECT_EQ(static_cast<std::size_t>(headersAlone), lines.size());
}

// Both streams in one file, as `cmd /c "procreport.exe > file 2>&1"` makes
// them: each failure line right under the header of its process, on a line of
// its own, and the report around the failure lines whole.
TEST_F(RealReport, ThroughCmdIntoOneFileGivesEachFailureLineRightUnderItsHeader) {
  ASSERT_NE(refusing_, 0u) << "the refusing process did not start";
  EXPECT_EQ(throughCmd_.status, 1u);
  const std::regex failure("procreport: [A-Za-z0-9 ()]+ failed with error [0-9]+(: .*[^. \\t])?");
  const std::vector<std::string> lines = Lines(FromPlatformLineEnds(throughCmd_.out));
  std::string report;  // the text less its failure lines
  std::size_t failures = 0;
  bool refusalShown = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("procreport: ") == std::string::npos) {
      report += (i == 0 ? "" : "\n") + lines[i];
      continue;
    }
    ++failures;
    EXPECT_TRUE(std::regex_match(lines[i], failure)) << "not a line of its own: " << lines[i];
    ASSERT_GT(i, 0u);
    EXPECT_EQ(lines[i - 1].rfind("!PROCESS NAME:=", 0), 0u)
        << lines[i] << "\n comes under: " << lines[i - 1];
    EXPECT_TRUE(i + 1 == lines.size() || lines[i + 1].empty())
        << "more follows " << lines[i] << ": " << lines[i + 1];
    refusalShown =
        refusalShown || (lines[i - 1] == "!PROCESS NAME:=find.exe" &&
                         lines[i].rfind("procreport: OpenProcess failed with error 5", 0) == 0);
  }
  EXPECT_TRUE(refusalShown) << "no refused open under find.exe's header";
  const ParsedReport parsed = ParseReport(report);
  EXPECT_TRUE(parsed.wellFormed) << parsed.fault;
  EXPECT_GT(parsed.processes.size(), failures);
}

TEST(ProcreportExe, IsAConsoleProgramOfThisBuildsBitness) {
#ifdef _WIN64
  constexpr WORD kMachine = IMAGE_FILE_MACHINE_AMD64;
  constexpr WORD kMagic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
#else
  constexpr WORD kMachine = IMAGE_FILE_MACHINE_I386;
  constexpr WORD kMagic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
#endif
  const IMAGE_NT_HEADERS nt = HeadersOnDisk(BesideThisSuite(kProgram));
  EXPECT_EQ(nt.Signature, DWORD{IMAGE_NT_SIGNATURE});
  EXPECT_EQ(nt.FileHeader.Machine, kMachine);
  EXPECT_EQ(nt.OptionalHeader.Magic, kMagic);
  EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);
}

// What Windows shows in the program's Properties: its version resource.
std::string VersionText(const std::vector<char>& info, const char* name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
      length == 0) {
    return "<none>";
  }
  return std::string(value, std::strlen(value));
}

TEST(ProcreportExe, CarriesItsVersionAndNamesForItsProperties) {
  const std::string exe = BesideThisSuite(kProgram);
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeA(exe.c_str(), &ignored));
  ASSERT_FALSE(info.empty()) << "no version resource in " << exe;
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS,
            DWORD{PROCREPORT_VERSION_MAJOR << 16 | PROCREPORT_VERSION_MINOR});
  EXPECT_EQ(fixed->dwFileVersionLS, DWORD{PROCREPORT_VERSION_PATCH << 16});
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwFileType, DWORD{VFT_APP});

  EXPECT_EQ(VersionText(info, "FileVersion"), PROCREPORT_VERSION);
  EXPECT_EQ(VersionText(info, "ProductVersion"), PROCREPORT_VERSION);
  EXPECT_EQ(VersionText(info, "ProductName"), "procreport");
  EXPECT_EQ(VersionText(info, "OriginalFilename"), kProgram);
  EXPECT_NE(VersionText(info, "FileDescription").find("processes"), std::string::npos);
  EXPECT_NE(VersionText(info, "LegalCopyright").find("Copyright (C) 2026"), std::string::npos);
}

// The platform's text for a code cut to its first line without trailing periods
// and blanks, written plainly: the reference for what the reporter shows.
std::string FirstLineOf(const std::string& text) {
  std::string line = text.substr(0, text.find_first_of("\r\n"));
  while (!line.empty() && (line.back() == '.' || line.back() == ' ' || line.back() == '\t')) {
    line.pop_back();
  }
  return line;
}

// The customer bit: no system message can carry such a code.
constexpr DWORD kCodeWithoutText = 0x2000ABCDu;

TEST(ReportFailureOnThePlatform, ShowsThePlatformsOwnTextCutToOneLineOrTheCodeAlone) {
  for (const DWORD code :
       {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_INVALID_PARAMETER}, DWORD{ERROR_NO_MORE_FILES},
        DWORD{ERROR_PARTIAL_COPY}, kCodeWithoutText}) {
    char text[1024] = "";
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    const std::string shown = FirstLineOf(text);
    if (code == kCodeWithoutText) {
      ASSERT_EQ(length, 0u) << "the platform has a text for " << code;
    } else {
      ASSERT_GT(length, 0u) << "the platform has no text for " << code;
      ASSERT_NE(shown, text) << "the platform's text needs no cleaning: " << text;
    }

    const Captured run = Capture([code] {
      SetLastError(code);
      ReportFailure("OpenProcess");
      return 0;
    });
    EXPECT_EQ(run.err, "procreport: OpenProcess failed with error " + std::to_string(code) +
                           (shown.empty() ? "" : ": " + shown) + "\n");
    EXPECT_EQ(run.out, "");
  }
}

}  // namespace
