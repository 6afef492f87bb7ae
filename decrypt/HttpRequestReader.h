#pragma once
// The requests in a client's decrypted byte stream: HTTP/1.x request heads (request line and
// headers, bodies skipped by Content-Length or chunking), or HTTP/2 (the client preface, then
// frames; HEADERS and CONTINUATION header blocks decoded with nghttp2's HPACK inflater, which keeps
// the connection's dynamic table). Fed in pieces as records are decrypted; every buffer is drawn
// from the connection's budget.

#include "decrypt/BoundedBuffer.h"
#include "decrypt/HttpRequest.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct nghttp2_hd_inflater;

namespace velmora {

class HttpRequestReader final {
public:
    static constexpr std::size_t kMaxHeadBytes = 64 << 10;        // an HTTP/1.x request head
    static constexpr std::size_t kMaxHeaderBlockBytes = 64 << 10; // an HTTP/2 header block, compressed
    static constexpr std::size_t kMaxHeaderTable = 64 << 10;      // HPACK dynamic table a client may use
    // An HTTP/2 header block decoded: names and values as the table hands them out. One byte can
    // refer to a long table entry, so the decoded size is bounded apart from the compressed one.
    static constexpr std::size_t kMaxDecodedBlockBytes = 64 << 10;
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

private:
    enum class Mode { Unknown, Http1, Http2, Broken };
    enum class Http1State { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailer };

    bool http1(std::span<const std::uint8_t>& bytes);
    bool http1Head(std::span<const std::uint8_t> head);
    bool http2(std::span<const std::uint8_t>& bytes);
    bool http2Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream, std::span<const std::uint8_t> payload);
    bool headerBlock(std::span<const std::uint8_t> block);
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
    BoundedBuffer buffer_; // HTTP/1.x head, or HTTP/2 frame payload being gathered
    std::string line_;     // chunk-size and trailer lines

    // HTTP/1.x
    Http1State state_ = Http1State::Head;
    std::uint64_t bodyLeft_ = 0;

    // HTTP/2
    std::size_t prefaceMatched_ = 0;
    std::array<std::uint8_t, 9> frameHeader_{};
    std::size_t frameHeaderHave_ = 0;
    std::uint32_t frameLength_ = 0;
    std::uint32_t frameLeft_ = 0; // payload bytes still to come
    bool gatherFrame_ = false;
    BoundedBuffer block_; // a header block spread over HEADERS and CONTINUATION frames
    std::uint32_t blockStream_ = 0;
    bool inBlock_ = false;
    nghttp2_hd_inflater* inflater_ = nullptr;
    void* inflaterMemory_ = nullptr; // the nghttp2_mem the inflater allocates through; outlives it
};

} // namespace velmora
