#pragma once
// The answers in a server's HTTP/2 byte stream: each stream's response head (its HEADERS and
// CONTINUATION frames, decoded with the server's HPACK dynamic table) is handed on once complete.
// Interim 1xx heads, trailers and pushed streams are passed over; DATA payload is never kept.

#include "capture/HttpResponseHead.h"
#include "http/Http2FrameReader.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace velmora {

class Http2ResponseReader final : private Http2HeaderHandler {
public:
    static constexpr std::size_t kMaxHeadText = 16 << 10; // of a head's "name: value" lines

    // A final head on `stream`, completed in the frame given to Add.
    using HeadReceived = std::function<void(std::uint32_t stream, HttpResponseHead& head)>;

    // A kept body on `stream`, whole or cut at its bound (`complete` false).
    using BodyReceived = std::function<void(std::uint32_t stream, std::span<const std::uint8_t> body, bool complete)>;

    Http2ResponseReader(ByteBudget& budget, HeadReceived headReceived, BodyReceived bodyReceived = {})
        : budget_(budget), frames_(*this, budget), headReceived_(std::move(headReceived)),
          bodyReceived_(std::move(bodyReceived)) {}

    // Called from HeadReceived: the body on `stream` is kept up to `limit` bytes and its DATA is read,
    // not passed over. False when too many bodies are kept already.
    bool KeepBody(std::uint32_t stream, std::size_t limit);
    bool KeepsBody(std::uint32_t stream) const { return frames_.KeepsData(stream); }

    // Server bytes from the start of its stream (its SETTINGS first); false once it cannot be read.
    bool Add(std::span<const std::uint8_t> bytes, PacketNumber packet);
    bool Broken() const { return broken_; }
    // DATA payload (or other unkept payload) that comes next: it can be passed over with SkipBody.
    std::uint64_t BodyBytesAhead() const { return broken_ ? 0 : frames_.PassingBytesAhead(); }
    void SkipBody(std::uint64_t n) { frames_.Skip(static_cast<std::uint32_t>(n)); }
    bool FrameFollowsBody() const { return !broken_ && frames_.FrameFollowsPassingBytes(); }

private:
    void HeaderBlockStart(std::uint32_t stream, bool promise) override;
    bool HeaderField(std::string_view name, std::string_view value) override;
    void HeaderBlockEnd(bool malformed) override;
    void Data(std::uint32_t stream, std::span<const std::uint8_t> payload, bool endStream) override;

    struct KeptBody {
        KeptBody(ByteBudget& budget, std::uint32_t stream, std::size_t limit) : bytes(budget), stream(stream), limit(limit) {}
        BoundedBuffer bytes;
        std::uint32_t stream;
        std::size_t limit;
        bool cut = false;
    };
    ByteBudget& budget_;
    Http2FrameReader frames_;
    HeadReceived headReceived_;
    BodyReceived bodyReceived_;
    std::vector<std::unique_ptr<KeptBody>> kept_;
    PacketNumber packet_ = 0;
    bool broken_ = false;
    HttpResponseHead head_; // the block being decoded
    std::uint32_t stream_ = 0;
    bool ignore_ = false; // a PUSH_PROMISE's request fields
};

} // namespace velmora
