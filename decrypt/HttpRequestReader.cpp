#include "decrypt/HttpRequestReader.h"
#include "capture/HeaderText.h"
#include "decrypt/BudgetMemory.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace velmora {
namespace {

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr std::uint8_t kHeadersFrame = 1;
constexpr std::uint8_t kContinuationFrame = 9;
constexpr std::uint8_t kEndHeaders = 0x4;
constexpr std::uint8_t kPadded = 0x8;
constexpr std::uint8_t kPriority = 0x20;
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
    : sink_(sink), budget_(budget), buffer_(budget), block_(budget) {}

HttpRequestReader::~HttpRequestReader() {
    if (inflater_)
        nghttp2_hd_inflate_del(inflater_);
    delete static_cast<nghttp2_mem*>(inflaterMemory_);
}

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
            if (prefaceMatched_ == kPreface.size())
                mode_ = Mode::Http2;
            break;
        }
        case Mode::Http1:
            if (!http1(bytes))
                mode_ = Mode::Broken;
            break;
        case Mode::Http2:
            if (!http2(bytes))
                mode_ = Mode::Broken;
            break;
        }
    }
    if (mode_ == Mode::Broken) {
        buffer_.Clear();
        block_.Clear();
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
    if (request.target.size() > kMaxAddressPart || request.authority.size() > kMaxAddressPart)
        return;
    const std::uint64_t address = request.authority.size() + request.target.size();
    if (requestsHandedOn_ >= kMaxRequests ||
        addressBytes_ + address > kAddressAllowance + kAddressPerSentByte * received_)
        return;
    ++requestsHandedOn_;
    addressBytes_ += address;
    sink_.Request(request);
}

bool HttpRequestReader::http2(std::span<const std::uint8_t>& bytes) {
    if (frameHeaderHave_ < frameHeader_.size()) {
        const std::size_t n = std::min(bytes.size(), frameHeader_.size() - frameHeaderHave_);
        std::memcpy(frameHeader_.data() + frameHeaderHave_, bytes.data(), n);
        frameHeaderHave_ += n;
        bytes = bytes.subspan(n);
        if (frameHeaderHave_ < frameHeader_.size())
            return true;
        frameLength_ = std::uint32_t{frameHeader_[0]} << 16 | frameHeader_[1] << 8 | frameHeader_[2];
        frameLeft_ = frameLength_;
        const std::uint8_t type = frameHeader_[3];
        gatherFrame_ = type == kHeadersFrame || type == kContinuationFrame;
        if (inBlock_ && type != kContinuationFrame)
            return false; // a header block must not be interrupted
        if (gatherFrame_ && frameLength_ > kMaxHeaderBlockBytes)
            return false;
    }
    const std::size_t n = std::min<std::size_t>(bytes.size(), frameLeft_);
    if (gatherFrame_ && !buffer_.Append(bytes.first(n)))
        return false;
    frameLeft_ -= static_cast<std::uint32_t>(n);
    bytes = bytes.subspan(n);
    if (frameLeft_ > 0)
        return true;
    frameHeaderHave_ = 0;
    if (!gatherFrame_)
        return true;
    const std::uint32_t stream =
        (std::uint32_t{frameHeader_[5]} << 24 | frameHeader_[6] << 16 | frameHeader_[7] << 8 | frameHeader_[8]) &
        0x7FFFFFFF;
    const bool ok = http2Frame(frameHeader_[3], frameHeader_[4], stream, buffer_.Bytes());
    buffer_.Clear();
    return ok;
}

bool HttpRequestReader::http2Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                                   std::span<const std::uint8_t> payload) {
    std::span<const std::uint8_t> fragment = payload;
    if (type == kHeadersFrame) {
        if (flags & kPadded) {
            if (fragment.empty() || fragment[0] >= fragment.size())
                return false;
            const std::size_t padding = fragment[0];
            fragment = fragment.subspan(1, fragment.size() - 1 - padding);
        }
        if (flags & kPriority) {
            if (fragment.size() < 5)
                return false;
            fragment = fragment.subspan(5);
        }
        inBlock_ = true;
        blockStream_ = stream;
    } else if (!inBlock_ || stream != blockStream_) {
        return false; // CONTINUATION out of place
    }
    if (block_.size() + fragment.size() > kMaxHeaderBlockBytes || !block_.Append(fragment))
        return false;
    if (!(flags & kEndHeaders))
        return true;
    inBlock_ = false;
    const bool ok = headerBlock(block_.Bytes());
    block_.Clear();
    return ok;
}

bool HttpRequestReader::headerBlock(std::span<const std::uint8_t> block) {
    if (!inflater_) {
        // The inflater's dynamic table is taken from the connection's budget.
        auto* memory = new nghttp2_mem{&budget_, budget_memory::Malloc, budget_memory::Free, budget_memory::Calloc,
                                       budget_memory::Realloc};
        inflaterMemory_ = memory;
        if (nghttp2_hd_inflate_new2(&inflater_, memory) != 0) {
            inflater_ = nullptr;
            return false;
        }
        // The server tells the client how large a table it may use, in a frame that stays
        // encrypted here: allow up to a bound.
        if (nghttp2_hd_inflate_change_table_size(inflater_, kMaxHeaderTable) != 0)
            return false;
    }
    HttpRequest request;
    std::string host;
    // Malformed: a pseudo-header twice (RFC 9113 section 8.3), an address part past its bound, or more
    // decoded bytes than a block may have. The block is still decoded to its end, without copying,
    // so that the dynamic table stays as the client's.
    bool malformed = false;
    std::size_t decoded = 0;
    unsigned pseudoSeen = 0;
    const std::uint8_t* in = block.data();
    std::size_t left = block.size();
    while (true) {
        nghttp2_nv nv;
        int flags = 0;
        const auto used = nghttp2_hd_inflate_hd2(inflater_, &nv, &flags, in, left, 1);
        if (used < 0)
            return false;
        in += used;
        left -= static_cast<std::size_t>(used);
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) && !malformed) {
            const std::string_view name(reinterpret_cast<const char*>(nv.name), nv.namelen);
            const std::string_view value(reinterpret_cast<const char*>(nv.value), nv.valuelen);
            decoded += name.size() + value.size();
            std::string* field = nullptr;
            unsigned pseudo = 0;
            if (name == ":method")
                field = &request.method, pseudo = 1;
            else if (name == ":authority")
                field = &request.authority, pseudo = 2;
            else if (name == ":path")
                field = &request.target, pseudo = 4;
            else if (name == "host")
                field = host.empty() ? &host : nullptr;
            if ((pseudoSeen & pseudo) != 0 || decoded > kMaxDecodedBlockBytes ||
                (field && value.size() > kMaxAddressPart)) {
                malformed = true;
            } else {
                pseudoSeen |= pseudo;
                if (field)
                    *field = value;
                if (request.text.size() + name.size() + value.size() + 4 <= kMaxHeadBytes)
                    request.text.append(name).append(": ").append(value).append("\r\n");
            }
        }
        if (flags & NGHTTP2_HD_INFLATE_FINAL) {
            nghttp2_hd_inflate_end_headers(inflater_);
            break;
        }
        if (!(flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0)
            break;
    }
    if (malformed)
        return true; // the request is dropped; the stream goes on
    if (request.method.empty())
        return true; // trailers
    if (request.authority.empty())
        request.authority = host;
    request.packet = packet_;
    handOn(request);
    return true;
}

} // namespace velmora
