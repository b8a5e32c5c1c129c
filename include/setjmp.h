#ifndef ZYLOS_SETJMP_H
#define ZYLOS_SETJMP_H

#include <zylos/noreturn.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The callee-saved registers ebx, esi, edi and ebp, the stack pointer and the
   return address of the setjmp call. No signal mask, no floating-point state. */
typedef unsigned long jmp_buf[6];

#if defined(__GNUC__) || defined(__clang__)
__attribute__((__returns_twice__))
#endif
int setjmp(jmp_buf env);
ZYLOS_NORETURN void longjmp(jmp_buf env, int value);

#ifdef __cplusplus
}
#endif

#endif
