#pragma once
// The rows of the result list: type, address and packet number, in the order they were added.
//
// ResultCount is the number of rows capture has added since the last start, less the rows deleted
// since; the keyword search adds rows without counting them. An address is a duplicate when it
// equals the address of one of the first ResultCount rows. Those rows are indexed by the hash of
// their address in one flat table, so the test costs the same with 30,000 rows as with none and
// touches little memory.

#include "capture/PacketStore.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

struct ResultRow {
    ResultRow() = default;
    ResultRow(std::u16string type, std::u16string address, PacketNumber packet, std::string contentType = {},
              std::optional<std::uint64_t> size = {})
        : type(std::move(type)), address(std::move(address)), packet(packet), contentType(std::move(contentType)),
          size(size) {}

    std::u16string type;    // file-type name, "视频" for streams, empty for all-packets rows
    std::u16string address; // the cleaned, decoded address (or a whole frame text)
    PacketNumber packet = 0;
    // Known once the server's answer is seen; neither is saved with the list.
    std::string contentType;           // the answer's media type, lower case
    std::optional<std::uint64_t> size; // the resource's size in bytes
    bool sizeAtLeast = false;          // a file fetched in pieces of unknown whole: the largest end seen
    std::uint32_t pieces = 0;          // answers that brought a piece of it (206, or a range in the query)
    std::u16string note;               // "说明": what a stream row is, read from its manifest
    std::u16string pair;               // the audio or video fetched apart for the same title
};

class ResultList {
public:
    // A row found by capture: ResultCount rises by 1.
    void AddCaptureRow(ResultRow row);
    // A row of the keyword search: ResultCount stays.
    void AddSearchRow(ResultRow row);
    // Deleting any row lowers ResultCount by 1.
    void DeleteRow(std::size_t index);
    // Empties the list; ResultCount becomes 0.
    void Clear();
    // Empties the list but keeps ResultCount, as the keyword search does before listing its rows.
    void RemoveAllRows();

    bool IsDuplicate(std::u16string_view address) const;
    // The capture row (one of the first ResultCount rows) with this address.
    std::optional<std::size_t> FindCaptureRow(std::u16string_view address) const;
    // The server's answer to a row's request: its media type and the resource's size, when known.
    // With `atLeast`, the size only grows: the pieces of one file report their ends.
    void SetAnswer(std::size_t index, std::string contentType, std::optional<std::uint64_t> size, bool atLeast = false,
                   bool piece = false);
    // What a stream's manifest says of the row ("说明"), with the bytes of its folded segments as its size.
    void SetNote(std::size_t index, std::u16string note, std::optional<std::uint64_t> size);
    // The audio or video of the same title fetched apart: named in the row's note.
    void SetPair(std::size_t index, std::u16string partner);
    // Rises with every SetAnswer, SetNote and SetPair, so a view knows to show the new sizes and notes.
    std::uint64_t AnswersSet() const { return answersSet_; }

    std::int64_t ResultCount() const { return resultCount_; }
    std::size_t size() const { return rows_.size(); }
    bool empty() const { return rows_.empty(); }
    const ResultRow& operator[](std::size_t i) const { return rows_[i]; }
    const std::vector<ResultRow>& Rows() const { return rows_; }

private:
    // One table entry: a row of the window and 32 bits of its address's hash, which also place it.
    struct Slot {
        std::uint32_t hash;
        std::uint32_t row;
    };
    static constexpr std::uint32_t kFree = 0xFFFFFFFF;

    static std::uint64_t hashOf(std::u16string_view address);
    void place(Slot slot);
    void index(std::size_t row);
    // Brings the index to the first min(ResultCount, size) rows.
    void syncIndex();
    void clearIndex();

    std::vector<ResultRow> rows_;
    std::int64_t resultCount_ = 0;
    std::uint64_t answersSet_ = 0;
    std::size_t indexedRows_ = 0; // rows [0, indexedRows_) are in the index
    std::vector<Slot> slots_;     // open addressing, at most half full; its size is a power of two
    mutable std::u16string lastTested_;
    mutable std::uint32_t lastTestedHash_ = 0;
};

} // namespace velmora
