#pragma once
#include <sys/types.h>
typedef struct {
  int32_t val[2];
} fsid_t;
#define MFSTYPENAMELEN 16
#define MAXPATHLEN 1024
// The 64-bit-inode layout (_DARWIN_FEATURE_64_BIT_INODE).
struct statfs {
  uint32_t f_bsize;
  int32_t f_iosize;
  uint64_t f_blocks;
  uint64_t f_bfree;
  uint64_t f_bavail;
  uint64_t f_files;
  uint64_t f_ffree;
  fsid_t f_fsid;
  uid_t f_owner;
  uint32_t f_type;
  uint32_t f_flags;
  uint32_t f_fssubtype;
  char f_fstypename[MFSTYPENAMELEN];
  char f_mntonname[MAXPATHLEN];
  char f_mntfromname[MAXPATHLEN];
  uint32_t f_flags_ext;
  uint32_t f_reserved[7];
};
#define MNT_LOCAL 0x00001000
#ifdef __cplusplus
extern "C" {
#endif
int fstatfs(int fd, struct statfs* buf);
#ifdef __cplusplus
}
#endif
