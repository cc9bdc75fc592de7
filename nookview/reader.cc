#include "reader.h"

#include <signal.h>

#include "components.h"
#include "confined_read.h"
#include "descriptor.h"
#include "frames.h"
#include "platform.h"

namespace nookview {
namespace {

// The only storage of reader mode, fixed for the life of the process.
PathBuffer root_path;
PathBuffer request_path;
DataBuffer file_data;

constexpr int kExitServed = 0;
constexpr int kExitRefused = 1;

// The root must be absolute and every component after the leading '/' must
// obey the component rule, so "/" itself and a trailing '/' are refused.
bool valid_root_text(const char* text) {
  return text[0] == '/' && valid_components(text + 1);
}

// Steps after the root text was accepted; false means a failure reply.
bool accept_root(const Descriptor& root, FileStatus* identity) {
  return root.is_open() && stat_descriptor(root.get(), identity) &&
         on_local_file_system(root.get()) && lookups_confined_beneath(root.get());
}

// Two signals nookview brings on itself would end it by default: SIGPIPE
// when the host stops reading replies (the write then fails with EPIPE and
// the session ends with status 0), and SIGIO when a writer breaks a read
// lease (the lease is asked about instead). Both are ignored.
bool ignore_own_signals() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  return sigaction(SIGPIPE, &ignore, nullptr) == 0 && sigaction(SIGIO, &ignore, nullptr) == 0;
}

int refuse() {
  reply(kStatusFailure, nullptr, 0);
  return kExitRefused;
}

void serve_requests(const RootContext& context) {
  while (read_path(request_path)) {
    size_t length = 0;
    uint8_t status = read_source(context, request_path, file_data, &length);
    if (!reply(status, file_data, length)) return;
  }
}

}  // namespace

int run_reader() {
  if (!ignore_own_signals()) return kExitRefused;
  if (!read_path(root_path)) return kExitRefused;
  if (!valid_root_text(root_path)) return kExitRefused;

  Descriptor root(open_directory(root_path));
  FileStatus identity;
  if (!accept_root(root, &identity)) return refuse();
  // From here on the kernel itself refuses anything but reading beneath the
  // root, even to a lookup of ours that went wrong.
  if (!restrict_to_root(root.get())) return refuse();
  if (!reply(kStatusSuccess, nullptr, 0)) return kExitRefused;

  serve_requests(RootContext{root.get(), root_path, identity.device, identity.inode});
  return kExitServed;
}

}  // namespace nookview
