/* A 32-bit program of the Linux suite, with a large .bss: it writes its own
   image's span as its loader sees it, the page-rounded span of its loadable
   segments, then "!", and sleeps until killed (or its parent dies). */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <link.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <unistd.h>

char buffer[6 << 20]; /* kept: another file could use it */

static int WriteSpan(struct dl_phdr_info* info, size_t size, void* data) {
  const unsigned long page = (unsigned long)sysconf(_SC_PAGESIZE);
  unsigned long low = ~0ul, high = 0;
  (void)size;
  (void)data;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* segment = &info->dlpi_phdr[i];
    if (segment->p_type == PT_LOAD && segment->p_memsz != 0) {
      low = segment->p_vaddr < low ? segment->p_vaddr : low;
      high =
          segment->p_vaddr + segment->p_memsz > high ? segment->p_vaddr + segment->p_memsz : high;
    }
  }
  printf("%lu!", ((high + page - 1) & ~(page - 1)) - (low & ~(page - 1)));
  return 1; /* the program itself comes first */
}

int main(void) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  buffer[0] = 1;
  dl_iterate_phdr(WriteSpan, NULL);
  fflush(stdout);
  for (;;) {
    pause();
  }
}
