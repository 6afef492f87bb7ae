#include "capture/Gbk.h"

#include <iconv.h>

#include <array>
#include <atomic>
#include <mutex>
#include <memory>
#include <vector>

namespace velmora::gbk {
namespace {

constexpr int kLeadFirst = 0x81;
constexpr int kLeadCount = 0xFE - 0x81 + 1;
constexpr int kTrailFirst = 0x40;
constexpr int kTrailCount = 0xFE - 0x40 + 1;

// Built as it is needed: a settings file or a frame uses a few lead bytes, and converting all 126
// rows through iconv at every start took a millisecond. Rows are built once, under a lock, and read
// without one afterwards.
class Tables {
public:
    Tables() {
        for (int b = 0; b < 0x80; ++b)
            single[b] = static_cast<char16_t>(b);
        // CP936 rather than GBK: glibc's GBK leaves 0x80 unmapped, its CP936 maps it to the euro sign.
        cd_ = iconv_open("UTF-16LE", "CP936");
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            cd_ = iconv_open("UTF-16LE", "GBK");
        char euro = static_cast<char>(0x80);
        single[0x80] = opened() ? convert(&euro, 1) : 0;
        if (single[0x80] == 0)
            single[0x80] = u'\u20AC';
    }
    Tables(const Tables&) = delete;
    Tables& operator=(const Tables&) = delete;

    char16_t Pair(int lead, int trail) const {
        if (!rowReady_[lead].load(std::memory_order_acquire))
            buildRow(lead);
        return pairs_[lead * kTrailCount + trail];
    }
    // UTF-16 unit -> GBK bytes, every row built first.
    const std::vector<std::uint16_t>& Reverse() const {
        std::call_once(reverseOnce_, [this] {
            reverse_.assign(0x10000, 0);
            for (int lead = 0; lead < kLeadCount; ++lead) {
                for (int trail = 0; trail < kTrailCount; ++trail) {
                    const char16_t c = Pair(lead, trail);
                    if (c != 0 && reverse_[c] == 0)
                        reverse_[c] = static_cast<std::uint16_t>((lead + kLeadFirst) << 8 | (trail + kTrailFirst));
                }
            }
            for (int b = 0; b <= 0x80; ++b)
                reverse_[single[b]] = static_cast<std::uint16_t>(b);
        });
        return reverse_;
    }

    std::array<char16_t, 0x81> single{};

private:
    bool opened() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    char16_t convert(const char* in, std::size_t inLength) const {
        char inBuffer[2] = {in[0], inLength > 1 ? in[1] : '\0'};
        char outBuffer[8];
        char* inPtr = inBuffer;
        char* outPtr = outBuffer;
        std::size_t inLeft = inLength;
        std::size_t outLeft = sizeof outBuffer;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0 ||
            sizeof outBuffer - outLeft != 2)
            return 0;
        return static_cast<char16_t>(static_cast<unsigned char>(outBuffer[0]) |
                                     static_cast<unsigned char>(outBuffer[1]) << 8);
    }

    void buildRow(int lead) const {
        std::lock_guard lock(mutex_);
        if (rowReady_[lead].load(std::memory_order_relaxed))
            return;
        char16_t* row = pairs_.data() + lead * kTrailCount;
        if (opened()) {
            // The pairs of one lead byte in one call. An unmapped pair stops the call and counts as 0;
            // the rest goes on after it.
            char in[2 * kTrailCount];
            int trails[kTrailCount];
            int count = 0;
            for (int trail = 0; trail < kTrailCount; ++trail) {
                if (trail + kTrailFirst == 0x7F)
                    continue;
                in[2 * count] = static_cast<char>(lead + kLeadFirst);
                in[2 * count + 1] = static_cast<char>(trail + kTrailFirst);
                trails[count++] = trail;
            }
            for (int done = 0; done < count;) {
                unsigned char out[4 * kTrailCount];
                char* inPtr = in + 2 * done;
                char* outPtr = reinterpret_cast<char*>(out);
                std::size_t inLeft = 2 * static_cast<std::size_t>(count - done);
                std::size_t outLeft = sizeof out;
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
                const bool stopped = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1);
                const auto consumed = static_cast<std::size_t>(inPtr - (in + 2 * done));
                const std::size_t produced = sizeof out - outLeft;
                if (consumed % 2 != 0 || produced != consumed) {
                    // Not one UTF-16 unit per pair: the rest of this lead byte pair by pair.
                    for (; done < count; ++done)
                        row[trails[done]] = convert(in + 2 * done, 2);
                    break;
                }
                for (std::size_t k = 0; k < consumed / 2; ++k)
                    row[trails[done++]] = static_cast<char16_t>(out[2 * k] | out[2 * k + 1] << 8);
                if (stopped && done < count)
                    row[trails[done++]] = 0;
            }
        }
        rowReady_[lead].store(true, std::memory_order_release);
    }

    iconv_t cd_;
    mutable std::mutex mutex_;
    mutable std::vector<char16_t> pairs_ = std::vector<char16_t>(kLeadCount * kTrailCount, 0);
    mutable std::array<std::atomic<bool>, kLeadCount> rowReady_{};
    mutable std::once_flag reverseOnce_;
    mutable std::vector<std::uint16_t> reverse_;
};

const Tables& tables() {
    static const Tables instance;
    return instance;
}

} // namespace

char16_t SingleByte(std::uint8_t byte) {
    if (byte < 0x80)
        return byte; // ASCII needs no tables
    return byte == 0x80 ? tables().single[byte] : 0;
}

char16_t Pair(std::uint8_t lead, std::uint8_t trail) {
    if (lead < kLeadFirst || lead > 0xFE || trail < kTrailFirst || trail > 0xFE)
        return 0;
    return tables().Pair(lead - kLeadFirst, trail - kTrailFirst);
}

std::u16string Decode(std::string_view bytes, bool* clean) {
    std::u16string out;
    out.reserve(bytes.size());
    bool ok = true;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<std::uint8_t>(bytes[i]);
        if (b <= 0x80) {
            out.push_back(SingleByte(b));
            continue;
        }
        char16_t c = i + 1 < bytes.size() ? Pair(b, static_cast<std::uint8_t>(bytes[i + 1])) : 0;
        if (c != 0) {
            out.push_back(c);
            ++i;
        } else {
            out.push_back(u'\uFFFD');
            ok = false;
        }
    }
    if (clean)
        *clean = ok;
    return out;
}

std::optional<std::string> Encode(std::u16string_view text) {
    const auto& reverse = tables().Reverse();
    std::string out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        std::uint16_t code = reverse[c];
        if (code == 0)
            return std::nullopt;
        if (code > 0xFF)
            out.push_back(static_cast<char>(code >> 8));
        out.push_back(static_cast<char>(code & 0xFF));
    }
    return out;
}

} // namespace velmora::gbk

namespace velmora::utf8 {
namespace {

// Decodes one sequence at `i`; gives the code point and advances `i`, or -1 for a malformed one.
long next(std::string_view s, std::size_t& i) {
    auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra;
    long cp;
    long min;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return -1;
    }
    if (i + extra >= s.size()) {
        ++i;
        return -1;
    }
    for (int k = 1; k <= extra; ++k) {
        auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return -1;
        }
        cp = cp << 6 | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return -1;
    }
    i += extra + 1;
    return cp;
}

} // namespace

bool IsValid(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();)
        if (next(bytes, i) < 0)
            return false;
    return true;
}

std::u16string ToU16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        long cp = next(bytes, i);
        if (cp < 0) {
            out.push_back(u'\uFFFD');
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string FromU16(std::u16string_view text) {
    std::string out(text.size() * 3, '\0');
    char* o = out.data();
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned long cp = text[i];
        if (cp < 0x80) {
            *o++ = static_cast<char>(cp);
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x800) {
            *o++ = static_cast<char>(0xC0 | cp >> 6);
            *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *o++ = static_cast<char>(0xE0 | cp >> 12);
            *o++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else { // a surrogate pair: two units, four bytes
            *o++ = static_cast<char>(0xF0 | cp >> 18);
            *o++ = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            *o++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            *o++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

} // namespace velmora::utf8
