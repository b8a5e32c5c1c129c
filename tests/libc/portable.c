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

/* Each class and case mapping as a sum over EOF and every byte. */
static void classes(void)
{
    int (*const maps[])(int) = {isalnum, isalpha, isblank, iscntrl, isdigit, isgraph, islower,
                                isprint, ispunct, isspace, isupper, isxdigit, tolower, toupper};
    for (int i = 0; i < 14; ++i) {
        unsigned sum = 0;
        for (int c = EOF; c < 256; ++c)
            sum += i < 12 ? (maps[i](c) != 0) * (unsigned)(c + 2) : (unsigned)maps[i](c) * (unsigned)(c + 2);
        say("%u%s", sum, i < 13 ? " " : "\n");
    }
}

static void strings(void)
{
    char text[] = "key = value; other=2;;last";
    const char *eq = memchr(text, '=', sizeof text);
    say("memchr %d, strspn %u, strcspn %u, strpbrk %s\n", (int)(eq - text), (unsigned)strspn(text, "eky"),
        (unsigned)strcspn(text, ";="), strpbrk(text, ";"));
    char *next = NULL, *inner = NULL;
    for (char *field = strtok_r(text, ";", &next); field; field = strtok_r(NULL, ";", &next)) {
        const char *name = strtok_r(field, " =", &inner), *value = strtok_r(NULL, " =", &inner);
        say("[%s:%s]", name, value ? value : "-");
    }
    say(" case-blind: %d %d\n", strcasecmp("HeLLo", "hello") == 0, strncasecmp("abcX", "ABCY", 3) == 0);
}

static int compare_ints(const void *a, const void *b)
{
    return (*(const int *)a > *(const int *)b) - (*(const int *)a < *(const int *)b);
}

static int compare_names(const void *a, const void *b)
{
    return strcmp(*(const char *const *)a, *(const char *const *)b);
}

static void sorting(void)
{
    int numbers[] = {5, -3, 12, 5, 0, -3, 99, 7, 7, 7, -100, 42, 1, 2, 3, 8, 5, 0};
    qsort(numbers, 18, sizeof numbers[0], compare_ints);
    for (int i = 0; i < 18; ++i)
        say("%d ", numbers[i]);
    const char *names[] = {"pear", "apple", "fig", "kiwi", "banana", "cherry"}, *fig = "fig", *grape = "grape";
    qsort(names, 6, sizeof names[0], compare_names);
    const char **found = bsearch(&fig, names, 6, sizeof names[0], compare_names);
    say("\n%s %s %s; fig at %d, grape %s\n", names[0], names[1], names[5], (int)(found - names),
        bsearch(&grape, names, 6, sizeof names[0], compare_names) ? "found" : "absent");
    say("div %d %d, ldiv %ld %ld\n", div(-17, 5).quot, div(-17, 5).rem, ldiv(100000L, -7L).quot,
        ldiv(100000L, -7L).rem);
}

static jmp_buf env;

static void dive(int depth, int value)
{
    if (depth == 5)
        longjmp(env, value);
    if (depth < 5)
        dive(depth + 1, value);
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

static void conversions(void)
{
    int32_t a = 0;
    uint32_t b = 0;
    int n = sscanf("-17 ff", "%" SCNd32 " %" SCNx32, &a, &b);
    say("%" PRId32 " %" PRIu16 " %" PRId8 " %" PRIxPTR " %" PRIdFAST16 "; %d: %" PRIi32 " %" PRIu32 "\n",
        (int32_t)INT32_MIN, (uint16_t)UINT16_MAX, (int8_t)-5, (uintptr_t)0xbeef, (int_fast16_t)-300, n, a, b);
}

static void files(void)
{
    FILE *out = fopen("portable.tmp", "w");
    fputs("first line\nsecond, longer line\nlast", out);
    fclose(out);
    FILE *in = fopen("portable.tmp", "r");
    int c = getc(in);
    say("got %c, pushed back %c: ", c, ungetc('F', in));
    char line[8], *text = NULL;
    while (fgets(line, sizeof line, in))
        say("<%s>", line);
    rewind(in);
    size_t capacity = 0;
    for (ssize_t length; (length = getline(&text, &capacity, in)) != -1;)
        say("(%d)", (int)length);
    free(text);
    say(" at end %d\n", feof(in) != 0);
    rewind(in);
    while ((c = getc(in)) != EOF && c != '\n')
        putc(toupper(c), stdout);
    fclose(in);
    int removed = remove("portable.tmp");
    say("\nremoved %d, again %d\n", removed, remove("portable.tmp") != 0);
}

/* The texts differ between libraries; perror's shape does not. stderr is a
   variable, so it can be pointed at a memory stream. */
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
    int first = jump(0), second = jump(7);
    say("longjmp 0: %d, longjmp 7: %d\n", first, second);
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
