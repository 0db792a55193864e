/* Loads each named library of a directory, says "ready" on stdout once all
 * are in, then sleeps: a process with hundreds of modules for the benchmark
 * to list. It ends on its own after ten minutes, and with the benchmark if
 * that is killed before it could end it.
 *
 *     moduleloader DIR NAME...
 */
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: moduleloader DIR NAME...\n");
    return 2;
  }
  const pid_t parent = getppid();
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
    return 1;  /* the benchmark is already gone */
  }
  char path[4096];
  for (int i = 2; i < argc; ++i) {
    snprintf(path, sizeof path, "%s/%s", argv[1], argv[i]);
    /* Local, and never closed: each stays mapped as a library of its own. */
    if (dlopen(path, RTLD_NOW | RTLD_LOCAL) == NULL) {
      fprintf(stderr, "moduleloader: %s\n", dlerror());
      return 1;
    }
  }
  if (puts("ready") == EOF || fflush(stdout) != 0) {
    return 1;
  }
  struct timespec left = {600, 0};
  while (nanosleep(&left, &left) != 0) {
  }
  return 0;
}
