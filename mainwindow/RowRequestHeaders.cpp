#include "mainwindow/RowRequestHeaders.h"

#include "engine/CaptureEngine.h"

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

velmora::RequestHeaders RequestHeadersForRow(const velmora::CaptureEngine& engine, int row) {
    const velmora::ResultList& rows = engine.Results();
    if (row < 0 || static_cast<std::size_t>(row) >= rows.size())
        return {};
    const velmora::ResultRow& result = rows[static_cast<std::size_t>(row)];
    // The headers are the request's: a row listed from its answer names the answer's frame, and a
    // decrypted request's frame holds only ciphertext.
    if (const auto answer = engine.AnswerOf(result)) {
        if (answer->requestText)
            return velmora::FindRequestHeaders(bytesOf(*answer->requestText), result.address);
        return velmora::FindRequestHeaders(engine.Store().PacketData(answer->requestPacket), result.address);
    }
    if (const std::string* request = engine.Https().RequestText(result))
        return velmora::FindRequestHeaders(bytesOf(*request), result.address);
    return velmora::FindRequestHeaders(engine.Store().PacketData(result.packet), result.address);
}
