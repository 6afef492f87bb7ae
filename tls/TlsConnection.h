#pragma once
// One TLS connection, fed the bytes of its two directions in order. The server's hello is read in
// clear; the client's records are opened with keys from the key log and their application data goes
// to the HTTP reader. The server's records are opened only as far as the answers' heads need: a
// record that holds nothing but body bytes is passed over unopened (its number still counts), and
// a record is authenticated before any of its bytes are used. What goes wrong on the server's side
// stops only the reading of answers, never the client's requests.
//
// Client records that cannot be opened yet (the server's hello or the keys have not been seen)
// stay in order within the connection's budget until they can, or the budget runs out.

#include "tcp/BoundedBuffer.h"
#include "http/HttpExchanges.h"
#include "http/HttpRequestReader.h"
#include "tls/KeyLog.h"
#include "tls/TlsHello.h"
#include "tls/TlsRecordCipher.h"
#include "tls/TlsRecordSearch.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace velmora {

class TlsConnection final {
public:
    // Abandoned: without keys because the handshake never completed (the key log holds its handshake
    // secrets but no application secret: the client gave up, over a certificate say).
    enum class Outcome { Pending, Decrypted, WithGaps, WithoutKeys, Abandoned, Unsupported, Failed };

    // `plaintext` is where records are opened: one buffer serves every connection of a table.
    TlsConnection(KeyLog& keyLog, HttpRequestSink& sink, ByteBudget& budget, std::vector<std::uint8_t>& plaintext);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // Client bytes that arrived in frame `packet`.
    void ClientBytes(std::span<const std::uint8_t> bytes, PacketNumber packet);
    // Server bytes that arrived in frame `packet`.
    void ServerBytes(std::span<const std::uint8_t> bytes, PacketNumber packet);
    // `n` bytes of a direction were never captured (a frame cut short, a frame not captured). Inside
    // a record passed over they cost nothing; a record they cut into is given up; where they swallow
    // a record header the records are found again by TlsRecordSearch. A connection that lost
    // requests or answers to them is counted as with gaps.
    void ClientLost(std::uint64_t n);
    void ServerLost(std::uint64_t n);
    // The key log has grown: a connection waiting for keys looks again.
    void RetryKeys();
    // The connection closed: one last look for keys happened before; what waits is given up, and
    // the outcome is final. One that read nothing (its hellos were not both captured, or it ended
    // before anything could be opened) has failed.
    void Close();

    Outcome outcome() const;
    bool handshakeAbandoned() const;
    bool WaitingForKeys() const { return waitingForKeys_ && !done_; }
    bool WantsClientBytes() const { return !done_; }
    bool WantsServerBytes() const { return !done_ && (!serverHello_ || !serverDone_); }
    const std::optional<ClientHello>& clientHello() const { return clientHello_; }
    const std::optional<ServerHello>& serverHello() const { return serverHello_; }
    // The server's records passed over unopened as nothing but body bytes.
    std::uint64_t ServerRecordsSkipped() const { return serverRecordsSkipped_; }

private:
    enum class Step { Consumed, Wait };
    // The server's bytes kept while they cannot be read (no keys yet): its handshake flight and a
    // first answer fit; past it the answers are given up, so the client's requests keep the budget.
    static constexpr std::size_t kMaxServerWaiting = 64 << 10;
    enum class Phase { Early, Handshake, Application };

    void drainClient();
    void consumeClient(std::size_t n);
    Step clientRecord(std::span<const std::uint8_t> record);
    Step encryptedRecord(std::span<const std::uint8_t> record);
    void innerHandshake(std::span<const std::uint8_t> fragment);
    // Keys for the current phase; false (and waiting for keys) when the key log lacks them.
    bool setUpKeys();
    const TlsSecret* secretOf(Phase phase) const;
    void finish(Outcome outcome);
    // The server's records after its hello: what `bytes` begins with, as far as it can be read now.
    // Returns how many bytes were consumed; the rest waits (keys, the rest of a record).
    void drainServer();
    std::size_t readServer(std::span<const std::uint8_t> bytes);
    Step serverRecord(std::span<const std::uint8_t> record);
    // A server record opened into plaintext_: its content read, the phase or keys moved on.
    void serverOpenedRecord(std::uint8_t contentType);
    // The client's application data opened into plaintext_ from a record of `recordBytes`: to the request reader.
    void clientApplicationData(std::size_t recordBytes);
    bool setUpServerKeys();
    // Passes over a whole record of HTTP/2 DATA frames by their headers alone; false to open it.
    bool passDataFrames(std::span<const std::uint8_t> record);
    const TlsSecret* serverSecretOf(Phase phase) const;
    void serverInnerHandshake(std::span<const std::uint8_t> fragment);
    void stopServer();
    void clearArrivals();

    KeyLog& keyLog_;
    BoundedBuffer clientRecords_;
    BoundedBuffer serverRecords_;
    HandshakeMessages clientHandshake_;
    HandshakeMessages serverHandshake_;
    HandshakeMessages innerHandshake_; // TLS 1.3: the client's encrypted handshake messages
    HttpRequestSink& sink_;
    ByteBudget& budget_;
    HttpExchanges exchanges_; // between the HTTP reader and the sink: pairs answers with requests
    // Replaced when the server refused the early data: the client then starts its HTTP afresh.
    std::optional<HttpRequestReader> http_;
    std::optional<ClientHello> clientHello_;
    std::optional<ServerHello> serverHello_;
    const TlsCipherSuite* suite_ = nullptr;
    TlsRecordCipher cipher_;
    Phase phase_ = Phase::Handshake;
    std::optional<Phase> nextPhase_; // taken after the record being read
    bool keyUpdate_ = false;         // likewise
    bool encrypted_ = false;         // TLS 1.2: the client has sent ChangeCipherSpec
    bool anyDecrypted_ = false;
    bool earlyDataRead_ = false; // application data read under the early keys, not yet ended by EndOfEarlyData
    bool waitingForKeys_ = false;
    bool gapped_ = false; // requests or answers were lost to a gap in the capture
    TlsRecordSearch clientSearch_;
    std::uint64_t clientSkip_ = 0; // bytes of a record given up at a gap still to come
    bool done_ = false;
    Outcome final_ = Outcome::Pending;
    std::vector<std::uint8_t>& plaintext_;
    // Which frame brought the client's bytes: (stream offset just past them, frame), oldest first,
    // so a record read late (its keys came later) names the frame that completed it. Each record is
    // taken from the budget; past the bound or the budget, later frames stand for earlier ones.
    using Arrival = std::pair<std::uint64_t, PacketNumber>;
    static constexpr std::size_t kMaxArrivals = 4096;
    static constexpr std::size_t kArrivalCost = sizeof(Arrival) + sizeof(Arrival) / 2; // with the deque's blocks
    std::deque<Arrival> arrivals_;
    std::uint64_t clientReceived_ = 0; // client bytes taken into clientRecords_
    std::uint64_t clientRead_ = 0;     // client bytes consumed from it

    // The server's side, after its hello.
    TlsRecordCipher serverCipher_;
    Phase serverPhase_ = Phase::Handshake;
    std::optional<Phase> serverNextPhase_;
    bool serverKeyUpdate_ = false;
    bool serverEncrypted_ = false; // TLS 1.2: the server has sent ChangeCipherSpec
    bool serverOpened_ = false;    // a record opened under the application keys
    std::uint64_t serverRecordsSkipped_ = 0;
    bool serverDone_ = false;
    bool serverKeysMissing_ = false; // a record waits for the server's keys
    std::uint64_t serverSkip_ = 0; // bytes of a record being passed over still to come
    TlsRecordSearch serverSearch_;
    PacketNumber serverPacket_ = 0;
};

} // namespace velmora
