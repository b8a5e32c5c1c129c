/* exit_unclosed: prints a line, leaves a file stream open with content in
   it, registers an exit handler and exits with 3. The line reaches the
   console; the file and the handler's text must not appear. */
#include <stdio.h>
#include <stdlib.h>

static void handler(void) { puts("handler ran"); }

int main(void)
{
    printf("before exit\n");
    FILE *f = fopen("/unclosed.txt", "w");
    if (f == NULL) {
        puts("fopen failed");
        return 1;
    }
    fputs("never written", f);
    if (atexit(handler) != 0)
        puts("atexit failed");
    exit(3);
}
