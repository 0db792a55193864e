// The module snapshot against this process's own mappings and other real
// processes: which files it lists, under which paths, and how large it finds
// their images.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "proc_files.h"
#include "proc_text.h"
#include "procmap_query.h"
#include "processes.h"
#include "snapshot.h"

// The suite's library with a large .bss, linked in.
extern "C" char* BigBssBuffer();

namespace {

std::vector<MODULEENTRY32> ModulesOf(DWORD pid) {
  std::vector<MODULEENTRY32> modules;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
  EXPECT_NE(snapshot, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  MODULEENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry)) {
    modules.push_back(entry);
  }
  CloseHandle(snapshot);
  return modules;
}

// What the dynamic loader says of an object it has loaded: its image, from
// its lowest loadable page to its highest segment's end rounded up to a page,
// and the part of it that its file's bytes fill, to the end of their page.
struct LoaderSpan {
  uint64_t image = 0;
  uint64_t fileBacked = 0;
};

LoaderSpan SpanOf(const dl_phdr_info& info) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const auto up = [page](uint64_t address) { return (address + page - 1) & ~(page - 1); };
  uint64_t low = UINT64_MAX;
  uint64_t end = 0;
  uint64_t fileEnd = 0;
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type == PT_LOAD) {
      low = std::min<uint64_t>(low, segment.p_vaddr);
      end = std::max<uint64_t>(end, segment.p_vaddr + segment.p_memsz);
      fileEnd = std::max<uint64_t>(fileEnd, segment.p_vaddr + segment.p_filesz);
    }
  }
  low &= ~(page - 1);
  return LoaderSpan{up(end) - low, up(fileEnd) - low};
}

// Every object that the loader has loaded into this process from a file, by
// its file's real path (a deleted one has none): the program itself comes
// first, under no name.
std::map<std::string, LoaderSpan> LoadedObjects() {
  std::map<std::string, LoaderSpan> objects;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto& found = *static_cast<std::map<std::string, LoaderSpan>*>(data);
        const std::string name =
            found.empty() && info->dlpi_name[0] == '\0' ? OwnExecutable() : info->dlpi_name;
        char real[PATH_MAX];
        if (name.rfind('/', 0) == 0 && realpath(name.c_str(), real) != nullptr) {
          found[real] = SpanOf(*info);
        }
        return 0;
      },
      &objects);
  return objects;
}

TEST(ModuleSnapshot, ListsTheFilesMappedExecutableWithTheirSpan) {
  BigBssBuffer()[0] = 1;
  // The loader's own view: which files, and how large their images are, the
  // suite's library with 8 MiB of .bss past its file's end among them.
  std::map<std::string, DWORD> loaded;
  for (const auto& [path, span] : LoadedObjects()) {
    loaded[path] = static_cast<DWORD>(span.image);
  }
  char library[PATH_MAX];
  ASSERT_NE(realpath(TEST_BIG_BSS, library), nullptr);
  ASSERT_EQ(loaded.count(library), 1u);
  EXPECT_GT(loaded[library], 8u << 20);
  for (const DWORD pid : {DWORD{0}, static_cast<DWORD>(getpid())}) {
    const std::vector<MODULEENTRY32> modules = ModulesOf(pid);
    ASSERT_GE(modules.size(), 2u);
    // A position-independent executable is mapped below its libraries.
    EXPECT_EQ(modules[0].szExePath, OwnExecutable());
    EXPECT_EQ(modules[0].szModule, BaseName(OwnExecutable()));
    std::map<std::string, DWORD> listed;
    for (const MODULEENTRY32& module : modules) {
      EXPECT_EQ(module.th32ProcessID, static_cast<DWORD>(getpid()));
      EXPECT_EQ(BaseName(module.szExePath), module.szModule);
      listed[module.szExePath] = module.modBaseSize;
    }
    EXPECT_EQ(listed, loaded);
  }
  // In a pid namespace of its own, getpid() is 1, but /proc numbers the
  // processes as the machine does: 0 still names this process.
  const int result = RunInNewPidNamespace([] {
    const std::vector<MODULEENTRY32> modules = ModulesOf(0);
    return !modules.empty() && modules[0].szExePath == OwnExecutable() ? 0 : 1;
  });
  if (result != -1) {
    EXPECT_EQ(result, 0);
  }
}

// A file mapped by this process in the given pieces: (page, protection) pairs
// placed at those page offsets from one base address.
class MappedFile {
 public:
  MappedFile(const char* name, uint64_t size, std::vector<std::pair<uint64_t, int>> pieces,
             uint64_t span, const std::string& firstBytes = "") {
    path_ = std::string("/tmp/") + name + "-" + std::to_string(getpid());
    const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    EXPECT_EQ(pwrite(fd, firstBytes.data(), firstBytes.size(), 0),
              static_cast<ssize_t>(firstBytes.size()));
    span_ = span;
    base_ = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    const long page = sysconf(_SC_PAGESIZE);
    for (const auto& [offset, protection] : pieces) {
      const uint64_t at = offset * static_cast<uint64_t>(page);
      const uint64_t length = std::min<uint64_t>(static_cast<uint64_t>(page), span - at);
      EXPECT_NE(mmap(static_cast<char*>(base_) + at, length, protection, MAP_PRIVATE | MAP_FIXED,
                     fd, static_cast<off_t>(at)),
                MAP_FAILED);
    }
    close(fd);
  }
  ~MappedFile() {
    munmap(base_, span_);
    unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  const void* base() const { return base_; }

 private:
  std::string path_;
  void* base_ = nullptr;
  uint64_t span_ = 0;
};

const MODULEENTRY32* FindModule(const std::vector<MODULEENTRY32>& modules,
                                const std::string& path) {
  for (const MODULEENTRY32& module : modules) {
    if (module.szExePath == path) {
      return &module;
    }
  }
  return nullptr;
}

TEST(ModuleSnapshot, CountsOnlyFilesWithAnExecutableMappingAndSpansAllTheirMappings) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const MappedFile data("procreport-data", 3 * page, {{0, PROT_READ}, {2, PROT_READ}}, 3 * page);
  const MappedFile code("procreport-code", 3 * page, {{0, PROT_READ | PROT_EXEC}, {2, PROT_READ}},
                        3 * page);
  // The code's file once more, read-only elsewhere, as debuggers and crash
  // reporters map libraries: a run of its own, which is no module.
  const int fd = open(code.path().c_str(), O_RDONLY | O_CLOEXEC);
  void* again = mmap(nullptr, page, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  ASSERT_NE(again, MAP_FAILED);
  const std::vector<MODULEENTRY32> modules = ModulesOf(0);
  munmap(again, page);
  EXPECT_EQ(FindModule(modules, data.path()), nullptr);
  EXPECT_EQ(std::count_if(modules.begin(), modules.end(),
                          [&](const MODULEENTRY32& m) { return m.szExePath == code.path(); }),
            1);
  const MODULEENTRY32* module = FindModule(modules, code.path());
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->modBaseSize, 3 * page);
}

// The kernel may put its own pages in the gap between an image's segments:
// on arm64 it does, in the interpreter that it loads itself. A maps text as
// that kernel gives it.
TEST(ModuleSnapshot, SpansTheKernelsVdsoPagesInAnImagesGapButNoOtherNamedMapping) {
  const struct {
    const char* between;
    uint64_t size;
  } cases[] = {{"[vvar]", 0x6000},
               {"[vdso]", 0x6000},
               {"", 0x6000},
               {"[heap]", 0x1000},
               {"[anon:named by its process]", 0x1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.between);
    const std::string text = std::string("10000-11000 r-xp 00000000 00:02 35 /lib/ld.so\n") +
                             "12000-13000 r--p 00000000 00:00 0 " + c.between + "\n" +
                             "15000-16000 rw-p 00005000 00:02 35 /lib/ld.so\n";
    bool given = false;
    Snapshot snapshot;
    const auto give = [&](int, char* into, std::size_t room) -> ssize_t {
      const std::size_t size = given ? 0 : text.size();
      given = true;
      std::memcpy(into, text.data(), std::min(size, room));
      return static_cast<ssize_t>(std::min(size, room));
    };
    const DWORD error =
        TakeModules(procfs::Root(), static_cast<DWORD>(getpid()), &snapshot, {give, nullptr});
    EXPECT_EQ(error, 0u);
    ASSERT_EQ(snapshot.modules.size(), 1u);
    EXPECT_EQ(snapshot.modules[0].high - snapshot.modules[0].low, c.size);
  }
}

TEST(ModuleSnapshot, ASpanOfFourGibibytesOrMoreIsSaturated) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t size = (uint64_t{5} << 30);
  const MappedFile huge("procreport-huge", size,
                        {{0, PROT_READ | PROT_EXEC}, {size / page - 1, PROT_READ}}, size);
  const MODULEENTRY32* module = nullptr;
  const std::vector<MODULEENTRY32> modules = ModulesOf(0);
  module = FindModule(modules, huge.path());
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->modBaseSize, 0xFFFFFFFFu);
}

// The span of the image that the loader loaded from `path`, its handle in `handle`.
LoaderSpan Load(const std::string& path, void** handle) {
  *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(*handle, nullptr) << dlerror();
  std::pair<const std::string*, LoaderSpan> found = {&path, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto* sought = static_cast<std::pair<const std::string*, LoaderSpan>*>(data);
        if (*sought->first == info->dlpi_name) {
          sought->second = SpanOf(*info);
        }
        return 0;
      },
      &found);
  return found.second;
}

// A copy of a library of the suite (the large-.bss one unless told), loaded
// by this process from a directory of its own that anyone may read, as a
// user's library would be: `directory`/lib/big.so.
class LoadedCopy {
 public:
  explicit LoadedCopy(const char* library = TEST_BIG_BSS) {
    char pattern[] = "/tmp/procreport-image-XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    path_ = directory_ + "/lib/big.so";
    chmod(directory_.c_str(), 0755);
    mkdir((directory_ + "/lib").c_str(), 0755);
    CopyFile(library, path_, 0644);
    span_ = Load(path_, &handle_);
  }
  ~LoadedCopy() {
    if (handle_ != nullptr) {
      dlclose(handle_);
    }
    std::filesystem::remove_all(directory_);
  }
  LoadedCopy(const LoadedCopy&) = delete;
  LoadedCopy& operator=(const LoadedCopy&) = delete;

  const std::string& directory() const { return directory_; }
  const std::string& path() const { return path_; }
  const LoaderSpan& span() const { return span_; }

 private:
  std::string directory_;
  std::string path_;
  void* handle_ = nullptr;
  LoaderSpan span_;
};

// The size of this process's module at `path`, or 0 when it lists none there.
DWORD ModuleSize(const std::string& path) {
  const std::vector<MODULEENTRY32> modules = ModulesOf(0);
  const MODULEENTRY32* module = FindModule(modules, path);
  return module != nullptr ? module->modBaseSize : 0;
}

// The module at `shownPath`, loaded as `loaded`, has the size the route to its
// file allows: its whole image where its path still leads to it, or where
// map_files reaches it; else its run of mappings. 0 when it does, 1 when it does not.
int HasTheSizeItsRouteAllows(const std::string& shownPath, const LoaderSpan& loaded,
                             bool pathLeadsToIt) {
  const uint64_t expected = pathLeadsToIt || MayOpenMapFiles() ? loaded.image : loaded.fileBacked;
  const DWORD size = ModuleSize(shownPath);
  if (size != expected) {
    std::fprintf(stderr, "as user %d, %s: %u, not %llu\n", static_cast<int>(geteuid()),
                 shownPath.c_str(), size, static_cast<unsigned long long>(expected));
  }
  return size == expected ? 0 : 1;
}

TEST(ModuleSnapshot, AHeaderThatPlacesItsTableOutOfReachLaysOutNoImage) {
  // An ELF header whose program header table lies 2^63 bytes in: its place is
  // checked before a pointer is made from it, and the module keeps its mapping.
  Elf64_Ehdr header = {};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_DYN;
  header.e_phoff = uint64_t{1} << 63;
  header.e_phentsize = sizeof(Elf64_Phdr);
  header.e_phnum = 1;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  // Its one page executable, then anonymous memory, as a .bss would be.
  const MappedFile file("procreport-far-table", page, {{0, PROT_READ | PROT_EXEC}}, 3 * page,
                        std::string(reinterpret_cast<const char*>(&header), sizeof header));
  EXPECT_EQ(ModuleSize(file.path()), page);
}

TEST(ModuleSnapshot, SizesAnImageByItsHeadersOnlyFromTheVeryFileMapped) {
  // What becomes of the library's path after it was loaded.
  const struct {
    const char* title;
    void (*change)(const LoadedCopy& copy);
  } cases[] = {
      {"left as it is", nullptr},
      {"deleted", [](const LoadedCopy& copy) { unlink(copy.path().c_str()); }},
      // The kernel shows a deleted file's path with this mark: a name anyone can take.
      {"its deleted name now a FIFO",
       [](const LoadedCopy& copy) {
         unlink(copy.path().c_str());
         mkfifo((copy.path() + " (deleted)").c_str(), 0644);
       }},
      {"its deleted name now a link to a device",
       [](const LoadedCopy& copy) {
         unlink(copy.path().c_str());
         symlink("/dev/zero", (copy.path() + " (deleted)").c_str());
       }},
      {"its deleted name now another image",
       [](const LoadedCopy& copy) {
         unlink(copy.path().c_str());
         CopyFile(TEST_SLEEPER, copy.path() + " (deleted)", 0644);
       }},
      {"its directory now a link to another image's",
       [](const LoadedCopy& copy) {
         unlink(copy.path().c_str());
         rmdir((copy.directory() + "/lib").c_str());
         mkdir((copy.directory() + "/other").c_str(), 0755);
         CopyFile(TEST_SLEEPER, copy.directory() + "/other/big.so (deleted)", 0644);
         symlink("other", (copy.directory() + "/lib").c_str());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    const LoadedCopy copy;
    ASSERT_GT(copy.span().image, copy.span().fileBacked + (8u << 20) - 1);
    const std::string shownPath = copy.path() + (c.change != nullptr ? " (deleted)" : "");
    if (c.change != nullptr) {
      c.change(copy);
    }
    const auto hasItsSize = [&] {
      return HasTheSizeItsRouteAllows(shownPath, copy.span(), c.change == nullptr);
    };
    EXPECT_EQ(hasItsSize(), 0);
    // Without map_files, where only the path may lead to the file.
    if (geteuid() == 0) {
      EXPECT_EQ(RunAsNobody(hasItsSize), 0);
    }
  }
}

// The size of a module of `otherProcess` as the first of a process
// snapshot's module snapshots, then that of this process's module at
// `shownPath`, loaded as `loaded`, as its second: 0 when the latter is the
// loader's, as the first failed to reach its file.
int IsExactAfterAnotherFailed(pid_t otherProcess, const std::string& shownPath,
                              const LoaderSpan& loaded) {
  HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  const std::vector<MODULEENTRY32> others = ModulesOf(static_cast<DWORD>(otherProcess));
  const int exact = HasTheSizeItsRouteAllows(shownPath, loaded, true);
  CloseHandle(processes);
  return FindModule(others, shownPath + ".alias (deleted)") != nullptr ? exact : 2;
}

TEST(ModuleSnapshot, AFileThatOneProcessFailedToReachIsReadAgainForAnother) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to become another user";
  }
  // Another user's process loads the library under a second name, then that
  // name goes: for a reader without map_files its path leads nowhere.
  char pattern[] = "/tmp/procreport-alias-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  const std::string shownPath = directory + "/big.so";
  chmod(directory.c_str(), 0755);
  CopyFile(TEST_BIG_BSS, shownPath, 0644);
  ASSERT_EQ(link(shownPath.c_str(), (shownPath + ".alias").c_str()), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t otherProcess = fork();
  if (otherProcess == 0) {
    const bool loaded = BecomeNobody() && prctl(PR_SET_DUMPABLE, 1) == 0 &&
                        dlopen((shownPath + ".alias").c_str(), RTLD_NOW) != nullptr;
    (void)!write(ready[1], loaded ? "!" : "?", 1);
    pause();
    _exit(0);
  }
  char said = 0;
  EXPECT_EQ(read(ready[0], &said, 1), 1);
  close(ready[0]);
  close(ready[1]);
  unlink((shownPath + ".alias").c_str());
  void* handle = nullptr;
  const LoaderSpan loaded = Load(shownPath, &handle);
  EXPECT_EQ(said, '!');
  EXPECT_EQ(RunAsNobody([&] { return IsExactAfterAnotherFailed(otherProcess, shownPath, loaded); }),
            0);
  kill(otherProcess, SIGKILL);
  waitpid(otherProcess, nullptr, 0);
  dlclose(handle);
  std::filesystem::remove_all(directory);
}

// File systems whose `stat` tells another device than maps, each mounted
// with two libraries in it, both new files: on btrfs one in each of two
// subvolumes, where they share an inode number; on an overlay one in its
// tmpfs lower layer, one in its ext4 upper layer. Unmounted when destroyed.
class ScratchMount {
 public:
  ScratchMount(const std::string& kind, const char* first, const char* second) {
    char pattern[] = "/tmp/procreport-fs-XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    const std::string btrfs =
        "command -v mkfs.btrfs >/dev/null || { echo no mkfs.btrfs; exit 1; }\n"
        "truncate -s 256M $d.img && mkfs.btrfs -q $d.img && mount -o loop $d.img $d\n"
        "btrfs -q subvolume create $d/a && btrfs -q subvolume create $d/b\n"
        "cp $1 $d/a/lib.so && cp $2 $d/b/lib.so\n";
    const std::string overlay =
        "mkdir $d/lower $d/upperfs $d/merged && mount -t tmpfs -o mode=755 none $d/lower\n"
        "cp $1 $d/lower/lower.so && truncate -s 32M $d.img && mkfs.ext4 -q $d.img\n"
        "mount -o loop $d.img $d/upperfs && mkdir $d/upperfs/upper $d/upperfs/work\n"
        "mount -t overlay overlay -o lowerdir=$d/lower,upperdir=$d/upperfs/upper,"
        "workdir=$d/upperfs/work $d/merged && cp $2 $d/merged/upper.so\n";
    files_ = kind == "btrfs"
                 ? std::vector<std::string>{directory_ + "/a/lib.so", directory_ + "/b/lib.so"}
                 : std::vector<std::string>{directory_ + "/merged/lower.so",
                                            directory_ + "/merged/upper.so"};
    const std::string log = directory_ + ".log";
    const std::string script = "set -e; d=" + directory_ + "; chmod 755 $d\n" +
                               (kind == "btrfs" ? btrfs : overlay) + "chmod -R a+rX $d\n";
    if (std::system(
            ("sh -c '" + script + "' sh " + first + " " + second + " >" + log + " 2>&1").c_str()) !=
        0) {
      std::ifstream text(log);
      std::getline(text, skipped_, '\0');
      while (!skipped_.empty() && skipped_.back() == '\n') {
        skipped_.pop_back();
      }
      skipped_ = kind + ": " + (skipped_.empty() ? "could not be mounted" : skipped_);
    }
    unlink(log.c_str());
  }
  ~ScratchMount() {
    const std::string d = directory_;
    std::system(("umount -l " + d + "/merged " + d + "/upperfs " + d + "/lower " + d +
                 " 2>/dev/null; rm -rf " + d + " " + d + ".img")
                    .c_str());
  }
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  const std::vector<std::string>& files() const { return files_; }
  const std::string& skipped() const { return skipped_; }  // why it is not there

 private:
  std::string directory_;
  std::vector<std::string> files_;
  std::string skipped_;
};

TEST(ModuleSnapshot, SizesEveryImageAsItsLoaderDoesWhateverItsLayoutOrFileSystem) {
  const struct {
    const char* title;
    const char* mount;  // or the libraries lie in /tmp
    const char* first;
    const char* second;
  } cases[] = {
      {"its data in its first page", nullptr, TEST_SHAPE_SMALL, nullptr},
      {"its data in its first page, 2 MiB pages", nullptr, TEST_SHAPE_HUGE_PAGES, nullptr},
      {"linked by lld", nullptr, TEST_SHAPE_LLD, nullptr},
      {"on btrfs", "btrfs", TEST_BIG_BSS, TEST_SHAPE_SMALL},
      {"on an overlay", "overlay", TEST_BIG_BSS, TEST_SHAPE_SMALL},
  };
  std::string skipped;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    std::unique_ptr<ScratchMount> mount;
    std::vector<std::string> files;
    std::vector<std::unique_ptr<LoadedCopy>> copies;
    if (c.mount != nullptr && geteuid() != 0) {
      skipped += std::string(c.mount) + ": needs root, to mount; ";
      continue;
    }
    if (c.mount != nullptr) {
      mount = std::make_unique<ScratchMount>(c.mount, c.first, c.second);
      if (!mount->skipped().empty()) {
        skipped += mount->skipped() + "; ";
        continue;
      }
      files = mount->files();
    } else if (*c.first == '\0') {
      skipped += std::string(c.title) + ": no lld that this compiler links with; ";
      continue;
    } else {
      copies.push_back(std::make_unique<LoadedCopy>(c.first));
      files.push_back(copies.back()->path());
    }
    // All loaded at once, so that what one gave cannot stand for another.
    std::vector<std::pair<void*, LoaderSpan>> loaded;
    for (const std::string& file : files) {
      void* handle = nullptr;
      loaded.push_back({handle, Load(file, &handle)});
      loaded.back().first = handle;
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
      SCOPED_TRACE(files[i]);
      const auto hasItsSize = [&] {
        return HasTheSizeItsRouteAllows(files[i], loaded[i].second, true);
      };
      EXPECT_EQ(hasItsSize(), 0);
      if (geteuid() == 0) {
        EXPECT_EQ(RunAsNobody(hasItsSize), 0);
      }
    }
    for (const auto& [handle, span] : loaded) {
      if (handle != nullptr) {
        dlclose(handle);
      }
    }
  }
  if (!skipped.empty()) {
    GTEST_SKIP() << skipped.substr(0, skipped.size() - 2);  // less the last "; "
  }
}

// Directories nested below /tmp, each named `component`, made now and removed
// when destroyed; the deepest last.
struct Directories : std::vector<std::string> {
  Directories(const std::string& component, int depth) {
    push_back("/tmp/procreport-deep-" + std::to_string(getpid()));
    for (int i = 0; i < depth; ++i) {
      push_back(back() + "/" + component);
    }
    for (const std::string& directory : *this) {
      EXPECT_EQ(mkdir(directory.c_str(), 0700), 0) << directory.size();
    }
  }
  ~Directories() {
    for (auto directory = rbegin(); directory != rend(); ++directory) {
      rmdir(directory->c_str());
    }
  }
};

TEST(ModuleSnapshot, ReadsBackAPathThatItsEscapesMakeLongerThanPathMax) {
  // Five directories of 250 line breaks: 1270 bytes, 5000 as the kernel writes them.
  const Directories directories(std::string(250, '\n'), 5);
  const std::string& top = directories.front();
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  {
    const MappedFile file((directories.back().substr(5) + "/m").c_str(), page,
                          {{0, PROT_READ | PROT_EXEC}}, page);
    const std::vector<MODULEENTRY32> modules = ModulesOf(0);
    const auto module = std::find_if(modules.begin(), modules.end(), [&](const MODULEENTRY32& m) {
      return std::string(m.szExePath).rfind(top + "/", 0) == 0;
    });
    ASSERT_NE(module, modules.end());
    EXPECT_EQ(std::string(module->szExePath).substr(top.size() + 1, 8), "\\012\\012");
  }
}

// A file, mapped executable by this process, under directories nested past
// PATH_MAX, which only descriptors can reach; all removed when destroyed.
class FileBeyondPathMax {
 public:
  FileBeyondPathMax(const std::string& top, const std::string& first, const std::string& rest,
                    int depth) {
    mkdir(top.c_str(), 0700);
    directories_.push_back({open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), ""});
    for (int i = 0; i <= depth; ++i) {
      const std::string name = i == 0 ? first : rest;
      mkdirat(directories_.back().first, name.c_str(), 0700);
      directories_.push_back(
          {openat(directories_.back().first, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC),
           name});
    }
    const int fd = openat(directories_.back().first, "m", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(page_)), 0);
    mapped_ = mmap(nullptr, page_, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0);
    EXPECT_NE(mapped_, MAP_FAILED);
    close(fd);
    top_ = top;
  }
  ~FileBeyondPathMax() {
    munmap(mapped_, page_);
    unlinkat(directories_.back().first, "m", 0);
    for (std::size_t i = directories_.size() - 1; i > 0; --i) {
      close(directories_[i].first);
      unlinkat(directories_[i - 1].first, directories_[i].second.c_str(), AT_REMOVEDIR);
    }
    close(directories_[0].first);
    rmdir(top_.c_str());
  }
  FileBeyondPathMax(const FileBeyondPathMax&) = delete;
  FileBeyondPathMax& operator=(const FileBeyondPathMax&) = delete;

 private:
  std::vector<std::pair<int, std::string>> directories_;  // each open, with its name
  std::string top_;
  void* mapped_ = nullptr;
  std::size_t page_ = 0;
};

TEST(ModuleSnapshot, TakesTheKernelsEscapeForALineBreakPastPathMax) {
  // No interface of the kernel gives a path past PATH_MAX exactly: a literal
  // "\\012" there shows as the line break it is taken for, on one line.
  const std::string top = "/tmp/procreport-long-" + std::to_string(getpid());
  const FileBeyondPathMax file(top, "lit\\012x", std::string(250, 'd'), 17);
  const std::vector<MODULEENTRY32> modules = ModulesOf(0);
  const auto module = std::find_if(modules.begin(), modules.end(), [&](const MODULEENTRY32& m) {
    return std::string(m.szExePath).rfind(top + "/", 0) == 0;
  });
  ASSERT_NE(module, modules.end());
  EXPECT_EQ(std::string(module->szExePath).substr(top.size() + 1, 10), "lit\\012x/d");
  EXPECT_EQ(std::string(module->szModule), "m");
}

// In a process of its own, whose peak memory is its own: maps the file at
// `path` read-only `copies` times at its offset 0, as data, then once
// executable. 0 when its module snapshot raises the peak by less than 4 MiB
// and lists that one module, under as much of its path as a record shows and
// its own file name.
int ListsOneModuleOfManyCopies(const std::string& path, int copies) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  const long page = sysconf(_SC_PAGESIZE);
  if (fd < 0 || ftruncate(fd, page) != 0) {
    return 2;
  }
  if (mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_EXEC, MAP_SHARED, fd, 0) ==
      MAP_FAILED) {
    return 2;
  }
  // One snapshot first, with the file mapped executable, so that what any
  // snapshot of it costs (the allocator's first pools, a sanitizer's, the
  // reader process asked about the file) is in the peak before the one measured.
  CloseHandle(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0));
  for (int i = 0; i < copies; ++i) {
    if (mmap(nullptr, static_cast<std::size_t>(page), PROT_READ, MAP_SHARED, fd, 0) == MAP_FAILED) {
      return 2;
    }
  }
  // The peak resident memory, in KiB.
  const long before = OwnStatus("VmHWM:");
  const std::vector<MODULEENTRY32> modules = ModulesOf(0);
  const long grown = OwnStatus("VmHWM:") - before;
  const auto listed = std::count_if(modules.begin(), modules.end(), [&](const MODULEENTRY32& m) {
    return path.compare(0, MAX_PATH - 1, m.szExePath) == 0 &&
           std::string(m.szModule) == path.substr(path.rfind('/') + 1);
  });
  std::fprintf(stderr, "peak grew by %ld KiB; %ld module(s) listed\n", grown,
               static_cast<long>(listed));
  return grown < 4096 && listed == 1 ? 0 : 1;
}

TEST(ModuleSnapshot, KeepsTextOnlyForWhatItLists) {
  // Fifteen directories of 250 bytes: a path of nearly PATH_MAX, a line of
  // the maps text for each of its mappings.
  const Directories directories(std::string(250, 'd'), 15);
  const std::string path = directories.back() + "/m";
  const pid_t child = fork();
  if (child == 0) {
    _exit(ListsOneModuleOfManyCopies(path, 3000));
  }
  int status = 0;
  waitpid(child, &status, 0);
  unlink(path.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(ModuleSnapshot, SizesAProgramByItsOwnHeaders) {
  // Each says its image's span as its loader sees it.
  const struct {
    const char* title;
    const char* program;
    const char* missing;
  } cases[] = {
      {"32-bit", TEST_IMAGE32,
       "no 32-bit program was built: its cross compiler is missing "
       "(gcc-i686-linux-gnu and libc6-dev-i386-cross for x86-64, "
       "gcc-arm-linux-gnueabihf and libc6-dev-armhf-cross for arm64)"},
      // Its later segments map its file's first page again.
      {"linked by lld", TEST_SHAPE_LLD_PROGRAM, "no lld that this compiler links with"},
  };
  std::string skipped;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    if (*c.program == '\0') {
      skipped += std::string(c.missing) + "; ";
      continue;
    }
    std::unique_ptr<Sleeper> program;
    try {
      program = std::make_unique<Sleeper>("image", 0, false, c.program);
    } catch (const std::runtime_error& error) {
      if (std::string(error.what()) != kCannotRun) {
        throw;
      }
      skipped += std::string("this kernel runs no ") + c.title + " program; ";
      continue;
    }
    const std::vector<MODULEENTRY32> modules = ModulesOf(static_cast<DWORD>(program->pid()));
    const MODULEENTRY32* image = FindModule(modules, program->path());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::to_string(image->modBaseSize), program->said());
    EXPECT_GT(image->modBaseSize, 6u << 20);  // its .bss
  }
  if (!skipped.empty()) {
    GTEST_SKIP() << skipped.substr(0, skipped.size() - 2);  // less the last "; "
  }
}

TEST(ModuleSnapshot, ListsHundredsOfModulesAllInAddressOrder) {
  constexpr int kModules = 300;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  std::vector<std::unique_ptr<MappedFile>> files;
  for (int i = 0; i < kModules; ++i) {
    const std::string name = "procreport-module-" + std::to_string(i);
    files.push_back(std::make_unique<MappedFile>(
        name.c_str(), page, std::vector<std::pair<uint64_t, int>>{{0, PROT_READ | PROT_EXEC}},
        page));
  }
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a->base() < b->base(); });
  std::vector<std::string> byAddress;
  for (const auto& file : files) {
    byAddress.push_back(file->path());
  }

  std::vector<std::string> listed;
  for (const MODULEENTRY32& module : ModulesOf(0)) {
    if (std::string(module.szExePath).rfind("/tmp/procreport-module-", 0) == 0) {
      listed.push_back(module.szExePath);
      EXPECT_EQ(module.modBaseSize, page) << module.szExePath;
    }
  }
  EXPECT_EQ(listed, byAddress);
}

// A child whose maps the kernel writes in several pieces (a page each): its
// own executable mapped a hundred times more, each a line of its own. On
// SIGUSR1 it runs sleep in its place; `execed` then reads the end of its text.
pid_t ChildWithLongMaps(int* execed) {
  int ready[2];
  int running[2];
  if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(running, O_CLOEXEC) != 0) {
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGUSR1, [](int) { execl("/bin/sleep", "sleep", "600", nullptr); });
    const int self = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    for (int i = 0; i < 100; ++i) {
      mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, self, 0);
    }
    (void)!write(ready[1], "!", 1);
    for (;;) {
      pause();
    }
  }
  close(ready[1]);
  close(running[1]);
  char byte = 0;
  const bool started = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  *execed = running[0];
  return started ? pid : -1;
}

TEST(ModuleSnapshot, OfAProcessThatEndsOrExecsWhileItsMapsAreReadFailsWithInvalidParameter) {
  // Read by its id alone, and through the directory of a process snapshot
  // that lists it; its text read, or its mappings asked for; the process
  // ends, or runs another program, after the first read or question.
  const bool answered = KernelAnswersQueries();
  for (const bool listed : {false, true}) {
    for (const bool execs : {false, true}) {
      for (const bool asked : {false, true}) {
        SCOPED_TRACE(std::string(listed ? "listed, " : "not listed, ") +
                     (execs ? "execs, " : "ends, ") + (asked ? "asked" : "read"));
        if (asked && !answered) {
          continue;  // this kernel has no PROCMAP_QUERY
        }
        int execed = -1;
        const pid_t pid = ChildWithLongMaps(&execed);
        ASSERT_GT(pid, 0);
        HANDLE processes = listed ? CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0) : nullptr;
        int calls = 0;
        // Ended, it stays a zombie, holding its id and start time, until reaped at the end.
        const auto goneAfterTheFirst = [&] {
          if (calls++ == 1) {
            char byte = 0;
            siginfo_t info;
            kill(pid, execs ? SIGUSR1 : SIGKILL);
            execs ? (void)read(execed, &byte, 1)
                  : (void)waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
          }
        };
        MapsAccess access = {[&](int fd, char* into, std::size_t room) -> ssize_t {
                               goneAfterTheFirst();
                               return read(fd, into, room);
                             },
                             nullptr};
        if (asked) {
          access.query = [&](int fd, procmap_query* query) {
            goneAfterTheFirst();
            return KernelMaps().query(fd, query);
          };
        }
        Snapshot snapshot;
        const DWORD error = TakeModules(procfs::Root(), static_cast<DWORD>(pid), &snapshot, access);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(execed);
        if (listed) {
          EXPECT_TRUE(CloseHandle(processes));
        }
        EXPECT_GE(calls, 2);  // gone before the text was, or the walk was
        EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(snapshot.modules.empty());
      }
    }
  }
}

// A module snapshot's records as text: base, end, path and name of each.
std::string RecordsOf(const Snapshot& snapshot) {
  std::string records;
  for (const ModuleRecord& module : snapshot.modules) {
    records += std::to_string(module.low) + "-" + std::to_string(module.high) + " " +
               snapshot.text.substr(module.pathOffset, module.pathLength) + " " +
               snapshot.text.substr(module.nameOffset, module.nameLength) + "\n";
  }
  return records;
}

// Takes the modules of every process that this caller may read by both
// walks, the text's before and after the queries', and compares those of the
// processes whose text did not change meanwhile. 0 where they all agree, 1
// where one differs (told on standard error), 2 where no process was walked
// by asking (each one's was left to the text).
int CompareWalksOnEveryProcess() {
  HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);  // keeps files' headers
  int compared = 0;
  int differ = 0;
  for (const PROCESSENTRY32& entry : AllProcesses()) {
    const auto pid = entry.th32ProcessID;
    Snapshot before;
    Snapshot asked;
    Snapshot after;
    if (TakeModules(procfs::Root(), pid, &before, {::read, nullptr}) != ERROR_SUCCESS ||
        TakeModules(procfs::Root(), pid, &asked) != ERROR_SUCCESS ||
        TakeModules(procfs::Root(), pid, &after, {::read, nullptr}) != ERROR_SUCCESS ||
        RecordsOf(before) != RecordsOf(after)) {
      continue;  // closed to this caller, gone, or changed meanwhile
    }
    compared += asked.modulesQueried ? 1 : 0;
    if (RecordsOf(asked) != RecordsOf(before)) {
      ++differ;
      std::fprintf(stderr, "process %lu, by its text:\n%s\nasked for:\n%s\n",
                   static_cast<unsigned long>(pid), RecordsOf(before).c_str(),
                   RecordsOf(asked).c_str());
    }
  }
  CloseHandle(processes);
  return differ != 0 ? 1 : compared == 0 ? 2 : 0;
}

// Maps the library at `path` by hand as a loader would, but with anonymous
// memory over its file's last page and another file after it, which the text
// sizes as the whole image; says so on `ready`, then waits to be killed. 1
// where it could not.
int MapOverTheLastPage(const std::string& path, int ready) {
  const long page = sysconf(_SC_PAGESIZE);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const int other = open(TEST_BIG_BSS, O_RDONLY | O_CLOEXEC);
  auto* image = static_cast<char*>(mmap(nullptr, 6 * page, PROT_READ, MAP_PRIVATE, fd, 0));
  if (image == MAP_FAILED ||
      mmap(image + 5 * page, page, PROT_READ, MAP_PRIVATE | MAP_FIXED, other, 0) == MAP_FAILED ||
      mprotect(image + page, page, PROT_READ | PROT_EXEC) != 0 ||
      mmap(image + 4 * page, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
          MAP_FAILED ||
      write(ready, "!", 1) != 1) {
    return 1;
  }
  for (;;) {
    pause();
  }
}

TEST(ModuleSnapshot, AskingForTheMappingsGivesWhatTheTextGivesForEveryProcess) {
  if (!KernelAnswersQueries()) {
    GTEST_SKIP() << "compared nothing: this kernel does not answer PROCMAP_QUERY";
  }
  // This process with more modules than the walk finds at once: copies of a library.
  std::vector<std::unique_ptr<LoadedCopy>> copies;
  for (int i = 0; i < 40; ++i) {
    copies.push_back(std::make_unique<LoadedCopy>());
  }
  if (geteuid() == 0) {
    EXPECT_EQ(RunAsNobody(CompareWalksOnEveryProcess), 0);  // its own process at least
  }
  // And a process with one image mapped by hand, which asking leaves to the text.
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  const pid_t child = fork();
  if (child == 0) {
    _exit(MapOverTheLastPage(copies[0]->path(), ready[1]));
  }
  close(ready[1]);
  char byte = 0;
  EXPECT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  EXPECT_EQ(CompareWalksOnEveryProcess(), 0);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(ModuleSnapshot, OfAKernelThreadIsEmpty) {
  DWORD kernelThread = 0;
  for (const PROCESSENTRY32& entry : AllProcesses()) {
    std::ifstream file("/proc/" + std::to_string(entry.th32ProcessID) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    procfs::StatFields stat;
    if (procfs::ParseStat(text.data(), text.size(), &stat) &&
        (stat.kernelFlags & procfs::kKernelThreadFlag) != 0) {
      kernelThread = entry.th32ProcessID;
      break;
    }
  }
  if (kernelThread == 0) {
    GTEST_SKIP() << "no kernel thread is visible here";
  }
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, kernelThread);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  MODULEENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  EXPECT_FALSE(Module32First(snapshot, &entry));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(CloseHandle(snapshot));

  EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, kernelThread), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
