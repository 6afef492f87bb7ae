#include "quic/Http3Reader.h"

#include "tcp/BoundedBuffer.h"
#include "tcp/BudgetMemory.h"
#include "quic/QuicStreamAssembler.h"
#include "quic/QuicVarint.h"

#include <nghttp3/nghttp3.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace velmora {
namespace {

constexpr std::uint64_t kDataFrame = 0x00;
constexpr std::uint64_t kHeadersFrame = 0x01;
constexpr std::uint64_t kSettingsFrame = 0x04;
constexpr std::uint64_t kControlStream = 0x00;
constexpr std::uint64_t kEncoderStream = 0x02;
constexpr std::uint64_t kQpackMaxTableCapacity = 0x01;
constexpr std::size_t kMaxSettingsBytes = 4096;
constexpr std::size_t kMaxBlockedStreams = 100;

std::string_view text(const nghttp3_rcbuf* buffer) {
    const nghttp3_vec v = nghttp3_rcbuf_get_buf(buffer);
    return {reinterpret_cast<const char*>(v.base), v.len};
}

} // namespace

struct Http3Reader::Stream {
    enum class Kind { UniType, Request, Response, Body, Control, Encoder, Done };

    Stream(ByteBudget& budget, bool fromClient, std::uint64_t id, Kind kind)
        : bytes(budget), fromClient(fromClient), id(id), kind(kind) {}
    ~Stream() {
        if (context)
            nghttp3_qpack_stream_context_del(context);
    }

    QuicStreamAssembler bytes;
    bool fromClient;
    std::uint64_t id;
    Kind kind;
    PacketNumber packet = 0;    // the frame that brought the latest bytes
    std::uint64_t skipLeft = 0; // of a frame that is not read
    nghttp3_qpack_stream_context* context = nullptr;
    nghttp3_qpack_decoder* decoder = nullptr; // the one the stream's blocks are decoded with
    std::size_t blockTaken = 0;               // bytes of the current block the decoder has read
    bool blocked = false;
    HttpRequest fields;        // the request's header block decoded so far
    HttpResponseHead response; // the response's
    std::string host;
    std::string status;
    std::optional<std::uint64_t> finalSize; // from the FIN
    // A response body the sink asked for: the request it answers, and the DATA payload so far.
    HttpRequest request;
    std::unique_ptr<BoundedBuffer> body;
    std::size_t bodyLimit = 0;
    std::uint64_t dataLeft = 0; // of the DATA frame being read
};

Http3Reader::Http3Reader(HttpRequestSink& sink, ByteBudget& budget)
    : sink_(sink), budget_(budget), memory_(new nghttp3_mem{&budget_, budget_memory::Malloc, budget_memory::Free,
                                                            budget_memory::Calloc, budget_memory::Realloc}) {}

Http3Reader::~Http3Reader() {
    streams_.clear();
    for (Encoder& e : encoders_) {
        if (e.decoder)
            nghttp3_qpack_decoder_del(e.decoder);
        if (e.staticOnly)
            nghttp3_qpack_decoder_del(e.staticOnly);
    }
    delete static_cast<nghttp3_mem*>(memory_);
}

bool Http3Reader::makeDecoder(Encoder& encoder, std::uint64_t capacity, nghttp3_qpack_decoder*& out) {
    (void)encoder;
    if (out)
        return true;
    if (capacity > kMaxTableCapacity)
        return false;
    if (nghttp3_qpack_decoder_new(&out, capacity, kMaxBlockedStreams, static_cast<nghttp3_mem*>(memory_)) != 0) {
        out = nullptr;
        return false;
    }
    return true;
}

void Http3Reader::forgetOldStreams() {
    // Streams of one kind are opened in order: the oldest finished ones go, and later bytes for
    // them are ignored.
    for (auto it = streams_.begin(); it != streams_.end() && streams_.size() >= kMaxStreams * 3 / 4;) {
        Stream& s = *it->second;
        if (s.kind != Stream::Kind::Done) {
            ++it;
            continue;
        }
        std::uint64_t& floor = floor_[(s.fromClient ? 4 : 0) | (s.id & 3)];
        floor = std::max(floor, s.id + 4);
        it = streams_.erase(it);
    }
}

Http3Reader::Stream* Http3Reader::stream(bool fromClient, std::uint64_t id, std::uint64_t offset) {
    const std::uint64_t key = id << 1 | (fromClient ? 1 : 0);
    if (const auto it = streams_.find(key); it != streams_.end())
        return it->second.get();
    if (id < floor_[(fromClient ? 4 : 0) | (id & 3)] || id >= (std::uint64_t{1} << 62))
        return nullptr;
    using Kind = Stream::Kind;
    Kind kind = Kind::Done;
    switch (id & 3) {
    case 0: // client-initiated bidirectional: a request and its response
        kind = fromClient ? Kind::Request : Kind::Response;
        break;
    case 2: // unidirectional, the client's
        kind = fromClient ? Kind::UniType : Kind::Done;
        break;
    case 3: // unidirectional, the server's
        kind = fromClient ? Kind::Done : Kind::UniType;
        break;
    default: // server-initiated bidirectional: not used by HTTP/3
        break;
    }
    if (kind == Kind::Done || (kind == Kind::Response && offset > 0 && !streams_.contains(id << 1 | 1)))
        return nullptr;
    if (streams_.size() >= kMaxStreams)
        forgetOldStreams();
    if (streams_.size() >= kMaxStreams)
        return nullptr;
    return streams_.emplace(key, std::make_unique<Stream>(budget_, fromClient, id, kind)).first->second.get();
}

void Http3Reader::StreamData(bool fromClient, std::uint64_t streamId, std::uint64_t offset,
                             std::span<const std::uint8_t> data, PacketNumber packet, bool fin) {
    Stream* s = stream(fromClient, streamId, offset);
    if (!s || s->kind == Stream::Kind::Done)
        return;
    s->packet = packet;
    if (fin)
        s->finalSize = offset + data.size();
    if (!s->bytes.Add(offset, data)) {
        finish(*s);
        return;
    }
    read(*s);
}

void Http3Reader::StreamReset(bool fromClient, std::uint64_t streamId) {
    const auto it = streams_.find(streamId << 1 | (fromClient ? 1 : 0));
    if (it != streams_.end() && it->second->kind != Stream::Kind::Done)
        finish(*it->second);
}

void Http3Reader::finish(Stream& s) {
    s.kind = Stream::Kind::Done;
    s.bytes.Stop();
    if (!s.fromClient && (s.id & 3) == 0)
        awaitingResponse_.erase(s.id);
    if (s.body)
        endBody(s, false); // what came before the budget or a gap stopped it
}

void Http3Reader::endBody(Stream& s, bool complete) {
    const std::unique_ptr<BoundedBuffer> body = std::move(s.body);
    --keptBodies_;
    sink_.ResponseBody(s.request, body->Bytes(), complete);
}

bool Http3Reader::bodyBytes(Stream& s) {
    // DATA payload is kept as it comes, other frames (trailers, extensions) are passed over; the body
    // goes to the sink at the stream's end, or cut once it outgrows its bound.
    while (true) {
        const auto bytes = s.bytes.Bytes();
        if (s.dataLeft > 0 || s.skipLeft > 0) {
            if (bytes.empty())
                break;
            std::uint64_t& left = s.dataLeft > 0 ? s.dataLeft : s.skipLeft;
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size()));
            if (&left == &s.dataLeft && (s.body->size() + n > s.bodyLimit || !s.body->Append(bytes.first(n)))) {
                endBody(s, false);
                return false;
            }
            s.bytes.Consume(n);
            left -= n;
            continue;
        }
        std::size_t at = 0;
        const auto type = ReadQuicVarint(bytes, at);
        const auto length = ReadQuicVarint(bytes, at);
        if (!type || !length)
            break; // the frame header is not complete yet
        s.bytes.Consume(at);
        (*type == kDataFrame ? s.dataLeft : s.skipLeft) = *length;
    }
    if (s.finalSize && s.bytes.ReadOffset() >= *s.finalSize) {
        endBody(s, s.dataLeft == 0 && s.skipLeft == 0);
        return false;
    }
    return true;
}

void Http3Reader::read(Stream& s) {
    using Kind = Stream::Kind;
    if (s.kind == Kind::UniType) {
        std::size_t at = 0;
        const auto type = ReadQuicVarint(s.bytes.Bytes(), at);
        if (!type)
            return;
        s.bytes.Consume(at);
        if (*type == kControlStream) {
            s.kind = Kind::Control;
        } else if (*type == kEncoderStream) {
            s.kind = Kind::Encoder;
            encoders_[s.fromClient].streamId = s.id;
        } else {
            s.kind = Kind::Done; // push streams, the decoder streams, extensions
        }
    }
    bool ok = true;
    switch (s.kind) {
    case Kind::Encoder:
        encoderBytes(s.fromClient, s);
        return;
    case Kind::Control:
    case Kind::Request:
    case Kind::Response:
    case Kind::Body:
        ok = readFrames(s);
        break;
    default:
        break;
    }
    if (!ok || s.kind == Kind::Done)
        finish(s);
}

bool Http3Reader::readFrames(Stream& s) {
    while (s.kind != Stream::Kind::Done && !s.blocked) {
        if (s.kind == Stream::Kind::Body)
            return bodyBytes(s);
        const auto bytes = s.bytes.Bytes();
        if (s.skipLeft > 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(s.skipLeft, bytes.size()));
            s.bytes.Consume(n);
            s.skipLeft -= n;
            if (s.skipLeft > 0)
                return true;
            continue;
        }
        std::size_t at = 0;
        const auto type = ReadQuicVarint(bytes, at);
        const auto length = ReadQuicVarint(bytes, at);
        if (!type || !length)
            return true; // the frame header is not complete yet
        if (s.kind == Stream::Kind::Control) {
            // SETTINGS comes first; nothing after it is needed.
            if (*type != kSettingsFrame || *length > kMaxSettingsBytes)
                return false;
            if (bytes.size() - at < *length)
                return true;
            settings(s.fromClient, bytes.subspan(at, static_cast<std::size_t>(*length)));
            return false;
        }
        if (*type != kHeadersFrame) {
            if (*type == kDataFrame && s.fields.method.empty() && s.status.empty())
                return false; // a body before any header block
            s.bytes.Consume(at);
            s.skipLeft = *length;
            continue;
        }
        if (*length > kMaxHeaderBlockBytes || *length == 0)
            return false;
        if (bytes.size() - at < *length)
            return true;
        if (!headerBlock(s, bytes.subspan(at, static_cast<std::size_t>(*length))))
            return false;
        if (s.blocked)
            return true;
        s.bytes.Consume(at + static_cast<std::size_t>(*length));
    }
    return s.kind != Stream::Kind::Done;
}

bool Http3Reader::headerBlock(Stream& s, std::span<const std::uint8_t> block) {
    Encoder& e = encoders_[s.fromClient];
    if (!s.context) {
        if (e.capacity) {
            if (!makeDecoder(e, *e.capacity, e.decoder))
                return false;
            s.decoder = e.decoder;
        } else if (block[0] == 0) {
            // Required Insert Count 0: no table entry is used, so the table's size does not matter.
            if (!makeDecoder(e, 0, e.staticOnly))
                return false;
            s.decoder = e.staticOnly;
        } else {
            s.blocked = true; // the receiver's SETTINGS have not been seen yet
            return true;
        }
        if (nghttp3_qpack_stream_context_new(&s.context, static_cast<std::int64_t>(s.id),
                                             static_cast<nghttp3_mem*>(memory_)) != 0) {
            s.context = nullptr;
            return false;
        }
    }
    while (true) {
        const auto in = block.subspan(s.blockTaken);
        nghttp3_qpack_nv nv;
        std::uint8_t flags = 0;
        const nghttp3_ssize used =
            nghttp3_qpack_decoder_read_request(s.decoder, s.context, &nv, &flags, in.data(), in.size(), 1);
        if (used < 0)
            return false;
        s.blockTaken += static_cast<std::size_t>(used);
        if (flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT) {
            const std::string_view name = text(nv.name);
            const std::string_view value = text(nv.value);
            if (name == ":method")
                s.fields.method = value;
            else if (name == ":authority")
                s.fields.authority = value;
            else if (name == ":path")
                s.fields.target = value;
            else if (name == "host")
                s.host = value;
            else if (name == ":status")
                s.status = value;
            if (s.kind == Stream::Kind::Response)
                s.response.TakeHeader(name, value);
            if (s.fields.text.size() + name.size() + value.size() + 4 <= kMaxTextBytes)
                s.fields.text.append(name).append(": ").append(value).append("\r\n");
            nghttp3_rcbuf_decref(nv.name);
            nghttp3_rcbuf_decref(nv.value);
        }
        if (flags & NGHTTP3_QPACK_DECODE_FLAG_FINAL)
            break;
        if (flags & NGHTTP3_QPACK_DECODE_FLAG_BLOCKED) {
            s.blocked = true; // waits for the encoder stream
            return true;
        }
        if (used == 0 && !(flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT))
            return false;
    }
    nghttp3_qpack_stream_context_reset(s.context);
    s.blockTaken = 0;
    if (s.kind == Stream::Kind::Request) {
        if (s.fields.method.empty())
            return false;
        if (s.fields.authority.empty())
            s.fields.authority = s.host;
        s.fields.stream = s.id;
        HttpRequest request = s.fields;
        request.packet = s.packet;
        s.fields.text.clear();
        s.fields.packet = s.packet;
        sink_.Request(request);
        s.kind = Stream::Kind::Done;
        if (awaitingResponse_.size() < kMaxStreams)
            awaitingResponse_.insert(s.id);
        return true;
    }
    // A response: informational ones (1xx) come before the final one.
    if (s.status.size() == 3 && s.status[0] == '1') {
        s.status.clear();
        s.fields = HttpRequest();
        s.response = HttpResponseHead();
        return true;
    }
    s.kind = Stream::Kind::Done;
    awaitingResponse_.erase(s.id);
    // The answer to the request on the same stream, when that was read.
    const auto request = streams_.find(s.id << 1 | 1);
    if (request == streams_.end() || request->second->fields.method.empty())
        return true;
    s.response.text = std::move(s.fields.text);
    s.response.packet = s.packet;
    const std::size_t keep = sink_.Response(request->second->fields, s.response);
    if (keep > 0 && keptBodies_ < kMaxKeptBodies) {
        // A manifest: its body is read, and the server's packets stay open until it ends.
        s.kind = Stream::Kind::Body;
        s.request = request->second->fields;
        s.request.text.clear(); // only its address is wanted
        s.body = std::make_unique<BoundedBuffer>(budget_);
        s.bodyLimit = keep;
        ++keptBodies_;
    }
    return true;
}

void Http3Reader::settings(bool fromClient, std::span<const std::uint8_t> payload) {
    // The sender's SETTINGS bound the table its peer's encoder may use.
    Encoder& peer = encoders_[!fromClient];
    std::uint64_t capacity = 0;
    std::size_t at = 0;
    while (at < payload.size()) {
        const auto id = ReadQuicVarint(payload, at);
        const auto value = ReadQuicVarint(payload, at);
        if (!id || !value)
            break;
        if (*id == kQpackMaxTableCapacity)
            capacity = *value;
    }
    if (peer.capacity)
        return;
    peer.capacity = capacity;
    // The peer's encoder stream may have been waiting for this.
    if (const auto it = streams_.find(peer.streamId << 1 | (fromClient ? 0 : 1)); it != streams_.end())
        read(*it->second);
    retryBlocked(!fromClient);
}

void Http3Reader::encoderBytes(bool fromClient, Stream& s) {
    Encoder& e = encoders_[fromClient];
    if (!e.decoder) {
        if (!e.capacity)
            return; // kept until the peer's SETTINGS say how large the table may grow
        if (!makeDecoder(e, *e.capacity, e.decoder)) {
            finish(s);
            return;
        }
    }
    const auto bytes = s.bytes.Bytes();
    if (bytes.empty())
        return;
    const nghttp3_ssize used = nghttp3_qpack_decoder_read_encoder(e.decoder, bytes.data(), bytes.size());
    if (used < 0) {
        finish(s);
        return;
    }
    s.bytes.Consume(static_cast<std::size_t>(used));
    retryBlocked(fromClient);
}

void Http3Reader::retryBlocked(bool fromClient) {
    for (auto& [key, s] : streams_) {
        if (s->fromClient != fromClient || !s->blocked)
            continue;
        s->blocked = false;
        read(*s);
    }
}

} // namespace velmora
