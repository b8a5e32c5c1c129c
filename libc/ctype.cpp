// Character classes of the C locale, from one table of class bits built at
// compile time. Values outside 0 to 255 (EOF among them) belong to no class.
// The base library's own routines keep their own character sets on purpose
// and do not use these.
#include <ctype.h>

namespace {

enum ClassBit : unsigned char {
    kUpper = 1,
    kLower = 2,
    kDigit = 4,
    kHexLetter = 8,
    kSpace = 16,
    kBlank = 32,
    kPunct = 64,
    kControl = 128,
};

constexpr unsigned char classes_of(unsigned c)
{
    unsigned bits = 0;
    if (c >= 'A' && c <= 'Z')
        bits |= kUpper;
    if (c >= 'a' && c <= 'z')
        bits |= kLower;
    if (c >= '0' && c <= '9')
        bits |= kDigit;
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))
        bits |= kHexLetter;
    if (c == ' ' || (c >= '\t' && c <= '\r'))
        bits |= kSpace;
    if (c == ' ' || c == '\t')
        bits |= kBlank;
    if (c > ' ' && c < 0x7F && !(bits & (kUpper | kLower | kDigit)))
        bits |= kPunct;
    if (c < ' ' || c == 0x7F)
        bits |= kControl;
    return static_cast<unsigned char>(bits);
}

struct ClassTable {
    unsigned char bits[256];
    constexpr ClassTable() : bits()
    {
        for (unsigned c = 0; c < 256; ++c)
            bits[c] = classes_of(c);
    }
};

constexpr ClassTable kClasses;

int has_class(int c, unsigned mask)
{
    unsigned index = static_cast<unsigned>(c);
    return index < 256 && (kClasses.bits[index] & mask) != 0;
}

} // namespace

extern "C" {

int isalnum(int c)
{
    return has_class(c, kUpper | kLower | kDigit);
}
int isalpha(int c)
{
    return has_class(c, kUpper | kLower);
}
int isblank(int c)
{
    return has_class(c, kBlank);
}
int iscntrl(int c)
{
    return has_class(c, kControl);
}
int isdigit(int c)
{
    return has_class(c, kDigit);
}
int isgraph(int c)
{
    return has_class(c, kUpper | kLower | kDigit | kPunct);
}
int islower(int c)
{
    return has_class(c, kLower);
}
int isprint(int c)
{
    return c == ' ' || isgraph(c);
}
int ispunct(int c)
{
    return has_class(c, kPunct);
}
int isspace(int c)
{
    return has_class(c, kSpace);
}
int isupper(int c)
{
    return has_class(c, kUpper);
}
int isxdigit(int c)
{
    return has_class(c, kDigit | kHexLetter);
}

// The case bit of ASCII letters: 'a' - 'A' is 32.
int tolower(int c)
{
    return isupper(c) ? c + ('a' - 'A') : c;
}
int toupper(int c)
{
    return islower(c) ? c - ('a' - 'A') : c;
}

} // extern "C"
