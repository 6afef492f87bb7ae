#pragma once
// Addresses that another reader takes in: the playlists, init sections and segments of a stream that a
// manifest named. They are folded into the stream's row and never listed alone.

#include <string_view>

namespace velmora {

class AddressClaim {
public:
    virtual bool Claims(std::u16string_view address) const = 0;

protected:
    ~AddressClaim() = default;
};

} // namespace velmora
