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

namespace {

std::string streamJson(const StreamInfo& stream) {
    auto flag = [](bool on) { return on ? "true" : "false"; };
    std::string json = std::string("{\"kind\":\"") + (stream.kind == StreamInfo::Kind::Hls ? "hls" : "dash") + "\",\"variants\":[";
    std::string audio;
    for (const StreamRendition& r : stream.renditions) {
        if (r.audio) {
            audio += std::string(audio.empty() ? "" : ",") + "{\"address\":" + RowWriter::JsonString(r.address) +
                     ",\"name\":" + RowWriter::JsonString(r.name) + ",\"language\":" + RowWriter::JsonString(r.language) +
                     ",\"played\":" + flag(r.played) + "}";
        } else {
            json += std::string(json.back() == '[' ? "" : ",") + "{\"address\":" + RowWriter::JsonString(r.address) +
                    ",\"bandwidth\":" + std::to_string(r.bandwidth) + ",\"resolution\":" + RowWriter::JsonString(r.resolution) +
                    ",\"codecs\":" + RowWriter::JsonString(r.codecs) + ",\"played\":" + flag(r.played) + "}";
        }
    }
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f", stream.duration);
    json += "],\"audio\":[" + audio + "],\"segments\":" + std::to_string(stream.segments) +
            ",\"segment_bytes\":" + std::to_string(stream.segmentBytes) + ",\"duration\":" + duration +
            ",\"live\":" + flag(stream.live) + ",\"encrypted\":" + flag(stream.encrypted) + ",\"drm\":" + flag(stream.drm) + "}";
    return json;
}

} // namespace

void RowWriter::Write(const ResultRow& row, const StreamInfo* stream, const probe::ProbeProgram* program) {
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
        if (row.pieces > 0)
            line_ += ",\"pieces\":" + std::to_string(row.pieces);
        if (stream)
            line_ += ",\"stream\":" + streamJson(*stream);
        if (!row.pair.empty())
            line_ += ",\"pair\":" + JsonString(utf8::FromU16(row.pair));
        if (program)
            line_ += ",\"program\":" + JsonString(program->Name()) + ",\"pid\":" + std::to_string(program->pid);
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
