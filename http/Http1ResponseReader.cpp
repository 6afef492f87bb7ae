#include "http/Http1ResponseReader.h"

#include "capture/HeaderText.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>

namespace velmora {

namespace {

constexpr std::size_t kMaxLine = 1024;

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Just past the empty line that ends a head, or 0 while it is incomplete.
std::size_t headEnd(std::string_view text, std::size_t from) {
    for (std::size_t at = text.find('\n', from); at != std::string_view::npos; at = text.find('\n', at + 1)) {
        if (at + 1 < text.size() && text[at + 1] == '\n')
            return at + 2;
        if (at + 2 < text.size() && text[at + 1] == '\r' && text[at + 2] == '\n')
            return at + 3;
    }
    return 0;
}

// The header's value in a head, when present once or more (the last one counts).
std::string_view headerValue(std::string_view head, std::string_view name) {
    std::string_view found;
    for (std::size_t at = head.find('\n'); at != std::string_view::npos && at + 1 < head.size();) {
        const std::size_t end = head.find('\n', at + 1);
        const std::string_view line = head.substr(at + 1, (end == std::string_view::npos ? head.size() : end) - at - 1);
        if (const std::size_t colon = line.find(':');
            colon != std::string_view::npos && EqualsIgnoringAsciiCase(TrimHeaderSpace(line.substr(0, colon)), name))
            found = TrimHeaderSpace(line.substr(colon + 1));
        at = end;
    }
    return found;
}

bool containsToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        if (EqualsIgnoringAsciiCase(TrimHeaderSpace(list.substr(0, comma)), token))
            return true;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

} // namespace

bool Http1ResponseReader::Lost(std::uint64_t n) {
    if (n == 0 || state_ == State::Broken || state_ == State::Resync)
        return state_ != State::Resync;
    if ((state_ == State::Body || state_ == State::ChunkData) && n <= bodyLeft_) {
        if (keeping_)
            bodyEnded(false); // a manifest with a hole in it is not read
        bodyLeft_ -= n;
        if (bodyLeft_ == 0)
            state_ = state_ == State::Body ? State::Head : State::ChunkDataEnd;
        return true;
    }
    if (keeping_)
        bodyEnded(false);
    state_ = State::Resync;
    buffer_.Clear();
    line_.clear();
    bodyLeft_ = 0;
    return false;
}

bool Http1ResponseReader::Add(std::span<const std::uint8_t> bytes, PacketNumber packet) {
    if (state_ == State::Resync) {
        // Back in step only where a piece begins with a status line; anything else is passed over.
        static constexpr std::string_view kStart = "HTTP/1.";
        if (bytes.size() < kStart.size() + 5 || asText(bytes.first(kStart.size())) != kStart)
            return true;
        state_ = State::Head;
        if (!head(bytes, packet)) {
            state_ = State::Resync; // not a head after all
            buffer_.Clear();
            return true;
        }
    }
    while (!bytes.empty() && state_ != State::Broken) {
        switch (state_) {
        case State::Head:
            if (!head(bytes, packet))
                state_ = State::Broken;
            break;
        case State::Body: {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, bytes.size()));
            bodyBytes(bytes.first(n));
            bytes = bytes.subspan(n);
            bodyLeft_ -= n;
            if (bodyLeft_ == 0) {
                state_ = State::Head;
                bodyEnded(true);
            }
            break;
        }
        case State::ChunkSize: {
            bool complete = false;
            if (!takeLine(bytes, complete))
                break;
            if (!complete)
                return true;
            const std::string_view text = TrimHeaderSpace(line_);
            std::uint64_t size = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size, 16);
            if (error != std::errc() || end == text.data()) {
                state_ = State::Broken;
                break;
            }
            line_.clear();
            bodyLeft_ = size;
            state_ = size == 0 ? State::Trailer : State::ChunkData;
            break;
        }
        case State::ChunkData: {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(bodyLeft_, bytes.size()));
            bodyBytes(bytes.first(n));
            bytes = bytes.subspan(n);
            bodyLeft_ -= n;
            if (bodyLeft_ == 0)
                state_ = State::ChunkDataEnd;
            break;
        }
        case State::ChunkDataEnd:
        case State::Trailer: {
            bool complete = false;
            if (!takeLine(bytes, complete))
                break;
            if (!complete)
                return true;
            const bool empty = TrimHeaderSpace(line_).empty();
            line_.clear();
            if (state_ == State::ChunkDataEnd) {
                state_ = empty ? State::ChunkSize : State::Broken;
            } else if (empty) {
                state_ = State::Head; // the trailer ends with an empty line
                bodyEnded(true);
            }
            break;
        }
        case State::Resync:
        case State::Broken:
            break;
        }
    }
    return state_ != State::Broken;
}

void Http1ResponseReader::KeepBody(std::size_t limit, BodyReceived received) {
    keeping_ = true;
    bodyCut_ = false;
    bodyLimit_ = limit;
    bodyReceived_ = std::move(received);
    body_.Clear();
}

void Http1ResponseReader::bodyBytes(std::span<const std::uint8_t> bytes) {
    if (!keeping_ || bodyCut_)
        return;
    const std::size_t room = bodyLimit_ - std::min(bodyLimit_, body_.size());
    if (bytes.size() > room || !body_.Append(bytes.first(std::min(room, bytes.size()))))
        bodyCut_ = true;
}

void Http1ResponseReader::bodyEnded(bool complete) {
    if (!keeping_)
        return;
    keeping_ = false;
    BodyReceived received = std::move(bodyReceived_);
    bodyReceived_ = nullptr;
    if (received && (complete || !body_.empty()))
        received(body_.Bytes(), complete && !bodyCut_);
    body_.Release();
}

void Http1ResponseReader::SkipBody(std::uint64_t n) {
    if (n == 0 || n > BodyBytesAhead())
        return;
    bodyLeft_ -= n;
    if (bodyLeft_ == 0)
        state_ = state_ == State::Body ? State::Head : State::ChunkDataEnd;
}

bool Http1ResponseReader::takeLine(std::span<const std::uint8_t>& bytes, bool& complete) {
    const auto newline = std::find(bytes.begin(), bytes.end(), std::uint8_t{10});
    const std::size_t n = static_cast<std::size_t>(newline - bytes.begin());
    if (line_.size() + n > kMaxLine) {
        state_ = State::Broken;
        return false;
    }
    line_.append(reinterpret_cast<const char*>(bytes.data()), n);
    complete = newline != bytes.end();
    bytes = bytes.subspan(complete ? n + 1 : n);
    return true;
}

bool Http1ResponseReader::head(std::span<const std::uint8_t>& bytes, PacketNumber packet) {
    // Most heads arrive whole in one segment and are read in place; the rest are gathered.
    std::span<const std::uint8_t> text;
    std::size_t end = 0;
    std::size_t held = 0; // bytes of this head that earlier pieces brought
    if (buffer_.empty()) {
        const std::string_view start = asText(bytes.first(std::min<std::size_t>(bytes.size(), 5)));
        if (start != std::string_view("HTTP/").substr(0, start.size()))
            return false;
        text = bytes.first(std::min(bytes.size(), kMaxHeadBytes));
        end = headEnd(asText(text), 0);
    } else {
        held = buffer_.size();
        const std::size_t take = std::min(bytes.size(), kMaxHeadBytes - held);
        if (!buffer_.Append(bytes.first(take)))
            return false;
        text = buffer_.Bytes();
        end = headEnd(asText(text), held > 3 ? held - 3 : 0);
    }
    if (end == 0) {
        if (held + bytes.size() > kMaxHeadBytes)
            return false;
        if (held == 0 && !buffer_.Append(bytes))
            return false;
        bytes = {};
        return true;
    }
    auto parsed = ParseHttpResponseHead(text.first(end));
    if (!parsed)
        return false;
    const bool chunked = containsToken(headerValue(parsed->text, "transfer-encoding"), "chunked");
    std::optional<std::uint64_t> length;
    if (const std::string_view value = headerValue(parsed->text, "content-length"); !value.empty()) {
        std::uint64_t n = 0;
        const auto [p, error] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (error != std::errc() || p != value.data() + value.size())
            return false;
        length = n;
    }
    parsed->packet = packet;
    buffer_.Clear();
    bytes = bytes.subspan(end - held);

    const int status = parsed->status;
    if (status >= 100 && status < 200)
        return status != 101; // an interim answer; the final one follows. 101 leaves HTTP
    const bool answersHead = headReceived_(*parsed);
    if (answersHead || status == 204 || status == 304) {
        bodyEnded(true);
        return true;
    }
    if (chunked) {
        state_ = State::ChunkSize;
    } else if (length) {
        bodyLeft_ = *length;
        if (bodyLeft_ > 0)
            state_ = State::Body;
        else
            bodyEnded(true);
    } else {
        keeping_ = false;
        return false; // the body runs to the end of the connection: nothing more to read
    }
    return true;
}

} // namespace velmora
