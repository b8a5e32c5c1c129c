/* Process costs, run as /bin/procs in a root of its own:

     procs spawn N   starts "procs" (which exits at once) N times, waiting
                     for each before the next
     procs pipe MIB  a child writes MIB MiB to a pipe in 64 KiB writes, this
                     process reads them to the end

   Status 0 only when every child ran and every byte arrived. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define SELF "/bin/procs"

static char chunk[65536];

static int spawn_and_wait(unsigned long n)
{
    const char *args[] = {"procs"};
    for (unsigned long i = 0; i < n; i++) {
        int status = -1, id = spawn(SELF, args, 1);
        if (id < 0 || waitpid(id, &status, 0) != id || status != 0)
            return 1;
    }
    return 0;
}

static int read_from_child(const char *mib)
{
    int p[2], status = -1, r;
    const char *args[] = {"procs", "write", mib};
    if (pipe(p) < 0)
        return 1;
    fd_set_stdio(0, p[1], 2);
    int id = spawn(SELF, args, 3);
    close(p[1]);
    unsigned long long total = 0;
    while ((r = read(p[0], chunk, sizeof chunk)) > 0)
        total += (unsigned)r;
    waitpid(id, &status, 0);
    return id > 0 && status == 0 && total == (unsigned long long)strtoul(mib, 0, 10) << 20 ? 0 : 1;
}

static int write_chunks(unsigned long count)
{
    for (unsigned long i = 0; i < count; i++)
        for (size_t done = 0; done < sizeof chunk;) {
            int r = write(1, chunk + done, sizeof chunk - done);
            if (r <= 0)
                return 1;
            done += (size_t)r;
        }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 0;
    unsigned long n = strtoul(argv[2], 0, 10);
    if (strcmp(argv[1], "spawn") == 0)
        return spawn_and_wait(n);
    if (strcmp(argv[1], "pipe") == 0)
        return read_from_child(argv[2]);
    if (strcmp(argv[1], "write") == 0)
        return write_chunks(n * (1 << 20) / sizeof chunk);
    return 2;
}
