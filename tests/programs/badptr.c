/* badptr: kernel calls whose buffers the kernel must check, each result on a
   line of its own. A bad buffer is refused with -14 whatever runs the guest;
   nothing of the guest is changed by a refused call. */

#include <zylos/syscalls.h>

static int sys(int nr, int a, int b, int c)
{
    int r;
    __asm__ volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
    return r;
}

static void put_number(int v)
{
    char text[16];
    int n = sizeof text;
    unsigned u = v < 0 ? 0u - (unsigned)v : (unsigned)v;
    text[--n] = '\n';
    do
        text[--n] = (char)('0' + u % 10);
    while ((u /= 10) != 0);
    if (v < 0)
        text[--n] = '-';
    sys(SYS_WRITE, 1, (int)(text + n), (int)sizeof text - n);
}

static char buf[64] = "untouched";

int main(void)
{
    put_number(sys(SYS_WRITE, 1, 0x10, 4));             /* write from unmapped memory */
    put_number(sys(SYS_READ, 0, (int)&main, 4));        /* read into code */
    put_number(sys(SYS_READ, 0, (int)buf, 0x7fffffff)); /* read past the end of the data */
    put_number(sys(SYS_GETCWD, (int)&main, 16, 0));     /* getcwd into code */
    put_number(sys(SYS_OPEN, 0x20, 0, 0));              /* open an unmapped path */
    put_number(sys(SYS_READ, 0, (int)buf, 8));          /* an ordinary read: 3 bytes of input */
    sys(SYS_WRITE, 1, (int)buf, 9);
    put_number(sys(SYS_GETCWD, (int)buf, sizeof buf, 0)); /* getcwd */
    sys(SYS_WRITE, 1, (int)buf, 1);
    return 0;
}
