#include "floor_landlock.h"

#include <errno.h>
#include <linux/landlock.h>
#include <stdint.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bench {
namespace {

// Kernel ABI values, as nookview chooses them by the reported ABI version.
constexpr uint64_t kFsAbi1 = (1ULL << 13) - 1;
constexpr uint64_t kFsRefer = 1ULL << 13;
constexpr uint64_t kFsTruncate = 1ULL << 14;
constexpr uint64_t kFsIoctlDev = 1ULL << 15;
constexpr uint64_t kNetTcp = (1ULL << 0) | (1ULL << 1);
constexpr uint64_t kScopes = (1ULL << 0) | (1ULL << 1);
constexpr uint64_t kReadFileAndDir = (1ULL << 2) | (1ULL << 3);

struct RulesetAttributes {
  uint64_t handled_access_fs;
  uint64_t handled_access_net;
  uint64_t scoped;
};

}  // namespace

bool restrict_like_nookview(int root) {
  long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 0) return errno == ENOSYS || errno == EOPNOTSUPP;
  RulesetAttributes attributes = {kFsAbi1, 0, 0};
  if (abi >= 2) attributes.handled_access_fs |= kFsRefer;
  if (abi >= 3) attributes.handled_access_fs |= kFsTruncate;
  if (abi >= 5) attributes.handled_access_fs |= kFsIoctlDev;
  if (abi >= 4) attributes.handled_access_net = kNetTcp;
  if (abi >= 6) attributes.scoped = kScopes;
  int ruleset =
      static_cast<int>(syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0));
  if (ruleset < 0) return false;
  landlock_path_beneath_attr rule = {};
  rule.allowed_access = kReadFileAndDir;
  rule.parent_fd = root;
  bool ok = syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0 &&
            prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
            syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  close(ruleset);
  return ok;
}

}  // namespace bench
