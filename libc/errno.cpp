#include <errno.h>

extern "C" {

int errno = 0;

// The texts are read-only and shared: a number always gives the same pointer.
char *strerror(int number)
{
    const char *text;
    switch (number) {
    case 0: text = "ok"; break;
    case ENOENT: text = "no such file"; break;
    case EINVAL: text = "invalid argument"; break;
    case ENOSYS: text = "not implemented"; break;
    default: text = "error"; break;
    }
    return const_cast<char *>(text);
}

} // extern "C"
