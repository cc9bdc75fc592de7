// The entry is identified through its open descriptor but moved by name, and
// Linux has no rename by descriptor: another process that can write the
// source directory may put a different directory under the name between the
// identity test and the rename. So what arrived is identified again in the
// destination, and moved back when it is not the reviewed entry. The
// exclusive rename keeps a concurrent entry at either end from being
// overwritten.
#include "publish.h"

#include <errno.h>
#include <inttypes.h>
#include <string.h>

#include "components.h"
#include "descriptor.h"
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

// Both descriptors on one directory: the entry already stands under its name
// in the destination, so the name is taken, by the entry itself. Linux's
// exclusive rename answers that (EEXIST); Darwin's renames an entry onto
// itself successfully without doing anything (bsd/vfs/vfs_syscalls.c,
// renameat_internal, on a case-insensitive volume), which would read as
// published. So it is answered here, on both, without a rename.
bool source_is_destination() {
  FileStatus source, destination;
  return stat_descriptor(kSourceDirectory, &source) &&
         stat_descriptor(kDestinationDirectory, &destination) &&
         source.device == destination.device && source.inode == destination.inode;
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

// What now stands under `name` in the destination must be the directory that
// passed the tests; a symbolic link there is reported, never followed.
bool published_is_reviewed(const char* name, const FileStatus& reviewed) {
  FileStatus arrived;
  return stat_beneath(kDestinationDirectory, name, &arrived) &&
         arrived.type == FileType::directory && arrived.device == reviewed.device &&
         arrived.inode == reviewed.inode;
}

int move_reviewed(const char* name, const FileStatus& reviewed) {
  int status = status_of(rename_exclusive(kSourceDirectory, name, kDestinationDirectory, name));
  if (status != kPublishMoved || published_is_reviewed(name, reviewed)) return status;
  // Failed or not, the move back leaves status 1: the reviewed entry was not
  // published.
  rename_exclusive(kDestinationDirectory, name, kSourceDirectory, name);
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
  if (source_is_destination()) return kPublishNameTaken;

  // Whatever the renames do, they can only move a directory between the two.
  if (!restrict_to_publish(kSourceDirectory, kDestinationDirectory)) return kPublishFailed;
  return move_reviewed(request.name, status);
}

}  // namespace nookview
