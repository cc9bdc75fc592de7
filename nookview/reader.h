// Reader mode: accepts a root directory from the first frame, proves that it
// is local and that the kernel confines resolution beneath it, sends the
// handshake and then answers file requests until the input ends.
#pragma once

namespace nookview {

// Runs the whole conversation on descriptors 0 and 1 and returns the exit
// status: 1 when start-up fails (with a failure reply once the root text was
// accepted), 0 once the handshake was sent, however the request loop ends.
int run_reader();

}  // namespace nookview
