#include "darwin_storage.h"

#include <string.h>

namespace nookview {
namespace {

// The beginnings of f_fstypename values of volumes served by a process, over
// a network or from a virtual machine's host: macFUSE ("macfuse" from version
// 4, with FSKit modules such as "macfuse-local" from version 5; "osxfuse",
// "osxfusefs" before; "fusefs" for the original MacFUSE; FUSE-T mounts as
// nfs or smbfs), Apple's user-space LiveFS for FAT, exFAT and NTFS ("lifs",
// macOS 13 on), Apple's network file systems (mount_nfs, mount_smbfs,
// mount_afp, mount_webdav, mount_ftp) and the shared directories of Apple's
// Virtualization framework in a macOS guest ("virtiofs").
constexpr const char* kServedTypes[] = {"macfuse", "osxfuse", "fuse",   "lifs", "nfs",
                                        "smbfs",   "afpfs",   "webdav", "ftp",  "virtiofs"};

bool served_type(const char* type_name) {
  for (const char* served : kServedTypes) {
    if (strncmp(type_name, served, strlen(served)) == 0) return true;
  }
  return false;
}

}  // namespace

bool darwin_dataless(uint32_t st_flags) {
  return (st_flags & kDarwinDataless) != 0;
}

bool darwin_local_volume(uint32_t flags, uint32_t flags_ext, const char* type_name) {
  return (flags & kDarwinMountLocal) != 0 && (flags_ext & kDarwinMountFskit) == 0 &&
         !served_type(type_name);
}

}  // namespace nookview
