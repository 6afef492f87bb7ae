#pragma once
// The HTTP/3 of one QUIC connection, fed the STREAM frames of both directions: each request's
// HEADERS on the client's bidirectional streams, and the response's on the same stream from the
// server. Header blocks are decoded with nghttp3's QPACK decoder, one per direction, fed the
// sender's encoder stream; the dynamic table's size is the one the receiver allowed in its SETTINGS.
// A stream is read only up to its (final) header block, unless the sink asks for the response's
// body (a manifest): then its DATA is kept, up to the bound asked for, until the stream's FIN.
// A stream is dropped once read; a request's address is kept until its answer's head comes (or the
// connection ends), however many exchanges come between. Everything kept is drawn from the
// connection's budget: the streams' objects and bytes, the addresses, the QPACK tables.

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
#include <string>
#include <string_view>
#include <vector>

struct nghttp3_qpack_decoder;

namespace velmora {

class Http3Reader final {
public:
    static constexpr std::size_t kMaxHeaderBlockBytes = 64 << 10; // as sent
    // Names and values of a block as decoded: one byte can refer to a long table entry, so this is
    // bounded apart from the block's size, as over HTTP/2. A block past it is malformed.
    static constexpr std::size_t kMaxDecodedBlockBytes = 64 << 10;
    static constexpr std::size_t kMaxTextBytes = 64 << 10;
    static constexpr std::size_t kMaxMediaTypeBytes = 255; // a type and subtype of 127 each, and the slash
    static constexpr std::uint64_t kMaxTableCapacity = 1 << 20; // a larger SETTINGS value is not followed
    static constexpr std::size_t kMaxStreams = 256;             // read at once, both directions
    static constexpr std::size_t kMaxKeptBodies = 8;            // response bodies read at once
    // Streams read to their end above the oldest one still open, remembered so that their bytes
    // sent again are not read twice.
    static constexpr std::size_t kMaxReadAbove = 1024;
    // Requests waiting for their answers may hold this share of the budget (1/n); past it the
    // oldest is given up.
    static constexpr std::size_t kAskedShare = 4;

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
    bool WantsServerBytes() const { return !encoders_[1].capacity || !asked_.empty() || keptBodies_ > 0; }

private:
    struct Stream;
    struct Block;
    // One endpoint's header blocks as its peer decodes them.
    struct Encoder {
        nghttp3_qpack_decoder* decoder = nullptr;
        std::optional<std::uint64_t> capacity;       // from the peer's SETTINGS
        nghttp3_qpack_decoder* staticOnly = nullptr; // for blocks without table references before SETTINGS
        std::uint64_t streamId = UINT64_MAX;         // the encoder stream, once known
    };
    // A request handed on whose answer's head is not read yet: its address, for the sink's Response.
    struct Asked {
        HttpRequest request; // without its text
        std::size_t charged = 0;
    };

    Stream* stream(bool fromClient, std::uint64_t id);
    bool makeRoom(bool fromClient, std::uint64_t id);
    bool wasRead(bool fromClient, std::uint64_t id) const;
    void markRead(bool fromClient, std::uint64_t id);
    void raiseFloor(std::size_t slot, std::uint64_t to);
    void sweep();
    void read(Stream& s);
    bool readFrames(Stream& s);
    bool headerBlock(Stream& s, std::span<const std::uint8_t> block);
    void take(const Stream& s, Block& block, std::string* field, std::string_view name, std::string_view value);
    bool request(Stream& s, Block& block);
    bool response(Stream& s, Block& block);
    void ask(const HttpRequest& request);
    void forgetAsked(std::map<std::uint64_t, Asked>::iterator it);
    void settings(bool fromClient, std::span<const std::uint8_t> payload);
    void encoderBytes(bool fromClient, Stream& s);
    void retryBlocked(bool fromClient);
    bool makeDecoder(std::uint64_t capacity, nghttp3_qpack_decoder*& out);
    bool bodyBytes(Stream& s);
    void endBody(Stream& s, bool complete);
    void finish(Stream& s);

    HttpRequestSink& sink_;
    ByteBudget& budget_;
    void* memory_;                    // the nghttp3_mem the decoders allocate through; outlives them
    std::array<Encoder, 2> encoders_; // [1]: the client's
    std::map<std::uint64_t, std::unique_ptr<Stream>> streams_; // being read, by id << 1 | fromClient
    std::vector<std::uint64_t> finished_;                      // keys of streams to drop once the frame is read
    // By direction and id type: ids below the floor, and those above it in the set, were read to
    // their end (or given up). A response stream is read only while its request awaits it.
    std::array<std::uint64_t, 8> floor_{};
    std::array<std::set<std::uint64_t>, 8> readAbove_;
    std::map<std::uint64_t, Asked> asked_; // by stream id
    std::size_t askedBytes_ = 0;
    std::size_t keptBodies_ = 0; // response streams whose body is being read
};

} // namespace velmora
