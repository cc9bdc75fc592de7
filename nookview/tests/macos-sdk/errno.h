#pragma once
#ifdef __cplusplus
extern "C" {
#endif
extern int* __error(void);
#ifdef __cplusplus
}
#endif
#define errno (*__error())
#define EINTR 4
#define EEXIST 17
#define EXDEV 18
#define ENOTCAPABLE 107
