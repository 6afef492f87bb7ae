#include "engine/CaptureEngine.h"

#include "capture/FrameText.h"
#include "capture/Gbk.h"
#include "capture/RangePiece.h"
#include "stream/ContentDecoding.h"
#include "stream/ManifestKind.h"

#include <algorithm>
#include <cstring>

namespace velmora {

namespace {

// A row's identity for the texts kept beside it: its packet and address.
std::u16string rowKey(const ResultRow& row) {
    std::u16string key(sizeof(PacketNumber) / sizeof(char16_t), u'\0');
    std::memcpy(key.data(), &row.packet, sizeof(PacketNumber));
    return key + row.address;
}

// A stream's address as its row names it; it is looked up at every segment fetched, and is nearly
// always ASCII, widened as it is.
std::u16string rowAddress(std::string_view address) {
    if (std::any_of(address.begin(), address.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return utf8::ToU16(address);
    return std::u16string(address.begin(), address.end());
}

} // namespace

CaptureEngine::Limits CaptureEngine::sharing(Limits limits, ConnectionBudget* budget) {
    limits.https.shared = budget;
    limits.clearText.shared = budget;
    limits.probe.shared = budget;
    return limits;
}

CaptureEngine::CaptureEngine(const FileTypeTable& fileTypes, Limits limits)
    : connectionBudget_(limits.connectionBytes, limits.connections), limits_(sharing(limits, &connectionBudget_)),
      store_(limits.storeBytes), extractor_(store_, results_, fileTypes), https_(extractor_, limits_.https),
      clearText_([this](std::u16string_view address, PacketNumber requestPacket, HttpResponseHead& response,
                        std::string_view referer) { return clearTextAnswered(address, requestPacket, response, referer); },
                 [this](std::u16string_view address, std::span<const std::uint8_t> body, bool complete) {
                     BodyRead(address, body, complete);
                 },
                 limits_.clearText) {
    extractor_.SetAddressClaim(&streamClaim_);
    https_.SetAnswerObserver(this);
}

bool CaptureEngine::StreamClaim::Claims(std::u16string_view address) const {
    // Only what a manifest named is looked up: most addresses are no stream's.
    return on_ && streams_.MayOwn(address) && streams_.Owner(utf8::FromU16(address)) != nullptr;
}

void CaptureEngine::FrameReceived(std::span<const std::uint8_t> frame, int linkType, const ExtractionOptions& options,
                                  const FrameMarkers* knownMarkers, std::chrono::microseconds time) {
    now_ = time;
    ExtractionOptions effective = options;
    effective.byContentType = options.byContentType && listByContentType_;
    effective.readStreams = options.readStreams && readStreams_;
    streamClaim_.SetOn(effective.readStreams);
    lastOptions_ = effective;
    extractor_.vpacket_PacketReceived(frame, linkType, effective, knownMarkers);
    const PacketNumber packet = store_.CurrentPacket();
    // The TCP header is read once for the HTTPS path and the clear-text answers.
    TcpSegment segment;
    const bool tcp = ReadTcpSegment(frame, linkType, segment);
    https_.SegmentReceived(tcp ? &segment : nullptr, packet, effective);
    followQuic();
    if (UdpDatagram datagram; !tcp && quic_ && ReadUdpDatagram(frame, linkType, datagram))
        quic_->Datagram(datagram, packet);
    if (tcp) {
        options_ = &effective;
        clearText_.Segment(segment, packet);
        options_ = nullptr;
    }
}

bool CaptureEngine::ProbeBytesReceived(std::span<const std::uint8_t> bytes, const ExtractionOptions& options) {
    ExtractionOptions effective = options;
    effective.byContentType = options.byContentType && listByContentType_;
    effective.readStreams = options.readStreams && readStreams_;
    streamClaim_.SetOn(effective.readStreams);
    lastOptions_ = effective;
    // Rows from the probe carry the last frame's number: the one stored when the request was read.
    probeLister_.Use(https_.Lister(effective), probeConnections_);
    probeConnections_.SetPacket(store_.CurrentPacket());
    return probeReader_.Add(bytes, probeConnections_);
}

void CaptureEngine::ProbeRestarted() {
    probeReader_.Restart();
    probeConnections_.Reset();
}

probe::ProbeStats CaptureEngine::ProbeCounts() const {
    probe::ProbeStats stats = probeConnections_.Stats();
    stats.malformed = probeReader_.Failed() ? 1 : 0;
    return stats;
}

void CaptureEngine::followQuic() {
    // The window opens and closes the key log through the finder: the QUIC reader follows it.
    KeyLog* keys = https_.OpenedKeyLog();
    if (!keys) {
        quic_.reset();
        return;
    }
    if (!quic_ || quicRestarts_ != https_.Restarts()) {
        quic_ = std::make_unique<QuicConnectionTable>(*keys, https_.Lister(), limits_.https);
        quicRestarts_ = https_.Restarts();
    }
}

TlsStats CaptureEngine::DecryptedConnections() const {
    TlsStats all = https_.Stats();
    const QuicStats quic = QuicConnections();
    all.seen += quic.seen;
    all.decrypted += quic.decrypted;
    all.withoutKeys += quic.withoutKeys;
    all.abandoned += quic.abandoned;
    return all;
}

std::size_t CaptureEngine::clearTextAnswered(std::u16string_view address, PacketNumber requestPacket,
                                             HttpResponseHead& response, std::string_view referer) {
    // Rows are listed only in the search mode, as the scans list them.
    if (!options_ || options_->allPacketsValue != 0)
        return 0;
    const Verdict verdict = Answered(address, response);
    if (verdict.folded)
        return verdict.keepBody;
    const ResultRow* row = extractor_.ListAnsweredRequest(address, response, options_->byContentType);
    if (row && answerBytes_ < limits_.answerTextTotal) {
        if (response.text.size() > limits_.answerTextBytes)
            response.text.resize(limits_.answerTextBytes);
        answerBytes_ += response.text.size();
        answers_[rowKey(*row)] = AnswerRecord{requestPacket, std::move(response.text)};
    }
    Listed(address, response, referer);
    return verdict.keepBody;
}

void CaptureEngine::Listed(std::u16string_view address, const HttpResponseHead& response, std::string_view referer) {
    const bool video = response.contentType.starts_with("video/"), audio = response.contentType.starts_with("audio/");
    if (!lastOptions_.readStreams || !response.Success() || (!video && !audio) || referer.empty())
        return;
    // The row as listed: pieces of one file stand as the file.
    std::u16string decoded = DecodeCnEscapes(address);
    if (auto piece = ReadRangePiece(decoded))
        decoded = std::move(piece->address);
    const std::optional<std::size_t> row = results_.FindCaptureRow(decoded);
    if (!row || !results_[*row].note.empty())
        return; // not listed, or a stream's
    const auto partner = pairing_.Add({decoded, std::string(referer), HostOf(decoded), now_, audio});
    if (!partner)
        return;
    const std::optional<std::size_t> other = results_.FindCaptureRow(*partner);
    if (!other)
        return;
    results_.SetPair(*row, *partner);
    results_.SetPair(*other, decoded);
}

CaptureEngine::Verdict CaptureEngine::Answered(std::u16string_view address, const HttpResponseHead& response) {
    if (!lastOptions_.readStreams)
        return {};
    // Most answers are no stream's and no manifest: told by the host and the type before any conversion.
    const bool typed = MayBeManifest(response.contentType, {});
    const std::u16string_view path = address.substr(0, address.find_first_of(u"?#"));
    const bool named = path.ends_with(u".m3u8") || path.ends_with(u".mpd") || path.ends_with(u".M3U8") ||
                       path.ends_with(u".MPD");
    if (!typed && !named && !streams_.MayOwn(address))
        return {};
    const std::string decoded = utf8::FromU16(DecodeCnEscapes(address));
    const bool manifest = response.Success() && MayBeManifest(response.contentType, decoded);
    if (manifest && !response.contentEncoding.empty() && encodings_.size() < kMaxPendingEncodings)
        encodings_[std::u16string(address)] = response.contentEncoding; // for its body, read later
    // A request a stream takes in: folded into its row, and its body read when it is a playlist.
    if (const StreamInfo* stream = streams_.Fetched(decoded, response.Success() ? response.ResourceSize() : std::nullopt)) {
        showStream(*stream);
        return {true, manifest && decoded != stream->address ? kMaxManifestBytes : 0};
    }
    return {false, manifest ? kMaxManifestBytes : 0};
}

void CaptureEngine::BodyRead(std::u16string_view address, std::span<const std::uint8_t> body, bool complete) {
    const std::string decoded = utf8::FromU16(DecodeCnEscapes(address));
    std::string coding;
    if (const auto it = encodings_.find(std::u16string(address)); it != encodings_.end()) {
        coding = std::move(it->second);
        encodings_.erase(it);
    }
    // An encoded body cut at its bound cannot be decoded; a bomb is refused by the decoder's bounds.
    if (!coding.empty() && !complete)
        return;
    const std::optional<std::string> content = DecodeContent(coding, body);
    if (!content)
        return;
    const std::string_view text(*content);
    const StreamInfo* stream = nullptr;
    if (LooksLikeHls(text)) {
        // A playlist cut at its bound still names the segments before the cut.
        if (const auto playlist = ParseHlsPlaylist(text, decoded))
            stream = streams_.HlsRead(decoded, *playlist);
    } else if (complete && LooksLikeDash(text)) {
        if (const auto manifest = ReadDashManifest(text, decoded))
            stream = streams_.DashRead(decoded, *manifest);
    }
    if (!stream)
        return;
    if (stream->address == decoded && !manifestTexts_.count(decoded) && manifestTextBytes_ < kMaxManifestTexts) {
        std::string kept(text.substr(0, kMaxManifestText));
        manifestTextBytes_ += kept.size();
        manifestTexts_.emplace(decoded, std::move(kept));
    }
    showStream(*stream);
}

const StreamInfo* CaptureEngine::StreamOf(const ResultRow& row) const {
    if (row.note.empty())
        return nullptr;
    const std::string address = utf8::FromU16(row.address);
    const StreamInfo* stream = streams_.Owner(address);
    return stream && stream->address == address ? stream : nullptr;
}

std::optional<std::string> CaptureEngine::StreamTextOf(const ResultRow& row) const {
    const StreamInfo* stream = StreamOf(row);
    if (!stream)
        return std::nullopt;
    const std::string& address = stream->address;
    std::string text;
    if (const auto it = manifestTexts_.find(address); it != manifestTexts_.end())
        text = it->second;
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    text += "\n折叠的请求（前 " + std::to_string(StreamInfo::kMaxFoldedShown) + " 个）：\n";
    for (const std::string& folded : stream->folded)
        text += folded + '\n';
    return text;
}

void CaptureEngine::showStream(const StreamInfo& stream) {
    const std::u16string address = rowAddress(stream.address);
    std::optional<std::size_t> row = results_.FindCaptureRow(address);
    if (!row) {
        results_.AddCaptureRow({std::u16string(u"视频"), address, store_.CurrentPacket()});
        row = results_.size() - 1;
    }
    results_.SetNote(*row, StreamRegistry::Describe(stream),
                     stream.segmentBytes > 0 ? std::optional<std::uint64_t>(stream.segmentBytes) : std::nullopt);
}

std::optional<CaptureEngine::Answer> CaptureEngine::AnswerOf(const ResultRow& row) const {
    if (const auto it = answers_.find(rowKey(row)); it != answers_.end())
        return Answer{it->second.requestPacket, nullptr, &it->second.responseText};
    if (const std::string* response = https_.ResponseText(row))
        return Answer{row.packet, https_.RequestText(row), response};
    return std::nullopt;
}

void CaptureEngine::EndCapture() {
    options_ = &lastOptions_; // the rows the end brings are listed as the last frame's were
    clearText_.EndCapture(store_.CurrentPacket());
    options_ = nullptr;
    https_.EndCapture();
}

void CaptureEngine::Reset() {
    store_.Reset();
    results_.Clear();
    https_.Reset();
    followQuic();
    clearText_.Reset();
    streams_.Reset();
    pairing_.Reset();
    encodings_.clear();
    manifestTexts_.clear();
    manifestTextBytes_ = 0;
    answers_.clear();
    answerBytes_ = 0;
    probeConnections_.Reset();
    probeLister_.Clear();
}

} // namespace velmora
