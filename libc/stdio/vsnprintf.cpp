// Formatting into a caller's array. One pass over the format counts every
// character of the complete result and stores those that fit in front of the
// terminator, so a null array of size 0 measures a result and a return value
// not below the size tells truncation. Nothing is allocated and no other
// library routine is called: this engine is independent of the stream one.
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

#include "stdio/internal.h"

namespace {

constexpr size_t kSprintfSize = 0x10000;
constexpr unsigned kLeft = 1;
constexpr unsigned kZero = 2;
constexpr unsigned kPlus = 4;

// Every produced character goes through here. It is stored only when it
// leaves room for the terminator (an index below limit, which is size - 1),
// and counted either way. Members are read into locals before a store: a char
// store may alias anything and would force them to be reloaded.
struct Output {
    char *array;
    size_t limit;
    size_t pos;

    void put(char c)
    {
        size_t at = pos;
        if (at < limit)
            array[at] = c;
        pos = at + 1;
    }

    // How many of n characters from index at on still fit; at < limit.
    size_t fitting(size_t at, unsigned n) const
    {
        size_t room = limit - at;
        return n < room ? n : room;
    }

    // Runs are stored with one string instruction and count what does not
    // fit at once, so a wide field past the end of the array costs nothing.
    void fill(char c, unsigned n)
    {
        size_t at = pos;
        pos = at + n;
        if (n != 0 && at < limit) {
            char *dst = array + at;
            size_t k = fitting(at, n);
            asm volatile("rep stosb" : "+D"(dst), "+c"(k) : "a"(c) : "memory");
        }
    }

    void copy(const char *src, unsigned n)
    {
        size_t at = pos;
        pos = at + n;
        if (n != 0 && at < limit) {
            char *dst = array + at;
            size_t k = fitting(at, n);
            asm volatile("rep movsb" : "+D"(dst), "+S"(src), "+c"(k) : : "memory");
        }
    }
};

struct Directive {
    unsigned flags; // kLeft, kZero, kPlus
    int width;      // 0 when absent; negative only from *
    int precision;  // -1 when absent
};

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A digit run worth more than INT_MAX saturates instead of wrapping into a
// negative width or precision.
int read_count(const char *&p)
{
    unsigned n = 0;
    while (is_digit(*p)) {
        unsigned next = n * 10 + unsigned(*p++ - '0');
        n = (n <= kIntMax / 10 && next <= kIntMax) ? next : kIntMax;
    }
    return int(n);
}

// One conversion laid out: lead spaces, a sign, zeros, the text, trail
// spaces. Every conversion is reduced to this and written by put_field.
struct Field {
    unsigned lead;
    char sign;
    unsigned zeros;
    const char *text;
    unsigned len;
    unsigned trail;
};

Field plain_field(const char *text, unsigned len)
{
    return {0, 0, 0, text, len, 0};
}

// A precision turns zero fill off (a negative one from * does not), and the
// left flag wins over the zero flag.
Field integer_field(const Directive &d, char sign, const char *digits, unsigned ndigits)
{
    Field f{0, sign, 0, digits, ndigits, 0};
    if (d.precision > int(ndigits))
        f.zeros = unsigned(d.precision) - ndigits;
    unsigned body = (sign ? 1u : 0u) + f.zeros + ndigits;
    if (d.width > 0 && unsigned(d.width) > body) {
        unsigned pad = unsigned(d.width) - body;
        if (d.flags & kLeft)
            f.trail = pad;
        else if ((d.flags & kZero) && d.precision < 0)
            f.zeros += pad;
        else
            f.lead = pad;
    }
    return f;
}

// Strings are filled on the left only: the left flag flips the width's sign,
// so %-5s gets no fill and %-*s with a negative width is right-aligned.
Field string_field(const Directive &d, const char *s)
{
    if (!s)
        s = "(null)";
    unsigned len = 0;
    while (s[len] != '\0')
        ++len;
    if (unsigned(d.precision) <= len)
        len = unsigned(d.precision);
    Field f = plain_field(s, len);
    int width = (d.flags & kLeft) ? int(0u - unsigned(d.width)) : d.width;
    if (width > 0 && len < unsigned(width))
        f.lead = unsigned(width) - len;
    return f;
}

void put_field(Output &out, const Field &f)
{
    if ((f.lead | f.zeros | f.trail | unsigned(f.sign)) == 0) {
        out.copy(f.text, f.len);
        return;
    }
    out.fill(' ', f.lead);
    if (f.sign)
        out.put(f.sign);
    out.fill('0', f.zeros);
    out.copy(f.text, f.len);
    out.fill(' ', f.trail);
}

unsigned render(char *area, unsigned value, unsigned base, int upper)
{
    int n;
    snbuf_render_unsigned(area, &n, value, base, upper);
    return unsigned(n);
}

// Flags, width and precision, in that order; each may be absent.
const char *parse_layout(const char *p, Directive &d, va_list &args)
{
    for (;; ++p) {
        if (*p == '-')
            d.flags |= kLeft;
        else if (*p == '0')
            d.flags |= kZero;
        else if (*p == '+')
            d.flags |= kPlus;
        else
            break;
    }
    if (*p == '*') {
        d.width = va_arg(args, int);
        ++p;
    } else {
        d.width = read_count(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            d.precision = va_arg(args, int);
            ++p;
        } else {
            d.precision = read_count(p);
        }
    }
    return p;
}

// Produces the directive that starts at p, just past its %. Returns where
// the scan goes on, or null when the format ends inside the directive.
const char *convert(Output &out, const char *p, va_list &args)
{
    Directive d{0, 0, -1};
    // Flags, width and precision all begin at or below '9' (- + 0 * . and
    // digits), so a plain %d skips their parsing with one test.
    if (*p <= '9')
        p = parse_layout(p, d, args);
    if (*p == 'l')
        p += p[1] == 'l' ? 2 : 1;
    else if (*p == 'z')
        ++p;

    char conv = *p;
    if (conv == '\0')
        return nullptr;
    // Big enough for the digits of a word, and for 0x and eight digits.
    char area[10];
    Field f;
    switch (conv) {
    case 'd':
    case 'i': {
        int v = va_arg(args, int);
        char sign = v < 0 ? '-' : (d.flags & kPlus) ? '+' : 0;
        unsigned magnitude = v < 0 ? 0u - unsigned(v) : unsigned(v);
        f = integer_field(d, sign, area, render(area, magnitude, 10, 0));
        break;
    }
    case 'u': f = integer_field(d, 0, area, render(area, va_arg(args, unsigned), 10, 0)); break;
    case 'x':
    case 'X': f = integer_field(d, 0, area, render(area, va_arg(args, unsigned), 16, conv == 'X')); break;
    case 's': f = string_field(d, va_arg(args, const char *)); break;
    case 'c':
        area[0] = char(va_arg(args, int));
        f = plain_field(area, 1);
        break;
    case 'p': {
        area[0] = '0';
        area[1] = 'x';
        size_t value = reinterpret_cast<size_t>(va_arg(args, const void *));
        f = plain_field(area, 2 + render(area + 2, value, 16, 0));
        break;
    }
    case '%': f = plain_field("%", 1); break;
    default:
        area[0] = '%';
        area[1] = conv;
        f = plain_field(area, 2);
        break;
    }
    put_field(out, f);
    return p + 1;
}

} // namespace

extern "C" void snbuf_render_unsigned(char *area, int *count, unsigned value, unsigned base, int upper)
{
    const char *table = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    // Digits come out least significant first; they are collected from the
    // end of a scratch area so that one copy puts them in order.
    char scratch[32];
    char *first = scratch + sizeof scratch;
    do {
        *--first = table[value % base];
        value /= base;
    } while (value != 0);
    size_t n = size_t(scratch + sizeof scratch - first);
    *count = int(n);
    asm volatile("rep movsb" : "+D"(area), "+S"(first), "+c"(n) : : "memory");
}

extern "C" int vsnprintf(char *array, size_t size, const char *format, va_list args)
{
    size_t limit = (array && size != 0) ? size - 1 : 0;
    Output out{array, limit, 0};
    for (const char *p = format ? format : ""; p && *p != '\0';) {
        if (*p == '%')
            p = convert(out, p + 1, args);
        else
            out.put(*p++);
    }
    if (array && size != 0)
        array[out.pos < limit ? out.pos : limit] = '\0';
    return int(out.pos);
}

extern "C" int snprintf(char *array, size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf(array, size, format, args);
    va_end(args);
    return n;
}

// The size is fixed rather than unbounded: at most 65535 characters and the
// terminator are stored, while the result is still the complete length.
extern "C" int vsprintf(char *array, const char *format, va_list args)
{
    return vsnprintf(array, kSprintfSize, format, args);
}

extern "C" int sprintf(char *array, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf(array, kSprintfSize, format, args);
    va_end(args);
    return n;
}
