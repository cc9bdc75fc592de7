/* deny_call CALL ERRNO COMMAND [ARGUMENT...]
 *
 * Runs COMMAND under a seccomp filter that makes one system call (openat2,
 * renameat2, landlock_create_ruleset or landlock_restrict_self) fail at once
 * with ERRNO (a number) and lets every other call through: how an old
 * kernel, a container's filter or a file system without a flag looks to the
 * program. Exit 2 on a bad command line, 3 when the filter cannot be
 * installed, 4 when COMMAND cannot be executed. */
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define NATIVE_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NATIVE_ARCH AUDIT_ARCH_AARCH64
#endif

int main(int argc, char** argv) {
  static const struct {
    const char* name;
    unsigned number;
  } calls[] = {{"openat2", SYS_openat2},
               {"renameat2", SYS_renameat2},
               {"landlock_create_ruleset", SYS_landlock_create_ruleset},
               {"landlock_restrict_self", SYS_landlock_restrict_self}};
  size_t k = 0;
  while (argc >= 4 && k < 4 && strcmp(calls[k].name, argv[1]) != 0) ++k;
  if (argc < 4 || k == 4) return fprintf(stderr, "usage: deny_call CALL ERRNO COMMAND...\n"), 2;
  unsigned error = (unsigned)atoi(argv[2]) & SECCOMP_RET_DATA;
  /* A call through another architecture's entry carries other numbers: it
   * is killed rather than let through. */
  struct sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, calls[k].number, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog filter = {sizeof program / sizeof program[0], program};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    return perror("deny_call"), 3;
  }
  execv(argv[3], argv + 3);
  return perror("deny_call"), 4;
}
