#ifndef ZYLOS_UNISTD_H
#define ZYLOS_UNISTD_H

#include <stddef.h>

#include <zylos/noreturn.h>
#include <zylos/syscalls.h>

#ifdef __cplusplus
extern "C" {
#endif

#define F_OK 0
#define R_OK 4
#define W_OK 2
#define X_OK 1

#ifndef ZYLOS_SSIZE_T
#define ZYLOS_SSIZE_T
typedef int ssize_t;
#endif
typedef int off_t;
typedef int pid_t;

ssize_t write(int fd, const void *buf, size_t len);
ZYLOS_NORETURN void _exit(int status);
ssize_t read(int fd, void *buf, size_t len);
int close(int fd);
int getkey(void);
int writefile(const char *path, const void *data, size_t len);
int usleep(unsigned int usec);
unsigned int sleep(unsigned int sec);
int mkdir(const char *path);
int unlink(const char *path);
int rmdir(const char *path);
int getcwd(char *buf, size_t size);
int zylfs_stream_begin(const char *path);
int zylfs_stream_write(int stream, const void *data, size_t len);
int zylfs_stream_end(int stream);
int chdir(const char *path);
off_t lseek(int fd, off_t offset, int whence);
int pipe(int fds[2]);
int mkfifo(const char *path);
int dup(int fd);
int dup2(int oldfd, int newfd);
int fd_set_inherit(int on);
int fd_set_stdio(int a, int b, int c);
int fd_set_nonblock(int fd, int on);
int spawn(const char *path, const char *const *args, int count);
pid_t waitpid(pid_t pid, int *status, int options);
int access(const char *path, int mode);

#ifdef __cplusplus
}
#endif

#endif
