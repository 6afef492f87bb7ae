#pragma once
// How the frame fuzzers read an input: the first byte picks the link type (and the mode, each
// target its own way), the rest is several frames split at "\xFF\xFE\xFD", so the duplicate
// index sees more than one frame.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>

namespace velmora::fuzz {

inline int FuzzLinkType(std::uint8_t first) {
    static constexpr int kLinkTypes[] = {-1, 0, 1, 12, 108, 113, 228, 229, 276};
    return kLinkTypes[first % std::size(kLinkTypes)];
}

template <typename EachFrame> void ForEachFuzzFrame(std::string_view frames, EachFrame&& each) {
    std::size_t start = 0;
    while (start <= frames.size()) {
        std::size_t end = frames.find("\xFF\xFE\xFD", start);
        if (end == std::string_view::npos)
            end = frames.size();
        each(std::span(reinterpret_cast<const std::uint8_t*>(frames.data() + start), end - start));
        start = end + 3;
    }
}

} // namespace velmora::fuzz
