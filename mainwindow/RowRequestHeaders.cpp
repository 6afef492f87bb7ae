#include "mainwindow/RowRequestHeaders.h"

#include "mainwindow/Form1.h"
#include "mainwindow/ResultListModel.h"

velmora::RequestHeaders RequestHeadersForRow(Form1& form, int row) {
    const velmora::ResultList& rows = form.resultModel()->Rows();
    if (row < 0 || static_cast<std::size_t>(row) >= rows.size())
        return {};
    const velmora::ResultRow& result = rows[static_cast<std::size_t>(row)];
    return velmora::FindRequestHeaders(form.store().PacketData(result.packet), result.address);
}
