// The same Landlock restriction that nookview's reader mode puts on itself,
// so that the floor's lookups pay the same checks as nookview's.
#pragma once

namespace bench {

// Handles every file-system (and network, and scope) right that the running
// kernel knows and grants back only reading files and directories beneath
// `root`. True also when the kernel has no Landlock (nothing to match then).
bool restrict_like_nookview(int root);

}  // namespace bench
