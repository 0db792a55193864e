#include "platform_double.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <unordered_map>

namespace fake {
namespace {

enum Kind { kProcessSnapshot, kModuleSnapshot, kThreadSnapshot, kProcessHandle, kKinds };

struct Open {
  Kind kind;
  DWORD pid;
  std::size_t next;  // the next entry of a snapshot
};

struct State {
  World world;
  std::unordered_map<DWORD, std::size_t> byPid;  // first process of each id in world.processes
  std::vector<Call> calls;
  std::map<uintptr_t, Open> open;
  uintptr_t serial = 0;
  int counts[kKinds] = {};
  int mostOfOneKind = 0;
  std::size_t mostAtOnce = 0;
  int badCloses = 0;
  int callNumber = 0;
  std::map<Op, int> occurrences;
  DWORD lastError = 0;
};

State& The() {
  static State state;
  return state;
}

// Records the call and tells whether the script fails it; if so, sets its code.
bool Fails(Op op, DWORD argument, const Arguments& arguments, DWORD recordSize = 0) {
  State& s = The();
  const int occurrence = ++s.occurrences[op];
  const int number = ++s.callNumber;
  bool failed = s.world.failCallNumber == number;
  DWORD code = s.world.failCallCode;
  for (const Fault& fault : s.world.faults) {
    if (fault.op == op && (fault.occurrence == 0 || fault.occurrence == occurrence)) {
      failed = true;
      code = fault.code;
    }
  }
  if (failed) {
    s.lastError = code;
  }
  if (s.world.recordCalls) {
    s.calls.push_back(Call{op, argument, failed, s.lastError, arguments, recordSize});
  }
  return failed;
}

// A failure that the script did not ask for, such as the end of a list.
void FailWith(DWORD code) {
  State& s = The();
  s.lastError = code;
  if (s.world.recordCalls) {
    s.calls.back().failed = true;
    s.calls.back().code = code;
  }
}

std::uintptr_t Address(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

HANDLE Hand(Kind kind, DWORD pid) {
  State& s = The();
  const uintptr_t value = 0x10000 + 0x10 * ++s.serial;
  s.open[value] = Open{kind, pid, 0};
  s.mostOfOneKind = std::max(s.mostOfOneKind, ++s.counts[kind]);
  s.mostAtOnce = std::max(s.mostAtOnce, s.open.size());
  return reinterpret_cast<HANDLE>(value);
}

Open* Find(HANDLE handle, Kind kind) {
  auto it = The().open.find(reinterpret_cast<uintptr_t>(handle));
  return it != The().open.end() && it->second.kind == kind ? &it->second : nullptr;
}

const Process* ProcessOf(DWORD pid) {
  const auto found = The().byPid.find(pid);
  return found != The().byPid.end() ? &The().world.processes[found->second] : nullptr;
}

template <std::size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), length);
  std::memset(field + length, 0, N - length);
}

// The entry calls share one shape: check the handle, then hand out the next entry.
template <typename Record, typename Fill>
BOOL Next(Op op, HANDLE handle, Record* record, Kind kind, bool first, std::size_t count,
          Fill fill) {
  Open* open = Find(handle, kind);
  if (Fails(op, open != nullptr ? open->pid : 0, {Address(handle), Address(record)},
            record != nullptr ? record->dwSize : 0)) {
    return FALSE;
  }
  if (open == nullptr) {
    FailWith(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (first) {
    open->next = 0;
  }
  if (open->next >= count) {
    FailWith(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  fill(open->pid, open->next++);
  return TRUE;
}

}  // namespace

const char* NameOf(Op op) {
  // In the order of Op.
  static const char* const kNames[] = {
      "CreateToolhelp32Snapshot (of processes)",
      "CreateToolhelp32Snapshot (of modules)",
      "CreateToolhelp32Snapshot (of threads)",
      "Process32First",
      "Process32Next",
      "Module32First",
      "Module32Next",
      "Thread32First",
      "Thread32Next",
      "OpenProcess",
      "GetPriorityClass",
      "CloseHandle",
      "GetLastError",
      "FormatMessageA",
      "GetStdHandle",
      "GetConsoleMode",
      "GetFileType",
      "GetFileInformationByHandle",
      "GetModuleHandleA",
      "GetProcAddress",
      "CompareObjectHandles",
  };
  static_assert(std::size(kNames) == static_cast<std::size_t>(Op::kCompareObjectHandles) + 1);
  return kNames[static_cast<int>(op)];
}

void Reset(World world) {
  State& s = The();
  s = State{};
  s.world = std::move(world);
  for (std::size_t i = 0; i < s.world.processes.size(); ++i) {
    s.byPid.emplace(s.world.processes[i].pid, i);
  }
}

void SetLastError(DWORD code) { The().lastError = code; }

const std::vector<Call>& Calls() { return The().calls; }

int OpenHandles() { return static_cast<int>(The().open.size()); }

int MostOpenOfOneKind() { return The().mostOfOneKind; }

int MostOpenAtOnce() { return static_cast<int>(The().mostAtOnce); }

int BadCloses() { return The().badCloses; }

}  // namespace fake

using fake::Op;

// On Linux the double takes the platform's own names, as the real layer does.
// On Windows the runtime imports some of the same names from KERNEL32 for its
// own use, so the double's carry a prefix, and the suites' build points only the
// report's imports at them, through the pointers at the end of this file.
#ifdef _WIN32
#define PLATFORM_NAME(name) Fake##name
#else
#define PLATFORM_NAME(name) name
#endif

extern "C" HANDLE WINAPI PLATFORM_NAME(CreateToolhelp32Snapshot)(DWORD dwFlags,
                                                                 DWORD th32ProcessID) {
  // Modules alone, or with the 32-bit ones of a 64-bit caller: the suites
  // check which kinds each build asks for.
  const bool ofModules = (dwFlags & ~TH32CS_SNAPMODULE32) == TH32CS_SNAPMODULE;
  const Op op = dwFlags == TH32CS_SNAPPROCESS ? Op::kSnapshotOfProcesses
                : ofModules                   ? Op::kSnapshotOfModules
                                              : Op::kSnapshotOfThreads;
  if (fake::Fails(op, th32ProcessID, {dwFlags, th32ProcessID})) {
    return INVALID_HANDLE_VALUE;
  }
  if (ofModules) {
    if (fake::ProcessOf(th32ProcessID) == nullptr) {
      fake::FailWith(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    return fake::Hand(fake::kModuleSnapshot, th32ProcessID);
  }
  if (dwFlags == TH32CS_SNAPPROCESS) {
    return fake::Hand(fake::kProcessSnapshot, 0);
  }
  if (dwFlags == TH32CS_SNAPTHREAD) {
    return fake::Hand(fake::kThreadSnapshot, 0);
  }
  fake::FailWith(ERROR_INVALID_PARAMETER);
  return INVALID_HANDLE_VALUE;
}

namespace {

BOOL NextProcess(Op op, HANDLE snapshot, PROCESSENTRY32* entry, bool first) {
  const auto& processes = fake::The().world.processes;
  return fake::Next(op, snapshot, entry, fake::kProcessSnapshot, first, processes.size(),
                    [&](DWORD, std::size_t index) {
                      entry->th32ProcessID = processes[index].pid;
                      fake::CopyText(entry->szExeFile, processes[index].exe);
                    });
}

BOOL NextModule(Op op, HANDLE snapshot, MODULEENTRY32* entry, bool first) {
  fake::Open* open = fake::Find(snapshot, fake::kModuleSnapshot);
  const fake::Process* process = open != nullptr ? fake::ProcessOf(open->pid) : nullptr;
  const std::size_t count = process != nullptr ? process->modules.size() : 0;
  return fake::Next(op, snapshot, entry, fake::kModuleSnapshot, first, count,
                    [&](DWORD pid, std::size_t index) {
                      const fake::Module& module = process->modules[index];
                      entry->th32ProcessID = pid;
                      entry->modBaseSize = module.size;
                      fake::CopyText(entry->szModule, module.name);
                      fake::CopyText(entry->szExePath, module.path);
                    });
}

BOOL NextThread(Op op, HANDLE snapshot, THREADENTRY32* entry, bool first) {
  const auto& threads = fake::The().world.threads;
  return fake::Next(op, snapshot, entry, fake::kThreadSnapshot, first, threads.size(),
                    [&](DWORD, std::size_t index) {
                      entry->th32ThreadID = threads[index].tid;
                      entry->th32OwnerProcessID = threads[index].owner;
                      entry->tpBasePri = threads[index].basePriority;
                      entry->tpDeltaPri = threads[index].deltaPriority;
                    });
}

}  // namespace

extern "C" BOOL WINAPI PLATFORM_NAME(Process32First)(HANDLE hSnapshot, PROCESSENTRY32* lppe) {
  return NextProcess(Op::kProcess32First, hSnapshot, lppe, true);
}

extern "C" BOOL WINAPI PLATFORM_NAME(Process32Next)(HANDLE hSnapshot, PROCESSENTRY32* lppe) {
  return NextProcess(Op::kProcess32Next, hSnapshot, lppe, false);
}

extern "C" BOOL WINAPI PLATFORM_NAME(Module32First)(HANDLE hSnapshot, MODULEENTRY32* lpme) {
  return NextModule(Op::kModule32First, hSnapshot, lpme, true);
}

extern "C" BOOL WINAPI PLATFORM_NAME(Module32Next)(HANDLE hSnapshot, MODULEENTRY32* lpme) {
  return NextModule(Op::kModule32Next, hSnapshot, lpme, false);
}

extern "C" BOOL WINAPI PLATFORM_NAME(Thread32First)(HANDLE hSnapshot, THREADENTRY32* lpte) {
  return NextThread(Op::kThread32First, hSnapshot, lpte, true);
}

extern "C" BOOL WINAPI PLATFORM_NAME(Thread32Next)(HANDLE hSnapshot, THREADENTRY32* lpte) {
  return NextThread(Op::kThread32Next, hSnapshot, lpte, false);
}

extern "C" HANDLE WINAPI PLATFORM_NAME(OpenProcess)(DWORD dwDesiredAccess, BOOL bInheritHandle,
                                                    DWORD dwProcessId) {
  if (fake::Fails(Op::kOpenProcess, dwProcessId,
                  {dwDesiredAccess, static_cast<std::uintptr_t>(bInheritHandle), dwProcessId})) {
    return nullptr;
  }
  if (fake::ProcessOf(dwProcessId) == nullptr) {
    fake::FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return fake::Hand(fake::kProcessHandle, dwProcessId);
}

extern "C" DWORD WINAPI PLATFORM_NAME(GetPriorityClass)(HANDLE hProcess) {
  const fake::Open* open = fake::Find(hProcess, fake::kProcessHandle);
  if (fake::Fails(Op::kGetPriorityClass, open != nullptr ? open->pid : 0,
                  {fake::Address(hProcess)})) {
    return 0;
  }
  if (open == nullptr) {
    fake::FailWith(ERROR_INVALID_HANDLE);
    return 0;
  }
  return fake::ProcessOf(open->pid)->priorityClass;
}

extern "C" BOOL WINAPI PLATFORM_NAME(CloseHandle)(HANDLE hObject) {
  fake::State& s = fake::The();
  // A failed close still releases the handle: what is tested is that every
  // handle was given back exactly once.
  const bool failed = fake::Fails(Op::kCloseHandle, 0, {fake::Address(hObject)});
  auto it = s.open.find(reinterpret_cast<uintptr_t>(hObject));
  if (it == s.open.end()) {
    ++s.badCloses;
    fake::FailWith(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --s.counts[it->second.kind];
  s.open.erase(it);
  return failed ? FALSE : TRUE;
}

extern "C" DWORD WINAPI PLATFORM_NAME(GetLastError)(void) {
  fake::State& s = fake::The();
  if (s.world.recordCalls) {
    s.calls.push_back(fake::Call{Op::kGetLastError, 0, false, s.lastError, {}});
  }
  return s.lastError;
}

extern "C" DWORD WINAPI PLATFORM_NAME(FormatMessageA)(DWORD dwFlags, LPCVOID lpSource,
                                                      DWORD dwMessageId, DWORD dwLanguageId,
                                                      LPSTR lpBuffer, DWORD nSize,
                                                      va_list* Arguments) {
  if (fake::Fails(Op::kFormatMessageA, dwMessageId,
                  {dwFlags, fake::Address(lpSource), dwMessageId, dwLanguageId,
                   fake::Address(lpBuffer), nSize, fake::Address(Arguments)})) {
    return 0;
  }
  const auto& messages = fake::The().world.messages;
  const auto it = messages.find(dwMessageId);
  if (it == messages.end()) {
    fake::FailWith(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  // A text longer than the buffer fills it without a terminator, as a careless
  // platform might: the reporter must stay inside the buffer all the same.
  const std::size_t stored = std::min<std::size_t>(it->second.size() + 1, nSize);
  std::memcpy(lpBuffer, it->second.c_str(), stored);
  return static_cast<DWORD>(std::min<std::size_t>(it->second.size(), nSize));
}

namespace fake {
namespace {

// ERROR_NOT_SAME_OBJECT, which mingw-w64's headers lack.
constexpr DWORD kNotSameObject = 1656;

// kernelbase.dll, as GetModuleHandleA gives it.
const HMODULE kKernelBase = reinterpret_cast<HMODULE>(std::uintptr_t{0x7100});

// The stream a handle from GetStdHandle leads to; null, with ERROR_INVALID_HANDLE set, for another.
const Stream* StreamOf(HANDLE handle) {
  const World& world = The().world;
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value != 0 && value == world.out.handle) {
    return &world.out;
  }
  if (value != 0 && value == world.err.handle) {
    return &world.err;
  }
  FailWith(ERROR_INVALID_HANDLE);
  return nullptr;
}

bool SameLetters(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b))) {
      return false;
    }
  }
  return *a == *b;
}

BOOL WINAPI FakeCompareObjectHandles(HANDLE hFirstObjectHandle, HANDLE hSecondObjectHandle) {
  if (Fails(Op::kCompareObjectHandles, 0,
            {Address(hFirstObjectHandle), Address(hSecondObjectHandle)})) {
    return FALSE;
  }
  const Stream* first = StreamOf(hFirstObjectHandle);
  const Stream* second = first != nullptr ? StreamOf(hSecondObjectHandle) : nullptr;
  if (second == nullptr) {
    return FALSE;
  }
  if (first->object != second->object) {
    FailWith(kNotSameObject);
    return FALSE;
  }
  return TRUE;
}

}  // namespace
}  // namespace fake

extern "C" HANDLE WINAPI PLATFORM_NAME(GetStdHandle)(DWORD nStdHandle) {
  if (fake::Fails(Op::kGetStdHandle, 0, {nStdHandle})) {
    return INVALID_HANDLE_VALUE;
  }
  const fake::World& world = fake::The().world;
  if (nStdHandle == STD_OUTPUT_HANDLE || nStdHandle == STD_ERROR_HANDLE) {
    return reinterpret_cast<HANDLE>(nStdHandle == STD_OUTPUT_HANDLE ? world.out.handle
                                                                    : world.err.handle);
  }
  fake::FailWith(ERROR_INVALID_HANDLE);
  return INVALID_HANDLE_VALUE;
}

extern "C" BOOL WINAPI PLATFORM_NAME(GetConsoleMode)(HANDLE hConsoleHandle, LPDWORD lpMode) {
  if (fake::Fails(Op::kGetConsoleMode, 0, {fake::Address(hConsoleHandle), fake::Address(lpMode)})) {
    return FALSE;
  }
  const fake::Stream* stream = fake::StreamOf(hConsoleHandle);
  if (stream == nullptr) {
    return FALSE;
  }
  if (!stream->console) {
    fake::FailWith(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpMode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
  return TRUE;
}

extern "C" DWORD WINAPI PLATFORM_NAME(GetFileType)(HANDLE hFile) {
  if (fake::Fails(Op::kGetFileType, 0, {fake::Address(hFile)})) {
    return FILE_TYPE_UNKNOWN;
  }
  const fake::Stream* stream = fake::StreamOf(hFile);
  return stream != nullptr ? stream->type : FILE_TYPE_UNKNOWN;
}

extern "C" BOOL WINAPI PLATFORM_NAME(GetFileInformationByHandle)(
    HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  if (fake::Fails(Op::kGetFileInformationByHandle, 0,
                  {fake::Address(hFile), fake::Address(lpFileInformation)})) {
    return FALSE;
  }
  const fake::Stream* stream = fake::StreamOf(hFile);
  if (stream == nullptr) {
    return FALSE;
  }
  if (stream->type != FILE_TYPE_DISK) {
    fake::FailWith(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  *lpFileInformation = BY_HANDLE_FILE_INFORMATION{};
  lpFileInformation->dwVolumeSerialNumber = stream->volume;
  lpFileInformation->nFileIndexLow = stream->fileIndex;
  lpFileInformation->nNumberOfLinks = 1;
  return TRUE;
}

extern "C" HMODULE WINAPI PLATFORM_NAME(GetModuleHandleA)(LPCSTR lpModuleName) {
  if (fake::Fails(Op::kGetModuleHandleA, 0, {fake::Address(lpModuleName)})) {
    return nullptr;
  }
  if (lpModuleName == nullptr || !fake::SameLetters(lpModuleName, "kernelbase.dll")) {
    fake::FailWith(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return fake::kKernelBase;
}

extern "C" FARPROC WINAPI PLATFORM_NAME(GetProcAddress)(HMODULE hModule, LPCSTR lpProcName) {
  if (fake::Fails(Op::kGetProcAddress, 0, {fake::Address(hModule), fake::Address(lpProcName)})) {
    return nullptr;
  }
  if (hModule != fake::kKernelBase) {
    fake::FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!fake::The().world.hasCompareObjectHandles ||
      std::strcmp(lpProcName, "CompareObjectHandles") != 0) {
    fake::FailWith(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&fake::FakeCompareObjectHandles));
}

// What the report's renamed imports on Windows go through.
#ifdef _WIN32
#define IMPORT_POINTER(name) \
  extern "C" decltype(&Fake##name) const Fake##name##Import = &Fake##name;
IMPORT_POINTER(CreateToolhelp32Snapshot)
IMPORT_POINTER(Process32First)
IMPORT_POINTER(Process32Next)
IMPORT_POINTER(Module32First)
IMPORT_POINTER(Module32Next)
IMPORT_POINTER(Thread32First)
IMPORT_POINTER(Thread32Next)
IMPORT_POINTER(OpenProcess)
IMPORT_POINTER(GetPriorityClass)
IMPORT_POINTER(CloseHandle)
IMPORT_POINTER(GetLastError)
IMPORT_POINTER(FormatMessageA)
IMPORT_POINTER(GetStdHandle)
IMPORT_POINTER(GetConsoleMode)
IMPORT_POINTER(GetFileType)
IMPORT_POINTER(GetFileInformationByHandle)
IMPORT_POINTER(GetModuleHandleA)
IMPORT_POINTER(GetProcAddress)
#endif
