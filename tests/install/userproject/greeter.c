#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "nobody";
    char line[64];
    snprintf(line, sizeof line, "greetings, %s: %u", name, (unsigned)strlen(name) + 1);
    puts(line);
    return 0;
}
