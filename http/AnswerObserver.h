#pragma once
// What the engine makes of an answer beyond listing it: a request a stream takes in is folded into the
// stream's row rather than listed, and a manifest's body is read. The clear-text answers and the
// decrypted ones (TLS, QUIC) ask the same observer.

#include "capture/HttpResponseHead.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace velmora {

class AnswerObserver {
public:
    struct Verdict {
        bool folded = false;      // a stream takes the request in: it is not listed alone
        std::size_t keepBody = 0; // bytes of the body to read (a manifest's), 0 for none
    };
    // The answer to `address` (rendered as frame text, before decoding).
    virtual Verdict Answered(std::u16string_view address, const HttpResponseHead& response) = 0;
    // A kept body, whole or cut at its bound (`complete` false).
    virtual void BodyRead(std::u16string_view address, std::span<const std::uint8_t> body, bool complete) = 0;
    // After the answer's row was listed or learnt the answer: with the request's Referer, for pairing the
    // audio and the video of one title.
    virtual void Listed(std::u16string_view address, const HttpResponseHead& response, std::string_view referer) {
        (void)address;
        (void)response;
        (void)referer;
    }

protected:
    ~AnswerObserver() = default;
};

} // namespace velmora
