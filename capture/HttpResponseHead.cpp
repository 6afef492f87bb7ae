#include "capture/HttpResponseHead.h"

#include "capture/HeaderText.h"

#include <charconv>

namespace velmora {

namespace {

std::optional<std::uint64_t> decimal(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::uint64_t> HttpResponseHead::ResourceSize() const {
    if (status == 200)
        return contentLength;
    if (status == 206)
        return completeLength;
    return std::nullopt;
}

std::string MediaTypeOf(std::string_view contentType) {
    contentType = TrimHeaderSpace(contentType.substr(0, contentType.find(';')));
    const std::size_t slash = contentType.find('/');
    if (slash == 0 || slash == std::string_view::npos || slash + 1 == contentType.size())
        return {};
    std::string type;
    type.reserve(contentType.size());
    for (char c : contentType) {
        if (c <= ' ' || c == 0x7F || static_cast<unsigned char>(c) >= 0x80)
            return {};
        type.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
    }
    return type;
}

void HttpResponseHead::TakeHeader(std::string_view name, std::string_view value) {
    value = TrimHeaderSpace(value);
    if (name == ":status") {
        status = static_cast<int>(decimal(value).value_or(0));
        if (status > 999)
            status = 0;
    } else if (EqualsIgnoringAsciiCase(name, "content-type")) {
        contentType = MediaTypeOf(value);
    } else if (EqualsIgnoringAsciiCase(name, "content-length")) {
        contentLength = decimal(value);
    } else if (EqualsIgnoringAsciiCase(name, "content-encoding")) {
        contentEncoding.assign(value.substr(0, 32)); // one coding is all a server sends a manifest in
    } else if (EqualsIgnoringAsciiCase(name, "content-range")) {
        // "bytes 0-999/150000"; "*" means the length is not known.
        const std::size_t slash = value.rfind('/');
        completeLength = slash == std::string_view::npos ? std::nullopt : decimal(TrimHeaderSpace(value.substr(slash + 1)));
    }
}

std::optional<HttpResponseHead> ParseHttpResponseHead(std::span<const std::uint8_t> bytes) {
    const std::string_view head(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    // "HTTP/1.1 200 OK"
    if (head.size() < 12 || !head.starts_with("HTTP/1.") || head[8] != ' ')
        return std::nullopt;
    const auto status = decimal(head.substr(9, 3));
    if (!status || (head.size() > 12 && head[12] != ' ' && head[12] != '\r' && head[12] != '\n'))
        return std::nullopt;
    HttpResponseHead response;
    response.status = static_cast<int>(*status);
    std::size_t at = head.find('\n');
    while (at != std::string_view::npos && at + 1 < head.size()) {
        const std::size_t end = head.find('\n', at + 1);
        const std::string_view line =
            TrimHeaderSpace(head.substr(at + 1, (end == std::string_view::npos ? head.size() : end) - at - 1));
        if (line.empty())
            break;
        if (const std::size_t colon = line.find(':'); colon != std::string_view::npos && colon > 0)
            response.TakeHeader(line.substr(0, colon), line.substr(colon + 1));
        at = end;
    }
    response.text.assign(head);
    return response;
}

} // namespace velmora
