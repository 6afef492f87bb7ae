#include "capture/RangePiece.h"

#include <charconv>

namespace velmora {

namespace {

std::optional<std::uint64_t> number(std::u16string_view text) {
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - u'0');
    }
    return value;
}

} // namespace

std::optional<RangePiece> ReadRangePiece(std::u16string_view address) {
    const std::size_t question = address.find(u'?');
    if (question == std::u16string_view::npos)
        return std::nullopt;
    const std::u16string_view fragmentless = address.substr(0, address.find(u'#'));
    std::u16string_view query = fragmentless.substr(question + 1);
    RangePiece piece;
    piece.address.assign(address.substr(0, question));
    bool ranged = false;
    std::u16string kept;
    while (!query.empty()) {
        const std::size_t amp = query.find(u'&');
        const std::u16string_view parameter = query.substr(0, amp);
        query.remove_prefix(amp == std::u16string_view::npos ? query.size() : amp + 1);
        const std::size_t equals = parameter.find(u'=');
        const std::u16string_view name = parameter.substr(0, equals);
        const std::u16string_view value =
            equals == std::u16string_view::npos ? std::u16string_view() : parameter.substr(equals + 1);
        if (name == u"range" || name == u"bytes") {
            const std::size_t dash = value.find(u'-');
            const auto first = number(value.substr(0, dash));
            const auto last = dash == std::u16string_view::npos ? std::nullopt : number(value.substr(dash + 1));
            if (first && last && *last >= *first) {
                ranged = true;
                piece.end = *last + 1;
                continue;
            }
        } else if (name == u"rn" || name == u"rbuf") {
            continue; // they change from piece to piece
        } else if (name == u"clen") {
            piece.length = number(value);
        }
        if (!kept.empty())
            kept.push_back(u'&');
        kept.append(parameter);
    }
    if (!ranged)
        return std::nullopt;
    if (!kept.empty())
        piece.address.append(u"?").append(kept);
    return piece;
}

} // namespace velmora
