/* drape's messages through printf, as a plain static Linux program of a peer
   C library: the size rows set drape beside it, and its start with -h is the
   plain process start that zylos-run --native is measured against. */
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc < 2 || !argv[1][0]) {
        printf("drape: missing image path\nUsage: drape <rei_file>\n");
        return 1;
    }
    if (strcmp(argv[1], "-h") == 0) {
        printf("Usage: drape <rei_file>\n");
        return 0;
    }
    printf("drape: failed to set background from: %s\n", argv[1]);
    return 1;
}
