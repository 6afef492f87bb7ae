#pragma once
// Receives the records of velmora-tls's stream, each checked, in the order written.

#include "probe/ProbeRecord.h"

namespace velmora::probe {

class ProbeRecordSink {
public:
    virtual void Record(const ProbeRecord& record) = 0;

protected:
    ~ProbeRecordSink() = default;
};

} // namespace velmora::probe
