#pragma once
// A DASH manifest (MPD, ISO/IEC 23009-1) read into values with libxml2: no network, no entity
// substitution, no DTD loaded, depth bounded. Its Periods, AdaptationSets and Representations with
// what names them (id, bandwidth, size, codecs, type), how their segments are addressed (a
// SegmentTemplate as a pattern, a SegmentList's and SegmentBase's addresses), protection, whether it is
// live, and its duration. Addresses resolve through the chain of BaseURLs from the manifest's own.

#include "stream/AddressPattern.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

struct DashRepresentation {
    std::string id;
    std::uint64_t bandwidth = 0;
    int width = 0;
    int height = 0;
    std::string codecs;
    std::string kind;                    // "video", "audio", "text", or empty when nothing says
    std::vector<std::string> addresses;      // media fetched as they stand: BaseURL files, SegmentList URLs
    std::vector<std::string> initialisation; // init sections named as they stand
    std::vector<AddressPattern> patterns;     // SegmentTemplate media
    std::vector<AddressPattern> initPatterns; // SegmentTemplate initialisation with a number or time in it
};

struct DashAdaptationSet {
    std::string kind; // as the representations, when they all share it
    bool protectedContent = false;
    std::vector<DashRepresentation> representations;
};

struct DashManifest {
    bool live = false;    // type="dynamic"
    double duration = 0;  // mediaPresentationDuration, in seconds
    bool drm = false;     // a ContentProtection scheme: no plain download plays
    std::vector<DashAdaptationSet> sets; // of every Period, in order
    bool cut = false;     // a limit was reached and the rest dropped
};

struct DashLimits {
    std::size_t representations = 1024;
    std::size_t addresses = 65536; // over all representations
    int depth = 16;                // elements below MPD
};

// A root element MPD (in any namespace), from the document's start.
bool LooksLikeDash(std::string_view body);

// Nothing when the text is no MPD or the address it came from is not http(s).
std::optional<DashManifest> ReadDashManifest(std::string_view text, std::string_view address,
                                            const DashLimits& limits = {});

// "PT1H2M3.5S" in seconds; 0 when it cannot be read.
double DashDurationSeconds(std::string_view text);

} // namespace velmora
