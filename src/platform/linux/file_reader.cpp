#include "file_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <string>

#include "proc_files.h"

namespace {

// Questions sent and not yet answered, at most: enough that neither process
// waits on the other, few enough that a reader stuck on a file system holds
// few of the directories sent with them, which count against the caller's
// limit on descriptors in flight.
constexpr std::size_t kMostInFlight = 16;

// The bytes of a question or answer that its path leaves unused are not sent.
template <typename Message>
std::size_t SentSize(const Message& message) {
  return offsetof(Message, path) + message.pathLength;
}

bool CloseRange(unsigned first, unsigned last) {
  return first > last || syscall(SYS_close_range, first, last, 0u) == 0;
}

// Closes every descriptor but `keep` and `alsoKeep`, standard ones included:
// standard output and error first, as closing a file can wait on its file
// system (FUSE is told of each close), and a reader of the caller's output
// must see its end whatever the others are.
void CloseAllBut(int keep, int alsoKeep) {
  for (const int standard : {STDOUT_FILENO, STDERR_FILENO}) {
    if (standard != keep && standard != alsoKeep) {
      close(standard);
    }
  }
  const unsigned low = static_cast<unsigned>(keep < alsoKeep ? keep : alsoKeep);
  const unsigned high = static_cast<unsigned>(keep < alsoKeep ? alsoKeep : keep);
  if ((low == 0 || CloseRange(0, low - 1)) && CloseRange(low + 1, high - 1) &&
      CloseRange(high + 1, ~0u)) {
    return;
  }
  // Before Linux 5.9: each one this process has open, as /proc lists them.
  const int listing = openat(alsoKeep, "self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
  if (entries == nullptr) {
    _exit(1);
  }
  for (const dirent* entry; (entry = readdir(entries)) != nullptr;) {
    const int fd = atoi(entry->d_name);
    if (entry->d_name[0] != '.' && fd != keep && fd != alsoKeep && fd != dirfd(entries)) {
      close(fd);
    }
  }
  closedir(entries);
}

// Receives a question and the descriptor sent with it; its size, or <= 0.
ssize_t Receive(int socket, FileQuestion* question, int* directory) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  iovec buffer = {question, sizeof *question};
  msghdr message = {};
  message.msg_iov = &buffer;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t count = 0;
  do {
    count = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
  } while (count < 0 && errno == EINTR);
  *directory = -1;
  const cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (count > 0 && header != nullptr && header->cmsg_level == SOL_SOCKET &&
      header->cmsg_type == SCM_RIGHTS && header->cmsg_len == CMSG_LEN(sizeof(int))) {
    std::memcpy(directory, CMSG_DATA(header), sizeof(int));
  }
  return count;
}

// The reader's life: a question at a time, until the asking side is gone.
[[noreturn]] void Serve(int socket, AnswerFunction answer) {
  const int root = procfs::Root();
  CloseAllBut(socket, root);
  signal(SIGPIPE, SIG_IGN);
  const int ownDescriptors = openat(root, "self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (;;) {
    FileQuestion question;
    int directory = -1;
    const ssize_t count = Receive(socket, &question, &directory);
    if (count <= 0) {
      _exit(0);
    }
    FileAnswer reply;
    std::memset(static_cast<void*>(&reply), 0,
                offsetof(FileAnswer, path));  // its padding is sent too
    reply.outcome = FileAnswer::kUnreached;
    if (directory >= 0 && ownDescriptors >= 0 &&
        static_cast<std::size_t>(count) >= offsetof(FileQuestion, path) &&
        question.pathLength <= kPathRoom && static_cast<std::size_t>(count) == SentSize(question)) {
      answer(question, directory, ownDescriptors, &reply);
    }
    if (directory >= 0) {
      close(directory);
    }
    if (send(socket, &reply, SentSize(reply), MSG_NOSIGNAL) < 0) {
      _exit(0);
    }
  }
}

}  // namespace

FileReader::~FileReader() {
  if (socket_ >= 0) {
    GiveUp(false);
  }
}

void FileReader::GiveUp(bool stuck) {
  close(socket_);  // the reader finds its end, now or once its read returns
  socket_ = -1;
  // One that may wait on a file system until that answers is not waited for;
  // any other is reaped now, its processor time counted as the caller's.
  while (!stuck && waitpid(reader_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool FileReader::Start() {
  if (procfs::Root() < 0) {
    return false;
  }
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    return false;
  }
  reader_ = fork();
  if (reader_ == 0) {
    Serve(ends[1], answer_);
  }
  close(ends[1]);
  if (reader_ < 0) {
    close(ends[0]);
    return false;
  }
  socket_ = ends[0];
  return true;
}

namespace {

// Sends a question with the descriptor it is about, without waiting: false
// where the socket has no room now (EAGAIN) or the reader is gone.
ssize_t Send(int socket, const FileQuestion& question, int directory) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec buffer = {const_cast<FileQuestion*>(&question), SentSize(question)};
  msghdr message = {};
  message.msg_iov = &buffer;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &directory, sizeof(int));
  ssize_t sent = 0;
  do {
    sent = sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

// Whether a process runs or waits only for a processor, rather than in the
// kernel for something else (a file system's answer, a page's lock).
bool Runnable(pid_t process) {
  procfs::StatText text;
  procfs::StatFields stat;
  return procfs::ReadStat(procfs::Root(), std::to_string(process) + "/stat", text, &stat) == 0 &&
         stat.state == 'R';
}

}  // namespace

FileReader::Result FileReader::AskAll(std::size_t count, int directory,
                                      std::chrono::milliseconds bound, Clock::time_point until,
                                      const Questions& question, const Answers& answered) {
  if (count == 0) {
    return kAnswered;
  }
  if (socket_ < 0 && !Start()) {
    return kFailed;
  }
  // Questions go out while earlier ones are answered, as many as the socket
  // holds: the two processes then seldom wait on each other.
  FileQuestion next;
  std::size_t sent = 0;
  std::size_t received = 0;
  bool filled = false;
  auto deadline = std::min(Clock::now() + bound, until);
  while (received < count) {
    if (sent < count && sent - received < kMostInFlight) {
      if (!filled) {
        question(sent, &next);
        filled = true;
      }
      const ssize_t size = Send(socket_, next, directory);
      if (size == static_cast<ssize_t>(SentSize(next))) {
        ++sent;
        filled = false;
        continue;
      }
      if (size >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        // The reader ended (EPIPE), or the question could not go (a limit on
        // descriptors in flight): then it may be waiting on a file system.
        GiveUp(size < 0 && errno != EPIPE && errno != ECONNRESET);
        return kFailed;
      }
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const bool more = sent < count && sent - received < kMostInFlight;
    pollfd ready = {socket_, static_cast<short>(POLLIN | (more ? POLLOUT : 0)), 0};
    const int events = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
    if (events == 0 && Clock::now() < until && Runnable(reader_)) {
      // Slow, not waiting: a busy machine, or a sanitizer's. The bound is
      // for waiting on a file system.
      deadline = std::min(Clock::now() + bound, until);
      continue;
    }
    if (events == 0) {
      GiveUp(true);  // no answer within the bound
      return kTimedOut;
    }
    if (events < 0 && errno != EINTR) {
      GiveUp(true);
      return kFailed;
    }
    if (events < 0 || (ready.revents & POLLIN) == 0) {
      continue;
    }
    // Every answer there is now, each with the bound of its own.
    for (;;) {
      FileAnswer answer;
      ssize_t size = 0;
      do {
        size = recv(socket_, &answer, sizeof answer, MSG_DONTWAIT);
      } while (size < 0 && errno == EINTR);
      if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && received < count) {
        break;
      }
      if (size < static_cast<ssize_t>(offsetof(FileAnswer, path)) ||
          answer.pathLength > kPathRoom || static_cast<std::size_t>(size) != SentSize(answer) ||
          received == count) {
        GiveUp(size != 0);  // but at its end, it may be reading for a later question
        return kFailed;
      }
      answered(received++, answer);
      deadline = std::min(Clock::now() + bound, until);
      if (received == count) {
        return kAnswered;
      }
    }
  }
  return kAnswered;
}
