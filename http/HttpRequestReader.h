#pragma once
// The requests in a client's decrypted byte stream: HTTP/1.x request heads (request line and
// headers, bodies skipped by Content-Length or chunking), or HTTP/2 (the client preface, then
// frames; HEADERS and CONTINUATION header blocks decoded with nghttp2's HPACK inflater, which keeps
// the connection's dynamic table). Fed in pieces as records are decrypted; every buffer is drawn
// from the connection's budget.

#include "tcp/BoundedBuffer.h"
#include "http/Http2FrameReader.h"
#include "http/HttpRequest.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velmora {

class HttpRequestReader final : private Http2HeaderHandler {
public:
    static constexpr std::size_t kMaxHeadBytes = 64 << 10;        // an HTTP/1.x request head
    static constexpr std::size_t kMaxHeaderBlockBytes = Http2FrameReader::kMaxHeaderBlockBytes;
    static constexpr std::size_t kMaxHeaderTable = Http2FrameReader::kMaxHeaderTable;
    static constexpr std::size_t kMaxDecodedBlockBytes = Http2FrameReader::kMaxDecodedBlockBytes;
    // A path or authority longer than this is refused: more than a clear-text row reaches in one frame.
    static constexpr std::size_t kMaxAddressPart = 8 << 10;
    // Requests handed on per connection, and the address bytes they carry: at most a fixed allowance
    // plus a few times what the client sent, so a tiny header block that refers back to a long
    // value cannot grow the list faster than the traffic grows.
    static constexpr std::size_t kMaxRequests = 16384;
    static constexpr std::size_t kAddressAllowance = 64 << 10;
    static constexpr std::size_t kAddressPerSentByte = 4;

    HttpRequestReader(HttpRequestSink& sink, ByteBudget& budget);
    ~HttpRequestReader();
    HttpRequestReader(const HttpRequestReader&) = delete;
    HttpRequestReader& operator=(const HttpRequestReader&) = delete;

    // Bytes whose last one arrived in frame `packet`. False once the stream cannot be read as HTTP
    // (it is then left alone).
    bool Add(std::span<const std::uint8_t> bytes, PacketNumber packet);
    bool Broken() const { return mode_ == Mode::Broken; }
    bool Http2() const { return mode_ == Mode::Http2; }

private:
    enum class Mode { Unknown, Http1, Http2, Broken };
    enum class Http1State { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailer };

    bool http1(std::span<const std::uint8_t>& bytes);
    bool http1Head(std::span<const std::uint8_t> head);
    void HeaderBlockStart(std::uint32_t stream, bool promise) override;
    bool HeaderField(std::string_view name, std::string_view value) override;
    void HeaderBlockEnd(bool malformed) override;
    // Takes bytes until a line feed into line_; true when the line is complete.
    bool takeLine(std::span<const std::uint8_t>& bytes, bool& complete);
    // Hands a complete request to the sink within the per-connection bounds.
    void handOn(HttpRequest& request);

    HttpRequestSink& sink_;
    ByteBudget& budget_;
    PacketNumber packet_ = 0;
    std::uint64_t received_ = 0;     // decrypted bytes taken
    std::uint64_t addressBytes_ = 0; // authority and target bytes handed on
    std::size_t requestsHandedOn_ = 0;
    Mode mode_ = Mode::Unknown;
    BoundedBuffer buffer_; // HTTP/1.x head
    std::string line_;     // chunk-size and trailer lines

    // HTTP/1.x
    Http1State state_ = Http1State::Head;
    std::uint64_t bodyLeft_ = 0;

    // HTTP/2
    std::size_t prefaceMatched_ = 0;
    std::optional<Http2FrameReader> frames_;
    HttpRequest block_; // the request whose header block is being decoded
    std::string host_;
    unsigned pseudoSeen_ = 0;
};

} // namespace velmora
