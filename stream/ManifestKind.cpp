#include "stream/ManifestKind.h"

#include "capture/HeaderText.h"

namespace velmora {

bool MayBeManifest(std::string_view mediaType, std::string_view address) {
    static constexpr std::string_view kManifestTypes[] = {"application/vnd.apple.mpegurl", "application/x-mpegurl",
                                                          "audio/mpegurl", "audio/x-mpegurl", "application/dash+xml"};
    for (std::string_view type : kManifestTypes)
        if (mediaType == type)
            return true;
    // Look inside only what says nothing else of itself.
    const bool generic = mediaType.empty() || mediaType == "text/plain" || mediaType == "application/octet-stream" ||
                         mediaType == "binary/octet-stream";
    std::string_view path = address.substr(0, address.find_first_of("?#"));
    const auto endsWith = [&](std::string_view suffix) {
        return path.size() >= suffix.size() && EqualsIgnoringAsciiCase(path.substr(path.size() - suffix.size()), suffix);
    };
    return generic && (endsWith(".m3u8") || endsWith(".mpd"));
}

} // namespace velmora
