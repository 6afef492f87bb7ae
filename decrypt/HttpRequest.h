#pragma once
// A request read from a decrypted client stream.

#include "capture/PacketStore.h"

#include <string>

namespace velmora {

struct HttpRequest {
    std::string method;
    std::string authority;   // HTTP/2 ":authority", else the Host header
    std::string target;      // the request target as sent: a path, or an absolute address
    std::string text;        // request line and headers, or the HTTP/2 header list as "name: value" lines
    PacketNumber packet = 0; // the frame that completed the headers
};

// Receives each request as soon as its headers are complete.
class HttpRequestSink {
public:
    virtual void Request(HttpRequest& request) = 0;

protected:
    ~HttpRequestSink() = default;
};

} // namespace velmora
