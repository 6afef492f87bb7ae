#pragma once
// Lists the requests the TLS probe read as decrypted ones are listed (the same path, so the duplicate
// test sees both: a request read by the probe and from the captured, decrypted connection is one row),
// and keeps beside each row it added the program that made the request.

#include "capture/ResultList.h"
#include "http/HttpRequest.h"
#include "probe/ProbeConnections.h"
#include "probe/ProbeProgram.h"

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

namespace velmora {

class ProbeRequestLister final : public HttpRequestSink {
public:
    // Programs kept beside rows, at most (their executables' paths are the most of it).
    static constexpr std::size_t kMaxProgramBytes = std::size_t{8} << 20;

    explicit ProbeRequestLister(const ResultList& results) : results_(results) {}

    // Where requests go, and whose they are; set before the probe's records are read.
    void Use(HttpRequestSink& lister, const probe::ProbeConnections& connections) {
        lister_ = &lister;
        connections_ = &connections;
    }

    void Request(HttpRequest& request) override;
    std::size_t Response(const HttpRequest& request, HttpResponseHead& response) override;
    void ResponseBody(const HttpRequest& request, std::span<const std::uint8_t> body, bool complete) override;

    std::optional<probe::ProbeProgram> ProgramOf(const ResultRow& row) const;
    void Clear();

private:
    // The rows from `before` on were added by the probe's request.
    void attribute(std::size_t before);

    const ResultList& results_;
    HttpRequestSink* lister_ = nullptr;
    const probe::ProbeConnections* connections_ = nullptr;
    std::unordered_map<std::u16string, probe::ProbeProgram> programs_; // by row key
    std::size_t programBytes_ = 0;
};

} // namespace velmora
