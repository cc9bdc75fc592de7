// Self-restriction on Linux with Landlock. The process builds a ruleset that
// handles every access right the running kernel knows, grants back only what
// the mode needs beneath the descriptors it already holds, and enforces it on
// itself; the restriction cannot be lifted and is inherited by any child.
//
// Rights are chosen from the ABI version that the kernel reports, because a
// ruleset naming a right the kernel does not know is rejected. A kernel
// without Landlock (ENOSYS, or EOPNOTSUPP when it is disabled at boot) leaves
// the process unrestricted; any other failure is reported to the caller.
#include <errno.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "descriptor.h"
#include "platform.h"

namespace nookview {
namespace {

// Values of the kernel ABI; the build machine's headers may predate them.
constexpr uint64_t kFsAbi1 = (1ULL << 13) - 1;           // execute to make-symlink
constexpr uint64_t kFsRefer = 1ULL << 13;                // ABI 2
constexpr uint64_t kFsTruncate = 1ULL << 14;             // ABI 3
constexpr uint64_t kFsIoctlDev = 1ULL << 15;             // ABI 5
constexpr uint64_t kNetTcp = (1ULL << 0) | (1ULL << 1);  // ABI 4: bind, connect
// ABI 6: no abstract UNIX socket outside the domain, no signal to a process
// outside it.
constexpr uint64_t kScopes = (1ULL << 0) | (1ULL << 1);

constexpr uint64_t kReadFile = 1ULL << 2;
constexpr uint64_t kReadDir = 1ULL << 3;
constexpr uint64_t kRemoveDir = 1ULL << 4;
constexpr uint64_t kMakeDir = 1ULL << 7;

// The ruleset attribute as ABI 6 lays it out. Older kernels accept the larger
// record as long as the fields they do not know are zero.
struct RulesetAttributes {
  uint64_t handled_access_fs;
  uint64_t handled_access_net;
  uint64_t scoped;
};

struct Grant {
  int directory;
  uint64_t access;
};

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NOOKVIEW_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define NOOKVIEW_SANITIZED 1
#endif

#ifdef NOOKVIEW_SANITIZED
// The leak checker of the sanitizer build lists the process's own threads in
// /proc/PID/task when the process exits; without this it reports a fatal
// error instead of the exit status. Release builds grant nothing of the kind.
constexpr bool kSanitizerReadsProc = true;
#else
constexpr bool kSanitizerReadsProc = false;
#endif

// The ABI version, 0 when the kernel has no Landlock, -1 on any other error.
int landlock_abi() {
  long version = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (version >= 1) return static_cast<int>(version);
  if (version < 0 && (errno == ENOSYS || errno == EOPNOTSUPP)) return 0;
  return -1;
}

RulesetAttributes everything_known_to(int abi) {
  RulesetAttributes attributes = {};
  attributes.handled_access_fs = kFsAbi1;
  if (abi >= 2) attributes.handled_access_fs |= kFsRefer;
  if (abi >= 3) attributes.handled_access_fs |= kFsTruncate;
  if (abi >= 5) attributes.handled_access_fs |= kFsIoctlDev;
  if (abi >= 4) attributes.handled_access_net = kNetTcp;
  if (abi >= 6) attributes.scoped = kScopes;
  return attributes;
}

bool enforce(int abi, const Grant* grants, size_t count) {
  RulesetAttributes attributes = everything_known_to(abi);
  Descriptor ruleset(
      static_cast<int>(syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0)));
  if (!ruleset.is_open()) return false;
  for (size_t i = 0; i < count; ++i) {
    landlock_path_beneath_attr rule = {};
    rule.allowed_access = grants[i].access;
    rule.parent_fd = grants[i].directory;
    if (syscall(SYS_landlock_add_rule, ruleset.get(), LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
      return false;
    }
  }
  // Required to restrict oneself without privileges; nookview never executes
  // anything, so forbidding privilege gains across exec costs nothing.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

}  // namespace

bool restrict_to_root(int root) {
  int abi = landlock_abi();
  if (abi <= 0) return abi == 0;
  Descriptor own_process(kSanitizerReadsProc ? open("/proc/self", O_PATH | O_DIRECTORY | O_CLOEXEC)
                                             : -1);
  const Grant grants[] = {{root, kReadFile | kReadDir}, {own_process.get(), kReadFile | kReadDir}};
  return enforce(abi, grants, own_process.is_open() ? 2 : 1);
}

bool restrict_to_publish(int source_dir, int destination_dir) {
  int abi = landlock_abi();
  if (abi < 0) return false;
  // Under ABI 1 a restricted process can never move an entry to another
  // directory (the kernel answers EXDEV, which would read as "different file
  // systems"), so publishing goes on without the second wall there.
  if (abi < 2) return true;
  // A cross-directory rename needs the reparenting right on both sides, and
  // the kernel refuses it (again with EXDEV) when the moved directory would
  // gain a right at its destination that it lacked at its source. The move
  // may have to be undone, so both sides grant the same: removing and making
  // a directory entry, and reparenting.
  constexpr uint64_t kMoveDirectory = kRemoveDir | kMakeDir | kFsRefer;
  Descriptor own_process(kSanitizerReadsProc ? open("/proc/self", O_PATH | O_DIRECTORY | O_CLOEXEC)
                                             : -1);
  const Grant grants[] = {
      {source_dir, kMoveDirectory},
      {destination_dir, kMoveDirectory},
      {own_process.get(), kReadFile | kReadDir},
  };
  return enforce(abi, grants, own_process.is_open() ? 3 : 2);
}

}  // namespace nookview
