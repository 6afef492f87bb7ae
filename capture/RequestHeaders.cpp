#include "capture/RequestHeaders.h"
#include "capture/HeaderText.h"

#include <algorithm>
#include <optional>

namespace velmora {
namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && lowered(text.substr(0, prefix.size())) == prefix;
}

bool isControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7F;
}

// "host[:port]" of "scheme://host[:port]/...", lower case, without http's own port 80.
std::string authorityOf(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return {};
    url.remove_prefix(scheme + 3);
    std::string host = lowered(url.substr(0, url.find_first_of("/?#")));
    if (host.size() > 3 && host.ends_with(":80"))
        host.resize(host.size() - 3);
    return host;
}

struct RequestLine {
    std::size_t headersStart; // first byte after the request line's line end
    std::string_view target;
};

// A line "METHOD SP target SP HTTP/1.x" whose method is upper-case letters. In a frame the bytes
// before the method are the TCP header, so the method is found backwards from the target.
std::optional<RequestLine> findRequestLine(std::string_view text) {
    for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n', end + 1)) {
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.size() < 9 || !line.substr(line.size() - 9).starts_with(" HTTP/1."))
            continue;
        line.remove_suffix(9);
        const std::size_t space = line.rfind(' ');
        if (space == std::string_view::npos || space + 1 == line.size())
            continue;
        const std::string_view target = line.substr(space + 1);
        std::size_t methodStart = space;
        while (methodStart > 0 && line[methodStart - 1] >= 'A' && line[methodStart - 1] <= 'Z')
            --methodStart;
        if (space - methodStart < 3 ||
            std::any_of(target.begin(), target.end(), [](char c) { return isControl(c) || c == ' '; }))
            continue;
        return RequestLine{end + 1, target};
    }
    return std::nullopt;
}

} // namespace

RequestHeaders FindRequestHeaders(std::span<const std::uint8_t> bytes, std::u16string_view address) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::optional<RequestLine> request = findRequestLine(text);
    // A decrypted HTTP/2 request is kept as its header list, pseudo-headers first.
    if (!request && text.starts_with(":method: "))
        request = RequestLine{0, {}};
    if (!request)
        return {};

    RequestHeaders found;
    std::string host;
    std::size_t start = request->headersStart;
    for (std::size_t end = text.find('\n', start); end != std::string_view::npos; end = text.find('\n', start)) {
        const std::string_view line = TrimHeaderSpace(text.substr(start, end - start));
        start = end + 1;
        if (line.empty())
            break;                                                               // the end of the header block
        const std::size_t colon = line.find(':', line.starts_with(':') ? 1 : 0); // ":authority: ..."
        if (colon == std::string_view::npos)
            continue;
        const std::string name = lowered(TrimHeaderSpace(line.substr(0, colon)));
        const std::string_view value = TrimHeaderSpace(line.substr(colon + 1));
        if (std::any_of(value.begin(), value.end(), isControl))
            continue;
        if (name == "host" || (name == ":authority" && host.empty()))
            host = std::string(value);
        else if (name == "referer")
            found.referer = value;
        else if (name == "user-agent")
            found.userAgent = value;
        else if (name == "cookie")
            found.cookie = value;
    }

    // The request's host: from an absolute target (a proxy request), else from its Host header.
    const std::string requestHost =
        startsWithNoCase(request->target, "http://") ? authorityOf(request->target) : authorityOf("http://" + host);
    // Only the scheme and host of the address matter; its path may hold decoded Chinese text.
    std::string addressStart;
    for (std::size_t i = 0, slashes = 0; i < address.size() && slashes < 3; ++i) {
        if (address[i] > 0x7F)
            return {}; // a host in a request line is ASCII: this address is not that request's
        addressStart += static_cast<char>(address[i]);
        slashes += address[i] == u'/' ? 1 : 0;
    }
    const std::string addressHost = authorityOf(addressStart);
    if (requestHost.empty() || requestHost != addressHost)
        return {};
    return found;
}

} // namespace velmora
