#include "tls/HttpsRequestFinder.h"

#include "capture/FrameText.h"
#include "capture/RequestHeaders.h"
#include "http/HttpRequestReader.h"
#include "tls/KeyLog.h"
#include "tls/TlsConnectionTable.h"

#include <chrono>
#include <cstring>
#include <unordered_map>

namespace velmora {

class HttpsRequestFinder::RequestLister final : public HttpRequestSink {
public:
    RequestLister(MediaAddressExtractor& extractor, const Limits& limits) : extractor_(extractor), limits_(limits) {}

    void Request(HttpRequest& request) override {
        if (!listing_ || request.method != "GET")
            return;
        const std::u16string text = addressOf(request);
        if (text.empty())
            return;
        if (const ResultRow* row = extractor_.ListDecryptedRequest(text, request.packet))
            keep(*row, std::move(request.text), texts_);
    }

    std::size_t Response(const HttpRequest& request, HttpResponseHead& response) override {
        if (!listing_ || request.method != "GET")
            return 0;
        const std::u16string text = addressOf(request);
        if (text.empty())
            return 0;
        const AnswerObserver::Verdict verdict = observer_ ? observer_->Answered(text, response) : AnswerObserver::Verdict{};
        if (verdict.folded)
            return verdict.keepBody;
        const std::string referer =
            FindRequestHeaders(std::span(reinterpret_cast<const std::uint8_t*>(request.text.data()), request.text.size()),
                               text)
                .referer;
        if (const ResultRow* row = extractor_.ListAnsweredRequest(text, response, listByType_)) {
            keep(*row, std::string(request.text), texts_);
            keep(*row, std::move(response.text), responses_);
        }
        if (observer_)
            observer_->Listed(text, response, referer);
        return verdict.keepBody;
    }

    void ResponseBody(const HttpRequest& request, std::span<const std::uint8_t> body, bool complete) override {
        if (observer_)
            if (const std::u16string text = addressOf(request); !text.empty())
                observer_->BodyRead(text, body, complete);
    }

    void SetObserver(AnswerObserver* observer) { observer_ = observer; }

    const std::string* Text(const ResultRow& row) const {
        const auto it = texts_.find(key(row));
        return it == texts_.end() ? nullptr : &it->second;
    }

    const std::string* ResponseText(const ResultRow& row) const {
        const auto it = responses_.find(key(row));
        return it == responses_.end() ? nullptr : &it->second;
    }

    void Clear() {
        texts_.clear();
        responses_.clear();
        textBytes_ = 0;
    }

    void SetListing(bool listing, bool listByType) {
        listing_ = listing;
        listByType_ = listByType;
    }

private:
    // "https://" + authority + path rendered as frame text, as the request-line scan treats a target
    // found in frame text; empty when the target names no file. Whichever reader the request came
    // from (HTTP/1.x, HTTP/2, HTTP/3), an address no clear-text frame could carry is not listed.
    static std::u16string addressOf(const HttpRequest& request) {
        if (request.authority.empty() || request.authority.size() > HttpRequestReader::kMaxAddressPart ||
            request.target.size() > HttpRequestReader::kMaxAddressPart)
            return {};
        std::string address;
        if (request.target.starts_with("/")) {
            address = "https://" + request.authority + request.target;
        } else if (request.target.starts_with("https://") || request.target.starts_with("http://")) {
            address = request.target; // absolute form, as a proxy is asked
        } else {
            return {}; // "*" or authority form: no file
        }
        return PacketToTextCn(std::span(reinterpret_cast<const std::uint8_t*>(address.data()), address.size()));
    }

    void keep(const ResultRow& row, std::string text, std::unordered_map<std::u16string, std::string>& into) {
        if (textBytes_ >= limits_.requestTextTotal)
            return;
        if (text.size() > limits_.requestTextBytes)
            text.resize(limits_.requestTextBytes);
        // What the entry keeps: its key (frame number and address) and text, and the table's node.
        std::u16string rowKey = key(row);
        textBytes_ += rowKey.size() * sizeof(char16_t) + text.size() + kEntryOverhead;
        into[std::move(rowKey)] = std::move(text);
    }

    static std::u16string key(const ResultRow& row) {
        std::u16string k(sizeof(PacketNumber) / sizeof(char16_t), u'\0');
        std::memcpy(k.data(), &row.packet, sizeof(PacketNumber));
        return k + row.address;
    }

    static constexpr std::size_t kEntryOverhead = 96;

    MediaAddressExtractor& extractor_;
    const Limits& limits_;
    AnswerObserver* observer_ = nullptr;
    bool listing_ = false;
    bool listByType_ = true;
    std::unordered_map<std::u16string, std::string> texts_;
    std::unordered_map<std::u16string, std::string> responses_;
    std::size_t textBytes_ = 0;
};

HttpsRequestFinder::HttpsRequestFinder(MediaAddressExtractor& extractor) : HttpsRequestFinder(extractor, Limits{}) {}

HttpsRequestFinder::HttpsRequestFinder(MediaAddressExtractor& extractor, Limits limits)
    : limits_(limits), keyLog_(std::make_unique<KeyLog>()),
      lister_(std::make_unique<RequestLister>(extractor, limits_)) {}

HttpsRequestFinder::~HttpsRequestFinder() = default;

KeyLogOpen HttpsRequestFinder::OpenKeyLog(const std::string& path) {
    CloseKeyLog();
    KeyLogOpen opened = keyLog_->Open(path);
    if (!opened) {
        *keyLog_ = KeyLog();
        return opened;
    }
    keyLogPath_ = path;
    connections_ = std::make_unique<TlsConnectionTable>(*keyLog_, *lister_, limits_);
    ++restarts_;
    return opened;
}

void HttpsRequestFinder::CloseKeyLog() {
    connections_.reset();
    ++restarts_;
    *keyLog_ = KeyLog();
    keyLogPath_.clear();
}

bool HttpsRequestFinder::HasKeyLog() const {
    return connections_ != nullptr;
}

void HttpsRequestFinder::Reset() {
    lister_->Clear();
    if (connections_)
        connections_ = std::make_unique<TlsConnectionTable>(*keyLog_, *lister_, limits_);
    ++restarts_;
}

HttpRequestSink& HttpsRequestFinder::Lister() {
    return *lister_;
}

HttpRequestSink& HttpsRequestFinder::Lister(const ExtractionOptions& options) {
    lister_->SetListing(options.allPacketsValue == 0, options.byContentType);
    return *lister_;
}

void HttpsRequestFinder::EndCapture() {
    if (connections_)
        connections_->CloseAll();
}

TlsStats HttpsRequestFinder::Stats() const {
    return connections_ ? connections_->Stats() : TlsStats{};
}

const std::string* HttpsRequestFinder::RequestText(const ResultRow& row) const {
    return lister_->Text(row);
}

void HttpsRequestFinder::SetAnswerObserver(AnswerObserver* observer) {
    lister_->SetObserver(observer);
}

const std::string* HttpsRequestFinder::ResponseText(const ResultRow& row) const {
    return lister_->ResponseText(row);
}

void HttpsRequestFinder::PacketReceived(std::span<const std::uint8_t> frame, int linkType, PacketNumber packet,
                                        const ExtractionOptions& options) {
    if (!connections_)
        return;
    TcpSegment segment;
    SegmentReceived(ReadTcpSegment(frame, linkType, segment) ? &segment : nullptr, packet, options);
}

void HttpsRequestFinder::SegmentReceived(const TcpSegment* tcp, PacketNumber packet, const ExtractionOptions& options) {
    if (!connections_)
        return;
    lister_->SetListing(options.allPacketsValue == 0, options.byContentType); // for QUIC's requests too
    if (!tcp || !TlsConnectionTable::Carries(*tcp))
        return;
    const TcpSegment& segment = *tcp;
    if (connections_->AnyWaitingForKeys()) {
        // The browser appends keys as it connects; look a few times a second, not on every frame.
        const std::int64_t now =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        if (now - lastRefreshMs_ >= 100) {
            lastRefreshMs_ = now;
            keyLog_->Refresh();
        }
        // By the key log's generation rather than what this refresh read: the QUIC reader reads the
        // same key log, and keys it read are news here too.
        if (keyLog_->Generation() != keysOffered_) {
            keysOffered_ = keyLog_->Generation();
            connections_->KeysAdded();
        }
    }
    connections_->Segment(segment, packet);
}

} // namespace velmora
