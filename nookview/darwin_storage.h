// What nookview takes from Darwin's file and volume records: whether a
// file's contents are on this Mac, and whether a volume is stored locally by
// the kernel itself. Plain functions of the records' fields, so that every
// build compiles them and the Linux build tests them; platform-macos.cc asks
// exactly these.
#pragma once

#include <stdint.h>

namespace nookview {

// SF_DATALESS (bsd/sys/stat.h): a synthetic flag in st_flags, set on a file
// whose contents are not on this Mac (iCloud Drive with "Optimize Mac
// Storage", File Provider folders under ~/Library/CloudStorage). Its st_size
// is the full size; reading it either fails (EDEADLK) or waits, with no
// deadline, while the system downloads it (bsd/vfs/vfs_syscalls.c,
// bsd/kern/kern_resource.c, xnu-11417).
inline constexpr uint32_t kDarwinDataless = 0x40000000;

// True when `st_flags` marks the file as dataless.
bool darwin_dataless(uint32_t st_flags);

// MNT_LOCAL (f_flags) and MNT_EXT_FSKIT (f_flags_ext) as bsd/sys/mount.h
// defines them; f_flags_ext is filled by every kernel from xnu-10002
// (macOS 14) on (bsd/vfs/vfs_syscalls.c, vfs_subr.c vfs_getextflags).
inline constexpr uint32_t kDarwinMountLocal = 0x00001000;
inline constexpr uint32_t kDarwinMountFskit = 0x00000002;

// True when a volume, as fstatfs describes it, is stored locally by a file
// system in the kernel. MNT_LOCAL is whatever a file system registers
// (macFUSE offers a "local" mount option), so it is not enough: a volume
// served by a user-space process (an FSKit module, macFUSE, Apple's LiveFS
// user-space FAT, exFAT and NTFS), a network file system and a virtual
// machine's shared folder are refused whatever their flags say, as the
// Linux layer refuses FUSE and network types. `type_name` is f_fstypename,
// at most 16 bytes with its terminating 0.
bool darwin_local_volume(uint32_t flags, uint32_t flags_ext, const char* type_name);

}  // namespace nookview
