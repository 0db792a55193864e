#include "stalled_fuse.h"

#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kFile = 2;  // the node of "lib.so"; the root's is FUSE_ROOT_ID
constexpr uint32_t kFileSize = 16384;

void Reply(int device, uint64_t unique, int error, const void* body = nullptr,
           std::size_t size = 0) {
  fuse_out_header header = {static_cast<uint32_t>(sizeof header + size), -error, unique};
  iovec parts[2] = {{&header, sizeof header}, {const_cast<void*>(body), size}};
  (void)!writev(device, parts, size != 0 ? 2 : 1);
}

fuse_attr AttributesOf(uint64_t node) {
  fuse_attr attributes = {};
  attributes.ino = node;
  attributes.mode = node == FUSE_ROOT_ID ? S_IFDIR | 0755 : S_IFREG | 0755;
  attributes.nlink = 1;
  attributes.size = node == FUSE_ROOT_ID ? 0 : kFileSize;
  attributes.blksize = 4096;
  return attributes;
}

}  // namespace

StalledFuse::StalledFuse(Held held) : held_(held) {
  char pattern[] = "/tmp/procreport-fuse-XXXXXX";
  directory_ = mkdtemp(pattern) != nullptr ? pattern : "";
  chmod(directory_.c_str(), 0755);
  device_ = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  const std::string options =
      "fd=" + std::to_string(device_) + ",rootmode=40000,user_id=0,group_id=0,allow_other";
  if (device_ < 0 || pipe2(stop_, O_CLOEXEC) != 0 ||
      mount("procreport", directory_.c_str(), "fuse.procreport", MS_NOSUID | MS_NODEV,
            options.c_str()) != 0) {
    skipped_ = std::string("no FUSE file system could be mounted: ") + std::strerror(errno);
    return;
  }
  server_ = std::thread(&StalledFuse::Serve, this);
  struct stat root;
  connection_ = stat(directory_.c_str(), &root) == 0 ? static_cast<int>(minor(root.st_dev)) : -1;
}

StalledFuse::~StalledFuse() {
  if (server_.joinable()) {
    // A byte, not the pipe's end, which a child forked meanwhile may hold too.
    (void)!write(stop_[1], "!", 1);
    server_.join();
    // Every request still held fails, even where a child forked meanwhile
    // holds the device open too.
    if (connection_ >= 0) {
      const std::string abort =
          "/sys/fs/fuse/connections/" + std::to_string(connection_) + "/abort";
      mount("fusectl", "/sys/fs/fuse/connections", "fusectl", 0, nullptr);
      const int fd = open(abort.c_str(), O_WRONLY | O_CLOEXEC);
      (void)!write(fd, "1", 1);
      close(fd);
    }
    umount2(directory_.c_str(), MNT_DETACH);
  }
  close(device_);
  close(stop_[0]);
  close(stop_[1]);
  rmdir(directory_.c_str());
}

void StalledFuse::Serve() {
  std::vector<char> buffer(FUSE_MIN_READ_BUFFER + 65536);
  for (;;) {
    pollfd ready[2] = {{device_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(ready, 2, -1) < 0 || ready[1].revents != 0) {
      return;
    }
    const ssize_t count = read(device_, buffer.data(), buffer.size());
    if (count < static_cast<ssize_t>(sizeof(fuse_in_header))) {
      continue;
    }
    const auto& in = *reinterpret_cast<const fuse_in_header*>(buffer.data());
    const char* body = buffer.data() + sizeof in;
    const bool rootAsks = in.uid == 0 && held_ == kRootsAttributes;
    switch (in.opcode) {
      case FUSE_INIT: {
        fuse_init_out out = {};
        out.major = FUSE_KERNEL_VERSION;
        out.minor = std::min<uint32_t>(reinterpret_cast<const fuse_init_in*>(body)->minor,
                                       FUSE_KERNEL_MINOR_VERSION);
        out.max_write = 4096;
        Reply(device_, in.unique, 0, &out, sizeof out);
        break;
      }
      case FUSE_LOOKUP: {
        if (std::strcmp(body, "lib.so") != 0) {
          Reply(device_, in.unique, ENOENT);
        } else if (!rootAsks) {
          fuse_entry_out out = {};
          out.nodeid = kFile;
          out.generation = 1;
          out.attr = AttributesOf(kFile);
          Reply(device_, in.unique, 0, &out, sizeof out);
        }
        break;
      }
      case FUSE_GETATTR:
        if (in.nodeid != kFile || !rootAsks) {
          fuse_attr_out out = {};
          out.attr = AttributesOf(in.nodeid);
          Reply(device_, in.unique, 0, &out, sizeof out);
        }
        break;
      case FUSE_OPEN:
      case FUSE_OPENDIR: {
        const fuse_open_out out = {};
        Reply(device_, in.unique, 0, &out, sizeof out);
        break;
      }
      case FUSE_READ:
        if (held_ != kReads) {
          Reply(device_, in.unique, 0);  // the file's end
        }
        break;
      case FUSE_FLUSH:
      case FUSE_RELEASE:
      case FUSE_RELEASEDIR:
        Reply(device_, in.unique, 0);
        break;
      case FUSE_FORGET:
      case FUSE_BATCH_FORGET:
      case FUSE_INTERRUPT:
        break;  // answered by no reply
      default:
        Reply(device_, in.unique, ENOSYS);
    }
  }
}
