/* No include guard: each inclusion defines assert afresh from the current
   NDEBUG, as C requires. */
#undef assert

#ifdef NDEBUG
#define assert(expression) ((void)0)
#else
#include <zylos/noreturn.h>
#ifdef __cplusplus
extern "C" {
#endif
/* Prints where the assertion failed and ends the program like abort. */
ZYLOS_NORETURN void __zylos_assert_failed(const char *expression, const char *file, unsigned line,
                                          const char *function);
#ifdef __cplusplus
}
#endif
#define assert(expression)                                                                                             \
    ((expression) ? (void)0 : __zylos_assert_failed(#expression, __FILE__, __LINE__, __func__))
#endif

#if !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L && !defined(static_assert)
#define static_assert _Static_assert
#endif
