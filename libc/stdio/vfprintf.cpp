// The stream formatter. It hands every literal character, fill byte, sign and
// prefix character to the writer as a request of its own, and a string or a
// digit run as one request, so on the console each is one kernel write.
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "internal.h"

namespace {

constexpr char kDigitChars[] = "0123456789abcdef";
constexpr size_t kDigitAreaSize = 32;

struct Conversion {
    int width = 0;
    int precision = -1; // negative: none
    bool wide = false;  // ll: the value takes two argument words
    char letter = 0;
};

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Digit runs wrap modulo 2^32 like every integer text conversion here; a
// result that reads as negative then asks for no fill at all.
const char *read_number(const char *p, int &value)
{
    unsigned number = 0;
    for (; is_digit(*p); ++p)
        number = number * 10 + static_cast<unsigned>(*p - '0');
    value = static_cast<int>(number);
    return p;
}

class Formatter {
public:
    Formatter(FILE *stream, va_list args) : stream_(stream) { va_copy(args_, args); }
    ~Formatter() { va_end(args_); }
    Formatter(const Formatter &) = delete;
    Formatter &operator=(const Formatter &) = delete;

    int run(const char *format);

private:
    bool starts_with_colour_packet(const char *format) const;
    bool send_colour_packet();
    const char *parse(const char *p, Conversion &conv);
    bool convert(const Conversion &conv);
    bool convert_string(const Conversion &conv);
    bool convert_integer(const Conversion &conv);
    unsigned long long next_value(const Conversion &conv, bool &negative);

    bool put(const void *data, size_t n);
    bool put_byte(char c) { return put(&c, 1); }
    bool put_repeated(char c, long long n);

    FILE *stream_;
    va_list args_;
    unsigned count_ = 0;
};

bool Formatter::put(const void *data, size_t n)
{
    if (file_write_bytes(stream_, data, n) != 0)
        return false;
    count_ += static_cast<unsigned>(n);
    return true;
}

bool Formatter::put_repeated(char c, long long n)
{
    for (; n > 0; --n)
        if (!put_byte(c))
            return false;
    return true;
}

// Only a console stream whose format opens with exactly "%c" carries the
// packet; anywhere else %c is an ordinary character.
bool Formatter::starts_with_colour_packet(const char *format) const
{
    return stream_->kind == STREAM_FD && stream_->fd == 1 && format[0] == '%' && format[1] == 'c';
}

// The packet goes out in one request and is not part of the count.
bool Formatter::send_colour_packet()
{
    unsigned char packet[4] = {0xFF};
    for (int i = 1; i < 4; ++i)
        packet[i] = static_cast<unsigned char>(va_arg(args_, int));
    return file_write_bytes(stream_, packet, sizeof packet) == 0;
}

int Formatter::run(const char *format)
{
    if (starts_with_colour_packet(format)) {
        if (!send_colour_packet())
            return -1;
        format += 2;
    }
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            if (!put_byte(*p++))
                return -1;
            continue;
        }
        Conversion conv;
        p = parse(p + 1, conv);
        if (p == nullptr)
            break; // the format ended inside the conversion
        if (!convert(conv))
            return -1;
    }
    return static_cast<int>(count_);
}

// Reads width, precision, length and the conversion letter; returns the
// position after the letter, or null when the format ends first.
const char *Formatter::parse(const char *p, Conversion &conv)
{
    if (*p == '*') {
        conv.width = va_arg(args_, int);
        ++p;
    } else {
        p = read_number(p, conv.width);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            conv.precision = va_arg(args_, int);
            ++p;
        } else {
            p = read_number(p, conv.precision);
        }
    }
    if (*p == 'l') {
        ++p;
        if (*p == 'l') {
            conv.wide = true;
            ++p;
        }
    }
    if (*p == '\0')
        return nullptr;
    conv.letter = *p;
    return p + 1;
}

bool Formatter::convert(const Conversion &conv)
{
    switch (conv.letter) {
    case '%': return put_byte('%');
    case 'c': return put_byte(static_cast<char>(va_arg(args_, int)));
    case 's': return convert_string(conv);
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'p': return convert_integer(conv);
    default:
        // Unknown letters (flags included) echo themselves; whatever was
        // read between them and the % is dropped.
        return put_byte('%') && put_byte(conv.letter);
    }
}

bool Formatter::convert_string(const Conversion &conv)
{
    const char *s = va_arg(args_, const char *);
    if (s == nullptr)
        s = "(null)";
    size_t n = strlen(s);
    if (conv.precision >= 0 && static_cast<size_t>(conv.precision) < n)
        n = static_cast<size_t>(conv.precision);
    long long fill = static_cast<long long>(conv.width) - static_cast<long long>(n);
    return put_repeated(' ', fill) && put(s, n);
}

// Signed letters take their magnitude; a 64-bit value arrives as two
// argument words, low word first.
unsigned long long Formatter::next_value(const Conversion &conv, bool &negative)
{
    bool is_signed = conv.letter == 'd' || conv.letter == 'i';
    unsigned long long value;
    if (conv.wide) {
        unsigned long long low = va_arg(args_, unsigned);
        unsigned long long high = va_arg(args_, unsigned);
        value = high << 32 | low;
    } else if (is_signed) {
        value = static_cast<unsigned long long>(static_cast<long long>(va_arg(args_, int)));
    } else {
        value = va_arg(args_, unsigned);
    }
    negative = is_signed && (value >> 63) != 0;
    return negative ? 0 - value : value;
}

bool Formatter::convert_integer(const Conversion &conv)
{
    bool negative = false;
    unsigned long long value = next_value(conv, negative);
    unsigned long long base = conv.letter == 'x' || conv.letter == 'p' ? 16 : 10;

    // Filled from the end, so the digits stand most significant first.
    char area[kDigitAreaSize];
    size_t first = kDigitAreaSize;
    do {
        area[--first] = kDigitChars[value % base];
        value /= base;
    } while (value != 0 && first > 0);
    long long digits = static_cast<long long>(kDigitAreaSize - first);

    bool pointer = conv.letter == 'p';
    long long zeros = conv.precision > digits ? conv.precision - digits : 0;
    long long spaces = conv.width - (negative ? 1 : 0) - (pointer ? 2 : 0) - zeros - digits;
    return put_repeated(' ', spaces) && (!negative || put_byte('-')) &&
           (!pointer || (put_byte('0') && put_byte('x'))) && put_repeated('0', zeros) &&
           put(area + first, static_cast<size_t>(digits));
}

} // namespace

extern "C" int vfprintf(FILE *stream, const char *format, va_list args)
{
    if (stream == nullptr || format == nullptr)
        return -1;
    Formatter formatter(stream, args);
    return formatter.run(format);
}

extern "C" int fprintf(FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vfprintf(stream, format, args);
    va_end(args);
    return result;
}

extern "C" int printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int result = vfprintf(stdout, format, args);
    va_end(args);
    return result;
}

extern "C" int vprintf(const char *format, va_list args)
{
    return vfprintf(stdout, format, args);
}
