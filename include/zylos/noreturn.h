/* How the library's headers mark a function that never returns, in C and in
   C++. */
#ifndef ZYLOS_NORETURN_H
#define ZYLOS_NORETURN_H

#ifdef __cplusplus
#define ZYLOS_NORETURN [[noreturn]]
#else
#define ZYLOS_NORETURN _Noreturn
#endif

#endif
