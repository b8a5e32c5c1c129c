/* The zylos kernel call numbers: the one place they are written. A call is
   made with int 0x80, its number in EAX and its arguments in EBX, ECX, EDX. */
#ifndef ZYLOS_SYSCALLS_H
#define ZYLOS_SYSCALLS_H

#define SYS_WRITE 1
#define SYS_EXIT 2
#define SYS_READ 3
#define SYS_OPEN 4
#define SYS_CLOSE 5
#define SYS_GETKEY 6
#define SYS_WRITEFILE 21
#define SYS_USLEEP 22
#define SYS_MKDIR 49
#define SYS_UNLINK 50
#define SYS_RMDIR 51
#define SYS_GETCWD 52
#define SYS_ZYLFS_STREAM_BEGIN 53
#define SYS_ZYLFS_STREAM_WRITE 54
#define SYS_ZYLFS_STREAM_END 55
#define SYS_SET_BACKGROUND 92
#define SYS_CHDIR 95
#define SYS_LSEEK 110
#define SYS_PIPE 124
#define SYS_MKFIFO 125
#define SYS_DUP 126
#define SYS_DUP2 127
#define SYS_FD_SET_INHERIT 128
#define SYS_FD_SET_STDIO 129
#define SYS_FD_SET_NONBLOCK 130
#define SYS_SPAWN 131
#define SYS_WAITPID 132

#endif
