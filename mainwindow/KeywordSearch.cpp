#include "mainwindow/KeywordSearch.h"

#include "capture/FrameText.h"

#include <QChar>
#include <QCoreApplication>
#include <QPointer>

#include <algorithm>

namespace velmora {
namespace {

bool isDelimiter(char16_t c) {
    return c == u' ' || c == kMiddleDot;
}

char16_t foldUnit(char16_t c) {
    if (c < 0x80)
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    // Surrogate halves and the few folds that leave the BMP keep their unit, so lengths stay equal.
    const char32_t f = QChar::toCaseFolded(static_cast<char32_t>(c));
    return f <= 0xFFFF ? static_cast<char16_t>(f) : c;
}

} // namespace

void FoldCase(std::u16string_view text, std::u16string& out) {
    out.resize(text.size());
    std::transform(text.begin(), text.end(), out.begin(), foldUnit);
}

std::u16string FoldCase(std::u16string_view text) {
    std::u16string out;
    FoldCase(text, out);
    return out;
}

void FindKeywordTokens(std::u16string_view text, std::u16string_view folded, std::u16string_view foldedKeyword,
                       std::vector<std::u16string>& tokens) {
    if (foldedKeyword.empty() || folded.size() != text.size())
        return;
    const std::size_t n = text.size();
    // The last space and the last middle dot seen so far, found by one forward walk over the whole
    // scan rather than a walk back from every hit (a packet may hold thousands of hits).
    constexpr std::size_t kNone = std::u16string_view::npos;
    std::size_t lastSpace = kNone;
    std::size_t lastDot = kNone;
    std::size_t walked = 0;
    std::size_t from = 0;
    while (from < n) {
        const std::size_t m = folded.find(foldedKeyword, from);
        if (m == kNone)
            return;
        for (; walked <= m; ++walked) {
            if (text[walked] == u' ')
                lastSpace = walked;
            else if (text[walked] == kMiddleDot)
                lastDot = walked;
        }
        // With no delimiter before the hit the token starts at the keyword itself. (A missing delimiter
        // is not taken as the first character: a text opening with its only "·" would then cut the
        // token's head off.)
        std::size_t start = m;
        if (lastSpace != kNone || lastDot != kNone)
            start = std::max(lastSpace == kNone ? 0 : lastSpace + 1, lastDot == kNone ? 0 : lastDot + 1);
        std::size_t end = start;
        while (end < n && !isDelimiter(text[end]))
            ++end;
        // An empty token (a keyword that begins with a delimiter, next to another one) lists nothing.
        if (end > start)
            tokens.emplace_back(text.substr(start, end - start));
        if (end >= n)
            return;
        // Going on from the delimiter as such could find the same hit again when the keyword itself
        // begins with a delimiter; the scan always moves past the hit.
        from = std::max(end, m + 1);
    }
}

std::vector<std::u16string> KeywordTokens(std::u16string_view text, std::u16string_view keyword) {
    std::vector<std::u16string> tokens;
    FindKeywordTokens(text, FoldCase(text), FoldCase(keyword), tokens);
    return tokens;
}

} // namespace velmora

KeywordSearch::KeywordSearch(QObject* parent) : QObject(parent) {}

// A run still on the stack learns of this through its QPointer and touches nothing more.
KeywordSearch::~KeywordSearch() = default;

void KeywordSearch::Cancel() {
    ++generation_;
}

KeywordSearch::Outcome KeywordSearch::Run(const velmora::PacketStore& store, const QString& keyword,
                                          const RowSink& sink) {
    using Clock = std::chrono::steady_clock;
    const std::uint64_t myGeneration = ++generation_;
    const std::u16string foldedKeyword = velmora::FoldCase(keyword.toStdU16String());
    const velmora::PacketNumber count = store.PacketCount();

    ++running_;
    std::u16string rendered;
    std::u16string folded;
    std::vector<std::u16string> tokens;
    velmora::PacketNumber searched = 0;
    std::chrono::nanoseconds longest{0};
    QPointer<KeywordSearch> self(this);

    // Released frames read back empty: after a long run they are nearly all of the numbers.
    for (velmora::PacketNumber n = std::max<velmora::PacketNumber>(1, store.FirstHeldPacket()); n <= count; ++n) {
        QCoreApplication::processEvents();
        if (!self)
            return Outcome::Cancelled;
        if (generation_ != myGeneration || store.PacketCount() < count) {
            --running_;
            return Outcome::Cancelled;
        }
        const auto turnStart = Clock::now();
        velmora::PacketToTextCn(store.PacketData(n), rendered);
        const std::u16string text = velmora::DecodeCnEscapes(rendered);
        velmora::FoldCase(text, folded);
        tokens.clear();
        velmora::FindKeywordTokens(text, folded, foldedKeyword, tokens);
        if (!tokens.empty() && sink)
            sink(n, tokens);
        searched = n;
        longest = std::max(longest, std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - turnStart));
    }
    --running_;
    packetsSearched_ = searched;
    longestTurn_ = longest;
    return Outcome::Finished;
}
