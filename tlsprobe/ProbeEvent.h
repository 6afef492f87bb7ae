#pragma once
// What the kernel side of velmora-tls hands its loader through the ring buffer: one chunk of a TLS call's
// plaintext with the call's identity. C, so the BPF program and the loader read one definition; the loader
// turns each into the wire records of probe/ProbeWire.h, which the engine reads.

#ifdef __cplusplus
#include <cstdint>
typedef std::uint8_t probe_u8;
typedef std::uint16_t probe_u16;
typedef std::uint32_t probe_u32;
typedef std::int32_t probe_s32;
typedef std::uint64_t probe_u64;
#else
typedef __u8 probe_u8;
typedef __u16 probe_u16;
typedef __u32 probe_u32;
typedef __s32 probe_s32;
typedef __u64 probe_u64;
#endif

#define PROBE_CHUNK_BYTES 4096
#define PROBE_MAX_CALL_BYTES (64 * 1024)
#define PROBE_COMM_BYTES 16

// ProbeWire's Library and Direction numbers, so the loader copies them as they are.
enum probe_library { PROBE_OPENSSL = 1, PROBE_GNUTLS = 2, PROBE_NSPR = 3 };
enum probe_direction { PROBE_SENT = 0, PROBE_RECEIVED = 1 };
enum probe_flag { PROBE_CUT = 1, PROBE_LAST_CHUNK = 2 };

struct probe_event {
    probe_u64 time_ns; // CLOCK_MONOTONIC at the call's entry
    probe_u64 handle;  // SSL*, gnutls_session_t or PRFileDesc*
    probe_u64 sequence;
    probe_u32 pid;
    probe_u32 tid;
    probe_u32 call_bytes; // what the call moved, even past PROBE_MAX_CALL_BYTES
    probe_u32 offset;     // of this chunk within the call
    probe_s32 fd;         // the descriptor the call wrote or read through, -1 when it made no such system call
    // The TCP socket behind fd, read when the call used it; family 0 when fd is no IPv4 or IPv6 stream.
    probe_u16 family;
    probe_u16 local_port; // host order
    probe_u16 remote_port;
    probe_u8 local[16]; // network order; IPv4 in the first four bytes
    probe_u8 remote[16];
    probe_u16 chunk_bytes;
    probe_u8 library;
    probe_u8 direction;
    probe_u16 flags;
    probe_u16 reserved;
    char comm[PROBE_COMM_BYTES];
    // Twice a chunk: the verifier is shown a bound by masking, not by comparison.
    probe_u8 bytes[2 * PROBE_CHUNK_BYTES];
};

#define PROBE_EVENT_HEADER_BYTES __builtin_offsetof(struct probe_event, bytes)
