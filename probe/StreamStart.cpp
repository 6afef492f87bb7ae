#include "probe/StreamStart.h"

#include <algorithm>
#include <string_view>

namespace velmora::probe {
namespace {

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
static_assert(kPreface.size() == kStreamStartBytes);
constexpr std::size_t kMaxMethod = 20;

} // namespace

StreamStart ClassifyStreamStart(std::span<const std::uint8_t> first) {
    const std::string_view text(reinterpret_cast<const char*>(first.data()), first.size());
    const std::size_t n = std::min(text.size(), kPreface.size());
    if (text.substr(0, n) == kPreface.substr(0, n))
        return n == kPreface.size() ? StreamStart::Http2Preface : StreamStart::Undecided;
    // A request line: a method token (RFC 9110 says any token; these are upper-case letters and '-' in
    // practice), a space, and a target: a path, an absolute address, "*" or an authority.
    for (std::size_t i = 0; i < text.size() && i <= kMaxMethod; ++i) {
        const char c = text[i];
        if (c == ' ') {
            if (i == 0)
                return StreamStart::Other;
            if (i + 1 == text.size())
                return StreamStart::Undecided;
            const char target = text[i + 1];
            return target > ' ' && target < 0x7f ? StreamStart::Http1Request : StreamStart::Other;
        }
        if (!((c >= 'A' && c <= 'Z') || c == '-' || c == '_'))
            return StreamStart::Other;
    }
    return text.size() <= kMaxMethod ? StreamStart::Undecided : StreamStart::Other;
}

} // namespace velmora::probe
