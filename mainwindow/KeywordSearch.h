#pragma once
// The keyword search of the command bar: every stored packet, rendered the way the data window
// shows it with Chinese text processing on, is scanned for a keyword, and each hit is listed as the
// token around it (the stretch between spaces and control bytes).
//
// The search runs on the UI thread and lets pending events run before each packet, so other
// commands can run in the middle of it. Whatever changes the list or the store meanwhile (a new
// search, a clear, a start of capture) ends the running search before its next packet.

#include "capture/PacketStore.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// Folds letter case one UTF-16 unit at a time, so the folded text keeps the positions of the original.
void FoldCase(std::u16string_view text, std::u16string& out);
std::u16string FoldCase(std::u16string_view text);

// Appends to `tokens` the token of every hit of `foldedKeyword` in `text`, in order of position.
// `folded` is FoldCase(text); the keyword is compared as plain text, never as a pattern.
// A hit's token starts after the last space or middle dot before it and ends before the next one
// (or at the end of the text); the scan goes on from that delimiter.
void FindKeywordTokens(std::u16string_view text, std::u16string_view folded, std::u16string_view foldedKeyword,
                       std::vector<std::u16string>& tokens);
// The same for one text, folding both sides itself.
std::vector<std::u16string> KeywordTokens(std::u16string_view text, std::u16string_view keyword);

} // namespace velmora

class KeywordSearch final : public QObject {
    Q_OBJECT

public:
    // Receives the tokens found in one packet (never called with none); it may move them out.
    using RowSink = std::function<void(velmora::PacketNumber packet, std::vector<std::u16string>& tokens)>;
    enum class Outcome { Finished, Cancelled };

    explicit KeywordSearch(QObject* parent = nullptr);
    ~KeywordSearch() override;

    // Scans packets 1 to PacketCount of `store`, starting at the first one still held (the released ones
    // read back empty). Before each packet pending events run once; the
    // search ends there, as Cancelled, when Cancel() was called, another Run began, the store lost
    // packets, or this object was destroyed (then nothing of it is touched).
    Outcome Run(const velmora::PacketStore& store, const QString& keyword, const RowSink& sink);
    // Ends the running search (if any) before its next packet.
    void Cancel();
    bool IsRunning() const { return running_ > 0; }

    // Figures of the last run that reached its end.
    velmora::PacketNumber PacketsSearched() const { return packetsSearched_; }
    // The longest stretch the UI thread spent on one packet (rendering, scanning, adding its rows).
    std::chrono::nanoseconds LongestTurn() const { return longestTurn_; }

private:
    std::uint64_t generation_ = 0;
    int running_ = 0; // nested runs count: a new search may start inside an older one's event turn
    velmora::PacketNumber packetsSearched_ = 0;
    std::chrono::nanoseconds longestTurn_{0};
};
