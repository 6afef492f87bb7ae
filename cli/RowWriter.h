#pragma once
// Writes result rows to a stream as TSV or JSON lines, in UTF-8.

#include "capture/ResultList.h"
#include "probe/ProbeProgram.h"
#include "stream/StreamRegistry.h"

#include <cstdio>
#include <string>

namespace velmora {

class RowWriter final {
public:
    RowWriter(std::FILE* out, bool jsonLines) : out_(out), jsonLines_(jsonLines) {}
    ~RowWriter() { Flush(); }

    // With jsonl, a stream's row carries what is known of the stream, and a row the TLS probe listed the
    // program that made the request.
    void Write(const ResultRow& row, const StreamInfo* stream = nullptr, const probe::ProbeProgram* program = nullptr);
    void Flush();
    bool Ok() const { return ok_; }

    static std::string JsonString(const std::string& utf8);

private:
    std::FILE* out_;
    bool jsonLines_;
    bool ok_ = true;
    std::string line_;
};

} // namespace velmora
