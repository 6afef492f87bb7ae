#include "RowWriter.h"

#include "capture/Gbk.h"

namespace velmora {

std::string RowWriter::JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out + "\"";
}

void RowWriter::Write(const ResultRow& row) {
    const std::string type = utf8::FromU16(row.type);
    const std::string address = utf8::FromU16(row.address);
    line_.clear();
    if (jsonLines_) {
        line_ = "{\"type\":" + JsonString(type) + ",\"address\":" + JsonString(address) +
                ",\"packet\":" + std::to_string(row.packet);
        // A row listed from the server's answer says what the answer said.
        if (!row.contentType.empty())
            line_ += ",\"content_type\":" + JsonString(row.contentType);
        if (row.size)
            line_ += ",\"size\":" + std::to_string(*row.size);
        if (row.size && row.sizeAtLeast)
            line_ += ",\"size_at_least\":true";
        line_ += "}\n";
    } else {
        // Frame texts render every control byte as "·", so neither field holds a tab or line break.
        line_.append(type).append(1, '\t').append(address).append(1, '\t').append(std::to_string(row.packet));
        line_.push_back('\n');
    }
    if (std::fwrite(line_.data(), 1, line_.size(), out_) != line_.size())
        ok_ = false;
}

void RowWriter::Flush() {
    if (std::fflush(out_) != 0)
        ok_ = false;
}

} // namespace velmora
