#pragma once
// A request read from a decrypted client stream, and the sink that receives requests and their answers.

#include "capture/HttpResponseHead.h"
#include "capture/PacketStore.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace velmora {

struct HttpRequest {
    std::string method;
    std::string authority;   // HTTP/2 ":authority", else the Host header
    std::string target;      // the request target as sent: a path, or an absolute address
    std::string text;        // request line and headers, or the HTTP/2 header list as "name: value" lines
    PacketNumber packet = 0; // the frame that completed the headers
    std::uint64_t stream = 0; // HTTP/2 and HTTP/3 stream id; 0 for HTTP/1.x
};

// Receives each request as soon as its headers are complete, and the head of the answer to a GET
// once the server's headers are complete (`request` is the one it answers; its text may be gone).
class HttpRequestSink {
public:
    virtual void Request(HttpRequest& request) = 0;
    // An HTTP/1.x request past the reader's bounds, not handed on: its answer still comes in its turn.
    virtual void RequestRefused() {}
    // Returns how many bytes of the answer's body to keep (a stream's manifest), 0 for none; a kept
    // body then comes to ResponseBody once it ends or reaches that bound (`complete` false).
    virtual std::size_t Response(const HttpRequest& request, HttpResponseHead& response) {
        (void)request;
        (void)response;
        return 0;
    }
    virtual void ResponseBody(const HttpRequest& request, std::span<const std::uint8_t> body, bool complete) {
        (void)request;
        (void)body;
        (void)complete;
    }

protected:
    ~HttpRequestSink() = default;
};

} // namespace velmora
