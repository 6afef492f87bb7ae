#pragma once
// What velmora-tls writes on its standard output: a stream of records, each a fixed header followed by
// its type's fields and bytes. Little-endian, packed by hand (no struct is written whole), so the
// reader never trusts a layout it did not check. The helper includes this header; so does the engine.
//
//   header (kHeaderBytes):
//     u32 size      the whole record, header included (kHeaderBytes .. kMaxRecordBytes)
//     u16 type      RecordType
//     u16 flags     RecordFlag bits
//     u32 pid       the process (thread group id)
//     u32 tid
//     u64 timeNs    when the call was made, nanoseconds since the Unix epoch
//     u64 handle    the TLS library's connection object (SSL*, gnutls_session_t, PRFileDesc*)
//     char comm[16] the program's name as the kernel keeps it, NUL-padded
//   Data (type 1), after the header:
//     u64 sequence  calls made on (pid, handle, direction) since the probe attached, from 0
//     u32 callBytes bytes the call moved (at most kMaxCallBytes are reported; Cut says more were moved)
//     u32 offset    of this record's bytes within the call
//     u8  library   Library
//     u8  direction Direction
//     u16 reserved
//     bytes         size - kHeaderBytes - kDataFieldsBytes of them, at most kMaxChunkBytes
//   Connection (type 2): the socket under a handle, sent before its first Data record where known
//     u32 fd
//     u16 family    2 (IPv4) or 10 (IPv6)
//     u16 localPort, u16 remotePort   host order
//     u16 reserved
//     u8  local[16], u8 remote[16]    network order; IPv4 in the first 4 bytes
//   Process (type 3): sent once per pid before its first other record
//     bytes         the executable's path (readlink of /proc/PID/exe), at most 4,096
//   Secret (type 4): a TLS secret derived inside the program
//     u8 library, u8 labelBytes, u8 contextBytes, u8 secretBytes
//     label         e.g. "CLIENT_TRAFFIC_SECRET_0" as a key log names it, or "tls13 c ap traffic"
//     context       the client random (32 bytes) or the transcript hash the secret was derived over
//     secret

#include <cstddef>
#include <cstdint>

namespace velmora::probe {

constexpr std::size_t kHeaderBytes = 48;
constexpr std::size_t kDataFieldsBytes = 20;
constexpr std::size_t kConnectionFieldsBytes = 44;
constexpr std::size_t kSecretFieldsBytes = 4;
constexpr std::size_t kMaxChunkBytes = 4096;
constexpr std::size_t kMaxCallBytes = 64 << 10;
constexpr std::size_t kMaxPathBytes = 4096;
constexpr std::size_t kMaxRecordBytes = kHeaderBytes + kDataFieldsBytes + kMaxPathBytes;
constexpr std::size_t kCommBytes = 16;

enum class RecordType : std::uint16_t { Data = 1, Connection = 2, Process = 3, Secret = 4 };

enum RecordFlag : std::uint16_t {
    Cut = 1,       // Data: the call moved more than kMaxCallBytes; the rest was not reported
    LastChunk = 2, // Data: this record ends the call's bytes
};

enum class Library : std::uint8_t { OpenSsl = 1, GnuTls = 2, Nspr = 3, Nss = 4 };

enum class Direction : std::uint8_t {
    Sent = 0,     // written by the program: requests
    Received = 1, // read by the program: answers
};

} // namespace velmora::probe
