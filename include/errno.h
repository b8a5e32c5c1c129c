#ifndef ZYLOS_ERRNO_H
#define ZYLOS_ERRNO_H

#ifdef __cplusplus
extern "C" {
#endif

#define ENOENT 2
#define ENOMEM 12
#define EINVAL 22
#define ENOSYS 38

/* One process-wide error number; only the heap sets it. */
extern int errno;

char *strerror(int number);

#ifdef __cplusplus
}
#endif

#endif
