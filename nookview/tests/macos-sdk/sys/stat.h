#pragma once
#include <sys/types.h>
struct timespec {
  time_t tv_sec;
  long tv_nsec;
};
// The 64-bit-inode layout (_DARWIN_FEATURE_64_BIT_INODE).
struct stat {
  dev_t st_dev;
  mode_t st_mode;
  nlink_t st_nlink;
  ino_t st_ino;
  uid_t st_uid;
  gid_t st_gid;
  dev_t st_rdev;
  struct timespec st_atimespec;
  struct timespec st_mtimespec;
  struct timespec st_ctimespec;
  struct timespec st_birthtimespec;
  off_t st_size;
  blkcnt_t st_blocks;
  blksize_t st_blksize;
  uint32_t st_flags;
  uint32_t st_gen;
  int32_t st_lspare;
  int64_t st_qspare[2];
};
#define S_IFMT 0170000
#define S_IFIFO 0010000
#define S_IFCHR 0020000
#define S_IFDIR 0040000
#define S_IFBLK 0060000
#define S_IFREG 0100000
#define S_IFLNK 0120000
#define S_IFSOCK 0140000
#ifdef __cplusplus
extern "C" {
#endif
int fstat(int fd, struct stat* buf);
int fstatat(int fd, const char* path, struct stat* buf, int flag);
#ifdef __cplusplus
}
#endif
