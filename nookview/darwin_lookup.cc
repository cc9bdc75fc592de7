#include "darwin_lookup.h"

#include <errno.h>

namespace nookview {

bool darwin_lookups_confined(int parent, int absolute, int not_capable) {
  if (not_capable == kUndefinedErrno) not_capable = kDarwinNotCapable;
  if (parent == kSucceeded) return false;
  if (parent == not_capable) return true;
  return parent == EACCES && absolute == EACCES;
}

BeneathStat darwin_beneath_stat(int probe) {
  return probe == EINVAL ? BeneathStat::component_rule : BeneathStat::kernel_confined;
}

}  // namespace nookview
