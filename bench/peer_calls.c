/* The image in which a peer C library's routines are called by symbol: our
   start-up stub and link script, the peer's libc.a, and the routines to be
   measured pulled in with -u at link time. No start-up code of the peer's
   runs, so the image carries the thread block its %gs must point to: the
   thread pointer's word points to itself, with room below it for the
   library's thread-local data. */
void *bench_thread[256] __attribute__((aligned(64))) = {[128] = &bench_thread[128]};

int main(void)
{
    return 0;
}
