#pragma once
// HTTPS requests of the user's own programs, decrypted with the TLS key log that browsers and curl
// write when SSLKEYLOGFILE is set (Chromium also takes --ssl-key-log-file). Each GET becomes a row
// beside the clear-text rows, through the extractor's duplicate and file-type tests.
//
// How a caller uses it (the command-line tool and the main window alike):
//
//     MediaAddressExtractor extractor(store, results, fileTypes);
//     HttpsRequestFinder https(extractor);
//     if (const KeyLogOpen opened = https.OpenKeyLog(path); !opened)
//         report(opened.problem, opened.message);       // the capture can still run without it
//     else if (!opened.warning.empty())
//         warn(opened.warning);                         // others can write the file
//     // per frame, right after the extractor has handled it:
//     extractor.vpacket_PacketReceived(frame, linkType, options, markers);
//     https.PacketReceived(frame, linkType, store.CurrentPacket(), options);
//     // capture start: https.Reset();  capture end: https.EndCapture();  status bar: https.Stats();
//     // data window for a row: if (const std::string* text = https.RequestText(row)) show *text
//
// Without an open key log PacketReceived returns at once, so clear-text results and speed stay as
// they are. Everything runs on the caller's thread; the key log is re-read (what was appended) when
// a connection needs keys that are not known yet.

#include "capture/MediaAddressExtractor.h"
#include "http/AnswerObserver.h"
#include "capture/PacketStore.h"
#include "capture/ResultList.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace velmora {

class ConnectionBudget;
class HttpRequestSink;
class KeyLog;
struct TcpSegment;
class TlsConnectionTable;

// Counts since the last Reset. A connection moves between the outcomes as its state changes
// (a connection waiting for keys that then arrive moves from withoutKeys to decrypted); one still in
// its handshake is in none of them until it ends, and after EndCapture the outcomes add up to seen.
struct TlsStats {
    std::uint64_t seen = 0;        // TCP connections that began with a TLS ClientHello
    std::uint64_t decrypted = 0;   // at least one of the client's records decrypted, and nothing lost
    std::uint64_t withGaps = 0;    // decrypted, but requests or answers were lost to gaps in the capture
    std::uint64_t withoutKeys = 0; // the key log holds no keys for them (yet)
    std::uint64_t abandoned = 0;   // the handshake never completed: the client gave up before any request
    std::uint64_t unsupported = 0; // a cipher suite or protocol version outside the supported ones
    std::uint64_t failed = 0;      // nothing could be read: a bad tag, a broken stream, hellos not captured
};

struct KeyLogOpen {
    enum class Problem { None, Missing, NotAFile, Unreadable };
    bool ok = true;
    Problem problem = Problem::None;
    std::string message; // names the file and the reason, in English, for the command-line tool
    // Opened, but others could have written it (group- or world-writable, or another user's): what it
    // holds decides what is read, so the user is told. Names the file and its mode or owner, in English;
    // the mode ("0666") or the owner's name alone beside it, for the window's own words.
    std::string warning;
    std::string writableMode;
    std::string otherOwner;
    explicit operator bool() const { return ok; }
};

class HttpsRequestFinder final {
public:
    // Bounds on what is kept; the defaults are the product's.
    struct Limits {
        std::size_t connectionBytes = std::size_t{1} << 20; // buffered per connection
        std::size_t totalBytes = std::size_t{64} << 20;     // buffered over all connections
        std::size_t connections = 4096;                     // followed at once; the longest idle goes first
        std::size_t requestTextBytes = 16 << 10;            // kept per row for RequestText
        std::size_t requestTextTotal = std::size_t{32} << 20;
        // Drawn from with the other kinds of connection; null: a budget of their own of the bounds above.
        ConnectionBudget* shared = nullptr;
    };

    explicit HttpsRequestFinder(MediaAddressExtractor& extractor);
    HttpsRequestFinder(MediaAddressExtractor& extractor, Limits limits);
    ~HttpsRequestFinder();
    HttpsRequestFinder(const HttpsRequestFinder&) = delete;
    HttpsRequestFinder& operator=(const HttpsRequestFinder&) = delete;

    // Reads the whole key log now; later reads take what was appended. A file that cannot be
    // read leaves no key log open (and PacketReceived does nothing).
    KeyLogOpen OpenKeyLog(const std::string& path);
    void CloseKeyLog();
    bool HasKeyLog() const;
    const std::string& KeyLogPath() const { return keyLogPath_; }

    // One captured frame, after the extractor has stored and searched it as `packet`. Rows are
    // listed only in the search mode (allPacketsValue 0); connections are followed in every mode.
    void PacketReceived(std::span<const std::uint8_t> frame, int linkType, PacketNumber packet,
                        const ExtractionOptions& options);
    // The same for a frame already read: its TCP segment, or null when it carries none.
    void SegmentReceived(const TcpSegment* segment, PacketNumber packet, const ExtractionOptions& options);

    // Capture start: connections, stats and request texts are dropped; the key log stays open.
    void Reset();
    // Capture end: every connection followed is closed, after a last look at the key log, so that
    // each is counted in exactly one outcome of Stats().
    void EndCapture();

    TlsStats Stats() const;

    // The decrypted request behind a row listed from HTTPS: the request line and headers as sent
    // (HTTP/1.x), or the HTTP/2 header list as "name: value" lines, each line ending in CR LF; cut
    // to Limits::requestTextBytes. Null for rows from clear text, and for rows past the total bound.
    const std::string* RequestText(const ResultRow& row) const;
    // The decrypted answer's head behind a row that the answer listed ("name: value" lines for HTTP/2).
    const std::string* ResponseText(const ResultRow& row) const;

    // For the reader of HTTP/3 over QUIC beside this one: the open key log (null when none), the path
    // its requests are listed through (set for the frame PacketReceived was last given), and a count
    // that rises whenever the connections followed are dropped (a key log opened, a capture started).
    KeyLog* OpenedKeyLog() const { return connections_ ? keyLog_.get() : nullptr; }
    HttpRequestSink& Lister();
    // The same path for requests read elsewhere (the TLS probe's), listed as `options` say.
    HttpRequestSink& Lister(const ExtractionOptions& options);
    // Answers a stream takes in are folded rather than listed, and manifests' bodies read (null: none).
    void SetAnswerObserver(AnswerObserver* observer);
    std::uint64_t Restarts() const { return restarts_; }

private:
    class RequestLister; // lists each request through the extractor and keeps its text

    Limits limits_;
    std::string keyLogPath_;
    std::unique_ptr<KeyLog> keyLog_;
    std::unique_ptr<RequestLister> lister_;
    std::unique_ptr<TlsConnectionTable> connections_;
    std::int64_t lastRefreshMs_ = 0; // when the key log was last looked at for a waiting connection
    std::uint64_t restarts_ = 0;
    std::uint64_t keysOffered_ = 0; // the key log's generation when waiting connections last looked
};

} // namespace velmora
