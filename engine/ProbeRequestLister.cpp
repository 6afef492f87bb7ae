#include "engine/ProbeRequestLister.h"

#include <cstring>

namespace velmora {
namespace {

// A row's identity: its packet and address, as the engine keys the texts it keeps beside rows.
std::u16string rowKey(const ResultRow& row) {
    std::u16string key(sizeof(PacketNumber) / sizeof(char16_t), u'\0');
    std::memcpy(key.data(), &row.packet, sizeof(PacketNumber));
    return key + row.address;
}

} // namespace

void ProbeRequestLister::Request(HttpRequest& request) {
    if (!lister_)
        return;
    const std::size_t before = results_.size();
    lister_->Request(request);
    attribute(before);
}

std::size_t ProbeRequestLister::Response(const HttpRequest& request, HttpResponseHead& response) {
    if (!lister_)
        return 0;
    const std::size_t before = results_.size();
    const std::size_t keep = lister_->Response(request, response);
    attribute(before);
    return keep;
}

void ProbeRequestLister::ResponseBody(const HttpRequest& request, std::span<const std::uint8_t> body, bool complete) {
    if (!lister_)
        return;
    const std::size_t before = results_.size();
    lister_->ResponseBody(request, body, complete);
    attribute(before);
}

void ProbeRequestLister::attribute(std::size_t before) {
    if (results_.size() <= before || !connections_)
        return;
    const probe::ProbeProgram caller = connections_->Caller();
    for (std::size_t i = before; i < results_.size(); ++i) {
        std::u16string key = rowKey(results_[i]);
        const std::size_t cost = key.size() * sizeof(char16_t) + caller.comm.size() + caller.executable.size() + 96;
        if (programBytes_ + cost > kMaxProgramBytes)
            return;
        programBytes_ += cost;
        programs_[std::move(key)] = caller;
    }
}

std::optional<probe::ProbeProgram> ProbeRequestLister::ProgramOf(const ResultRow& row) const {
    const auto it = programs_.find(rowKey(row));
    if (it == programs_.end())
        return std::nullopt;
    return it->second;
}

void ProbeRequestLister::Clear() {
    programs_.clear();
    programBytes_ = 0;
}

} // namespace velmora
