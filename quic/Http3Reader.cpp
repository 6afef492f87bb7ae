#include "quic/Http3Reader.h"

#include "capture/HeaderText.h"
#include "http/HttpRequestReader.h"
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
constexpr std::size_t kMaxAddressPart = HttpRequestReader::kMaxAddressPart;
constexpr std::size_t kNodeBytes = 64; // a tree node around what a map or set holds

std::string_view text(const nghttp3_rcbuf* buffer) {
    const nghttp3_vec v = nghttp3_rcbuf_get_buf(buffer);
    return {reinterpret_cast<const char*>(v.base), v.len};
}

std::size_t slotOf(bool fromClient, std::uint64_t id) {
    return (fromClient ? 4 : 0) | (id & 3);
}

std::uint64_t keyOf(bool fromClient, std::uint64_t id) {
    return id << 1 | (fromClient ? 1 : 0);
}

} // namespace

struct Http3Reader::Stream {
    enum class Kind { UniType, Request, Response, Body, Control, Encoder, Done };
    // What a stream costs: the object and its map node.
    static constexpr std::size_t Charge() { return sizeof(Stream) + kNodeBytes; }

    Stream(ByteBudget& budget, bool fromClient, std::uint64_t id, Kind kind)
        : budget(budget), bytes(budget), fromClient(fromClient), id(id), kind(kind) {}
    ~Stream() {
        if (context)
            nghttp3_qpack_stream_context_del(context);
        budget.Give(Charge() + requestCharge);
    }

    ByteBudget& budget;
    QuicStreamAssembler bytes;
    bool fromClient;
    std::uint64_t id;
    Kind kind;
    bool finished = false;
    PacketNumber packet = 0;    // the frame that brought the latest bytes
    std::uint64_t skipLeft = 0; // of a frame that is not read
    nghttp3_qpack_stream_context* context = nullptr;
    nghttp3_qpack_decoder* decoder = nullptr; // the one the stream's blocks are decoded with
    std::size_t blockTaken = 0;               // bytes of the current block the decoder has read
    bool blocked = false;
    std::optional<std::uint64_t> finalSize; // from the FIN
    // A response body the sink asked for: the request it answers, and the DATA payload so far.
    HttpRequest request;
    std::size_t requestCharge = 0;
    std::unique_ptr<BoundedBuffer> body;
    std::size_t bodyLimit = 0;
    std::uint64_t dataLeft = 0; // of the DATA frame being read
};

// The fields of one header block as they are decoded.
struct Http3Reader::Block {
    HttpRequest fields;
    HttpResponseHead response;
    std::string host;
    std::optional<std::string> contentType; // the last one's media type, cut at its parameters
    std::size_t decoded = 0;
};

Http3Reader::Http3Reader(HttpRequestSink& sink, ByteBudget& budget)
    : sink_(sink), budget_(budget), memory_(new nghttp3_mem{&budget_, budget_memory::Malloc, budget_memory::Free,
                                                            budget_memory::Calloc, budget_memory::Realloc}) {
    for (std::size_t slot = 0; slot < floor_.size(); ++slot)
        floor_[slot] = slot & 3; // the first id of its type
}

Http3Reader::~Http3Reader() {
    streams_.clear();
    budget_.Give(askedBytes_);
    for (const auto& ids : readAbove_)
        budget_.Give(ids.size() * kNodeBytes);
    for (Encoder& e : encoders_) {
        if (e.decoder)
            nghttp3_qpack_decoder_del(e.decoder);
        if (e.staticOnly)
            nghttp3_qpack_decoder_del(e.staticOnly);
    }
    delete static_cast<nghttp3_mem*>(memory_);
}

bool Http3Reader::makeDecoder(std::uint64_t capacity, nghttp3_qpack_decoder*& out) {
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

bool Http3Reader::wasRead(bool fromClient, std::uint64_t id) const {
    const std::size_t slot = slotOf(fromClient, id);
    return id < floor_[slot] || readAbove_[slot].contains(id);
}

void Http3Reader::markRead(bool fromClient, std::uint64_t id) {
    const std::size_t slot = slotOf(fromClient, id);
    std::set<std::uint64_t>& above = readAbove_[slot];
    if (id < floor_[slot] || above.contains(id))
        return;
    if (id == floor_[slot]) {
        raiseFloor(slot, id + 4);
    } else if (above.size() >= kMaxReadAbove) {
        // An old stream stays open (a gap that never filled): streams below the oldest read one
        // that were never seen are given up.
        raiseFloor(slot, *above.begin() + 4);
        markRead(fromClient, id);
    } else if (budget_.Take(kNodeBytes)) {
        above.insert(id);
    } else {
        raiseFloor(slot, id + 4);
    }
}

void Http3Reader::raiseFloor(std::size_t slot, std::uint64_t to) {
    std::uint64_t& floor = floor_[slot];
    std::set<std::uint64_t>& above = readAbove_[slot];
    floor = std::max(floor, to);
    while (!above.empty() && *above.begin() <= floor) {
        if (*above.begin() == floor)
            floor += 4;
        above.erase(above.begin());
        budget_.Give(kNodeBytes);
    }
}

bool Http3Reader::makeRoom(bool fromClient, std::uint64_t id) {
    // The oldest stream of the same kind still open is given up: its bytes stopped coming.
    using Kind = Stream::Kind;
    for (auto& [key, s] : streams_) {
        if (s->fromClient == fromClient && (s->id & 3) == (id & 3) && s->id < id && s->kind != Kind::Control &&
            s->kind != Kind::Encoder) {
            finish(*s);
            sweep();
            return true;
        }
    }
    return false;
}

Http3Reader::Stream* Http3Reader::stream(bool fromClient, std::uint64_t id) {
    using Kind = Stream::Kind;
    Kind kind = Kind::Done;
    switch (id & 3) {
    case 0: // client-initiated bidirectional: a request and its response
        if (fromClient)
            kind = wasRead(true, id) ? Kind::Done : Kind::Request;
        else if (asked_.contains(id) || streams_.contains(keyOf(true, id)))
            kind = Kind::Response;
        break;
    case 2: // unidirectional, the client's
    case 3: // the server's
        if (fromClient == ((id & 3) == 2) && !wasRead(fromClient, id))
            kind = Kind::UniType;
        break;
    default: // server-initiated bidirectional: not used by HTTP/3
        break;
    }
    if (kind == Kind::Done || id >= (std::uint64_t{1} << 62))
        return nullptr;
    if (streams_.size() >= kMaxStreams && !makeRoom(fromClient, id))
        return nullptr;
    if (!budget_.Take(Stream::Charge()))
        return nullptr;
    return streams_.emplace(keyOf(fromClient, id), std::make_unique<Stream>(budget_, fromClient, id, kind))
        .first->second.get();
}

void Http3Reader::StreamData(bool fromClient, std::uint64_t streamId, std::uint64_t offset,
                             std::span<const std::uint8_t> data, PacketNumber packet, bool fin) {
    Stream* s = nullptr;
    if (const auto it = streams_.find(keyOf(fromClient, streamId)); it != streams_.end())
        s = it->second.get();
    else if (!data.empty()) // nothing to read costs no stream
        s = stream(fromClient, streamId);
    if (!s || s->kind == Stream::Kind::Done)
        return;
    s->packet = packet;
    if (fin)
        s->finalSize = offset + data.size();
    if (!s->bytes.Add(offset, data))
        finish(*s);
    else
        read(*s);
    sweep();
}

void Http3Reader::StreamReset(bool fromClient, std::uint64_t streamId) {
    const auto it = streams_.find(keyOf(fromClient, streamId));
    if (it != streams_.end() && it->second->kind != Stream::Kind::Done)
        finish(*it->second);
    if (!fromClient && (streamId & 3) == 0) {
        if (const auto asked = asked_.find(streamId); asked != asked_.end())
            forgetAsked(asked); // no answer comes
    }
    sweep();
}

void Http3Reader::finish(Stream& s) {
    if (s.finished)
        return;
    s.finished = true;
    s.kind = Stream::Kind::Done;
    s.bytes.Stop();
    if (!s.fromClient && (s.id & 3) == 0) {
        if (const auto it = asked_.find(s.id); it != asked_.end())
            forgetAsked(it); // the answer cannot be read
    }
    if (s.body)
        endBody(s, false); // what came before the budget or a gap stopped it
    finished_.push_back(keyOf(s.fromClient, s.id));
}

void Http3Reader::sweep() {
    // Streams are dropped only here, outside the loops that read them.
    for (const std::uint64_t key : finished_) {
        const auto it = streams_.find(key);
        if (it == streams_.end())
            continue;
        const bool fromClient = it->second->fromClient;
        const std::uint64_t id = it->second->id;
        streams_.erase(it);
        if (fromClient || (id & 3) != 0)
            markRead(fromClient, id);
    }
    finished_.clear();
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
            finish(s); // push streams, the decoder streams, extensions
            return;
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
            if (*type == kDataFrame)
                return false; // a body before the final header block
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

bool Http3Reader::headerBlock(Stream& s, std::span<const std::uint8_t> bytes) {
    Encoder& e = encoders_[s.fromClient];
    if (!s.context) {
        if (e.capacity) {
            if (!makeDecoder(*e.capacity, e.decoder))
                return false;
            s.decoder = e.decoder;
        } else if (bytes[0] == 0) {
            // Required Insert Count 0: no table entry is used, so the table's size does not matter.
            if (!makeDecoder(0, e.staticOnly))
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
    // A block refers to the table but never changes it: one found malformed is left at once.
    Block block;
    while (true) {
        const auto in = bytes.subspan(s.blockTaken);
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
            block.decoded += name.size() + value.size();
            std::string* field = nullptr;
            if (name == ":method")
                field = &block.fields.method;
            else if (name == ":authority")
                field = &block.fields.authority;
            else if (name == ":path")
                field = &block.fields.target;
            else if (name == "host")
                field = &block.host;
            const bool ok = block.decoded <= kMaxDecodedBlockBytes && !(field && value.size() > kMaxAddressPart);
            if (ok)
                take(s, block, field, name, value);
            nghttp3_rcbuf_decref(nv.name);
            nghttp3_rcbuf_decref(nv.value);
            if (!ok)
                return false;
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
    return s.kind == Stream::Kind::Request ? request(s, block) : response(s, block);
}

void Http3Reader::take(const Stream& s, Block& block, std::string* field, std::string_view name,
                       std::string_view value) {
    if (field) {
        field->assign(value);
    } else if (s.kind == Stream::Kind::Response) {
        if (EqualsIgnoringAsciiCase(name, "content-type")) {
            // Read at the block's end; only the media type matters, and it is short.
            const std::string_view head = value.substr(0, kMaxMediaTypeBytes + 1);
            const std::string_view type = head.substr(0, head.find(';'));
            block.contentType.emplace(type.size() > kMaxMediaTypeBytes ? std::string_view() : type);
        } else {
            block.response.TakeHeader(name, value);
        }
    }
    if (block.fields.text.size() + name.size() + value.size() + 4 <= kMaxTextBytes)
        block.fields.text.append(name).append(": ").append(value).append("\r\n");
}

bool Http3Reader::request(Stream& s, Block& block) {
    HttpRequest& request = block.fields;
    if (request.method.empty())
        return false;
    if (request.authority.empty())
        request.authority = std::move(block.host);
    request.stream = s.id;
    request.packet = s.packet;
    s.kind = Stream::Kind::Done;
    ask(request);
    sink_.Request(request);
    return true;
}

void Http3Reader::ask(const HttpRequest& request) {
    // Its address is kept until the answer's head comes, or the connection ends.
    Asked asked;
    asked.request.method = request.method;
    asked.request.authority = request.authority;
    asked.request.target = request.target;
    asked.request.stream = request.stream;
    asked.request.packet = request.packet;
    asked.charged = kNodeBytes + sizeof(Asked) + asked.request.method.capacity() +
                    asked.request.authority.capacity() + asked.request.target.capacity();
    const std::size_t share = budget_.Total() / kAskedShare;
    while (!asked_.empty() && askedBytes_ + asked.charged > share)
        forgetAsked(asked_.begin()); // the oldest: its answer is the least likely to come
    if (asked.charged > share || asked_.contains(request.stream) || !budget_.Take(asked.charged))
        return;
    askedBytes_ += asked.charged;
    asked_.emplace(request.stream, std::move(asked));
}

void Http3Reader::forgetAsked(std::map<std::uint64_t, Asked>::iterator it) {
    budget_.Give(it->second.charged);
    askedBytes_ -= it->second.charged;
    asked_.erase(it);
}

bool Http3Reader::response(Stream& s, Block& block) {
    if (block.contentType)
        block.response.TakeHeader("content-type", *block.contentType);
    // Informational answers (1xx) come before the final one.
    if (block.response.status >= 100 && block.response.status < 200)
        return true;
    s.kind = Stream::Kind::Done;
    // The answer to the request on the same stream, when that was read.
    const auto asked = asked_.find(s.id);
    if (asked == asked_.end())
        return true;
    HttpResponseHead& response = block.response;
    response.text = std::move(block.fields.text);
    response.packet = s.packet;
    const std::size_t keep = sink_.Response(asked->second.request, response);
    if (keep > 0 && keptBodies_ < kMaxKeptBodies) {
        // A manifest: its body is read, and the server's packets stay open until it ends. The
        // request's charge goes with it.
        s.kind = Stream::Kind::Body;
        s.request = std::move(asked->second.request);
        s.requestCharge = asked->second.charged;
        askedBytes_ -= asked->second.charged;
        asked_.erase(asked);
        s.body = std::make_unique<BoundedBuffer>(budget_);
        s.bodyLimit = keep;
        ++keptBodies_;
    } else {
        forgetAsked(asked);
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
    if (const auto it = streams_.find(keyOf(!fromClient, peer.streamId)); it != streams_.end())
        read(*it->second);
    retryBlocked(!fromClient);
}

void Http3Reader::encoderBytes(bool fromClient, Stream& s) {
    Encoder& e = encoders_[fromClient];
    if (!e.decoder) {
        if (!e.capacity)
            return; // kept until the peer's SETTINGS say how large the table may grow
        if (!makeDecoder(*e.capacity, e.decoder)) {
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
        if (s->fromClient != fromClient || !s->blocked || s->kind == Stream::Kind::Done)
            continue;
        s->blocked = false;
        read(*s);
    }
}

} // namespace velmora
