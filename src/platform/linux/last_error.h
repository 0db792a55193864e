#pragma once

#include <windows.h>

// The Windows error code for an errno value met while reading /proc. A missing
// /proc entry means the process is gone, which Windows calls an invalid parameter.
DWORD ErrorFromErrno(int error);

// Sets the last error from an errno value and returns the code it set.
DWORD FailWithErrno(int error);
