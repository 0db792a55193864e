// The process report: the walk over all processes, the module list of one
// process, the thread list of one process, and the failure reporter.
#pragma once

#include <cstddef>

#include <windows.h>
#include <tlhelp32.h>

// Whether the records hold 64-bit addresses: true for a 64-bit Windows program,
// false for the 32-bit one and for the Linux layer, which keeps the 32-bit layouts.
constexpr bool kRecordsHold64BitAddresses = sizeof(MODULEENTRY32::modBaseAddr) == 8;

// The published layouts, 8-bit forms: the walk hands these sizes to the
// platform in dwSize, so a wrong one (a UNICODE build, say) must not compile.
static_assert(sizeof(PROCESSENTRY32) == (kRecordsHold64BitAddresses ? 304 : 296),
              "PROCESSENTRY32 must have its published layout");
static_assert(sizeof(MODULEENTRY32) == (kRecordsHold64BitAddresses ? 568 : 548),
              "MODULEENTRY32 must have its published layout");
static_assert(sizeof(THREADENTRY32) == 28, "THREADENTRY32 must have its published layout");

// Writes a header for every process and the module lines of each process that
// can be opened with full access. 1 after a complete walk, 0 when it failed at its start.
int WalkProcesses();

// Writes one line per module of the process. 1 after the whole list, 0 when it failed at its start.
int ShowModules(DWORD processId);

// Writes the threads of one process. 1 after the whole list, 0 when it failed at its start.
int ShowThreads(DWORD ownerProcessId);

// Tells on standard error that the named platform operation has just failed,
// with the error code it left and the platform's text for that code.
void ReportFailure(const char* operation);

// Cuts a platform error text, in a buffer of `size` bytes, to its first line
// without trailing periods, spaces and tabs.
void CleanErrorText(char* text, std::size_t size);
