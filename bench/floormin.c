/* The least that any lister of modules pays: opens, reads to the end and
 * closes every /proc/PID/maps, writing nothing. */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(void) {
  DIR* proc = opendir("/proc");
  if (proc == NULL) {
    return 1;
  }
  static char text[65536];
  char path[64];
  for (struct dirent* entry; (entry = readdir(proc)) != NULL;) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
      continue;
    }
    snprintf(path, sizeof path, "%s/maps", entry->d_name);
    const int maps = openat(dirfd(proc), path, O_RDONLY | O_CLOEXEC);
    if (maps < 0) {
      continue;
    }
    while (read(maps, text, sizeof text) > 0) {
    }
    close(maps);
  }
  closedir(proc);
  return 0;
}
