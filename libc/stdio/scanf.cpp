// Scanning text under a format: %d %i %u %x %X %c %s %%, * suppression,
// literal text and white-space directives. Each place has its own set of
// white space on purpose: conversions skip only spaces and tabs, so a newline
// stops them, while white space in the format also eats newlines.
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include "stdio/internal.h"

namespace {

constexpr unsigned kNoDigit = 16;
constexpr unsigned kTokenSize = 256;

bool is_format_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// Carriage return, vertical tab, form feed and high bytes stay inside a run.
bool ends_run(char c)
{
    return c == '\0' || c == ' ' || c == '\t' || c == '\n';
}

bool is_token_delimiter(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Setting bit 5 maps A-F onto a-f and leaves the digits and every other
// character outside both ranges.
unsigned digit_value(char c)
{
    unsigned d = unsigned(c) - '0';
    if (d < 10)
        return d;
    d = (unsigned(c) | 0x20) - 'a';
    return d < 6 ? d + 10 : kNoDigit;
}

const char *skip_blanks(const char *s)
{
    while (is_blank(*s))
        ++s;
    return s;
}

// The width only bounds %s; a run of digits past INT_MAX saturates.
unsigned read_width(const char *&f)
{
    unsigned n = 0;
    while (*f >= '0' && *f <= '9') {
        unsigned next = n * 10 + unsigned(*f++ - '0');
        n = (n <= kIntMax / 10 && next <= kIntMax) ? next : kIntMax;
    }
    return n;
}

// Digits of base at s, modulo 2^32; false when not even one is there. The
// first non-digit stays in the input.
bool read_digits(const char *&s, unsigned base, unsigned &value)
{
    const char *p = s;
    unsigned v = 0;
    for (unsigned d; (d = digit_value(*p)) < base; ++p)
        v = v * base + d;
    if (p == s)
        return false;
    s = p;
    value = v;
    return true;
}

// %d %i %x %X. The sign is consumed even when no digit follows it. For %i a
// leading 0x selects hexadecimal and is consumed, while a leading 0 selects
// octal and is read as a digit itself.
bool scan_signed(const char *&s, char conv, unsigned &value)
{
    s = skip_blanks(s);
    bool minus = *s == '-';
    if (*s == '-' || *s == '+')
        ++s;
    unsigned base = (conv == 'x' || conv == 'X') ? 16 : 10;
    if (conv == 'i' && *s == '0') {
        if (s[1] == 'x' || s[1] == 'X') {
            base = 16;
            s += 2;
        } else {
            base = 8;
        }
    }
    unsigned v;
    if (!read_digits(s, base, v))
        return false;
    value = minus ? 0u - v : v;
    return true;
}

void skip_run(const char *&s)
{
    while (!ends_run(*s))
        ++s;
}

// At most limit characters and the NUL reach dest; the whole run is consumed.
void copy_run(const char *&s, char *dest, unsigned limit)
{
    unsigned n = 0;
    for (; !ends_run(*s); ++s)
        if (n < limit)
            dest[n++] = *s;
    dest[n] = '\0';
}

// One read of one byte: 1 when a byte arrived, 0 at end of input or on a
// failed read (eof is set), -1 for any other answer. pos counts what the
// kernel reports, whatever it is.
int read_byte(FILE *stream, char &byte)
{
    if (int pushed = stream_take_pushed_byte(stream); pushed >= 0) {
        byte = static_cast<char>(pushed);
        return 1;
    }
    ssize_t n = read(stream->fd, &byte, 1);
    if (n <= 0) {
        stream->eof = 1;
        return 0;
    }
    stream->pos = int(unsigned(stream->pos) + unsigned(n));
    return n == 1 ? 1 : -1;
}

// Reads one delimiter-bounded token into token, keeping at most
// kTokenSize - 1 characters and dropping the rest; the delimiter that ends
// it is consumed. False when the input ends or fails before the token starts.
bool read_token(FILE *stream, char *token)
{
    char c;
    do {
        if (read_byte(stream, c) != 1)
            return false;
    } while (is_token_delimiter(c));

    unsigned len = 0;
    do {
        if (len < kTokenSize - 1)
            token[len++] = c;
    } while (read_byte(stream, c) == 1 && !is_token_delimiter(c));
    token[len] = '\0';
    return true;
}

// What one conversion did: failed to match, matched without storing
// (suppressed, %%, or a null %s destination), or stored through the next
// pointer.
enum class Scanned { Failed, Skipped, Stored };

Scanned scan_conversion(const char *&s, char conv, bool suppress, unsigned width, va_list *args)
{
    switch (conv) {
    case '%':
        if (*s != '%')
            return Scanned::Failed;
        ++s;
        return Scanned::Skipped;
    case 'd':
    case 'i':
    case 'x':
    case 'X': {
        unsigned v;
        if (!scan_signed(s, conv, v))
            return Scanned::Failed;
        if (suppress)
            return Scanned::Skipped;
        *va_arg(*args, int *) = int(v);
        return Scanned::Stored;
    }
    case 'u': {
        unsigned v;
        s = skip_blanks(s);
        if (!read_digits(s, 10, v))
            return Scanned::Failed;
        if (suppress)
            return Scanned::Skipped;
        *va_arg(*args, unsigned *) = v;
        return Scanned::Stored;
    }
    case 'c':
        if (*s == '\0')
            return Scanned::Failed;
        if (!suppress)
            *va_arg(*args, char *) = *s;
        ++s;
        return suppress ? Scanned::Skipped : Scanned::Stored;
    case 's': {
        s = skip_blanks(s);
        if (*s == '\0')
            return Scanned::Failed;
        char *dest = suppress ? nullptr : va_arg(*args, char *);
        if (!dest) {
            skip_run(s);
            return Scanned::Skipped;
        }
        copy_run(s, dest, width != 0 ? width : ~0u);
        return Scanned::Stored;
    }
    default: return Scanned::Failed;
    }
}

int scan_text(const char *s, const char *f, va_list *args)
{
    int count = 0;
    while (*f != '\0') {
        if (is_format_space(*f)) {
            while (is_format_space(*s))
                ++s;
            while (is_format_space(*f))
                ++f;
            continue;
        }
        if (*f != '%') {
            // At the end of the text *s is NUL, which no literal matches.
            if (*s != *f)
                return count;
            ++s;
            ++f;
            continue;
        }
        ++f;
        bool suppress = *f == '*';
        if (suppress)
            ++f;
        unsigned width = read_width(f);
        char conv = *f;
        if (conv == '\0')
            return count;
        ++f;
        const Scanned r = scan_conversion(s, conv, suppress, width, args);
        if (r == Scanned::Failed)
            return count;
        if (r == Scanned::Stored)
            ++count;
    }
    return count;
}

} // namespace

extern "C" int vsscanf(const char *text, const char *format, va_list args)
{
    if (!text || !format)
        return 0;
    va_list ap;
    va_copy(ap, args);
    const int count = scan_text(text, format, &ap);
    va_end(ap);
    return count;
}

extern "C" int sscanf(const char *text, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int count = vsscanf(text, format, args);
    va_end(args);
    return count;
}

// Reads exactly one token, one byte per read, and scans only that token:
// the delimiter after it is gone, and so is whatever the format leaves unused.
extern "C" int fscanf(FILE *stream, const char *format, ...)
{
    if (!stream || !format || stream->kind != STREAM_FD)
        return -1;
    char token[kTokenSize];
    if (!read_token(stream, token))
        return -1;
    va_list args;
    va_start(args, format);
    int count = vsscanf(token, format, args);
    va_end(args);
    return count;
}
