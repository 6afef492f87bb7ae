#pragma once
// Pairs the requests of one decrypted connection with their answers: it stands between the client's
// HttpRequestReader and the sink, keeping what pairing needs of each request, and reads the server's
// decrypted bytes with the HTTP/1.x or HTTP/2 response reader (told apart by the server's first
// byte). HTTP/1.x answers pair with requests in order, HTTP/2 ones by stream id. What is kept is
// bounded in number and drawn from the connection's budget.

#include "http/Http1ResponseReader.h"
#include "http/Http2ResponseReader.h"
#include "http/HttpRequest.h"

#include <cstddef>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace velmora {

class HttpExchanges final : public HttpRequestSink {
public:
    static constexpr std::size_t kMaxPending = 256;          // requests awaiting their answer
    static constexpr std::size_t kMaxRequestText = 16 << 10; // kept of each for the data window

    HttpExchanges(HttpRequestSink& sink, ByteBudget& budget) : sink_(sink), budget_(budget) {}
    ~HttpExchanges() { Restart(); }
    HttpExchanges(const HttpExchanges&) = delete;
    HttpExchanges& operator=(const HttpExchanges&) = delete;

    void Request(HttpRequest& request) override;
    void RequestRefused() override;
    // The server's decrypted application data, its last byte in frame `packet`. False once the
    // answers cannot be read (they are then left alone).
    bool ServerBytes(std::span<const std::uint8_t> bytes, PacketNumber packet);
    // `n` bytes of the server's decrypted stream were lost to a gap in the capture. True when that cost
    // nothing (they were body bytes). Otherwise HTTP/1.x answers pair again from the next status line
    // with the requests made after the gap, and HTTP/2 answers are given up (the header table is gone).
    bool Lost(std::uint64_t n);
    // A gap begins in the server's stream: the requests waiting now are the ones sent before it, whose
    // answers it may hold. Lost, called once its size is known, gives up no others.
    void GapBegins() { pendingAtGap_ = pending_.size(); }
    bool AnyPending() const { return !pending_.empty(); }
    // Body bytes that come next in the server's stream: they can be passed over unread with SkipBody.
    std::uint64_t BodyBytesAhead() const;
    void SkipBody(std::uint64_t n);
    // HTTP/2: an unread frame header follows the body bytes ahead, so DATA frames can be passed over
    // by their headers alone.
    bool FrameFollowsBody() const { return http2_ && http2_->FrameFollowsBody(); }
    // HTTP/2: the DATA of this stream is read (a kept body): its frames must not be passed over.
    bool KeepsDataOf(std::uint32_t stream) const;
    // The client starts its HTTP afresh (the server refused its early data): no request waits any more.
    void Restart();

private:
    struct Pending {
        HttpRequest request; // a GET's; of other methods only the method
        std::size_t cost = 0;
    };

    // Keeps what pairing needs of a request.
    void await(const HttpRequest& request);
    // Returns how many bytes of the answer's body the sink wants kept.
    std::size_t answer(const HttpRequest* request, HttpResponseHead& head);
    void pop(std::deque<Pending>::iterator at);
    void stop(); // pairing cannot go on: what waits is given back
    void startHttp1();

    HttpRequestSink& sink_;
    ByteBudget& budget_;
    std::deque<Pending> pending_; // in request order
    std::vector<HttpRequest> bodies_; // HTTP/2: the requests whose answers' bodies are kept
    std::optional<Http1ResponseReader> http1_;
    std::optional<Http2ResponseReader> http2_;
    bool broken_ = false;
    std::size_t pendingAtGap_ = SIZE_MAX;
};

} // namespace velmora
