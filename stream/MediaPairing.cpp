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
    while (!waiting_.empty() && media.time - waiting_.front().time > kWindow)
        waiting_.pop_front();
    if (media.referer.empty())
        return std::nullopt; // nothing says which page it was fetched for
    auto best = waiting_.end();
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (it->audio == media.audio || it->referer != media.referer || it->address == media.address)
            continue;
        const auto distance = [&](const Media& m) { return std::chrono::abs(media.time - m.time); };
        if (distance(*it) > kWindow)
            continue;
        if (best == waiting_.end()) {
            best = it;
            continue;
        }
        const bool sameHost = it->host == media.host, bestSameHost = best->host == media.host;
        if ((sameHost && !bestSameHost) || (sameHost == bestSameHost && distance(*it) < distance(*best)))
            best = it;
    }
    if (best != waiting_.end()) {
        std::u16string partner = std::move(best->address);
        waiting_.erase(best);
        return partner;
    }
    if (std::any_of(waiting_.begin(), waiting_.end(), [&](const Media& m) { return m.address == media.address; }))
        return std::nullopt; // waiting already
    if (waiting_.size() >= kMaxWaiting)
        waiting_.pop_front();
    waiting_.push_back(std::move(media));
    return std::nullopt;
}

} // namespace velmora
