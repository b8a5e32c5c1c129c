#include <fcntl.h>
#include <unistd.h>

#include "syscall.h"

namespace {

// write-only, create, truncate
constexpr unsigned kCreatFlags = O_WRONLY | O_CREAT | O_TRUNC;

int open_call(const char *path, unsigned flags, unsigned mode)
{
    if (!path)
        return -1;
    return zylos_syscall(SYS_OPEN, syscall_word(path), flags, mode);
}

} // namespace

extern "C" {

int open(const char *path, int flags)
{
    unsigned bits = static_cast<unsigned>(flags);
    // A creating open repeats its flags in the third slot; any other leaves it 0.
    return open_call(path, bits, (bits & O_CREAT) ? bits : 0);
}

int creat(const char *path)
{
    return open_call(path, kCreatFlags, 0);
}

} // extern "C"
