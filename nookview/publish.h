// Publish mode: moves one reviewed directory from the directory on inherited
// descriptor 3 into the directory on inherited descriptor 4, under the same
// name, after matching both against the numbers on the command line. Nothing
// is ever replaced, and descriptors 3 and 4 are never closed.
#pragma once

#include <stdint.h>

namespace nookview {

inline constexpr int kSourceDirectory = 3;
inline constexpr int kDestinationDirectory = 4;

enum PublishStatus : int {
  kPublishMoved = 0,
  kPublishFailed = 1,
  kPublishCrossDevice = 2,
  kPublishNameTaken = 3,
};

// The five arguments after "--publish-review", in order.
struct PublishRequest {
  const char* name;
  const char* entry_device;
  const char* entry_inode;
  const char* destination_device;
  const char* destination_inode;
};

// One attempt; the result is the process's exit status. kPublishMoved: the
// reviewed entry itself now stands under its name in the destination.
// kPublishNameTaken also when descriptors 3 and 4 are the same directory
// (the entry itself holds the name there); nothing is renamed then. On
// every other status neither directory has changed, with one exception: when
// another process put a different directory under the name in the source
// just before the move, that directory is moved back, and should even that
// fail, the destination keeps it under the name (status 1 all the same).
int publish_review(const PublishRequest& request);

// True when `text` is the decimal form of `value`: digits only, leading zeros
// allowed, no sign or white space, at most 18446744073709551615.
bool matches_number(const char* text, uint64_t value);

}  // namespace nookview
