#pragma once
// HTTP/2 frames of one direction of a connection, after the client's preface: header blocks
// (HEADERS or PUSH_PROMISE, then CONTINUATION) are gathered and decoded with nghttp2's HPACK
// inflater, which keeps that direction's dynamic table; every other frame's payload passes by
// without being kept. Used for the client's requests and the server's answers alike. Every buffer
// and the header table are drawn from the connection's budget.

#include "tcp/BoundedBuffer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct nghttp2_hd_inflater;

namespace velmora {

// Receives the fields of each decoded header block.
class Http2HeaderHandler {
public:
    // A block begins on `stream`; `promise` for a server's PUSH_PROMISE (its fields describe a
    // pushed request, on another stream).
    virtual void HeaderBlockStart(std::uint32_t stream, bool promise) = 0;
    // One field. False when the block is malformed: the rest is decoded (the table stays in step)
    // but not handed on.
    virtual bool HeaderField(std::string_view name, std::string_view value) = 0;
    // The block is complete; `malformed` when a field was refused or the decoded size passed its bound.
    virtual void HeaderBlockEnd(bool malformed) = 0;
    // The payload of a DATA frame on a stream whose data is kept (KeepData), padding removed.
    virtual void Data(std::uint32_t stream, std::span<const std::uint8_t> payload, bool endStream) {
        (void)stream;
        (void)payload;
        (void)endStream;
    }

protected:
    ~Http2HeaderHandler() = default;
};

class Http2FrameReader final {
public:
    static constexpr std::size_t kMaxHeaderBlockBytes = 64 << 10; // compressed
    static constexpr std::size_t kMaxHeaderTable = 64 << 10;      // HPACK dynamic table the peer may use
    // Decoded names and values of a block: one byte can refer to a long table entry, so the decoded
    // size is bounded apart from the compressed one.
    static constexpr std::size_t kMaxDecodedBlockBytes = 64 << 10;
    // DATA frames of a kept stream are gathered whole up to this size; a larger one is passed over.
    static constexpr std::size_t kMaxKeptDataFrame = 64 << 10;
    static constexpr std::size_t kMaxKeptStreams = 8;

    Http2FrameReader(Http2HeaderHandler& handler, ByteBudget& budget);
    ~Http2FrameReader();
    Http2FrameReader(const Http2FrameReader&) = delete;
    Http2FrameReader& operator=(const Http2FrameReader&) = delete;

    // Takes frame bytes; false once the stream cannot be read as HTTP/2.
    bool Add(std::span<const std::uint8_t> bytes);
    // Payload bytes of the current frame still to come that are not kept (DATA and the like): they
    // can be passed over with Skip without being seen.
    std::uint32_t PassingBytesAhead() const { return frameHeaderHave_ == frameHeader_.size() && !gatherFrame_ ? frameLeft_ : 0; }
    void Skip(std::uint32_t n);
    // Whether a frame header follows the unkept payload ahead (none may be half read).
    bool FrameFollowsPassingBytes() const {
        return frameHeaderHave_ == 0 || (frameHeaderHave_ == frameHeader_.size() && !gatherFrame_);
    }
    void Clear();
    // The DATA of `stream` goes to the handler's Data until the stream ends (or ForgetData); at most
    // kMaxKeptStreams at once, false past them.
    bool KeepData(std::uint32_t stream);
    void ForgetData(std::uint32_t stream);
    bool KeepsData(std::uint32_t stream) const;

private:
    bool frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream, std::span<const std::uint8_t> payload);
    bool headerBlock(std::span<const std::uint8_t> block);
    void endFrame();

    Http2HeaderHandler& handler_;
    ByteBudget& budget_;
    BoundedBuffer buffer_; // the payload of a header frame being gathered
    std::array<std::uint8_t, 9> frameHeader_{};
    std::size_t frameHeaderHave_ = 0;
    std::uint32_t frameLeft_ = 0; // payload bytes still to come
    bool gatherFrame_ = false;
    BoundedBuffer block_; // a header block spread over HEADERS and CONTINUATION frames
    std::uint32_t blockStream_ = 0;
    bool blockPromise_ = false;
    bool inBlock_ = false;
    nghttp2_hd_inflater* inflater_ = nullptr;
    void* inflaterMemory_ = nullptr; // the nghttp2_mem the inflater allocates through; outlives it
    std::array<std::uint32_t, kMaxKeptStreams> keptStreams_{}; // 0: free
};

} // namespace velmora
