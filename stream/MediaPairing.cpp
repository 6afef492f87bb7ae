#include "stream/MediaPairing.h"

#include "capture/Gbk.h"

#include <algorithm>
#include <cctype>

namespace velmora {

std::string HostOf(std::u16string_view address) {
    const std::size_t scheme = address.find(u"://");
    if (scheme == std::u16string_view::npos)
        return {};
    const std::u16string_view rest = address.substr(scheme + 3);
    std::string host = utf8::FromU16(rest.substr(0, rest.find_first_of(u"/?#")));
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host;
}

std::optional<std::u16string> MediaPairing::Add(Media media) {
    // What is older than the window can pair with nothing any more.
    while (!waiting_.empty() && media.time - waiting_.front().media.time > kWindow) {
        forget(waiting_.front());
        waiting_.pop_front();
    }
    if (media.referer.empty() || waitingAddresses_.contains(media.address))
        return std::nullopt; // nothing says which page it was fetched for, or it waits already
    const std::size_t refererHash = std::hash<std::string>{}(media.referer);
    const auto distance = [&](const Media& m) { return std::chrono::abs(media.time - m.time); };
    auto best = waiting_.end();
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        const Media& other = it->media;
        if (other.audio == media.audio || it->refererHash != refererHash || other.referer != media.referer ||
            distance(other) > kWindow)
            continue;
        if (best == waiting_.end()) {
            best = it;
            continue;
        }
        const bool sameHost = other.host == media.host, bestSameHost = best->media.host == media.host;
        if ((sameHost && !bestSameHost) || (sameHost == bestSameHost && distance(other) < distance(best->media)))
            best = it;
    }
    if (best != waiting_.end()) {
        std::u16string partner = std::move(best->media.address);
        waitingAddresses_.erase(partner);
        waiting_.erase(best);
        return partner;
    }
    if (waiting_.size() >= kMaxWaiting) {
        forget(waiting_.front());
        waiting_.pop_front();
    }
    waitingAddresses_.insert(media.address);
    waiting_.push_back({std::move(media), refererHash});
    return std::nullopt;
}

} // namespace velmora
