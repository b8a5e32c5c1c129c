/* calc: reads integer expressions "A OP B" from standard input, one token at
   a time, and prints each result. A malformed expression is reported and
   skipped; the input goes on. */
#include <stdio.h>
#include <string.h>
#include <zylos/records.h>

ZYLOS_COMMAND_RECORD(calc_command, "Evaluates integer expressions such as 12 * -3.", "calc");
ZYLOS_PACKAGE_RECORD(calc_package, "calc", "1");

/* One whole token as a number: fscanf's %d would accept "12abc". */
static int read_number(int *value)
{
    char token[256];
    char rest;
    int got = fscanf(stdin, "%s", token);
    if (got != 1)
        return got; /* -1 at the end of the input */
    return sscanf(token, "%d%c", value, &rest) == 1;
}

static int read_operator(char *op)
{
    char token[256];
    int got = fscanf(stdin, "%s", token);
    if (got != 1)
        return got;
    if (strlen(token) != 1 || strchr("+-*/%", token[0]) == NULL)
        return 0;
    *op = token[0];
    return 1;
}

static int apply(char op, int a, int b, int *result)
{
    /* Wrap like the hardware instead of overflowing. */
    unsigned ua = (unsigned)a, ub = (unsigned)b;
    switch (op) {
    case '+': *result = (int)(ua + ub); return 1;
    case '-': *result = (int)(ua - ub); return 1;
    case '*': *result = (int)(ua * ub); return 1;
    case '/':
    case '%':
        if (b == 0 || (a == -2147483647 - 1 && b == -1))
            return 0;
        *result = op == '/' ? a / b : a % b;
        return 1;
    }
    return 0;
}

/* Reads "A OP B"; 1 when it was evaluated, 0 when malformed (reported),
   -1 at the end of the input. */
static int evaluate_next(void)
{
    int a, b, result, got;
    char op;
    got = read_number(&a);
    if (got <= 0) {
        if (got == 0)
            puts("calc: expected a number");
        return got;
    }
    if ((got = read_operator(&op)) != 1) {
        puts(got < 0 ? "calc: incomplete expression" : "calc: expected one of + - * / %");
        return got;
    }
    if ((got = read_number(&b)) != 1) {
        puts(got < 0 ? "calc: incomplete expression" : "calc: expected a number");
        return got;
    }
    if (!apply(op, a, b, &result)) {
        puts("calc: division by zero or out of range");
        return 0;
    }
    printf("%d\n", result);
    return 1;
}

int main(void)
{
    int failures = 0;
    int got;
    while ((got = evaluate_next()) >= 0)
        failures += got == 0;
    return failures ? 1 : 0;
}
