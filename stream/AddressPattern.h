#pragma once
// A segment address a manifest describes rather than lists: a DASH SegmentTemplate such as
// "https://cdn/v/720p/seg-$Number%05d$.m4s" becomes literal parts with runs of digits between them, and
// later requests are tested against it. A live stream's template matches its millionth segment as it
// did its first, at no cost in memory.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

class AddressPattern final {
public:
    // From a template already resolved to an absolute address, $RepresentationID$ and $Bandwidth$
    // filled in: $Number$ and $Time$ (with or without a width) match runs of digits; "$$" is a "$".
    // Nothing for a template with an identifier it does not know, or with none to match (an address).
    static std::optional<AddressPattern> FromTemplate(std::string_view resolved);

    bool Matches(std::string_view address) const;
    // The literal text before the first run of digits: where an index of patterns can look.
    const std::string& Prefix() const { return literals_.front(); }

private:
    std::vector<std::string> literals_; // literals_[i], digits, literals_[i + 1], …
};

// Fills $RepresentationID$ and $Bandwidth$ in a DASH template; the other identifiers stay.
std::string FillTemplate(std::string_view pattern, std::string_view representationId, std::uint64_t bandwidth);

} // namespace velmora
