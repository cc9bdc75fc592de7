#pragma once
#include <sys/types.h>
#ifdef __cplusplus
extern "C" {
#endif
int close(int fd);
ssize_t read(int fd, void* buffer, size_t count);
ssize_t write(int fd, const void* buffer, size_t count);
#ifdef __cplusplus
}
#endif
