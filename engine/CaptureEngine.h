#pragma once
// The engine every captured frame goes through, the same for the window and velmora-cli: it stores
// the frame, lists the media addresses its text holds, follows the HTTPS connections it can decrypt
// and reads the servers' answers. The front ends hand it frames in capture order and read its rows;
// nothing here knows about widgets or libpcap.
//
//     CaptureEngine engine(fileTypes);
//     engine.OpenKeyLog(path);                       // optional: HTTPS and HTTP/3 through the browser's key log
//     engine.FrameReceived(frame, linkType, options); // per frame, on one thread
//     engine.ProbeBytesReceived(bytes, options);      // optional: velmora-tls's output, on the same thread
//     for (i = before; i < engine.Results().size(); ++i) show(engine.Results()[i]);
//     engine.Reset();                                // capture start

#include "capture/FileTypeTable.h"
#include "capture/FrameMarkers.h"
#include "capture/MediaAddressExtractor.h"
#include "capture/PacketStore.h"
#include "capture/ResultList.h"
#include "engine/ProbeRequestLister.h"
#include "probe/ProbeConnections.h"
#include "probe/ProbeRecordReader.h"
#include "tls/HttpsRequestFinder.h"
#include "http/ClearTextExchanges.h"
#include "quic/QuicConnectionTable.h"
#include "stream/MediaPairing.h"
#include "stream/StreamRegistry.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

namespace velmora {

class CaptureEngine final : private AnswerObserver {
public:
    struct Limits {
        // Frames kept for the data window and the keyword search; 0 keeps numbers only.
        std::size_t storeBytes = PacketStore::kDefaultMemoryBudget;
        HttpsRequestFinder::Limits https;
        ClearTextExchanges::Limits clearText;
        // What the connections followed hold, decrypted (TLS, QUIC), clear text and the probe's together,
        // and how many there are; each kind keeps a quarter of both that the others cannot take.
        std::size_t connectionBytes = std::size_t{64} << 20;
        std::size_t connections = 4096;
        std::size_t answerTextBytes = 16 << 10; // kept per row for AnswerOf
        std::size_t answerTextTotal = std::size_t{32} << 20;
        probe::ProbeConnections::Limits probe;
    };

    // The exchange behind a row that the server's answer listed: the request (its frame, or the
    // decrypted request's text) and the answer's head as text.
    struct Answer {
        PacketNumber requestPacket = 0;
        const std::string* requestText = nullptr; // decrypted requests only
        const std::string* responseText = nullptr;
    };

    explicit CaptureEngine(const FileTypeTable& fileTypes) : CaptureEngine(fileTypes, Limits{}) {}
    CaptureEngine(const FileTypeTable& fileTypes, Limits limits);
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    // One frame, every captured byte of it, with its libpcap link type, or -1 when unknown. The store
    // and the address scans take its first PacketStore::kMaxFrameBytes; the TCP, TLS, QUIC and answer
    // readers read all of it. `knownMarkers`, when given, is what FindFrameMarkers finds in those first bytes.
    // `time` is when the frame was captured (for pairing audio with video fetched apart).
    void FrameReceived(std::span<const std::uint8_t> frame, int linkType, const ExtractionOptions& options,
                       const FrameMarkers* knownMarkers = nullptr, std::chrono::microseconds time = {});

    // The window's switch for listing by the answer's media type ("[FileType] ByContentType"); a frame
    // lists by it when both this and its options say so.
    void SetListByContentType(bool on) { listByContentType_ = on; }
    bool ListByContentType() const { return listByContentType_; }
    // "[FileType] Streams": manifests read and segments folded (a frame reads them when this and its options say so).
    void SetReadStreams(bool on) { readStreams_ = on; }

    // Capture start: frames, rows and followed connections are dropped; the key log stays open, and the
    // probe's stream goes on where it stands (its connections start again).
    void Reset();
    // Capture end: what the connections keep ahead of gaps is read (rows may follow), and every TLS
    // connection gets its final outcome.
    void EndCapture();

    KeyLogOpen OpenKeyLog(const std::string& path) { return https_.OpenKeyLog(path); }
    void CloseKeyLog() {
        quic_.reset();
        https_.CloseKeyLog();
    }
    bool HasKeyLog() const { return https_.HasKeyLog(); }
    TlsStats Stats() const { return https_.Stats(); }
    // HTTP/3 over QUIC, read with the same key log.
    QuicStats QuicConnections() const { return quic_ ? quic_->Stats() : QuicStats{}; }
    // The clear-text connections whose answers were followed.
    HttpFollowStats ClearTextConnections() const { return clearText_.Stats(); }
    // The budget every kind of connection followed draws from.
    const ConnectionBudget& ConnectionsBudget() const { return connectionBudget_; }
    // TLS and QUIC together, for the figures the window shows.
    TlsStats DecryptedConnections() const;

    // For a stream's row: its manifest's text and the first requests folded into it, as the data window
    // shows them; nothing for the other rows.
    std::optional<std::string> StreamTextOf(const ResultRow& row) const;
    // The stream a row stands for; null for the other rows.
    const StreamInfo* StreamOf(const ResultRow& row) const;

    // For a row listed from a server's answer; nothing for the others, and for rows past the text bound.
    std::optional<Answer> AnswerOf(const ResultRow& row) const;

    // The TLS probe: velmora-tls's standard output as it arrives, in pieces of any size, on the thread
    // frames come on. The requests its records show are listed as decrypted ones are, each row with the
    // program that made it; a request also decrypted from the capture is listed once. Returns false
    // once the stream is malformed: nothing more of it is read (ProbeProblem says why).
    bool ProbeBytesReceived(std::span<const std::uint8_t> bytes, const ExtractionOptions& options);
    // The helper's output ended: false when it ended inside a record.
    bool ProbeEnded() { return probeReader_.End(); }
    // A new helper's output follows: the stream, its connections and counts start afresh.
    void ProbeRestarted();
    probe::ProbeStats ProbeCounts() const;
    // Why the probe's stream stopped being read, in English; empty while it is read.
    const std::string& ProbeProblem() const { return probeReader_.Problem(); }
    // The program behind a row the probe listed; nothing for other rows.
    std::optional<probe::ProbeProgram> ProgramOf(const ResultRow& row) const { return probeLister_.ProgramOf(row); }

    PacketStore& Store() { return store_; }
    const PacketStore& Store() const { return store_; }
    ResultList& Results() { return results_; }
    const ResultList& Results() const { return results_; }
    MediaAddressExtractor& Extractor() { return extractor_; }
    HttpsRequestFinder& Https() { return https_; }
    const HttpsRequestFinder& Https() const { return https_; }

private:
    struct AnswerRecord {
        PacketNumber requestPacket = 0;
        std::string responseText;
    };
    void followQuic();
    // Returns how many bytes of the answer's body to keep: a manifest's.
    std::size_t clearTextAnswered(std::u16string_view address, PacketNumber requestPacket, HttpResponseHead& response,
                                  std::string_view referer);
    void Listed(std::u16string_view address, const HttpResponseHead& response, std::string_view referer) override;
    // Streams, for the answers of every path: a request a stream takes in is folded, a manifest read.
    Verdict Answered(std::u16string_view address, const HttpResponseHead& response) override;
    void BodyRead(std::u16string_view address, std::span<const std::uint8_t> body, bool complete) override;
    // The stream's row says what the stream is; one is listed when the manifest itself was not.
    void showStream(const StreamInfo& stream);

    // The addresses the streams take in, for the extractor.
    class StreamClaim final : public AddressClaim {
    public:
        explicit StreamClaim(const StreamRegistry& streams) : streams_(streams) {}
        bool Claims(std::u16string_view address) const override;
        void SetOn(bool on) { on_ = on; }

    private:
        const StreamRegistry& streams_;
        bool on_ = true;
    };

    // Limits with the shared budget to draw from.
    static Limits sharing(Limits limits, ConnectionBudget* budget);

    ConnectionBudget connectionBudget_; // first: the connection tables draw from it
    Limits limits_;
    const ExtractionOptions* options_ = nullptr; // of the frame being handled
    ExtractionOptions lastOptions_;
    bool listByContentType_ = true;
    bool readStreams_ = true;
    PacketStore store_;
    ResultList results_;
    MediaAddressExtractor extractor_;
    HttpsRequestFinder https_; // idle until a key log is open
    // HTTP/3 over QUIC: made when the finder has a key log, made anew whenever the finder drops its connections.
    std::unique_ptr<QuicConnectionTable> quic_;
    std::uint64_t quicRestarts_ = 0;
    StreamRegistry streams_;
    MediaPairing pairing_;
    std::chrono::microseconds now_{}; // of the frame being handled
    // The Content-Encoding of manifests whose bodies are awaited, by address.
    static constexpr std::size_t kMaxPendingEncodings = 64;
    std::unordered_map<std::u16string, std::string> encodings_;
    // The manifests' texts by stream address, within a bound of their own.
    static constexpr std::size_t kMaxManifestText = 64 << 10;
    static constexpr std::size_t kMaxManifestTexts = std::size_t{8} << 20;
    std::unordered_map<std::string, std::string> manifestTexts_;
    std::size_t manifestTextBytes_ = 0;
    StreamClaim streamClaim_{streams_};
    ClearTextExchanges clearText_;
    std::unordered_map<std::u16string, AnswerRecord> answers_; // by RowKey
    std::size_t answerBytes_ = 0;
    ProbeRequestLister probeLister_{results_};
    probe::ProbeRecordReader probeReader_;
    probe::ProbeConnections probeConnections_{probeLister_, limits_.probe};
};

} // namespace velmora
