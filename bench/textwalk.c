/* Runs a program in which PROCMAP_QUERY on a maps file fails with ENOTTY, as
 * on kernels before Linux 6.11: procreport then reads every maps text, so
 * that the benchmark can time its two module walks side by side.
 *
 *     textwalk PROGRAM [ARG...]
 */
#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

/* _IOWR('f', 17, struct procmap_query), the request's low half on little-endian machines. */
#define PROCMAP_QUERY 0xC0686611u

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: textwalk PROGRAM [ARG...]\n");
    return 2;
  }
  struct sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PROCMAP_QUERY, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOTTY),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog filter = {sizeof program / sizeof program[0], program};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    perror("textwalk: seccomp");
    return 1;
  }
  execv(argv[1], argv + 1);
  perror("textwalk: execv");
  return 1;
}
