#include "stream/ContentDecoding.h"

#include "capture/HeaderText.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <memory>

namespace velmora {

namespace {

std::size_t boundFor(std::span<const std::uint8_t> body, const ContentDecodingLimits& limits) {
    return std::min(limits.maxBytes, std::max<std::size_t>(body.size(), 1) * limits.maxRatio);
}

// gzip (windowBits 15 + 16), zlib (15) or raw deflate (-15).
std::optional<std::string> inflateWith(int windowBits, std::span<const std::uint8_t> body, std::size_t bound) {
    z_stream stream{};
    if (inflateInit2(&stream, windowBits) != Z_OK)
        return std::nullopt;
    std::string out;
    std::array<unsigned char, 16384> chunk{};
    stream.next_in = const_cast<Bytef*>(body.data());
    stream.avail_in = static_cast<uInt>(body.size());
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk.data();
        stream.avail_out = chunk.size();
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream.avail_out);
        if (out.size() > bound || (status == Z_BUF_ERROR && stream.avail_in == 0)) {
            status = Z_DATA_ERROR;
            break;
        }
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END)
        return std::nullopt;
    return out;
}

std::optional<std::string> brotli(std::span<const std::uint8_t> body, std::size_t bound) {
    std::unique_ptr<BrotliDecoderState, decltype(&BrotliDecoderDestroyInstance)> state(
        BrotliDecoderCreateInstance(nullptr, nullptr, nullptr), BrotliDecoderDestroyInstance);
    if (!state)
        return std::nullopt;
    std::string out;
    std::array<std::uint8_t, 16384> chunk{};
    const std::uint8_t* next = body.data();
    std::size_t left = body.size();
    while (true) {
        std::uint8_t* to = chunk.data();
        std::size_t room = chunk.size();
        const BrotliDecoderResult result = BrotliDecoderDecompressStream(state.get(), &left, &next, &room, &to, nullptr);
        out.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - room);
        if (out.size() > bound)
            return std::nullopt;
        if (result == BROTLI_DECODER_RESULT_SUCCESS)
            return out;
        if (result != BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT)
            return std::nullopt; // damaged, or cut short
    }
}

std::optional<std::string> zstd(std::span<const std::uint8_t> body, std::size_t bound) {
    std::unique_ptr<ZSTD_DStream, decltype(&ZSTD_freeDStream)> stream(ZSTD_createDStream(), ZSTD_freeDStream);
    if (!stream)
        return std::nullopt;
    // A window larger than a manifest needs is refused before anything is allocated for it.
    ZSTD_DCtx_setParameter(stream.get(), ZSTD_d_windowLogMax, 23);
    std::string out;
    std::array<char, 16384> chunk{};
    ZSTD_inBuffer in{body.data(), body.size(), 0};
    std::size_t status = 1;
    while (in.pos < in.size || status != 0) {
        ZSTD_outBuffer to{chunk.data(), chunk.size(), 0};
        status = ZSTD_decompressStream(stream.get(), &to, &in);
        if (ZSTD_isError(status))
            return std::nullopt;
        out.append(chunk.data(), to.pos);
        if (out.size() > bound)
            return std::nullopt;
        if (to.pos == 0 && in.pos == in.size && status != 0)
            return std::nullopt; // cut short
    }
    return out;
}

} // namespace

std::optional<std::string> DecodeContent(std::string_view coding, std::span<const std::uint8_t> body,
                                         const ContentDecodingLimits& limits) {
    coding = TrimHeaderSpace(coding);
    const std::size_t bound = boundFor(body, limits);
    if (coding.empty() || EqualsIgnoringAsciiCase(coding, "identity")) {
        if (body.size() > limits.maxBytes)
            return std::nullopt;
        return std::string(reinterpret_cast<const char*>(body.data()), body.size());
    }
    if (EqualsIgnoringAsciiCase(coding, "gzip") || EqualsIgnoringAsciiCase(coding, "x-gzip"))
        return inflateWith(15 + 16, body, bound);
    if (EqualsIgnoringAsciiCase(coding, "deflate")) {
        // As sent it should be zlib-wrapped; some servers send it raw.
        if (auto wrapped = inflateWith(15, body, bound))
            return wrapped;
        return inflateWith(-15, body, bound);
    }
    if (EqualsIgnoringAsciiCase(coding, "br"))
        return brotli(body, bound);
    if (EqualsIgnoringAsciiCase(coding, "zstd"))
        return zstd(body, bound);
    return std::nullopt;
}

} // namespace velmora
