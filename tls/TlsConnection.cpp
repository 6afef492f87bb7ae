#include "tls/TlsConnection.h"

namespace velmora {

TlsConnection::TlsConnection(KeyLog& keyLog, HttpRequestSink& sink, ByteBudget& budget,
                             std::vector<std::uint8_t>& plaintext)
    : keyLog_(keyLog), clientRecords_(budget), serverRecords_(budget), clientHandshake_(budget),
      serverHandshake_(budget), innerHandshake_(budget), sink_(sink), budget_(budget), exchanges_(sink, budget),
      plaintext_(plaintext) {
    http_.emplace(exchanges_, budget_);
}

TlsConnection::~TlsConnection() {
    clearArrivals();
}

void TlsConnection::clearArrivals() {
    budget_.Give(arrivals_.size() * kArrivalCost);
    arrivals_.clear();
    arrivals_.shrink_to_fit();
}

TlsConnection::Outcome TlsConnection::outcome() const {
    if (final_ == Outcome::Unsupported || final_ == Outcome::WithGaps)
        return final_;
    // A client that gave up in the handshake sent nothing to decrypt: neither a fault nor missing keys.
    if (final_ == Outcome::Failed || waitingForKeys_ || final_ == Outcome::WithoutKeys) {
        if (handshakeAbandoned())
            return Outcome::Abandoned;
        return final_ == Outcome::Failed ? Outcome::Failed : Outcome::WithoutKeys;
    }
    if (gapped_ && (anyDecrypted_ || final_ == Outcome::Decrypted))
        return Outcome::WithGaps;
    return anyDecrypted_ ? Outcome::Decrypted : Outcome::Pending;
}

bool TlsConnection::handshakeAbandoned() const {
    const TlsSecrets* secrets = clientHello_ ? keyLog_.Find(clientHello_->random) : nullptr;
    return secrets && (secrets->clientHandshake.known() || secrets->serverHandshake.known()) && !secrets->clientTraffic.known();
}

void TlsConnection::consumeClient(std::size_t n) {
    clientRecords_.Consume(n);
    clientRead_ += n;
}

void TlsConnection::finish(Outcome outcome) {
    final_ = outcome;
    done_ = true;
    clientRecords_.Release();
    serverRecords_.Release();
    clientHandshake_.Release();
    serverHandshake_.Release();
    innerHandshake_.Release();
    exchanges_.Restart();
    clearArrivals();
}

void TlsConnection::stopServer() {
    serverDone_ = true;
    serverSkip_ = 0;
    serverRecords_.Release();
    serverHandshake_.Release();
    exchanges_.Restart();
}

void TlsConnection::drainServer() {
    if (done_ || serverDone_ || !serverHello_ || serverRecords_.empty())
        return;
    const std::size_t used = readServer(serverRecords_.Bytes());
    if (!done_ && !serverDone_) // else the buffer is gone already
        serverRecords_.Consume(used);
}

std::size_t TlsConnection::readServer(std::span<const std::uint8_t> bytes) {
    std::size_t used = 0;
    while (!done_ && !serverDone_) {
        const auto rest = bytes.subspan(used);
        if (serverSkip_ > 0) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(serverSkip_, rest.size()));
            if (n == 0)
                break;
            serverSkip_ -= n;
            used += n;
            continue;
        }
        if (serverSearch_.Active()) {
            // After a gap that swallowed a record header: the records are found again, or given up.
            const auto found = serverSearch_.Search(rest, serverCipher_, plaintext_);
            if (!found) {
                if (serverSearch_.GaveUp(rest.size())) {
                    gapped_ = true;
                    stopServer();
                }
                break;
            }
            if (!exchanges_.Lost(found->plaintextLost))
                gapped_ = true;
            used += found->offset + found->length;
            serverOpenedRecord(found->contentType);
            continue;
        }
        if (rest.size() < tls::kRecordHeaderBytes)
            break;
        const std::size_t length = std::size_t{rest[3]} << 8 | rest[4];
        if (rest[1] != 3 || length > tls::kMaxRecordBody) {
            stopServer();
            break;
        }
        serverSearch_.Seen(tls::kRecordHeaderBytes + length);
        // A record of nothing but body bytes is passed over unopened: counter-mode AEADs need only
        // its number for the next one. Servers do not pad their records, so its length tells.
        const bool applicationKeys = suite_->tls13 ? serverPhase_ == Phase::Application && !serverNextPhase_
                                                   : serverEncrypted_;
        if (rest[0] == tls::kApplicationData && applicationKeys && serverOpened_ && serverCipher_.Ready() &&
            !serverKeyUpdate_) {
            const std::size_t plain = serverCipher_.PlaintextBytes(length);
            if (plain > 0 && exchanges_.BodyBytesAhead() >= plain) {
                serverCipher_.Skip();
                exchanges_.SkipBody(plain);
                serverSkip_ = tls::kRecordHeaderBytes + length;
                ++serverRecordsSkipped_;
                continue;
            }
        }
        if (rest.size() < tls::kRecordHeaderBytes + length)
            break;
        if (rest[0] == tls::kApplicationData && applicationKeys && serverOpened_ && serverCipher_.Ready() &&
            !serverKeyUpdate_ && passDataFrames(rest.first(tls::kRecordHeaderBytes + length))) {
            used += tls::kRecordHeaderBytes + length;
            ++serverRecordsSkipped_;
            continue;
        }
        if (serverRecord(rest.first(tls::kRecordHeaderBytes + length)) == Step::Wait || done_ || serverDone_)
            break;
        used += tls::kRecordHeaderBytes + length;
    }
    return used;
}

bool TlsConnection::passDataFrames(std::span<const std::uint8_t> record) {
    // HTTP/2 downloads: a record holds the end of one DATA frame, the next one's header and payload,
    // and so on. When every frame that begins in it is DATA, only those headers are decrypted (a few
    // bytes each) and the record is passed over; anything else in it and it is opened as usual.
    if (!exchanges_.FrameFollowsBody())
        return false;
    const std::size_t plain = serverCipher_.PlaintextBytes(record.size() - tls::kRecordHeaderBytes);
    constexpr std::size_t kFrameHeader = 9;
    constexpr std::size_t kMaxFrames = 8;
    std::array<std::array<std::uint8_t, kFrameHeader>, kMaxFrames> headers{};
    std::size_t frames = 0;
    for (std::size_t at = exchanges_.BodyBytesAhead(); at < plain; ++frames) {
        if (frames == kMaxFrames || at + kFrameHeader > plain ||
            !serverCipher_.Peek(record, at, headers[frames]) || headers[frames][3] != 0 /* DATA */ ||
            exchanges_.KeepsDataOf((std::uint32_t{headers[frames][5]} << 24 | headers[frames][6] << 16 |
                                    headers[frames][7] << 8 | headers[frames][8]) & 0x7FFFFFFF))
            return false; // a kept body's DATA is read
        at += kFrameHeader + (std::size_t{headers[frames][0]} << 16 | headers[frames][1] << 8 | headers[frames][2]);
    }
    serverCipher_.Skip();
    std::size_t left = plain;
    for (std::size_t i = 0; i <= frames && left > 0; ++i) {
        const auto body = static_cast<std::size_t>(std::min<std::uint64_t>(exchanges_.BodyBytesAhead(), left));
        exchanges_.SkipBody(body);
        left -= body;
        if (i < frames) {
            exchanges_.ServerBytes(headers[i], serverPacket_);
            left -= kFrameHeader;
        }
    }
    return true;
}

const TlsSecret* TlsConnection::serverSecretOf(Phase phase) const {
    const TlsSecrets* secrets = clientHello_ ? keyLog_.Find(clientHello_->random) : nullptr;
    if (!secrets)
        return nullptr;
    const TlsSecret& secret = phase == Phase::Application ? secrets->serverTraffic : secrets->serverHandshake;
    return secret.known() ? &secret : nullptr;
}

bool TlsConnection::setUpServerKeys() {
    bool ok = false;
    if (!clientHello_) {
        // Nothing to find the keys by.
    } else if (suite_->tls13) {
        // Without the handshake secret the application keys are taken at once; the handshake's
        // records then do not open and are passed over.
        if (serverPhase_ == Phase::Handshake && !serverSecretOf(Phase::Handshake) && serverSecretOf(Phase::Application))
            serverPhase_ = Phase::Application;
        const TlsSecret* secret = serverSecretOf(serverPhase_);
        ok = secret && serverCipher_.SetTrafficSecret(*suite_, secret->span());
    } else {
        const TlsSecrets* secrets = keyLog_.Find(clientHello_->random);
        ok = secrets && secrets->master.known() &&
             serverCipher_.SetMasterSecret(*suite_, secrets->master.span(), clientHello_->random,
                                           serverHello_->random, true);
    }
    if (!ok)
        serverCipher_.Forget();
    return ok;
}

TlsConnection::Step TlsConnection::serverRecord(std::span<const std::uint8_t> record) {
    const std::uint8_t type = record[0];
    if (!suite_->tls13) {
        if (type == tls::kChangeCipherSpec) {
            serverEncrypted_ = true;
            return Step::Consumed;
        }
        if (!serverEncrypted_)
            return Step::Consumed; // the certificate and the like, in clear
    } else if (type != tls::kApplicationData) {
        return Step::Consumed; // a compatibility ChangeCipherSpec
    }
    serverKeysMissing_ = !serverCipher_.Ready() && !setUpServerKeys();
    if (serverKeysMissing_)
        return Step::Wait;
    std::uint8_t contentType = 0;
    bool opened = serverCipher_.Open(record, plaintext_, contentType);
    if (!opened && suite_->tls13 && serverPhase_ == Phase::Handshake) {
        // The application keys, in case the server's Finished went unseen.
        const TlsSecret* secret = serverSecretOf(Phase::Application);
        TlsRecordCipher trial;
        if (secret && trial.SetTrafficSecret(*suite_, secret->span()) && trial.Open(record, plaintext_, contentType)) {
            serverPhase_ = Phase::Application;
            serverCipher_.SetTrafficSecret(*suite_, secret->span());
            opened = serverCipher_.Open(record, plaintext_, contentType);
        }
    }
    if (!opened && suite_->tls13 && serverPhase_ == Phase::Application && !serverOpened_ &&
        !serverSecretOf(Phase::Handshake))
        return Step::Consumed; // a handshake record whose keys the log lacks
    if (!opened) {
        stopServer();
        return Step::Consumed;
    }
    serverOpenedRecord(contentType);
    return Step::Consumed;
}

void TlsConnection::serverOpenedRecord(std::uint8_t contentType) {
    if (contentType == tls::kApplicationData) {
        serverOpened_ = true;
        if (!exchanges_.ServerBytes(plaintext_, serverPacket_))
            stopServer();
    } else if (contentType == tls::kHandshake && suite_->tls13) {
        serverInnerHandshake(plaintext_);
    } else if (contentType == tls::kHandshake) {
        serverOpened_ = true; // TLS 1.2: the server's Finished
    }
    if (done_ || serverDone_)
        return;
    if (serverNextPhase_) {
        serverPhase_ = *serverNextPhase_;
        serverNextPhase_.reset();
        if (!setUpServerKeys())
            stopServer(); // the log has the handshake's keys but not the application's
    } else if (serverKeyUpdate_) {
        serverKeyUpdate_ = false;
        if (!serverCipher_.UpdateTrafficSecret())
            stopServer();
    }
}

void TlsConnection::ServerLost(std::uint64_t n) {
    if (n == 0 || !WantsServerBytes())
        return;
    if (!serverHello_)
        return finish(waitingForKeys_ ? Outcome::WithoutKeys : Outcome::Failed); // its hello was not captured
    if (!serverSearch_.Active())
        exchanges_.GapBegins();
    if (serverSearch_.Active()) {
        // What was held after the last gap cannot hold a whole record any more: it is lost too.
        serverSearch_.Discard(serverRecords_.size());
        serverRecords_.Clear();
        serverSearch_.Lost(n);
        return;
    }
    if (serverSkip_ >= n) {
        serverSkip_ -= n; // inside a record passed over: costs nothing
        return;
    }
    std::uint64_t left = n;
    if (serverSkip_ > 0) {
        left -= serverSkip_; // the record passed over ended inside the gap
        serverSkip_ = 0;
    } else if (serverRecords_.size() >= tls::kRecordHeaderBytes && !serverKeysMissing_ && serverCipher_.Ready()) {
        // A record begun: its header says where it ends. It cannot be authenticated, so it is given up,
        // its number used, and its plaintext counted as lost in its place.
        const auto held = serverRecords_.Bytes();
        const std::size_t body = std::size_t{held[3]} << 8 | held[4];
        const std::uint64_t rest = tls::kRecordHeaderBytes + body - held.size();
        serverRecords_.Clear();
        serverCipher_.Skip();
        if (!exchanges_.Lost(serverCipher_.PlaintextBytes(body)))
            gapped_ = true;
        if (left < rest) {
            serverSkip_ = rest - left;
            return;
        }
        left -= rest;
        if (left == 0)
            return;
    } else {
        left += serverRecords_.size(); // a header begun: lost with the gap
        serverRecords_.Clear();
    }
    if (!serverCipher_.Ready() && !setUpServerKeys()) {
        gapped_ = true;
        return stopServer();
    }
    if (suite_->tls13 && serverPhase_ == Phase::Handshake) {
        // The rest of the handshake went with the gap: the answers come under the application keys.
        const TlsSecret* secret = serverSecretOf(Phase::Application);
        if (!secret || !serverCipher_.SetTrafficSecret(*suite_, secret->span())) {
            gapped_ = true;
            return stopServer();
        }
        serverPhase_ = Phase::Application;
        serverNextPhase_.reset();
        serverSearch_.FromStartOfKeys();
    }
    serverSearch_.Lost(left);
}

void TlsConnection::ClientLost(std::uint64_t n) {
    if (n == 0 || done_)
        return;
    if (!clientHello_ || !serverHello_ || !suite_)
        return finish(Outcome::Failed); // its hellos were not captured
    gapped_ = true;
    if (waitingForKeys_ || (!cipher_.Ready() && !setUpKeys()))
        return finish(Outcome::WithoutKeys);
    if (suite_->tls13 && phase_ != Phase::Application) {
        // The rest of the handshake may be what went: the requests come under the application keys.
        const TlsSecret* secret = secretOf(Phase::Application);
        if (!secret || !cipher_.SetTrafficSecret(*suite_, secret->span()))
            return finish(Outcome::WithoutKeys);
        phase_ = Phase::Application;
        nextPhase_.reset();
        clientSearch_.FromStartOfKeys();
    }
    const std::size_t held = clientRecords_.size();
    std::uint64_t lostAfterBoundary = 0; // bytes lost since the last record boundary known, when one was lost
    if (clientSearch_.Active()) {
        clientSearch_.Discard(held);
        lostAfterBoundary = n;
    } else if (clientSkip_ > 0) {
        // A record given up at an earlier gap: this one may end inside it.
        lostAfterBoundary = n > clientSkip_ ? n - clientSkip_ : 0;
        clientSkip_ = n > clientSkip_ ? 0 : clientSkip_ - n;
    } else if (held >= tls::kRecordHeaderBytes) {
        const auto bytes = clientRecords_.Bytes();
        const std::uint64_t rest = tls::kRecordHeaderBytes + (std::size_t{bytes[3]} << 8 | bytes[4]) - held;
        cipher_.Skip(); // the record cannot be authenticated: given up, its number used
        lostAfterBoundary = n > rest ? n - rest : 0;
        clientSkip_ = n < rest ? rest - n : 0;
    } else {
        lostAfterBoundary = held + n; // at a boundary, or inside a header
    }
    consumeClient(held);
    clientRead_ += n;
    clientReceived_ += n;
    // A request reader cannot pick up mid-stream over HTTP/2 (its header table is gone); over HTTP/1.x
    // a new one starts at the next request.
    if (http_->Http2())
        return finish(Outcome::Decrypted);
    http_.reset();
    http_.emplace(exchanges_, budget_);
    if (lostAfterBoundary > 0)
        clientSearch_.Lost(lostAfterBoundary);
}

void TlsConnection::serverInnerHandshake(std::span<const std::uint8_t> fragment) {
    const bool ok = serverHandshake_.Add(fragment, [&](std::uint8_t message, std::span<const std::uint8_t>) {
        if (message == tls::kFinishedMessage && serverPhase_ == Phase::Handshake)
            serverNextPhase_ = Phase::Application;
        else if (message == tls::kKeyUpdateMessage && serverPhase_ == Phase::Application)
            serverKeyUpdate_ = true;
    });
    if (!ok)
        stopServer();
}

void TlsConnection::Close() {
    // A gap whose records were never found again: the answers still awaited are lost to it.
    if (!done_ && !serverDone_ && serverSearch_.Active() && exchanges_.AnyPending())
        gapped_ = true;
    if (!done_)
        finish(waitingForKeys_ ? Outcome::WithoutKeys : anyDecrypted_ ? Outcome::Decrypted : Outcome::Failed);
    else if (outcome() == Outcome::Pending)
        final_ = Outcome::Failed;
}

void TlsConnection::RetryKeys() {
    if (!done_ && waitingForKeys_)
        drainClient();
    drainServer();
}

void TlsConnection::ServerBytes(std::span<const std::uint8_t> bytes, PacketNumber packet) {
    if (!WantsServerBytes())
        return;
    serverPacket_ = packet;
    while (serverHello_ && !bytes.empty() && !done_ && !serverDone_) {
        // Read in place while nothing waits.
        if (serverRecords_.empty()) {
            bytes = bytes.subspan(readServer(bytes));
            if (bytes.empty() || done_ || serverDone_)
                return;
        }
        // What cannot be read yet waits: all of it while the keys are missing (a little at most),
        // else only what completes the record begun, which is then read and the rest in place.
        std::size_t n = bytes.size();
        if (!serverKeysMissing_ && !serverSearch_.Active()) {
            const auto held = serverRecords_.Bytes();
            const std::size_t want = held.size() < tls::kRecordHeaderBytes
                                         ? tls::kRecordHeaderBytes
                                         : tls::kRecordHeaderBytes + (std::size_t{held[3]} << 8 | held[4]);
            if (want > held.size())
                n = std::min(n, want - held.size());
        }
        if (serverRecords_.size() + n > kMaxServerWaiting || !serverRecords_.Append(bytes.first(n)))
            return stopServer();
        bytes = bytes.subspan(n);
        drainServer();
    }
    if (serverHello_)
        return;
    if (!serverRecords_.Append(bytes))
        return finish(Outcome::Failed);
    while (!done_ && !serverHello_) {
        const auto records = serverRecords_.Bytes();
        if (records.size() < tls::kRecordHeaderBytes)
            break;
        const std::size_t length = std::size_t{records[3]} << 8 | records[4];
        if (records[1] != 3 || length > tls::kMaxRecordBody)
            return finish(Outcome::Failed);
        if (records.size() < tls::kRecordHeaderBytes + length)
            break;
        const std::uint8_t type = records[0];
        const auto body = records.subspan(tls::kRecordHeaderBytes, length);
        if (type == tls::kHandshake) {
            bool damaged = false;
            const bool ok = serverHandshake_.Add(body, [&](std::uint8_t message, std::span<const std::uint8_t> b) {
                if (message != tls::kServerHelloMessage || serverHello_ || damaged)
                    return;
                auto hello = ReadServerHello(b);
                if (!hello)
                    damaged = true;
                else if (!hello->helloRetryRequest)
                    serverHello_ = hello; // after a retry request the next ServerHello decides
            });
            if (!ok || damaged)
                return finish(Outcome::Failed);
        } else if (type != tls::kChangeCipherSpec) {
            // An alert or data before the hello: the handshake did not happen as TLS knows it.
            return finish(Outcome::Failed);
        }
        serverRecords_.Consume(tls::kRecordHeaderBytes + length);
    }
    if (!serverHello_)
        return;
    if (serverRecords_.size() > kMaxServerWaiting)
        stopServer();
    serverHandshake_.Clear();
    const bool tls13 = serverHello_->version == tls::kTls13;
    if (serverHello_->version != tls::kTls12 && !tls13)
        return finish(Outcome::Unsupported);
    suite_ = FindTlsCipherSuite(serverHello_->cipherSuite, tls13);
    if (!suite_)
        return finish(Outcome::Unsupported);
    // TLS 1.3 starts with the handshake keys, or the early keys when the client sent early data.
    phase_ = Phase::Handshake;
    if (tls13 && clientHello_ && clientHello_->offersEarlyData) {
        const TlsSecrets* secrets = keyLog_.Find(clientHello_->random);
        if (secrets && secrets->clientEarly.known())
            phase_ = Phase::Early;
    }
    drainClient();
    drainServer();
}

void TlsConnection::ClientBytes(std::span<const std::uint8_t> bytes, PacketNumber packet) {
    if (done_)
        return;
    if (!clientRecords_.Append(bytes))
        return finish(waitingForKeys_ ? Outcome::WithoutKeys : Outcome::Failed);
    clientReceived_ += bytes.size();
    if (arrivals_.size() < kMaxArrivals && budget_.Take(kArrivalCost))
        arrivals_.emplace_back(clientReceived_, packet);
    else if (!arrivals_.empty())
        arrivals_.back() = {clientReceived_, packet};
    drainClient();
}

void TlsConnection::drainClient() {
    while (!done_) {
        const auto records = clientRecords_.Bytes();
        if (clientSkip_ > 0) {
            // The rest of a record given up at a gap.
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(clientSkip_, records.size()));
            consumeClient(n);
            clientSkip_ -= n;
            if (clientSkip_ > 0)
                return;
            continue;
        }
        if (clientSearch_.Active()) {
            const auto found = clientSearch_.Search(records, cipher_, plaintext_);
            if (!found) {
                if (clientSearch_.GaveUp(records.size()))
                    finish(Outcome::Decrypted);
                return;
            }
            consumeClient(found->offset);
            if (found->contentType == tls::kApplicationData)
                clientApplicationData(found->length);
            if (!done_)
                consumeClient(found->length);
            continue;
        }
        if (records.size() < tls::kRecordHeaderBytes)
            return;
        const std::size_t length = std::size_t{records[3]} << 8 | records[4];
        if (records[1] != 3 || length > tls::kMaxRecordBody)
            return finish(Outcome::Failed);
        if (records.size() < tls::kRecordHeaderBytes + length)
            return;
        if (clientRecord(records.first(tls::kRecordHeaderBytes + length)) == Step::Wait)
            return;
        if (!done_)
            consumeClient(tls::kRecordHeaderBytes + length);
    }
}

TlsConnection::Step TlsConnection::clientRecord(std::span<const std::uint8_t> record) {
    const std::uint8_t type = record[0];
    const auto body = record.subspan(tls::kRecordHeaderBytes);
    if (!clientHello_) {
        if (type != tls::kHandshake) {
            finish(Outcome::Failed);
            return Step::Consumed;
        }
        bool damaged = false;
        const bool ok = clientHandshake_.Add(body, [&](std::uint8_t message, std::span<const std::uint8_t> b) {
            if (message == tls::kClientHelloMessage && !clientHello_ && !damaged) {
                clientHello_ = ReadClientHello(b);
                damaged = !clientHello_;
            }
        });
        if (!ok || damaged)
            finish(Outcome::Failed);
        else if (clientHello_)
            clientHandshake_.Clear();
        return Step::Consumed;
    }
    if (!serverHello_ || !suite_)
        return Step::Wait; // the server's hello says how to read what follows
    if (!suite_->tls13) {
        if (type == tls::kChangeCipherSpec) {
            encrypted_ = true;
            return Step::Consumed;
        }
        if (!encrypted_)
            return Step::Consumed; // ClientKeyExchange and the like, in clear
        return encryptedRecord(record);
    }
    // TLS 1.3 protects everything as application data; the rest is a compatibility
    // ChangeCipherSpec, a second ClientHello after a retry request, or a clear alert.
    if (type != tls::kApplicationData)
        return Step::Consumed;
    return encryptedRecord(record);
}

const TlsSecret* TlsConnection::secretOf(Phase phase) const {
    const TlsSecrets* secrets = keyLog_.Find(clientHello_->random);
    if (!secrets)
        return nullptr;
    const TlsSecret& secret = phase == Phase::Early       ? secrets->clientEarly
                              : phase == Phase::Handshake ? secrets->clientHandshake
                                                          : secrets->clientTraffic;
    return secret.known() ? &secret : nullptr;
}

bool TlsConnection::setUpKeys() {
    bool ok = false;
    if (suite_->tls13) {
        const TlsSecret* secret = secretOf(phase_);
        ok = secret && cipher_.SetTrafficSecret(*suite_, secret->span());
    } else {
        const TlsSecrets* secrets = keyLog_.Find(clientHello_->random);
        ok = secrets && secrets->master.known() &&
             cipher_.SetMasterSecret(*suite_, secrets->master.span(), clientHello_->random, serverHello_->random);
    }
    if (!ok)
        cipher_.Forget();
    waitingForKeys_ = !ok;
    return ok;
}

TlsConnection::Step TlsConnection::encryptedRecord(std::span<const std::uint8_t> record) {
    if (!cipher_.Ready() && !setUpKeys())
        return Step::Wait;
    std::uint8_t contentType = 0;
    bool opened = cipher_.Open(record, plaintext_, contentType);
    if (!opened && suite_->tls13) {
        // A later phase's keys, in case a switch went unseen (the client's Finished in a record
        // that did not open, early data that the key log has no keys for).
        for (Phase later : {Phase::Handshake, Phase::Application}) {
            if (later <= phase_)
                continue;
            const TlsSecret* secret = secretOf(later);
            TlsRecordCipher trial;
            if (secret && trial.SetTrafficSecret(*suite_, secret->span()) &&
                trial.Open(record, plaintext_, contentType)) {
                phase_ = later;
                cipher_.SetTrafficSecret(*suite_, secret->span());
                cipher_.Open(record, plaintext_, contentType); // moves the record number past it
                opened = true;
                break;
            }
        }
        if (!opened && phase_ != Phase::Application && clientHello_->offersEarlyData && !anyDecrypted_)
            return Step::Consumed; // early data the server may well have refused too
    }
    if (!opened) {
        finish(Outcome::Failed);
        return Step::Consumed;
    }
    anyDecrypted_ = true;
    if (contentType == tls::kApplicationData) {
        clientApplicationData(record.size());
    } else if (contentType == tls::kHandshake && suite_->tls13) {
        innerHandshake(plaintext_);
    }
    if (done_)
        return Step::Consumed;
    if (nextPhase_) {
        phase_ = *nextPhase_;
        nextPhase_.reset();
        if (!setUpKeys()) {
            // The record is read; the next ones wait for the new keys.
            consumeClient(record.size());
            return Step::Wait;
        }
    } else if (keyUpdate_) {
        keyUpdate_ = false;
        if (!cipher_.UpdateTrafficSecret()) {
            finish(Outcome::Failed);
            return Step::Consumed;
        }
    }
    return Step::Consumed;
}

void TlsConnection::clientApplicationData(std::size_t recordBytes) {
    anyDecrypted_ = true;
    // The frame that brought the record's last byte.
    const std::uint64_t end = clientRead_ + recordBytes;
    while (arrivals_.size() > 1 && arrivals_.front().first < end) {
        arrivals_.pop_front();
        budget_.Give(kArrivalCost);
    }
    const PacketNumber packet = arrivals_.empty() ? 0 : arrivals_.front().second;
    earlyDataRead_ = earlyDataRead_ || phase_ == Phase::Early;
    if (!http_->Add(plaintext_, packet))
        finish(Outcome::Decrypted); // not HTTP: nothing more to read
}

void TlsConnection::innerHandshake(std::span<const std::uint8_t> fragment) {
    const bool ok = innerHandshake_.Add(fragment, [&](std::uint8_t message, std::span<const std::uint8_t>) {
        if (message == tls::kEndOfEarlyDataMessage && phase_ == Phase::Early) {
            nextPhase_ = Phase::Handshake;
            earlyDataRead_ = false; // accepted: the application data goes on from it
        } else if (message == tls::kFinishedMessage && phase_ != Phase::Application) {
            nextPhase_ = Phase::Application;
            if (earlyDataRead_) {
                // Finished without EndOfEarlyData: the server refused the early data, and the client
                // sends its requests again from the start (a new HTTP/2 preface and header table). What
                // was read from the early data stays listed.
                earlyDataRead_ = false;
                http_.reset(); // gives its bytes back to the budget before the new one takes any
                exchanges_.Restart();
                http_.emplace(exchanges_, budget_);
            }
        } else if (message == tls::kKeyUpdateMessage && phase_ == Phase::Application)
            keyUpdate_ = true;
    });
    if (!ok)
        finish(Outcome::Failed);
}

} // namespace velmora
