#include "decrypt/TlsConnectionTable.h"

#include "capture/TcpPayload.h"
#include "decrypt/KeyLog.h"

namespace velmora {

// Still to come: the connections themselves.
struct TlsConnectionTable::Entry {};

bool ReadTcpSegment(std::span<const std::uint8_t> frame, int linkType, TcpSegment& segment) {
    (void)frame;
    (void)linkType;
    (void)segment;
    return false;
}

std::size_t TlsConnectionTable::EndpointsHash::operator()(const Endpoints& e) const {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(e.bytes.data()), e.bytes.size()));
}

TlsConnectionTable::TlsConnectionTable(KeyLog& keyLog, HttpRequestSink& sink, const HttpsRequestFinder::Limits& limits)
    : keyLog_(keyLog), sink_(sink), limits_(limits), budget_(limits.totalBytes) {}

TlsConnectionTable::~TlsConnectionTable() = default;

void TlsConnectionTable::Segment(const TcpSegment&) {}
void TlsConnectionTable::KeysAdded() {}

} // namespace velmora
