#pragma once
#include <sys/types.h>
#define O_RDONLY 0x0000
#define O_NONBLOCK 0x0004
#define O_NOFOLLOW 0x0100
#define O_DIRECTORY 0x00100000
#define O_CLOEXEC 0x01000000
#define O_NOFOLLOW_ANY 0x20000000
#define AT_FDCWD -2
#define AT_SYMLINK_NOFOLLOW 0x0020
#define AT_SYMLINK_NOFOLLOW_ANY 0x0800
#ifdef __cplusplus
extern "C" {
#endif
int open(const char* path, int oflag, ...);
int openat(int fd, const char* path, int oflag, ...);
#ifdef __cplusplus
}
#endif
