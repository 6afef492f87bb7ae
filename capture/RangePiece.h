#pragma once
// A file fetched in pieces whose byte range rides in the query string (".../videoplayback?…&clen=N&
// range=A-B&rn=7&rbuf=0", answered 200 with just that slice): the pieces are one file. Its address is
// the piece's without the parameters that change from piece to piece, and its size the clen parameter,
// else at least the largest end seen.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

struct RangePiece {
    std::u16string address;              // without range, bytes, rn and rbuf
    std::optional<std::uint64_t> length; // the clen parameter: the whole file's size
    std::uint64_t end = 0;               // one past the piece's last byte
};

// Nothing when the query holds no "range=A-B" or "bytes=A-B" parameter.
std::optional<RangePiece> ReadRangePiece(std::u16string_view address);

} // namespace velmora
