/* copyfile SOURCE TARGET: copies a file byte by byte through the stream
   layer and reports how many bytes it moved. */
#include <stdio.h>

static int fail(const char *what, const char *path)
{
    printf("copyfile: cannot %s %s\n", what, path);
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        puts("usage: copyfile SOURCE TARGET");
        return 2;
    }
    FILE *in = fopen(argv[1], "r");
    if (in == NULL)
        return fail("open", argv[1]);
    FILE *out = fopen(argv[2], "w");
    if (out == NULL)
        return fail("create", argv[2]);

    unsigned copied = 0;
    int c;
    while ((c = fgetc(in)) != EOF) {
        if (fputc(c, out) != c)
            return fail("write", argv[2]);
        copied++;
    }
    fclose(in);
    if (fclose(out) != 0)
        return fail("write", argv[2]);
    printf("copied %u bytes from %s to %s\n", copied, argv[1], argv[2]);
    return 0;
}
