#include "tls/MissingKeysNotice.h"

namespace velmora {

bool MissingKeysNotice::Update(const TlsStats& stats, std::int64_t nowMs) {
    if (said_)
        return false;
    if (stats.decrypted != decrypted_) {
        decrypted_ = stats.decrypted;
        since_.reset();
    }
    if (stats.withoutKeys == 0) {
        since_.reset();
        return false;
    }
    if (!since_)
        since_ = nowMs;
    if (nowMs - *since_ < kQuietMs)
        return false;
    said_ = true;
    return true;
}

} // namespace velmora
