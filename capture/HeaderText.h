#pragma once
// Small helpers for HTTP header text, shared by the clear-text request reader and the decrypted one.

#include <algorithm>
#include <string_view>

namespace velmora {

// A header line or value without its surrounding blanks and a trailing carriage return.
inline std::string_view TrimHeaderSpace(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Header names are ASCII and compared without regard to case.
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

} // namespace velmora
