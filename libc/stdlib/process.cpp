// Process end, exit handlers and environment. There is nothing to run or
// flush at exit and no environment, and these routines say so plainly.
#include <stdlib.h>
#include <unistd.h>

extern "C" {

void exit(int status)
{
    _exit(status);
}

void abort(void)
{
    _exit(1);
}

int atexit(void (*)(void))
{
    return 0;
}

char *getenv(const char *)
{
    return nullptr;
}

// Negated in unsigned arithmetic: -2147483648 has no positive counterpart
// and comes back unchanged.
int abs(int value)
{
    int negated = static_cast<int>(0u - static_cast<unsigned>(value));
    return negated >= 0 ? negated : value;
}

long labs(long value)
{
    return abs(value);
}

} // extern "C"
