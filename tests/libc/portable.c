/* The routines beyond the base library as ported C uses them. Built with
   zylos-cc for zylos and with the host's C library for Linux, both from this
   one source: the two must print the same. */
#define _POSIX_C_SOURCE 200809L
#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <inttypes.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

static void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

static void classes(void)
{
    int (*const tests[])(int) = {isalnum, isalpha, isblank, iscntrl, isdigit, isgraph,
                                 islower, isprint, ispunct, isspace, isupper, isxdigit};
    unsigned sums[12] = {0};
    for (int c = EOF; c < 256; ++c)
        for (int i = 0; i < 12; ++i)
            sums[i] += tests[i](c) ? (unsigned)(c + 2) : 0u;
    say("classes");
    for (int i = 0; i < 12; ++i)
        say(" %u", sums[i]);
    char word[] = "MiXed 42!";
    for (char *p = word; *p; ++p)
        *p = (char)(isupper((unsigned char)*p) ? tolower((unsigned char)*p) : toupper((unsigned char)*p));
    say("\nswapped case: %s, EOF kept: %d %d\n", word, tolower(EOF), toupper(EOF));
}

static void strings(void)
{
    char text[] = "key = value; other=2;;last";
    const char *eq = memchr(text, '=', sizeof text);
    say("memchr at %d, strspn %u, strcspn %u, strpbrk %s\n", (int)(eq - text), (unsigned)strspn(text, "eky"),
        (unsigned)strcspn(text, ";="), strpbrk(text, ";"));
    char *next = NULL;
    for (char *field = strtok_r(text, ";", &next); field; field = strtok_r(NULL, ";", &next)) {
        char *inner = NULL;
        const char *name = strtok_r(field, " =", &inner), *value = strtok_r(NULL, " =", &inner);
        say("[%s:%s]", name, value ? value : "-");
    }
    say(" case-blind: %d %d\n", strcasecmp("HeLLo", "hello") == 0, strncasecmp("abcX", "ABCY", 3) == 0);
}

static int compare_ints(const void *a, const void *b)
{
    int x = *(const int *)a, y = *(const int *)b;
    return (x > y) - (x < y);
}

static int compare_names(const void *a, const void *b)
{
    return strcmp(*(const char *const *)a, *(const char *const *)b);
}

static void sorting(void)
{
    int numbers[] = {5, -3, 12, 5, 0, -3, 99, 7, 7, 7, -100, 42, 1, 2, 3, 8, 5, 0};
    size_t count = sizeof numbers / sizeof numbers[0];
    qsort(numbers, count, sizeof numbers[0], compare_ints);
    say("sorted:");
    for (size_t i = 0; i < count; ++i)
        say(" %d", numbers[i]);
    const char *names[] = {"pear", "apple", "fig", "kiwi", "banana", "cherry"};
    qsort(names, 6, sizeof names[0], compare_names);
    const char *key = "fig", *missing = "grape";
    const char **found = bsearch(&key, names, 6, sizeof names[0], compare_names);
    say("\nnames: %s %s %s %s %s %s; fig at %d, grape %s\n", names[0], names[1], names[2], names[3], names[4],
        names[5], found ? (int)(found - names) : -1,
        bsearch(&missing, names, 6, sizeof names[0], compare_names) ? "found" : "absent");
    div_t d = div(-17, 5);
    ldiv_t l = ldiv(100000L, -7L);
    say("div %d %d, ldiv %ld %ld\n", d.quot, d.rem, l.quot, l.rem);
}

static jmp_buf env;
static int depth_reached;

static void dive(int depth, int value)
{
    depth_reached = depth;
    if (depth == 5)
        longjmp(env, value);
    if (depth < 5)
        dive(depth + 1, value);
    say("never printed\n");
}

/* kept is not changed after setjmp, so it survives the jump wherever the
   compiler keeps it. */
static int jump(int value)
{
    int kept = value * 3 + 1;
    switch (setjmp(env)) {
    case 0: dive(0, value); return -1;
    case 1: return 1000 + kept;
    default: return 2000 + kept;
    }
}

static void jumps(void)
{
    int first = jump(0), second = jump(7);
    say("longjmp 0: %d, longjmp 7: %d, depth %d\n", first, second, depth_reached);
}

static void conversions(void)
{
    int32_t low = INT32_MIN;
    uint16_t top = UINT16_MAX;
    int8_t small = -5;
    uintptr_t address = 0xbeef;
    int_fast16_t fast = -300;
    say("%" PRId32 " %" PRIu16 " %" PRId8 " %" PRIxPTR " %" PRIdFAST16 " %" PRIx32 "\n", low, top, small, address,
        fast, (uint32_t)0xC0FFEEu);
    int32_t a = 0;
    uint32_t b = 0;
    int n = sscanf("-17 ff", "%" SCNd32 " %" SCNx32, &a, &b);
    say("scanned %d: %" PRId32 " %" PRIu32 "\n", n, a, b);
}

static void files(void)
{
    FILE *out = fopen("portable.tmp", "w");
    fputs("first line\nsecond, longer line\nlast", out);
    fclose(out);
    FILE *in = fopen("portable.tmp", "r");
    int c = getc(in);
    say("got %c, pushed back %c, ", c, ungetc('F', in));
    char line[8];
    while (fgets(line, sizeof line, in))
        say("<%s>", line);
    rewind(in);
    char *text = NULL;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&text, &capacity, in)) != -1)
        say("(%d)", (int)length);
    free(text);
    say(" at end %d\n", feof(in) != 0);
    rewind(in);
    while ((c = getc(in)) != EOF && c != '\n')
        putc(toupper(c), stdout);
    putc('\n', stdout);
    fclose(in);
    int removed = remove("portable.tmp");
    say("removed %d, again %d\n", removed, remove("portable.tmp") != 0);
}

/* perror's text is strerror's; the texts themselves differ between
   libraries, the shape does not. stderr is a variable, so it can be pointed
   at a memory stream. */
static void report(void)
{
    char *captured = NULL, expected[128];
    size_t size = 0;
    FILE *saved = stderr;
    stderr = open_memstream(&captured, &size);
    errno = ENOENT;
    perror("portable");
    fclose(stderr);
    stderr = saved;
    snprintf(expected, sizeof expected, "portable: %s\n", strerror(ENOENT));
    say("perror as expected: %d\n", strcmp(captured, expected) == 0);
    free(captured);
}

int main(void)
{
    classes();
    strings();
    sorting();
    jumps();
    conversions();
    files();
    report();
    assert(strlen("four") == 4);
#define NDEBUG
#include <assert.h>
    assert(!"not evaluated with NDEBUG");
    say("done\n");
    return 0;
}
