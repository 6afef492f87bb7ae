#pragma once
// The HTTP/3 of one QUIC connection, fed the STREAM frames of both directions: each request's
// HEADERS on the client's bidirectional streams, and the response's on the same stream from the
// server. Header blocks are decoded with nghttp3's QPACK decoder, one per direction, fed the
// sender's encoder stream; the dynamic table's size is the one the receiver allowed in its SETTINGS.
// A stream is read only up to its (final) header block, unless the sink asks for the response's
// body (a manifest): then its DATA is kept, up to the bound asked for, until the stream's FIN.
// Everything kept is drawn from the connection's budget.

#include "capture/HttpResponseHead.h"
#include "tcp/ByteBudget.h"
#include "http/HttpRequest.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>

struct nghttp3_qpack_decoder;

namespace velmora {

class Http3Reader final {
public:
    static constexpr std::size_t kMaxHeaderBlockBytes = 64 << 10;
    static constexpr std::size_t kMaxTextBytes = 64 << 10;
    static constexpr std::uint64_t kMaxTableCapacity = 1 << 20; // a larger SETTINGS value is not followed
    static constexpr std::size_t kMaxStreams = 256;             // followed at once, both directions
    static constexpr std::size_t kMaxKeptBodies = 8;            // response bodies read at once

    Http3Reader(HttpRequestSink& sink, ByteBudget& budget);
    ~Http3Reader();
    Http3Reader(const Http3Reader&) = delete;
    Http3Reader& operator=(const Http3Reader&) = delete;

    // The data of a STREAM frame that arrived in frame `packet`; `fin` when the frame ends the stream.
    void StreamData(bool fromClient, std::uint64_t streamId, std::uint64_t offset, std::span<const std::uint8_t> data,
                    PacketNumber packet, bool fin = false);
    // The sender abandoned the stream (RESET_STREAM): a body read from it ends, cut.
    void StreamReset(bool fromClient, std::uint64_t streamId);
    // Whether the server's bytes can matter now: its SETTINGS are not read yet, a request waits for
    // its response's head, or a body the sink asked for is being read. A download's body does not.
    bool WantsServerBytes() const {
        return !encoders_[1].capacity || !awaitingResponse_.empty() || keptBodies_ > 0;
    }

private:
    struct Stream;
    // One endpoint's header blocks as its peer decodes them.
    struct Encoder {
        nghttp3_qpack_decoder* decoder = nullptr;
        std::optional<std::uint64_t> capacity;       // from the peer's SETTINGS
        nghttp3_qpack_decoder* staticOnly = nullptr; // for blocks without table references before SETTINGS
        std::uint64_t streamId = UINT64_MAX;         // the encoder stream, once known
    };

    Stream* stream(bool fromClient, std::uint64_t id, std::uint64_t offset);
    void read(Stream& s);
    bool readFrames(Stream& s);
    bool headerBlock(Stream& s, std::span<const std::uint8_t> block);
    void settings(bool fromClient, std::span<const std::uint8_t> payload);
    void encoderBytes(bool fromClient, Stream& s);
    void retryBlocked(bool fromClient);
    bool makeDecoder(Encoder& encoder, std::uint64_t capacity, nghttp3_qpack_decoder*& out);
    void forgetOldStreams();
    bool bodyBytes(Stream& s);
    void endBody(Stream& s, bool complete);
    void finish(Stream& s);

    HttpRequestSink& sink_;
    ByteBudget& budget_;
    void* memory_;                    // the nghttp3_mem the decoders allocate through; outlives them
    std::array<Encoder, 2> encoders_; // [1]: the client's
    std::map<std::uint64_t, std::unique_ptr<Stream>> streams_; // by id << 1 | fromClient
    std::array<std::uint64_t, 8> floor_{};                     // by direction and id type: older ids were dropped
    std::set<std::uint64_t> awaitingResponse_;                 // requests read whose response head is not yet
    std::size_t keptBodies_ = 0;                               // response streams whose body is being read
};

} // namespace velmora
