#pragma once
// The audio and the video of one title fetched as two lone files (as web players fetch "single-file
// DASH" or itag pieces): paired when both were fetched for the same page, its Referer, within 30 s of
// each other. Browsers often send only the origin as Referer across sites, so among several candidates
// the nearest in time on the same host is taken. Bounded: only the last few unpaired files are kept.

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>

namespace velmora {

class MediaPairing final {
public:
    static constexpr std::chrono::seconds kWindow{30};
    static constexpr std::size_t kMaxWaiting = 256;

    struct Media {
        std::u16string address;
        std::string referer;
        std::string host;
        std::chrono::microseconds time{};
        bool audio = false;
    };

    // A lone video or audio file, answered at `media.time`: its partner's address, when one pairs with it.
    std::optional<std::u16string> Add(Media media);
    void Reset() {
        waiting_.clear();
        waitingAddresses_.clear();
    }

private:
    struct Waiting {
        Media media;
        std::size_t refererHash = 0; // compared before the Referer itself: most differ
    };
    void forget(const Waiting& waiting) { waitingAddresses_.erase(waiting.media.address); }

    std::deque<Waiting> waiting_; // unpaired, oldest first
    std::unordered_set<std::u16string> waitingAddresses_;
};

// The host of an http(s) address, lower case; empty when there is none.
std::string HostOf(std::u16string_view address);

} // namespace velmora
