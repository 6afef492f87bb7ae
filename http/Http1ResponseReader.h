#pragma once
// The response heads in a server's HTTP/1.x byte stream, in order: each head (status line and headers)
// is read when complete, its body skipped by Content-Length or chunking without being kept. Fed in
// pieces as segments or records arrive; the head being gathered is the only thing held, within
// kMaxHeadBytes and the connection's budget.

#include "capture/HttpResponseHead.h"
#include "tcp/BoundedBuffer.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace velmora {

class Http1ResponseReader final {
public:
    static constexpr std::size_t kMaxHeadBytes = 16 << 10;

    // Called for every final head (1xx heads are skipped). Returns true when the request it answers
    // was a HEAD, whose answer has no body.
    using HeadReceived = std::function<bool(HttpResponseHead& head)>;

    // A kept body, whole or cut at its bound (`complete` false), with the head it answers.
    using BodyReceived = std::function<void(std::span<const std::uint8_t> body, bool complete)>;

    Http1ResponseReader(ByteBudget& budget, HeadReceived headReceived)
        : buffer_(budget), body_(budget), headReceived_(std::move(headReceived)) {}

    // Called from HeadReceived: the body of that answer is kept, up to `limit` bytes (within the
    // budget), and handed to `received` once it ends. Its bytes are then read, not passed over.
    void KeepBody(std::size_t limit, BodyReceived received);

    // Server bytes whose last one arrived in frame `packet`. False once the stream cannot be read
    // (not HTTP/1.x, a head past its bound, a body that runs to the end of the connection).
    bool Add(std::span<const std::uint8_t> bytes, PacketNumber packet);
    bool Broken() const { return state_ == State::Broken; }
    // `n` bytes of the stream were never captured. True when that cost nothing: they lay within a body
    // being passed over. Otherwise the reader has lost step and passes over what follows until a piece
    // that begins with a status line (Add's bytes as the stream hands them on: a segment, a record).
    bool Lost(std::uint64_t n);
    // Body bytes that come next and need not be seen: they can be passed over with SkipBody.
    std::uint64_t BodyBytesAhead() const {
        return !keeping_ && (state_ == State::Body || state_ == State::ChunkData) ? bodyLeft_ : 0;
    }
    void SkipBody(std::uint64_t n);
    bool Idle() const { return state_ == State::Head && buffer_.empty(); }

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailer, Resync, Broken };

    bool head(std::span<const std::uint8_t>& bytes, PacketNumber packet);
    // Body bytes consumed: kept when the body is wanted.
    void bodyBytes(std::span<const std::uint8_t> bytes);
    // The body ended (or was lost): a kept one goes to its receiver.
    void bodyEnded(bool complete);
    // A line of a chunked body into line_; true when it is complete.
    bool takeLine(std::span<const std::uint8_t>& bytes, bool& complete);

    BoundedBuffer buffer_;
    BoundedBuffer body_;
    HeadReceived headReceived_;
    bool keeping_ = false;
    bool bodyCut_ = false;
    std::size_t bodyLimit_ = 0;
    BodyReceived bodyReceived_;
    State state_ = State::Head;
    std::uint64_t bodyLeft_ = 0;
    std::string line_;
};

} // namespace velmora
