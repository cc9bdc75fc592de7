// The entry is identified through its open descriptor but moved by name; the
// exclusive rename is what keeps a concurrent replacement at the destination
// from being overwritten.
#include "publish.h"

#include <errno.h>
#include <inttypes.h>
#include <string.h>

#include "descriptor.h"
#include "frames.h"
#include "platform.h"

namespace nookview {
namespace {

bool valid_entry_name(const char* name) {
  return strchr(name, '/') == nullptr && valid_components(name);
}

bool is_identified_destination(const PublishRequest& request) {
  FileStatus destination;
  return stat_descriptor(kDestinationDirectory, &destination) &&
         destination.type == FileType::directory &&
         matches_number(request.destination_device, destination.device) &&
         matches_number(request.destination_inode, destination.inode);
}

int status_of(RenameOutcome outcome) {
  switch (outcome) {
    case RenameOutcome::moved:
      return kPublishMoved;
    case RenameOutcome::cross_device:
      return kPublishCrossDevice;
    case RenameOutcome::name_taken:
      return kPublishNameTaken;
    case RenameOutcome::failed:
      break;
  }
  return kPublishFailed;
}

}  // namespace

bool matches_number(const char* text, uint64_t value) {
  if (text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  uintmax_t parsed = strtoumax(text, &end, 10);
  if (errno != 0) return false;
  return *end == '\0' && parsed == value;
}

int publish_review(const PublishRequest& request) {
  if (!valid_entry_name(request.name)) return kPublishFailed;
  if (!is_identified_destination(request)) return kPublishFailed;

  // Kept open through the rename so that the identified directory cannot be
  // freed and its inode number reused while it is being moved.
  Descriptor entry(open_directory_beneath(kSourceDirectory, request.name));
  if (!entry.is_open()) return kPublishFailed;
  FileStatus status;
  if (!stat_descriptor(entry.get(), &status)) return kPublishFailed;
  if (!matches_number(request.entry_device, status.device)) return kPublishFailed;
  if (!matches_number(request.entry_inode, status.inode)) return kPublishFailed;

  // Whatever the rename does, it can only move a directory between the two.
  if (!restrict_to_publish(kSourceDirectory, kDestinationDirectory)) return kPublishFailed;
  return status_of(
      rename_exclusive(kSourceDirectory, request.name, kDestinationDirectory, request.name));
}

}  // namespace nookview
