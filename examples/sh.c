/* sh: a small shell. It reads command lines from standard input (no prompt)
   and runs each, waiting for it: words are separated by spaces, commands
   joined by '|' run at once with a pipe between each and the next, and a
   name without '/' is looked up in /bin. It ends at the end of its input, or
   at "exit [STATUS]", with the status of the last command. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zylos/records.h>

ZYLOS_COMMAND_RECORD(sh_command, "Runs command lines read from standard input.", "echo 'hello | wc -' | sh");
ZYLOS_PACKAGE_RECORD(sh_package, "sh", "1");

enum { MAX_LINE = 1024, MAX_WORDS = 32, MAX_COMMANDS = 8 };
enum { CANNOT_RUN = 126, NOT_FOUND = 127, BAD_LINE = 2 };

struct command {
    const char *words[MAX_WORDS];
    int count;
};

/* "sh: WHAT[: WHY]" on descriptor 2, standard error (the stream stderr
   writes to the console's standard output). */
static void complain(const char *what, const char *why)
{
    char text[MAX_LINE + 64];
    int n = snprintf(text, sizeof text, "sh: %s%s%s\n", what, why ? ": " : "", why ? why : "");
    write(2, text, n < (int)sizeof text ? (size_t)n : sizeof text - 1);
}

/* One byte per read, so that what follows this line stays in standard input
   for the commands it runs. Returns the length, MAX_LINE for a line too
   long (dropped), or -1 at the end of the input. */
static int read_line(char *line)
{
    int n = 0, got;
    char c = '\0';
    while ((got = read(0, &c, 1)) == 1 && c != '\n')
        if (n < MAX_LINE)
            line[n++] = c;
    if (got != 1 && n == 0)
        return -1;
    line[n] = '\0';
    return n;
}

static int is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

/* Splits line in place into commands and their words. Returns the number of
   commands (0 for a blank line), or -1 for an empty command or too many. */
static int parse(char *line, struct command *commands)
{
    int n = 1;
    commands[0].count = 0;
    for (char *p = line;;) {
        while (is_blank(*p))
            *p++ = '\0';
        if (*p == '\0')
            break;
        if (*p == '|') {
            *p++ = '\0';
            if (commands[n - 1].count == 0 || n == MAX_COMMANDS)
                return -1;
            commands[n++].count = 0;
            continue;
        }
        struct command *c = &commands[n - 1];
        if (c->count == MAX_WORDS)
            return -1;
        c->words[c->count++] = p;
        while (*p != '\0' && *p != '|' && !is_blank(*p))
            p++;
    }
    if (commands[n - 1].count == 0)
        return n == 1 ? 0 : -1;
    return n;
}

/* Starts c with in and out as its standard input and output. Returns its
   process id, or the negative result of spawn (reported). */
static int start(const struct command *c, int in, int out)
{
    const char *name = c->words[0];
    char path[MAX_LINE + 8];
    snprintf(path, sizeof path, strchr(name, '/') ? "%s" : "/bin/%s", name);
    fd_set_stdio(in, out, 2);
    int id = spawn(path, c->words, c->count);
    if (id == -2)
        complain(name, "not found");
    else if (id == -8)
        complain(name, "not a zylos executable");
    else if (id < 0)
        complain(name, "cannot start");
    return id;
}

/* Runs the n commands as one pipeline and returns the last one's status. */
static int run(const struct command *commands, int n)
{
    int ids[MAX_COMMANDS];
    int in = 0;
    for (int i = 0; i < n; i++) {
        int ends[2] = {0, 1};
        if (i + 1 < n && pipe(ends) < 0) {
            complain("|", "cannot make a pipe");
            n = i + 1; /* this command writes to standard output instead */
        }
        ids[i] = start(&commands[i], in, ends[1]);
        if (in != 0)
            close(in);
        if (ends[1] != 1)
            close(ends[1]);
        in = ends[0];
    }
    fd_set_stdio(0, 1, 2);
    int status = 0;
    for (int i = 0; i < n; i++) {
        status = ids[i] == -2 ? NOT_FOUND : CANNOT_RUN;
        if (ids[i] > 0)
            waitpid(ids[i], &status, 0);
    }
    return status;
}

int main(void)
{
    static char line[MAX_LINE + 1];
    struct command commands[MAX_COMMANDS];
    int status = 0, length;
    while ((length = read_line(line)) >= 0) {
        int n = length == MAX_LINE ? -1 : parse(line, commands);
        if (n < 0) {
            complain(length == MAX_LINE ? "line too long" : "syntax error", NULL);
            status = BAD_LINE;
        } else if (n == 1 && strcmp(commands[0].words[0], "exit") == 0) {
            return commands[0].count > 1 ? atoi(commands[0].words[1]) : status;
        } else if (n > 0) {
            status = run(commands, n);
        }
    }
    return status;
}
