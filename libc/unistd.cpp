// Thin kernel-call wrappers: no buffering, no state, no errno. Obviously bad
// pointers are refused here with -1 so the kernel never sees them; everything
// else is the kernel's answer, unchanged.
#include <fcntl.h>
#include <unistd.h>

#include "syscall.h"

namespace {

// A "negative" length seen as unsigned is passed as the largest one the
// kernel accepts.
constexpr unsigned kMicrosecondsPerSecond = 1000000;

unsigned clamp_length(size_t len)
{
    return len > kKernelLengthMax ? kKernelLengthMax : len;
}

unsigned word(int value)
{
    return static_cast<unsigned>(value);
}

unsigned flag(int on)
{
    return on != 0 ? 1 : 0;
}

int path_call(unsigned nr, const char *path)
{
    if (!path)
        return -1;
    return zylos_syscall(nr, syscall_word(path));
}

} // namespace

extern "C" {

ssize_t write(int fd, const void *buf, size_t len)
{
    if (!buf)
        return -1;
    return zylos_syscall(SYS_WRITE, word(fd), syscall_word(buf), clamp_length(len));
}

[[noreturn]] void _exit(int status)
{
    zylos_syscall(SYS_EXIT, word(status));
    for (;;)
        asm volatile("hlt");
}

ssize_t read(int fd, void *buf, size_t len)
{
    if (!buf)
        return -1;
    return zylos_syscall(SYS_READ, word(fd), syscall_word(buf), clamp_length(len));
}

int close(int fd)
{
    return zylos_syscall(SYS_CLOSE, word(fd));
}

int getkey(void)
{
    return zylos_syscall(SYS_GETKEY);
}

int writefile(const char *path, const void *data, size_t len)
{
    if (!path || !data)
        return -1;
    return zylos_syscall(SYS_WRITEFILE, syscall_word(path), syscall_word(data), clamp_length(len));
}

int usleep(unsigned int usec)
{
    zylos_syscall(SYS_USLEEP, usec);
    return 0;
}

unsigned int sleep(unsigned int sec)
{
    zylos_syscall(SYS_USLEEP, sec * kMicrosecondsPerSecond);
    return 0;
}

int mkdir(const char *path)
{
    return path_call(SYS_MKDIR, path);
}

int unlink(const char *path)
{
    return path_call(SYS_UNLINK, path);
}

int rmdir(const char *path)
{
    return path_call(SYS_RMDIR, path);
}

int getcwd(char *buf, size_t size)
{
    if (!buf || size == 0)
        return -1;
    return zylos_syscall(SYS_GETCWD, syscall_word(buf), clamp_length(size), 0);
}

int zylfs_stream_begin(const char *path)
{
    return path_call(SYS_ZYLFS_STREAM_BEGIN, path);
}

int zylfs_stream_write(int stream, const void *data, size_t len)
{
    if (!data)
        return -1;
    return zylos_syscall(SYS_ZYLFS_STREAM_WRITE, word(stream), syscall_word(data), clamp_length(len));
}

int zylfs_stream_end(int stream)
{
    return zylos_syscall(SYS_ZYLFS_STREAM_END, word(stream));
}

int chdir(const char *path)
{
    return path_call(SYS_CHDIR, path);
}

off_t lseek(int fd, off_t offset, int whence)
{
    return zylos_syscall(SYS_LSEEK, word(fd), word(offset), word(whence));
}

int pipe(int fds[2])
{
    if (!fds)
        return -1;
    return zylos_syscall(SYS_PIPE, syscall_word(fds));
}

int mkfifo(const char *path)
{
    return path_call(SYS_MKFIFO, path);
}

int dup(int fd)
{
    return zylos_syscall(SYS_DUP, word(fd));
}

int dup2(int oldfd, int newfd)
{
    return zylos_syscall(SYS_DUP2, word(oldfd), word(newfd), 0);
}

int fd_set_inherit(int on)
{
    return zylos_syscall(SYS_FD_SET_INHERIT, flag(on));
}

int fd_set_stdio(int a, int b, int c)
{
    return zylos_syscall(SYS_FD_SET_STDIO, word(a), word(b), word(c));
}

int fd_set_nonblock(int fd, int on)
{
    return zylos_syscall(SYS_FD_SET_NONBLOCK, word(fd), flag(on), 0);
}

int spawn(const char *path, const char *const *args, int count)
{
    if (!path || count < 0)
        return -1;
    return zylos_syscall(SYS_SPAWN, syscall_word(path), syscall_word(args), word(count));
}

pid_t waitpid(pid_t pid, int *status, int options)
{
    return zylos_syscall(SYS_WAITPID, word(pid), syscall_word(status), word(options));
}

// Only whether the path can be opened: the mode is not looked at, and the
// probe descriptor is closed again at once.
int access(const char *path, int mode)
{
    (void)mode;
    if (!path)
        return -1;
    int fd = zylos_syscall(SYS_OPEN, syscall_word(path), O_RDONLY, 0);
    if (fd < 0)
        return -1;
    zylos_syscall(SYS_CLOSE, word(fd));
    return 0;
}

} // extern "C"
