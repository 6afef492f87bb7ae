#include "http/Http2FrameReader.h"

#include "tcp/BudgetMemory.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>

namespace velmora {
namespace {

constexpr std::uint8_t kDataFrame = 0;
constexpr std::uint8_t kHeadersFrame = 1;
constexpr std::uint8_t kPushPromiseFrame = 5;
constexpr std::uint8_t kContinuationFrame = 9;
constexpr std::uint8_t kEndStream = 0x1;
constexpr std::uint8_t kEndHeaders = 0x4;
constexpr std::uint8_t kPadded = 0x8;
constexpr std::uint8_t kPriority = 0x20;

} // namespace

Http2FrameReader::Http2FrameReader(Http2HeaderHandler& handler, ByteBudget& budget)
    : handler_(handler), budget_(budget), buffer_(budget), block_(budget) {}

Http2FrameReader::~Http2FrameReader() {
    if (inflater_)
        nghttp2_hd_inflate_del(inflater_);
    delete static_cast<nghttp2_mem*>(inflaterMemory_);
}

bool Http2FrameReader::KeepData(std::uint32_t stream) {
    for (std::uint32_t& kept : keptStreams_) {
        if (kept == 0 || kept == stream) {
            kept = stream;
            return true;
        }
    }
    return false;
}

void Http2FrameReader::ForgetData(std::uint32_t stream) {
    for (std::uint32_t& kept : keptStreams_)
        if (kept == stream)
            kept = 0;
}

bool Http2FrameReader::KeepsData(std::uint32_t stream) const {
    return stream != 0 && std::find(keptStreams_.begin(), keptStreams_.end(), stream) != keptStreams_.end();
}

void Http2FrameReader::Clear() {
    buffer_.Clear();
    block_.Clear();
}

void Http2FrameReader::endFrame() {
    frameHeaderHave_ = 0;
}

void Http2FrameReader::Skip(std::uint32_t n) {
    frameLeft_ -= std::min(n, PassingBytesAhead());
    if (frameLeft_ == 0)
        endFrame();
}

bool Http2FrameReader::Add(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        if (frameHeaderHave_ < frameHeader_.size()) {
            const std::size_t n = std::min(bytes.size(), frameHeader_.size() - frameHeaderHave_);
            std::memcpy(frameHeader_.data() + frameHeaderHave_, bytes.data(), n);
            frameHeaderHave_ += n;
            bytes = bytes.subspan(n);
            if (frameHeaderHave_ < frameHeader_.size())
                return true;
            frameLeft_ = std::uint32_t{frameHeader_[0]} << 16 | frameHeader_[1] << 8 | frameHeader_[2];
            const std::uint8_t type = frameHeader_[3];
            const std::uint32_t frameStream =
                (std::uint32_t{frameHeader_[5]} << 24 | frameHeader_[6] << 16 | frameHeader_[7] << 8 | frameHeader_[8]) &
                0x7FFFFFFF;
            gatherFrame_ = type == kHeadersFrame || type == kContinuationFrame || type == kPushPromiseFrame ||
                           (type == kDataFrame && frameLeft_ <= kMaxKeptDataFrame && KeepsData(frameStream));
            if (inBlock_ && type != kContinuationFrame)
                return false; // a header block must not be interrupted
            if (gatherFrame_ && frameLeft_ > kMaxHeaderBlockBytes)
                return false;
        }
        const std::size_t n = std::min<std::size_t>(bytes.size(), frameLeft_);
        if (gatherFrame_ && !buffer_.Append(bytes.first(n)))
            return false;
        frameLeft_ -= static_cast<std::uint32_t>(n);
        bytes = bytes.subspan(n);
        if (frameLeft_ > 0)
            return true;
        endFrame();
        if (!gatherFrame_)
            continue;
        const std::uint32_t stream =
            (std::uint32_t{frameHeader_[5]} << 24 | frameHeader_[6] << 16 | frameHeader_[7] << 8 | frameHeader_[8]) &
            0x7FFFFFFF;
        const bool ok = frame(frameHeader_[3], frameHeader_[4], stream, buffer_.Bytes());
        buffer_.Clear();
        if (!ok)
            return false;
    }
    return true;
}

bool Http2FrameReader::frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                             std::span<const std::uint8_t> payload) {
    std::span<const std::uint8_t> fragment = payload;
    if (type == kDataFrame) {
        if (flags & kPadded) {
            if (fragment.empty() || fragment[0] >= fragment.size())
                return false;
            fragment = fragment.subspan(1, fragment.size() - 1 - fragment[0]);
        }
        const bool end = flags & kEndStream;
        if (end)
            ForgetData(stream);
        handler_.Data(stream, fragment, end);
        return true;
    }
    if (type == kHeadersFrame || type == kPushPromiseFrame) {
        if (flags & kPadded) {
            if (fragment.empty() || fragment[0] >= fragment.size())
                return false;
            const std::size_t padding = fragment[0];
            fragment = fragment.subspan(1, fragment.size() - 1 - padding);
        }
        // HEADERS may carry a priority, PUSH_PROMISE carries the promised stream: both 5 or 4 bytes.
        const std::size_t skip = type == kPushPromiseFrame ? 4 : (flags & kPriority) ? 5 : 0;
        if (fragment.size() < skip)
            return false;
        fragment = fragment.subspan(skip);
        inBlock_ = true;
        blockStream_ = stream;
        blockPromise_ = type == kPushPromiseFrame;
    } else if (!inBlock_ || stream != blockStream_) {
        return false; // CONTINUATION out of place
    }
    if (block_.size() + fragment.size() > kMaxHeaderBlockBytes || !block_.Append(fragment))
        return false;
    if (!(flags & kEndHeaders))
        return true;
    inBlock_ = false;
    const bool ok = headerBlock(block_.Bytes());
    block_.Clear();
    return ok;
}

bool Http2FrameReader::headerBlock(std::span<const std::uint8_t> block) {
    if (!inflater_) {
        // The inflater's dynamic table is taken from the connection's budget.
        auto* memory = new nghttp2_mem{&budget_, budget_memory::Malloc, budget_memory::Free, budget_memory::Calloc,
                                       budget_memory::Realloc};
        inflaterMemory_ = memory;
        if (nghttp2_hd_inflate_new2(&inflater_, memory) != 0) {
            inflater_ = nullptr;
            return false;
        }
        // The peer is told how large a table it may use in a SETTINGS frame of the other direction:
        // allow up to a bound.
        if (nghttp2_hd_inflate_change_table_size(inflater_, kMaxHeaderTable) != 0)
            return false;
    }
    handler_.HeaderBlockStart(blockStream_, blockPromise_);
    // The block is decoded to its end even when malformed, so that the dynamic table stays in step.
    bool malformed = false;
    std::size_t decoded = 0;
    const std::uint8_t* in = block.data();
    std::size_t left = block.size();
    while (true) {
        nghttp2_nv nv;
        int flags = 0;
        const auto used = nghttp2_hd_inflate_hd2(inflater_, &nv, &flags, in, left, 1);
        if (used < 0)
            return false;
        in += used;
        left -= static_cast<std::size_t>(used);
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) && !malformed) {
            decoded += nv.namelen + nv.valuelen;
            malformed = decoded > kMaxDecodedBlockBytes ||
                        !handler_.HeaderField({reinterpret_cast<const char*>(nv.name), nv.namelen},
                                              {reinterpret_cast<const char*>(nv.value), nv.valuelen});
        }
        if (flags & NGHTTP2_HD_INFLATE_FINAL) {
            nghttp2_hd_inflate_end_headers(inflater_);
            break;
        }
        if (!(flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0)
            break;
    }
    handler_.HeaderBlockEnd(malformed);
    return true;
}

} // namespace velmora
