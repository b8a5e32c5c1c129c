/* wc: counts the lines, words and bytes of a file, or of standard input
   for "-". */
#include <stdio.h>
#include <string.h>
#include <zylos/records.h>

ZYLOS_COMMAND_RECORD(wc_command, "Counts lines, words and bytes of a file (- for standard input).",
                     "wc /images/zylos.rei");
ZYLOS_PACKAGE_RECORD(wc_package, "wc", "1");

static int is_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        puts("Usage: wc <file|->");
        return 1;
    }
    FILE *in = strcmp(argv[1], "-") == 0 ? stdin : fopen(argv[1], "r");
    if (in == NULL) {
        printf("wc: cannot open %s\n", argv[1]);
        return 1;
    }
    /* The library reads one kernel call per fgetc, so read in blocks; a
       short block ends nothing, as a pipe gives what it holds. */
    char block[512];
    unsigned lines = 0, words = 0, bytes = 0;
    int in_word = 0;
    size_t n;
    while ((n = fread(block, 1, sizeof block, in)) > 0) {
        for (size_t i = 0; i < n; i++) {
            int c = (unsigned char)block[i];
            if (c == '\n')
                lines++;
            if (is_space(c))
                in_word = 0;
            else if (!in_word) {
                in_word = 1;
                words++;
            }
        }
        bytes += n;
    }
    if (in != stdin)
        fclose(in);
    printf("%u %u %u %s\n", lines, words, bytes, argv[1]);
    return 0;
}
