#pragma once
// What the engine reads of a server's answer to a GET: the status, the media type and the sizes.
// The same for clear text, HTTP/1.x over TLS, HTTP/2 and HTTP/3: each reader fills it header by header.

#include "capture/PacketStore.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

struct HttpResponseHead {
    int status = 0;
    std::string contentType; // the media type without parameters, lower case
    std::optional<std::uint64_t> contentLength;
    std::optional<std::uint64_t> completeLength; // of a Content-Range: "bytes 0-999/150000" gives 150000
    std::string contentEncoding;                 // as sent ("gzip"), when the body is encoded
    std::string text;                            // status line and headers, or "name: value" lines; CR LF each
    PacketNumber packet = 0;                     // the frame that completed the head

    bool Success() const { return status == 200 || status == 206; }
    // The resource's size: the Content-Length of a 200, the complete length of a 206.
    std::optional<std::uint64_t> ResourceSize() const;
    // One header (names compared without regard to case; HTTP/2's ":status" too). Unknown ones are ignored.
    void TakeHeader(std::string_view name, std::string_view value);
};

// The media type of a Content-Type value: "Video/MP4; codecs=x" gives "video/mp4"; empty when malformed.
std::string MediaTypeOf(std::string_view contentType);

// An HTTP/1.x response head: the status line and the header lines, up to and including the blank line.
// Nothing when it does not begin with "HTTP/1." and a three-digit status.
std::optional<HttpResponseHead> ParseHttpResponseHead(std::span<const std::uint8_t> head);

} // namespace velmora
