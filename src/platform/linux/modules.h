// The module snapshot.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <functional>

#include <windows.h>

#include "snapshot.h"

// Fills the snapshot with the modules of a process (`root` is a descriptor of
// /proc). ERROR_SUCCESS, or the error code, which is also set as the last
// error. It reads the maps text through `read` (as read(2) does), so that a
// suite can end the process between two reads.
using ReadChunk = std::function<ssize_t(int fd, char* into, std::size_t room)>;
DWORD TakeModules(int root, DWORD pid, Snapshot* snapshot, const ReadChunk& read = ::read);
