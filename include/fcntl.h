#ifndef ZYLOS_FCNTL_H
#define ZYLOS_FCNTL_H

#ifdef __cplusplus
extern "C" {
#endif

#define O_RDONLY 0x0
#define O_WRONLY 0x1
#define O_RDWR 0x2
#define O_CREAT 0x40
#define O_TRUNC 0x200

int open(const char *path, int flags);
int creat(const char *path);

#ifdef __cplusplus
}
#endif

#endif
