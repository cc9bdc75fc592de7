// Linux-only parts of the platform layer that tests reach directly.
#pragma once

#include <stdint.h>

namespace nookview {

// True when `magic`, a statfs f_type, names a file system whose data is not
// stored on this machine: network, cluster and FUSE file systems, and the
// shared folders of virtual machines. FUSE is refused as a whole because a
// user-space server may fetch its data from anywhere.
bool is_remote_file_system_type(uint64_t magic);

}  // namespace nookview
