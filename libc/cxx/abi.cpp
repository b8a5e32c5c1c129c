// The C++ ABI entry points a program without exceptions or RTTI needs at link
// time. There is one thread, so the static-local guards need no lock. exit
// runs no handler, so the destructors of static objects are accepted and
// never run, like the handlers given to atexit.
#include <stdio.h>
#include <stdlib.h>

namespace {

[[noreturn]] void fail(const char *what)
{
    fputs(what, stderr);
    abort();
}

// The guard's first byte says "done"; the second marks an initialisation in
// progress, so a static whose initialiser reaches itself again is caught.
unsigned char *guard_bytes(long long *guard)
{
    return reinterpret_cast<unsigned char *>(guard);
}

} // namespace

extern "C" {

void *__dso_handle = &__dso_handle;

int __cxa_atexit(void (*)(void *), void *, void *)
{
    return 0;
}

void __cxa_pure_virtual()
{
    fail("pure virtual function called\n");
}

void __cxa_deleted_virtual()
{
    fail("deleted virtual function called\n");
}

int __cxa_guard_acquire(long long *guard)
{
    unsigned char *bytes = guard_bytes(guard);
    if (bytes[0] != 0)
        return 0;
    if (bytes[1] != 0)
        fail("static initialisation reached itself again\n");
    bytes[1] = 1;
    return 1;
}

void __cxa_guard_release(long long *guard)
{
    unsigned char *bytes = guard_bytes(guard);
    bytes[1] = 0;
    bytes[0] = 1;
}

void __cxa_guard_abort(long long *guard)
{
    guard_bytes(guard)[1] = 0;
}

} // extern "C"
