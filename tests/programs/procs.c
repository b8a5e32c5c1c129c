/* procs: processes, pipes and named pipes, for the runner's tests. Run as
   /bin/procs in the root; each case prints what it saw on one line, and
   starts /bin/procs again for its children.

   Cases: wait, errors, limit, stdio, inherit, stream, fifo, fault, orphan.
   Children: drain STATUS (reads standard input to its end, exits STATUS),
   exit N, talk, put FD TEXT, produce N (0: for ever), fifo-put, spin, crash. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define SELF "/bin/procs"

static int start(int in, int out, int err, const char *what, const char *arg)
{
    const char *args[] = {"procs", what, arg};
    fd_set_stdio(in, out, err);
    int id = spawn(SELF, args, arg ? 3 : 2);
    fd_set_stdio(0, 1, 2);
    return id;
}

static int wait_for(int id)
{
    int status = -1;
    waitpid(id, &status, 0);
    return status;
}

/* Reads fd to its end; the count, or the failing result. */
static int drain(int fd, char *buf, int cap)
{
    int n = 0, r;
    while ((r = read(fd, buf + n, (size_t)(cap - n))) > 0)
        n += r;
    return r < 0 ? r : n;
}

static char pattern(int i) { return (char)('a' + i % 23); }

static int wait_case(void)
{
    int p[2], status = -1, none = -1;
    pipe(p);
    int id = start(p[0], 1, 2, "drain", "7");
    int running = waitpid(id, &status, 1);
    close(p[1]);
    int first = waitpid(-1, &status, 0);
    int again = waitpid(id, &none, 0);
    int second = start(0, 1, 2, "exit", "300");
    int collected = waitpid(second, NULL, 0);
    printf("%d %d %d:%d %d %d %d %d:%d\n", id, running, first, status, again, waitpid(99, NULL, 1), second, collected,
           none);
    return 0;
}

static char huge[(1 << 20) + 1];

static int errors_case(void)
{
    const char *bad_args = (const char *)0x7000;
    writefile("/notexe", "text", 4);
    memset(huge, 'x', sizeof huge - 1);
    const char *long_args[] = {"procs", huge};
    printf("%d %d %d %d %d", spawn("/bin/none", NULL, 0), spawn("/notexe", NULL, 0), spawn(bad_args, NULL, 0),
           spawn(SELF, (const char *const *)bad_args, 2), spawn(SELF, long_args, 2));
    unlink("/notexe");
    printf(" %d", start(0, 9, 2, "exit", "0"));
    /* A count of 0 gives argv = {path}: procs so started exits 100. */
    printf(" %d %d\n", wait_for(start(0, 1, 2, "exit", "4")), wait_for(spawn(SELF, NULL, 0)));
    return 0;
}

/* Fifteen children and this process are sixteen alive. */
static int limit_case(void)
{
    int p[2], ids[15], started = 0, reaped = 0;
    pipe(p);
    for (int i = 0; i < 15; i++)
        started += (ids[i] = start(p[0], 1, 2, "drain", "0")) > 0;
    int refused = start(p[0], 1, 2, "drain", "0");
    close(p[1]);
    for (int i = 0; i < 15; i++)
        reaped += wait_for(ids[i]) == 0;
    printf("%d %d %d %s\n", started, refused, reaped, wait_for(start(0, 1, 2, "exit", "0")) == 0 ? "ok" : "no");
    return 0;
}

static int stdio_case(void)
{
    int in[2], out[2], err[2];
    char buf[64];
    pipe(in), pipe(out), pipe(err);
    int id = start(in[0], out[1], err[1], "talk", NULL);
    close(in[0]), close(out[1]), close(err[1]);
    write(in[1], "ping", 4);
    close(in[1]);
    int n = drain(out[0], buf, sizeof buf);
    printf("%.*s|", n > 0 ? n : 0, buf);
    n = drain(err[0], buf, sizeof buf);
    printf("%.*s|%d\n", n > 0 ? n : 0, buf, wait_for(id));
    return 0;
}

static int inherit_case(void)
{
    int p[2];
    char buf[8] = "", fd[4];
    pipe(p);
    snprintf(fd, sizeof fd, "%d", p[1]);
    const char *args[] = {"procs", "put", fd, "hi"};
    int off = wait_for(spawn(SELF, args, 4));
    fd_set_inherit(1);
    int on = wait_for(spawn(SELF, args, 4));
    fd_set_inherit(0);
    close(p[1]);
    drain(p[0], buf, sizeof buf - 1);
    printf("%d %d %s\n", off, on, buf);
    return 0;
}

/* A child writes 200000 bytes through a pipe that holds 64 KiB; another
   writes for ever until this process stops reading. */
static int stream_case(void)
{
    static char buf[200001];
    int p[2], q[2];
    pipe(p);
    int id = start(0, p[1], 2, "produce", "200000");
    close(p[1]);
    int n = drain(p[0], buf, sizeof buf), bad = 0;
    for (int i = 0; i < n; i++)
        bad += buf[i] != pattern(i);
    pipe(q);
    int endless = start(0, q[1], 2, "produce", "0");
    close(q[1]);
    int some = read(q[0], buf, 16) > 0;
    close(q[0]);
    printf("%d %d %d %d %d\n", n, bad, wait_for(id), some, wait_for(endless));
    return 0;
}

/* The child opens the write end, this process the read end, whichever comes
   first; then this process opens both ends of another. */
static int fifo_case(void)
{
    char buf[8] = "";
    int made = mkfifo("/f"), again = mkfifo("/f"), file = mkfifo(SELF);
    int id = start(0, 1, 2, "fifo-put", NULL);
    int r = open("/f", O_RDONLY);
    int n = read(r, buf, sizeof buf - 1);
    int end = read(r, buf + n, sizeof buf - 1 - (size_t)n);
    mkfifo("/g");
    int r2 = open("/g", O_RDONLY), w2 = open("/g", O_WRONLY);
    int both = write(w2, "ab", 2) + read(r2, buf, sizeof buf);
    printf("%d %d %d %s %d %d %d %d\n", made, again, file, buf, n, end, wait_for(id), both);
    return 0;
}

static int fault_case(void)
{
    int status = wait_for(start(0, 1, 2, "crash", NULL));
    printf("%d %d\n", status, wait_for(start(0, 1, 2, "exit", "6")));
    return 0;
}

static int orphan_case(void)
{
    int p[2];
    pipe(p);
    start(0, 1, 2, "spin", NULL);
    start(p[0], 1, 2, "drain", "0");
    return 5;
}

/* The children. */
static int child(int argc, char **argv)
{
    static char buf[4096];
    const char *what = argv[1];
    if (strcmp(what, "drain") == 0 && argc > 2) {
        while (read(0, buf, sizeof buf) > 0) {
        }
        return atoi(argv[2]);
    }
    if (strcmp(what, "exit") == 0 && argc > 2)
        return atoi(argv[2]);
    if (strcmp(what, "talk") == 0) {
        int n = drain(0, buf, sizeof buf);
        write(1, "out:", 4);
        write(1, buf, (size_t)n);
        write(2, "err", 3);
        return 0;
    }
    if (strcmp(what, "put") == 0 && argc > 3) {
        int r = write(atoi(argv[2]), argv[3], strlen(argv[3]));
        return r < 0 ? -r : 0;
    }
    if (strcmp(what, "produce") == 0 && argc > 2) {
        int left = atoi(argv[2]), forever = left == 0, at = 0;
        while (forever || left > 0) {
            int n = forever || left > 1000 ? 1000 : left;
            for (int i = 0; i < n; i++)
                buf[i] = pattern(at + i);
            int r = write(1, buf, (size_t)n);
            if (r < 0)
                return -r;
            at += r, left -= r;
        }
        return 0;
    }
    if (strcmp(what, "fifo-put") == 0)
        return write(open("/f", O_WRONLY), "fifo", 4) == 4 ? 0 : 1;
    if (strcmp(what, "spin") == 0)
        for (;;) {
        }
    if (strcmp(what, "crash") == 0)
        return *(volatile int *)0x10;
    return 100;
}

int main(int argc, char **argv)
{
    static const struct {
        const char *name;
        int (*run)(void);
    } cases[] = {
        {"wait", wait_case},   {"errors", errors_case},   {"limit", limit_case},
        {"stdio", stdio_case}, {"inherit", inherit_case}, {"stream", stream_case},
        {"fifo", fifo_case},   {"fault", fault_case},     {"orphan", orphan_case},
    };
    if (argc < 2)
        return argc == 1 && strcmp(argv[0], SELF) == 0 ? 100 : 101;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++)
        if (strcmp(argv[1], cases[i].name) == 0)
            return cases[i].run();
    return child(argc, argv);
}
