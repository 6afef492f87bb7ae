#include "http/Http2ResponseReader.h"

#include <algorithm>

namespace velmora {

bool Http2ResponseReader::Add(std::span<const std::uint8_t> bytes, PacketNumber packet) {
    if (broken_)
        return false;
    packet_ = packet;
    if (!frames_.Add(bytes)) {
        broken_ = true;
        frames_.Clear();
    }
    return !broken_;
}

void Http2ResponseReader::HeaderBlockStart(std::uint32_t stream, bool promise) {
    head_ = HttpResponseHead();
    stream_ = stream;
    ignore_ = promise;
}

bool Http2ResponseReader::HeaderField(std::string_view name, std::string_view value) {
    if (ignore_)
        return true;
    head_.TakeHeader(name, value);
    if (head_.text.size() + name.size() + value.size() + 4 <= kMaxHeadText)
        head_.text.append(name).append(": ").append(value).append("\r\n");
    return true;
}

void Http2ResponseReader::HeaderBlockEnd(bool malformed) {
    // A block without a status is trailers; 1xx heads are interim, the final one follows.
    if (ignore_ || malformed || head_.status < 200)
        return;
    head_.packet = packet_;
    headReceived_(stream_, head_);
}

bool Http2ResponseReader::KeepBody(std::uint32_t stream, std::size_t limit) {
    if (!frames_.KeepData(stream))
        return false;
    kept_.push_back(std::make_unique<KeptBody>(budget_, stream, limit));
    return true;
}

void Http2ResponseReader::Data(std::uint32_t stream, std::span<const std::uint8_t> payload, bool endStream) {
    const auto it = std::find_if(kept_.begin(), kept_.end(), [stream](const auto& k) { return k->stream == stream; });
    if (it == kept_.end())
        return;
    KeptBody& body = **it;
    if (!body.cut && (body.bytes.size() + payload.size() > body.limit || !body.bytes.Append(payload)))
        body.cut = true;
    if (!endStream)
        return;
    if (bodyReceived_)
        bodyReceived_(stream, body.bytes.Bytes(), !body.cut);
    kept_.erase(it);
}

} // namespace velmora
