#include "stream/AddressPattern.h"

#include <cstdint>

namespace velmora {

namespace {

// The identifier of "$Name%05d$" or "$Name$": its name, and how long the whole is.
bool identifierAt(std::string_view text, std::size_t at, std::string_view& name, std::size_t& length) {
    const std::size_t close = text.find('$', at + 1);
    if (close == std::string_view::npos)
        return false;
    std::string_view inside = text.substr(at + 1, close - at - 1);
    const std::size_t format = inside.find('%');
    name = inside.substr(0, format);
    if (format != std::string_view::npos) {
        // Only "%0Nd" is allowed (ISO/IEC 23009-1 5.3.9.4.4).
        const std::string_view width = inside.substr(format + 1);
        if (width.size() < 2 || width.front() != '0' || width.back() != 'd')
            return false;
        for (char c : width.substr(1, width.size() - 2))
            if (c < '0' || c > '9')
                return false;
    }
    length = close - at + 1;
    return true;
}

} // namespace

std::string FillTemplate(std::string_view pattern, std::string_view representationId, std::uint64_t bandwidth) {
    std::string out;
    for (std::size_t at = 0; at < pattern.size();) {
        std::string_view name;
        std::size_t length = 0;
        if (pattern[at] == '$' && identifierAt(pattern, at, name, length)) {
            if (name == "RepresentationID") {
                out.append(representationId);
            } else if (name == "Bandwidth") {
                out.append(std::to_string(bandwidth));
            } else {
                out.append(pattern.substr(at, length));
            }
            at += length;
        } else {
            out.push_back(pattern[at++]);
        }
    }
    return out;
}

std::optional<AddressPattern> AddressPattern::FromTemplate(std::string_view resolved) {
    AddressPattern pattern;
    pattern.literals_.emplace_back();
    for (std::size_t at = 0; at < resolved.size();) {
        std::string_view name;
        std::size_t length = 0;
        if (resolved[at] != '$') {
            pattern.literals_.back().push_back(resolved[at++]);
        } else if (at + 1 < resolved.size() && resolved[at + 1] == '$') {
            pattern.literals_.back().push_back('$');
            at += 2;
        } else if (identifierAt(resolved, at, name, length) && (name == "Number" || name == "Time" || name == "SubNumber")) {
            pattern.literals_.emplace_back();
            at += length;
        } else {
            return std::nullopt;
        }
    }
    if (pattern.literals_.size() == 1)
        return std::nullopt; // nothing to match: an address as it stands
    return pattern;
}

bool AddressPattern::Matches(std::string_view address) const {
    // Literals in order, each run between them one or more digits; the query is part of the address.
    if (!address.starts_with(literals_.front()))
        return false;
    address.remove_prefix(literals_.front().size());
    for (std::size_t i = 1; i < literals_.size(); ++i) {
        std::size_t digits = 0;
        while (digits < address.size() && address[digits] >= '0' && address[digits] <= '9')
            ++digits;
        if (digits == 0)
            return false;
        // Digits are greedy unless the next literal begins with a digit: then try each split.
        const std::string_view next = literals_[i];
        if (!next.empty() && next.front() >= '0' && next.front() <= '9') {
            bool found = false;
            for (std::size_t take = 1; take <= digits && !found; ++take)
                if (address.substr(take).starts_with(next)) {
                    address.remove_prefix(take);
                    found = true;
                }
            if (!found)
                return false;
        } else {
            address.remove_prefix(digits);
            if (!address.starts_with(next))
                return false;
        }
        address.remove_prefix(next.size());
    }
    return address.empty();
}

} // namespace velmora
