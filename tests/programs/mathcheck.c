/* mathcheck: every <math.h> function on special arguments and on generated
   ones, one line per call: the function's name, then the argument and result
   bits in hex. The same source is built for the host, so the two outputs can
   be set side by side. Arguments are made from integers alone, so both
   builds call with the same bits.

     mathcheck [N]   N generated arguments per function (default 200) */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char out[65536];
static size_t used;

static void flush(void)
{
    size_t done = 0;
    while (done < used) {
        ssize_t n = write(1, out + done, used - done);
        if (n <= 0)
            exit(1);
        done += (size_t)n;
    }
    used = 0;
}

static uint64_t bits(double x)
{
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

static double from_bits(uint64_t b)
{
    double x;
    memcpy(&x, &b, sizeof x);
    return x;
}

/* The formatter of either library takes 32-bit words only. */
static void put_bits(double x)
{
    uint64_t b = bits(x);
    used += (size_t)snprintf(out + used, sizeof out - used, " %08x%08x", (unsigned)(b >> 32), (unsigned)b);
}

static void report(const char *name, const double *args, int nargs, double result)
{
    if (used > sizeof out - 256)
        flush();
    used += (size_t)snprintf(out + used, sizeof out - used, "%s", name);
    for (int i = 0; i < nargs; i++)
        put_bits(args[i]);
    put_bits(result);
    out[used++] = '\n';
}

/* A magnitude 2^e * (1 + fraction), e in [lo, hi], from a 64-bit LCG. */
static uint64_t state = 1;

static uint64_t next(void)
{
    state = state * 6364136223846793005u + 1442695040888963407u;
    return state;
}

static double generated(int lo, int hi, int signed_)
{
    uint64_t r = next();
    uint64_t e = (uint64_t)(lo + (int)((r >> 33) % (uint64_t)(hi - lo + 1)) + 1023);
    uint64_t fraction = next() >> 12;
    uint64_t sign = signed_ && (r & 1) ? 1ull << 63 : 0;
    return from_bits(sign | e << 52 | fraction);
}

struct unary {
    const char *name;
    double (*f)(double);
    int lo, hi; /* exponents of the generated arguments */
};

struct binary {
    const char *name;
    double (*f)(double, double);
    int xlo, xhi, ylo, yhi;
    int x_signed;
};

static const struct unary unaries[] = {
    {"fabs", fabs, -1074, 1023},   {"floor", floor, -4, 60},    {"ceil", ceil, -4, 60}, {"trunc", trunc, -4, 60},
    {"round", round, -4, 60},      {"sqrt", sqrt, -1022, 1023}, {"exp", exp, -30, 9},   {"log", log, -1022, 1023},
    {"log10", log10, -1022, 1023}, {"sin", sin, -30, 20},       {"cos", cos, -30, 20},  {"tan", tan, -30, 20},
    {"atan", atan, -30, 30},       {"sin", sin, 20, 1023},      {"cos", cos, 20, 1023},
};

static const struct binary binaries[] = {
    {"fmod", fmod, -10, 80, -10, 40, 1},
    {"pow", pow, -3, 3, -4, 7, 0},
    {"atan2", atan2, -40, 40, -40, 40, 1},
};

/* 6381956970095103 * 2^797 is the double nearest a multiple of pi/2. */
/* clang-format off */
static const double specials[] = {
    HUGE_VAL, -INFINITY, NAN, 0, -0.0, 1, -1, 0.5, -0.5, 2, 3, -3, 10, 1e22, 1e300, -1e300, 0x1p63,
    0x1p-1074, -0x1p-1022, 1.7976931348623157e308, 3.141592653589793, 1.5707963267948966,
    0x1.6ac5b262ca1ffp+849, 709.782712893384, -745.1332191019412, 1000, 1e-310, 2.5, -2.5,
    0x1.fffffffffffffp52,
};
/* clang-format on */

int main(int argc, char **argv)
{
    int count = argc > 1 ? atoi(argv[1]) : 200;
    const int nspecials = (int)(sizeof specials / sizeof specials[0]);
    for (size_t u = 0; u < sizeof unaries / sizeof unaries[0]; u++) {
        const struct unary *f = &unaries[u];
        for (int i = 0; i < nspecials + count; i++) {
            double x = i < nspecials ? specials[i] : generated(f->lo, f->hi, 1);
            report(f->name, &x, 1, f->f(x));
        }
    }
    for (size_t b = 0; b < sizeof binaries / sizeof binaries[0]; b++) {
        const struct binary *f = &binaries[b];
        for (int i = 0; i < nspecials * nspecials + count; i++) {
            double xy[2];
            if (i < nspecials * nspecials) {
                xy[0] = specials[i / nspecials];
                xy[1] = specials[i % nspecials];
            } else {
                xy[0] = generated(f->xlo, f->xhi, f->x_signed);
                xy[1] = generated(f->ylo, f->yhi, 1);
            }
            report(f->name, xy, 2, f->f(xy[0], xy[1]));
        }
    }
    used += (size_t)snprintf(out + used, sizeof out - used, "isnan %d %d isinf %d %d %d\n", isnan(NAN), isnan(HUGE_VAL),
                             isinf(-INFINITY) != 0, isinf(HUGE_VAL), isinf(1e308));
    flush();
    return 0;
}
