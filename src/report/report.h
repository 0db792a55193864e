// The process report: the walk over all processes, the module list of one
// process, the thread list of one process, and the failure reporter.
#pragma once

#include <cstddef>

#include <windows.h>
#include <tlhelp32.h>

// The published 32-bit layouts: the walk hands these sizes to the platform in dwSize.
static_assert(sizeof(PROCESSENTRY32) == 296, "PROCESSENTRY32 must have its 32-bit layout");
static_assert(sizeof(MODULEENTRY32) == 548, "MODULEENTRY32 must have its 32-bit layout");
static_assert(sizeof(THREADENTRY32) == 28, "THREADENTRY32 must have its 32-bit layout");

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
