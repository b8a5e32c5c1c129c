/* Every public header, compiled as C11 and as C++17 with -pedantic: they must
   be plain C that both languages accept without a warning, and the C++
   headers must build over them. */
#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <math.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>
#include <zylos/records.h>
#ifdef __cplusplus
#include <algorithm>
#include <array>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#endif

ZYLOS_COMMAND_RECORD(headers_command, "Includes every header.", "all_headers");
ZYLOS_PACKAGE_RECORD(headers_package, "headers", "1");

int main(void)
{
    FILE *out = stdout;
    char text[16];
    assert(isdigit('3'));
    snprintf(text, sizeof text, "%" PRId32, (int32_t)abs(-3));
    return fputs(text, out) < 0 || strlen(text) != 1 || errno != 0 ? EXIT_FAILURE : EXIT_SUCCESS;
}
