// The lookup of a process by its id, for OpenProcess and the module snapshot.
#include "process_by_id.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "handles.h"
#include "last_error.h"

bool IsThere(int directory) {
  // The directory serves as a pidfd too: signal 0 asks without a lookup of a
  // path, which costs as much as the rest of the check. Where that call is not
  // to be had (an old kernel, a call filter), a lookup below the directory answers.
  if (syscall(SYS_pidfd_send_signal, directory, 0, nullptr, 0) == 0) {
    return true;
  }
  return errno != ESRCH && faccessat(directory, "stat", F_OK, 0) == 0;
}

DWORD FindProcessById(int root, DWORD pid, IdRule rule, FoundProcess* found) {
  {
    const auto lock = handles::Lock();
    found->listing = handles::ListingOf(pid, &found->listed);
  }
  const ProcessRecord* listed = found->listed;
  if (listed != nullptr && listed->directory >= 0 &&
      (rule == IdRule::kTheListedProcess || IsThere(listed->directory))) {
    found->directory = listed->directory;
    return ERROR_SUCCESS;
  }
  // Opened now, the directory names whatever process holds the id.
  found->opened.Reset(root >= 0 ? procfs::OpenDirectory(root, std::to_string(pid)) : root);
  found->directory = found->opened.get();
  if (found->directory < 0) {
    return ErrorFromErrno(-found->directory);
  }
  if (const int error = procfs::ReadStat(found->directory, "stat", found->statText, &found->stat);
      error != 0) {
    return ErrorFromErrno(-error);
  }
  // The listed process, where the rule asks for it, is the one that started
  // when it did: its snapshot ran out of descriptors before holding its directory.
  const bool named = rule == IdRule::kTheListedProcess && listed != nullptr
                         ? found->stat.startTime == listed->startTime
                         : procfs::IsProcessId(found->directory, pid);
  return named ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}
