#pragma once
// The page context of a request, for handing its address to a downloader: many media servers answer
// only a request that carries the page's Referer, the browser's User-Agent or its Cookie.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

struct RequestHeaders {
    std::string referer;
    std::string userAgent;
    std::string cookie;

    bool empty() const { return referer.empty() && userAgent.empty() && cookie.empty(); }
};

// The Referer, User-Agent and Cookie of the first HTTP/1.x request in `bytes` (a stored frame, or a
// request's text, which for HTTP/2 is its header list with ":authority" as the host), when that request went to the host of `address`: a cookie is never handed to
// another host. Headers are read up to the blank line or the end of `bytes`; a line cut off at the
// end is ignored, and so is a value holding a control character. Nothing when there is no such request.
RequestHeaders FindRequestHeaders(std::span<const std::uint8_t> bytes, std::u16string_view address);

} // namespace velmora
