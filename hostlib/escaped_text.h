// Texts from a guest image (symbol names, record texts) as the host tools
// show them. Such a text is untrusted bytes: a control character or a byte
// that is not UTF-8 would move the cursor, recolour the terminal or start a
// forged line of a report, so each is shown as a visible escape instead.
#pragma once

#include <string>
#include <string_view>

namespace zylos {

// For a terminal or a report: valid UTF-8 as it is, a backslash doubled,
// \n \r \t \e, every other control character (C0, DEL, C1) and every byte
// that is not part of valid UTF-8 as \xNN.
std::string escapedText(std::string_view bytes);

// The same text as the inside of a JSON string: valid UTF-8 as it is, '"'
// and '\' escaped, control characters as \n \r \t or \u00XX, and a byte that
// is not part of valid UTF-8 (which no JSON string can hold) as the text \xNN.
std::string jsonText(std::string_view bytes);

} // namespace zylos
