#include "http/Http2ResponseReader.h"

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

} // namespace velmora
