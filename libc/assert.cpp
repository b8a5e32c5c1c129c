// The report of a failed assert: where it failed and what was asserted, on
// stderr, then the end of the program as abort ends it (status 1).
#include <assert.h>
#include <stdio.h>
#include <stdlib.h>

extern "C" void __zylos_assert_failed(const char *expression, const char *file, unsigned line, const char *function)
{
    char number[12];
    snprintf(number, sizeof number, "%u", line);
    // One write per piece, not one per literal character as fprintf would.
    const char *pieces[] = {file, ":", number, ": ", function, ": assertion failed: ", expression, "\n"};
    for (const char *piece : pieces)
        fputs(piece, stderr);
    abort();
}
