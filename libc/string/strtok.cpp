#include "string/internal.h"

namespace {

bool is_delimiter(char c, const char *delim)
{
    for (; *delim; ++delim) {
        if (c == *delim)
            return true;
    }
    return false;
}

} // namespace

extern "C" {

// Not re-entrant: the one continuation point is shared by every caller, and a
// call with a new string abandons any sequence in progress.
char *strtok(char *s, const char *delim)
{
    static char *s_next;
    char *start = s ? s : s_next;
    s_next = nullptr;
    if (!start)
        return nullptr;
    bool has_delimiters = delim && *delim;
    if (has_delimiters) {
        while (*start && is_delimiter(*start, delim))
            ++start;
    }
    if (*start == 0)
        return nullptr;
    if (!has_delimiters)
        return start;
    for (char *p = start; *p; ++p) {
        if (is_delimiter(*p, delim)) {
            *p = 0;
            s_next = p + 1;
            break;
        }
    }
    return start;
}

} // extern "C"
