#pragma once
// How a client's first TLS bytes begin: an HTTP/2 connection with its preface, HTTP/1.x with a
// request line. Bytes that begin neither way come from a connection that was already running.

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::probe {

enum class StreamStart { Undecided, Http2Preface, Http1Request, Other };

// The longest start that may still be undecided.
constexpr std::size_t kStreamStartBytes = 24;

// Undecided while the bytes could still become either (fewer than kStreamStartBytes).
StreamStart ClassifyStreamStart(std::span<const std::uint8_t> first);

} // namespace velmora::probe
