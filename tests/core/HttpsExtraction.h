#pragma once
// The frame path of the HTTPS tests: the extractor with the shipped file types, and the HTTPS
// request finder after it, as the window and velmora-cli drive them.
#include "capture/Gbk.h"
#include "capture/MediaAddressExtractor.h"
#include "capture/PacketStore.h"
#include "capture/ResultList.h"
#include "tls/HttpsRequestFinder.h"
#include "settings/FileTypeSettings.h"

#include <span>
#include <string>
#include <vector>

namespace velmora::test {

inline FileTypeTable shippedTable() {
    return LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
}

struct Extraction {
    PacketStore store{0};
    ResultList results;
    FileTypeTable table = shippedTable();
    MediaAddressExtractor extractor{store, results, table};
    HttpsRequestFinder https;
    explicit Extraction(HttpsRequestFinder::Limits limits = {}) : https(extractor, limits) {}

    void Frame(std::span<const std::uint8_t> frame, int linkType) {
        extractor.vpacket_PacketReceived(frame, linkType, {0, 0});
        https.PacketReceived(frame, linkType, store.CurrentPacket(), {0, 0});
    }
    std::vector<std::string> Rows(bool withPackets = true) const {
        std::vector<std::string> out;
        for (const auto& row : results.Rows())
            out.push_back((withPackets ? std::to_string(row.packet) + "\t" : "") + utf8::FromU16(row.address));
        return out;
    }
};

inline std::string statsText(const TlsStats& s) {
    return std::to_string(s.seen) + " seen, " + std::to_string(s.decrypted) + " decrypted, " +
           std::to_string(s.withoutKeys) + " without keys, " + std::to_string(s.unsupported) + " unsupported, " +
           std::to_string(s.failed) + " failed";
}

} // namespace velmora::test
