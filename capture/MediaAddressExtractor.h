#pragma once
// The heart of the program: the handler of every captured frame. It stores the frame, renders it
// as text and lists the media addresses it finds: "http://" files whose extension the file-type
// table lets through, "rtsp://", "mms://" and "mmst://" streams, and "GET" request lines joined to
// their Host header.

#include "capture/FileTypeTable.h"
#include "capture/FrameMarkers.h"
#include "capture/PacketStore.h"
#include "capture/ResultList.h"

#include <cstdint>
#include <span>
#include <string>

namespace velmora {

inline constexpr std::u16string_view kVideoType = u"视频";

// The options as the user has set them when a frame arrives; read again for every frame.
struct ExtractionOptions {
    int allPacketsValue = 0;   // the "获取所有数据包" check box: 0 search, 1 list every frame, other: nothing
    double minimumLength = 0;  // frames whose text is not longer than this are dropped
};

class MediaAddressExtractor {
public:
    MediaAddressExtractor(PacketStore& store, ResultList& results, const FileTypeTable& fileTypes);

    // One frame as delivered (numbytes = frame.size(), cut to the store's limit) with its libpcap
    // link type, or -1 when unknown. `knownMarkers`, when given, says what FindFrameMarkers finds in
    // exactly these bytes (the capture thread works it out while the bytes are in its cache).
    void vpacket_PacketReceived(std::span<const std::uint8_t> frame, int linkType, const ExtractionOptions& options,
                                const FrameMarkers* knownMarkers = nullptr);

    // A GET read from a decrypted connection: `address` is "https://" + authority + path rendered as
    // frame text. It is tested and listed as a request target is (decoded, duplicate test, file-type
    // test), except that its extension is looked for with the query and fragment removed; the row
    // keeps the whole address. Returns the row added, or null.
    const ResultRow* ListDecryptedRequest(std::u16string_view address, PacketNumber packet);

private:
    static constexpr std::size_t kNoPayloadRequest = static_cast<std::size_t>(-1);

    // Which scheme prefixes and terminators the frame's bytes hold; absent ones are never searched for.
    struct PatternPresence {
        bool http = true, rtsp = true, mms = true, mmst = true;
        bool quote = true, lessThan = true, apostrophe = true, streamId = true, comma = true, semicolon = true;
    };

    void schemeScan(std::u16string_view text, PacketNumber packet, const PatternPresence& presence);
    // `payloadRequestAt` is the 0-based text index of the "G" of a request line that starts the TCP
    // payload, or kNoPayloadRequest.
    void requestLineScan(std::u16string_view text, std::size_t payloadRequestAt, PacketNumber packet);
    // The duplicate and file-type tests of an http address or request target; adds its row.
    void listHttpAddress(std::u16string address, PacketNumber packet);
    // The duplicate and file-type tests of a decoded request target, the extension looked for in
    // its first `extensionScope` characters; adds its row.
    const ResultRow* listRequestTarget(std::u16string target, std::size_t extensionScope, PacketNumber packet);

    PacketStore& store_;
    ResultList& results_;
    const FileTypeTable& fileTypes_;
    std::u16string text_; // reused for every frame
};

} // namespace velmora
