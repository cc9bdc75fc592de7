// deny_call CALL ERROR COMMAND [ARGUMENT...]
//
// Runs COMMAND with a seccomp filter under which the system call CALL
// (openat2, renameat2, landlock_create_ruleset or landlock_restrict_self)
// fails at once with ERROR (ENOSYS, EPERM or EINVAL) and every other call
// goes through. This is how an old kernel, a container runtime's filter or a
// file system without the needed flag looks to the program: the tests use it
// to see that nookview then refuses instead of falling back to a weaker call. Exits 2 on a bad
// command line, 3 when the filter cannot be installed, 4 when COMMAND cannot be executed.
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define NATIVE_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NATIVE_ARCH AUDIT_ARCH_AARCH64
#else
#error "deny_call knows the audit architecture of x86-64 and AArch64 only"
#endif

struct named {
  const char* name;
  int value;
};

static const struct named calls[] = {
    {"openat2", SYS_openat2},
    {"renameat2", SYS_renameat2},
    {"landlock_create_ruleset", SYS_landlock_create_ruleset},
    {"landlock_restrict_self", SYS_landlock_restrict_self},
};

static const struct named errors[] = {
    {"ENOSYS", ENOSYS},
    {"EPERM", EPERM},
    {"EINVAL", EINVAL},
};

static int look_up(const struct named* table, size_t count, const char* name) {
  for (size_t i = 0; i < count; ++i) {
    if (strcmp(table[i].name, name) == 0) return table[i].value;
  }
  return -1;
}

static int install_filter(int call, int error) {
  // A call made through another architecture's entry (32-bit on a 64-bit
  // kernel) would carry other numbers: it is killed rather than let through.
  struct sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)call, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ((unsigned)error & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog filter = {(unsigned short)(sizeof program / sizeof program[0]), program};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter);
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: deny_call CALL ENOSYS|EPERM|EINVAL COMMAND [ARGUMENT...]\n");
    return 2;
  }
  int call = look_up(calls, sizeof calls / sizeof calls[0], argv[1]);
  int error = look_up(errors, sizeof errors / sizeof errors[0], argv[2]);
  if (call < 0 || error < 0) {
    fprintf(stderr, "deny_call: unknown call or error: %s %s\n", argv[1], argv[2]);
    return 2;
  }
  if (install_filter(call, error) != 0) {
    perror("deny_call: seccomp");
    return 3;
  }
  execv(argv[3], argv + 3);
  perror("deny_call: exec");
  return 4;
}
