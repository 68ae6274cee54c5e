// A text as a JSON string literal, for the small JSON answers and reports
// that the host and the tools write by hand.
#ifndef CORVANE_HOST_JSONTEXT_H
#define CORVANE_HOST_JSONTEXT_H

#include <string>
#include <string_view>

inline std::string JsonQuote(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

#endif
