#include "http/HttpRequestReader.h"
#include "capture/HeaderText.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace velmora {
namespace {

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr std::size_t kMaxLine = 1024;

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Where a request head ends (just past its empty line), or 0 while it is incomplete.
std::size_t headEnd(std::string_view text) {
    for (std::size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
        if (at + 1 < text.size() && text[at + 1] == '\n')
            return at + 2;
        if (at + 2 < text.size() && text[at + 1] == '\r' && text[at + 2] == '\n')
            return at + 3;
    }
    return 0;
}

} // namespace

HttpRequestReader::HttpRequestReader(HttpRequestSink& sink, ByteBudget& budget)
    : sink_(sink), budget_(budget), buffer_(budget) {}

HttpRequestReader::~HttpRequestReader() = default;

bool HttpRequestReader::Add(std::span<const std::uint8_t> bytes, PacketNumber packet) {
    packet_ = packet;
    received_ += bytes.size();
    while (!bytes.empty()) {
        switch (mode_) {
        case Mode::Broken:
            return false;
        case Mode::Unknown: {
            // HTTP/2 begins with its preface; anything else is read as HTTP/1.x.
            const std::size_t n = std::min(bytes.size(), kPreface.size() - prefaceMatched_);
            if (asText(bytes.first(n)) != kPreface.substr(prefaceMatched_, n)) {
                mode_ = Mode::Http1;
                if (prefaceMatched_ > 0) {
                    const std::string_view seen = kPreface.substr(0, prefaceMatched_);
                    prefaceMatched_ = 0;
                    if (!Add(std::span(reinterpret_cast<const std::uint8_t*>(seen.data()), seen.size()), packet))
                        return false;
                }
                break;
            }
            prefaceMatched_ += n;
            bytes = bytes.subspan(n);
            if (prefaceMatched_ == kPreface.size()) {
                mode_ = Mode::Http2;
                frames_.emplace(static_cast<Http2HeaderHandler&>(*this), budget_);
            }
            break;
        }
        case Mode::Http1:
            if (!http1(bytes))
                mode_ = Mode::Broken;
            break;
        case Mode::Http2:
            if (!frames_->Add(bytes))
                mode_ = Mode::Broken;
            bytes = {};
            break;
        }
    }
    if (mode_ == Mode::Broken) {
        buffer_.Clear();
        if (frames_)
            frames_->Clear();
        return false;
    }
    return true;
}

bool HttpRequestReader::takeLine(std::span<const std::uint8_t>& bytes, bool& complete) {
    const auto* newline = static_cast<const std::uint8_t*>(std::memchr(bytes.data(), '\n', bytes.size()));
    const std::size_t n = newline ? static_cast<std::size_t>(newline - bytes.data()) + 1 : bytes.size();
    if (line_.size() + n > kMaxLine)
        return false;
    line_.append(asText(bytes.first(n)));
    bytes = bytes.subspan(n);
    complete = newline != nullptr;
    if (complete) {
        line_.pop_back();
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
    }
    return true;
}

bool HttpRequestReader::http1(std::span<const std::uint8_t>& bytes) {
    switch (state_) {
    case Http1State::Head: {
        const std::size_t before = buffer_.size();
        // Only as much as the head may hold: the rest stays for the next round.
        const std::size_t take = std::min(bytes.size(), kMaxHeadBytes - std::min(before, kMaxHeadBytes));
        if (take == 0 || !buffer_.Append(bytes.first(take)))
            return false;
        const std::string_view text = asText(buffer_.Bytes());
        const std::size_t end = headEnd(text.substr(before >= 3 ? before - 3 : 0));
        if (end == 0) {
            bytes = bytes.subspan(take);
            return true;
        }
        const std::size_t headLength = (before >= 3 ? before - 3 : 0) + end;
        // The bytes of this piece past the head belong to the body or the next request.
        bytes = bytes.subspan(headLength - before);
        const bool ok = http1Head(buffer_.Bytes().first(headLength));
        buffer_.Clear();
        return ok;
    }
    case Http1State::Body: {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, bytes.size()));
        bodyLeft_ -= n;
        bytes = bytes.subspan(n);
        if (bodyLeft_ == 0)
            state_ = Http1State::Head;
        return true;
    }
    case Http1State::ChunkSize: {
        bool complete = false;
        if (!takeLine(bytes, complete))
            return false;
        if (!complete)
            return true;
        const std::string_view size = TrimHeaderSpace(std::string_view(line_).substr(0, line_.find(';')));
        std::uint64_t n = 0;
        const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), n, 16);
        line_.clear();
        if (error != std::errc() || end != size.data() + size.size() || size.empty())
            return false;
        bodyLeft_ = n;
        state_ = n == 0 ? Http1State::Trailer : Http1State::ChunkData;
        return true;
    }
    case Http1State::ChunkData: {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, bytes.size()));
        bodyLeft_ -= n;
        bytes = bytes.subspan(n);
        if (bodyLeft_ == 0)
            state_ = Http1State::ChunkDataEnd;
        return true;
    }
    case Http1State::ChunkDataEnd:
    case Http1State::Trailer: {
        bool complete = false;
        if (!takeLine(bytes, complete))
            return false;
        if (!complete)
            return true;
        const bool empty = line_.empty();
        line_.clear();
        if (state_ == Http1State::ChunkDataEnd) {
            if (!empty)
                return false;
            state_ = Http1State::ChunkSize;
        } else if (empty) {
            state_ = Http1State::Head;
        }
        return true;
    }
    }
    return false;
}

bool HttpRequestReader::http1Head(std::span<const std::uint8_t> head) {
    std::string_view text = asText(head);
    // Lines of a head: request line first, then headers; a line may end in CR LF or LF.
    auto nextLine = [&]() {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return line;
    };
    std::string_view requestLine = nextLine();
    // Empty lines before a request are allowed (RFC 9112 section 2.2).
    while (requestLine.empty() && !text.empty())
        requestLine = nextLine();
    const std::size_t space1 = requestLine.find(' ');
    const std::size_t space2 = requestLine.find(' ', space1 == std::string_view::npos ? 0 : space1 + 1);
    if (space1 == std::string_view::npos || space2 == std::string_view::npos ||
        !requestLine.substr(space2 + 1).starts_with("HTTP/"))
        return false;
    HttpRequest request;
    request.method = requestLine.substr(0, space1);
    request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    bool chunked = false;
    std::uint64_t contentLength = 0;
    while (!text.empty()) {
        const std::string_view line = nextLine();
        if (line.empty())
            break;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = TrimHeaderSpace(line.substr(colon + 1));
        if (EqualsIgnoringAsciiCase(name, "host") && request.authority.empty()) {
            request.authority = value;
        } else if (EqualsIgnoringAsciiCase(name, "content-length")) {
            std::from_chars(value.data(), value.data() + value.size(), contentLength);
        } else if (EqualsIgnoringAsciiCase(name, "transfer-encoding")) {
            chunked = value.size() >= 7 && EqualsIgnoringAsciiCase(value.substr(value.size() - 7), "chunked");
        }
    }
    // The text is the head without its closing empty line.
    std::string_view whole = asText(head);
    while (whole.ends_with("\r\n\r\n") || whole.ends_with("\n\n"))
        whole.remove_suffix(whole.ends_with("\r\n\r\n") ? 2 : 1);
    request.text = whole;
    if (chunked) {
        state_ = Http1State::ChunkSize;
    } else if (contentLength > 0) {
        state_ = Http1State::Body;
        bodyLeft_ = contentLength;
    } else {
        state_ = Http1State::Head;
    }
    request.packet = packet_;
    handOn(request);
    return true;
}

void HttpRequestReader::handOn(HttpRequest& request) {
    const std::uint64_t address = request.authority.size() + request.target.size();
    if (request.target.size() > kMaxAddressPart || request.authority.size() > kMaxAddressPart ||
        requestsHandedOn_ >= kMaxRequests ||
        addressBytes_ + address > kAddressAllowance + kAddressPerSentByte * received_) {
        // HTTP/1.x answers pair with requests by their order: the sink still learns one was refused.
        if (mode_ == Mode::Http1)
            sink_.RequestRefused();
        return;
    }
    ++requestsHandedOn_;
    addressBytes_ += address;
    sink_.Request(request);
}

void HttpRequestReader::HeaderBlockStart(std::uint32_t stream, bool) {
    block_ = HttpRequest();
    block_.stream = stream;
    host_.clear();
    pseudoSeen_ = 0;
}

bool HttpRequestReader::HeaderField(std::string_view name, std::string_view value) {
    // Malformed: a pseudo-header twice (RFC 9113 section 8.3), or an address part past its bound.
    std::string* field = nullptr;
    unsigned pseudo = 0;
    if (name == ":method")
        field = &block_.method, pseudo = 1;
    else if (name == ":authority")
        field = &block_.authority, pseudo = 2;
    else if (name == ":path")
        field = &block_.target, pseudo = 4;
    else if (name == "host")
        field = host_.empty() ? &host_ : nullptr;
    if ((pseudoSeen_ & pseudo) != 0 || (field && value.size() > kMaxAddressPart))
        return false;
    pseudoSeen_ |= pseudo;
    if (field)
        *field = value;
    if (block_.text.size() + name.size() + value.size() + 4 <= kMaxHeadBytes)
        block_.text.append(name).append(": ").append(value).append("\r\n");
    return true;
}

void HttpRequestReader::HeaderBlockEnd(bool malformed) {
    // A malformed request is dropped and the stream goes on; a block without a method is trailers.
    if (malformed || block_.method.empty())
        return;
    if (block_.authority.empty())
        block_.authority = host_;
    block_.packet = packet_;
    HttpRequest request = std::move(block_);
    handOn(request);
}

} // namespace velmora
