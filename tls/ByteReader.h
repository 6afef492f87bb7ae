#pragma once
// Reads big-endian fields from a span without ever passing its end: a read past the end gives
// zeros and leaves the reader failed, so a parser checks ok() once at the end.

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora {

class ByteReader final {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t U8() { return static_cast<std::uint8_t>(number(1)); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(number(2)); }
    std::uint32_t U24() { return static_cast<std::uint32_t>(number(3)); }
    std::span<const std::uint8_t> Bytes(std::size_t n) {
        if (n > Left()) {
            ok_ = false;
            at_ = bytes_.size();
            return {};
        }
        const auto out = bytes_.subspan(at_, n);
        at_ += n;
        return out;
    }
    // A field preceded by its length in `lengthBytes` bytes, as a reader of its own.
    ByteReader Vector(std::size_t lengthBytes) { return ByteReader(Bytes(number(lengthBytes))); }
    void Skip(std::size_t n) { Bytes(n); }

    std::size_t Left() const { return bytes_.size() - at_; }
    bool ok() const { return ok_; }
    bool AtEnd() const { return at_ == bytes_.size(); }

private:
    std::size_t number(std::size_t n) {
        if (n > Left()) {
            ok_ = false;
            at_ = bytes_.size();
            return 0;
        }
        std::size_t v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v = v << 8 | bytes_[at_ + i];
        at_ += n;
        return v;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

} // namespace velmora
