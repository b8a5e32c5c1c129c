#include "hostlib/escaped_text.h"

#include <cstdint>
#include <cstdio>

namespace zylos {
namespace {

// The length of the UTF-8 sequence that starts s and its code point, or 0
// when s does not start with one: overlong forms, surrogates and code
// points past U+10FFFF are not UTF-8.
size_t utf8Sequence(std::string_view s, char32_t &cp)
{
    // Lead byte pattern, sequence length, least code point of that length.
    struct Form {
        uint8_t mask, lead;
        size_t length;
        char32_t least;
    };
    static constexpr Form kForms[] = {
        {0x80, 0x00, 1, 0}, {0xE0, 0xC0, 2, 0x80}, {0xF0, 0xE0, 3, 0x800}, {0xF8, 0xF0, 4, 0x10000}};
    const auto lead = static_cast<uint8_t>(s[0]);
    for (const Form &f : kForms) {
        if ((lead & f.mask) != f.lead)
            continue;
        if (s.size() < f.length)
            return 0;
        cp = lead & static_cast<uint8_t>(~f.mask);
        for (size_t i = 1; i < f.length; ++i) {
            const auto b = static_cast<uint8_t>(s[i]);
            if ((b & 0xC0) != 0x80)
                return 0;
            cp = cp << 6 | (b & 0x3Fu);
        }
        const bool valid = cp >= f.least && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        return valid ? f.length : 0;
    }
    return 0;
}

bool isControl(char32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
}

std::string hexEscape(const char *format, unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Calls shown(sequence) for each valid, printable UTF-8 sequence,
// control(code point) for each control character and invalid(byte) for
// each byte that is not UTF-8.
template <typename Shown, typename Control, typename Invalid>
std::string escape(std::string_view bytes, Shown shown, Control control, Invalid invalid)
{
    std::string out;
    out.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        char32_t cp = 0;
        const size_t length = utf8Sequence(bytes.substr(at), cp);
        if (length == 0)
            out += invalid(static_cast<uint8_t>(bytes[at]));
        else if (isControl(cp))
            out += control(cp, bytes.substr(at, length));
        else
            out += shown(bytes.substr(at, length));
        at += length ? length : 1;
    }
    return out;
}

} // namespace

std::string escapedText(std::string_view bytes)
{
    const auto byte = [](uint8_t b) -> std::string {
        switch (b) {
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        case 0x1B: return "\\e";
        default: return hexEscape("\\x%02x", b);
        }
    };
    return escape(
        bytes, [](std::string_view s) { return s == "\\" ? std::string("\\\\") : std::string(s); },
        [&](char32_t, std::string_view s) {
            std::string out;
            for (const char c : s)
                out += byte(static_cast<uint8_t>(c));
            return out;
        },
        byte);
}

std::string jsonText(std::string_view bytes)
{
    return escape(
        bytes,
        [](std::string_view s) {
            return s == "\\" ? std::string("\\\\") : s == "\"" ? std::string("\\\"") : std::string(s);
        },
        [](char32_t cp, std::string_view) -> std::string {
            switch (cp) {
            case '\n': return "\\n";
            case '\r': return "\\r";
            case '\t': return "\\t";
            default: return hexEscape("\\u%04x", static_cast<unsigned>(cp));
            }
        },
        [](uint8_t b) { return hexEscape("\\\\x%02x", b); });
}

} // namespace zylos
