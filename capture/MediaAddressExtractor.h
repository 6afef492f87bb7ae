#pragma once
// The heart of the program: the handler of every captured frame. It stores the frame, renders it
// as text and lists the media addresses it finds: "http://" files whose extension the file-type
// table lets through, "rtsp://", "mms://" and "mmst://" streams, and "GET" request lines joined to
// their Host header.

#include "capture/AddressClaim.h"
#include "capture/FileTypeTable.h"
#include "capture/FrameLayout.h"
#include "capture/FrameMarkers.h"
#include "capture/HttpResponseHead.h"
#include "capture/PacketStore.h"
#include "capture/ResultList.h"

#include <cstdint>
#include <span>
#include <string>

namespace velmora {

inline constexpr std::u16string_view kVideoType = u"视频";

// The options as the user has set them when a frame arrives; read again for every frame.
struct ExtractionOptions {
    int allPacketsValue = 0;  // the "获取所有数据包" check box: 0 search, 1 list every frame, other: nothing
    double minimumLength = 0; // frames whose text is not longer than this are dropped
    bool byContentType = true; // an answered GET is also listed by its media type ("[FileType] ByContentType")
    bool readStreams = true;   // manifests are read and segments folded into their stream ("[FileType] Streams")
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

    // The server's answer to a GET, `address` formed as for ListDecryptedRequest or the request-line scan
    // (before decoding). The row already listed for it learns its media type and size; a GET not listed
    // is listed now when `listByType` is set, the answer is a 200 or 206 and its media type passes the
    // file-type table, with the packet that completed the answer's head. Returns the row added, or null.
    const ResultRow* ListAnsweredRequest(std::u16string_view address, const HttpResponseHead& response,
                                         bool listByType);

    // Addresses a stream has taken in are not listed (null: every address may be).
    void SetAddressClaim(const AddressClaim* claim) { claim_ = claim; }

private:
    // The scans work on the frame's bytes and render only the pieces they cut out (candidates,
    // request targets, hosts); `layout_` maps the rules' text positions to bytes.
    void schemeScan(std::span<const std::uint8_t> bytes, PacketNumber packet);
    // `payloadRequestAt` is the byte index of the "G" of a request line that starts the TCP
    // payload, or FrameLayout::npos.
    void requestLineScan(std::span<const std::uint8_t> bytes, std::size_t payloadRequestAt, PacketNumber packet);
    // The duplicate and file-type tests of an http address or request target; adds its row.
    void listHttpAddress(std::u16string_view address, PacketNumber packet);
    // The duplicate and file-type tests of a decoded request target, the extension looked for in
    // its first `extensionScope` characters; adds its row.
    const ResultRow* listRequestTarget(std::u16string_view target, std::size_t extensionScope, PacketNumber packet);
    // The text of bytes [from, to), which must both be unit boundaries.
    std::u16string_view render(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to,
                               std::u16string& into) const;

    PacketStore& store_;
    ResultList& results_;
    const FileTypeTable& fileTypes_;
    FrameLayout layout_;       // of the current frame
    std::u16string candidate_; // reused for every candidate
    std::u16string target_;    // reused for every request target
    std::u16string host_;
    const AddressClaim* claim_ = nullptr;
};

} // namespace velmora
