#include "mainwindow/RowRequestHeaders.h"

#include "mainwindow/Form1.h"
#include "mainwindow/ResultListModel.h"

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

velmora::RequestHeaders RequestHeadersForRow(Form1& form, int row) {
    const velmora::ResultList& rows = form.resultModel()->Rows();
    if (row < 0 || static_cast<std::size_t>(row) >= rows.size())
        return {};
    const velmora::ResultRow& result = rows[static_cast<std::size_t>(row)];
    // The headers are the request's: a row listed from its answer names the answer's frame, and a
    // decrypted request's frame holds only ciphertext.
    if (const auto answer = form.engine().AnswerOf(result)) {
        if (answer->requestText)
            return velmora::FindRequestHeaders(bytesOf(*answer->requestText), result.address);
        return velmora::FindRequestHeaders(form.store().PacketData(answer->requestPacket), result.address);
    }
    if (const std::string* request = form.engine().Https().RequestText(result))
        return velmora::FindRequestHeaders(bytesOf(*request), result.address);
    return velmora::FindRequestHeaders(form.store().PacketData(result.packet), result.address);
}
