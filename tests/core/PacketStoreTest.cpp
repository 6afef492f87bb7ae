#include "capture/FrameText.h"
#include "capture/PacketStore.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <numeric>
#include <vector>

using namespace velmora;

TEST(PacketStore, StoresExactlyTheFrameBytesAndNumbersFromOne) {
    PacketStore store;
    std::vector<std::uint8_t> frame(60);
    std::iota(frame.begin(), frame.end(), 1);
    EXPECT_EQ(store.Store(frame), 1u);
    EXPECT_EQ(store.PacketLength(1), 60);
    ASSERT_EQ(store.PacketData(1).size(), 60u);
    EXPECT_EQ(store.PacketData(1)[0], 1);  // the first byte is kept
    EXPECT_EQ(store.PacketData(1)[59], 60); // and nothing stale follows the last

    EXPECT_EQ(store.Store({}), 2u); // an empty frame is numbered like any other
    EXPECT_EQ(store.PacketLength(2), 0);
    EXPECT_TRUE(store.PacketData(2).empty());
    EXPECT_TRUE(store.PacketData(3).empty());
    EXPECT_TRUE(store.PacketData(0).empty());
}

TEST(PacketStore, RestartsNumberingAndDropsTheEarlierRun) {
    PacketStore store;
    for (int i = 0; i < 100; ++i)
        store.Store(std::vector<std::uint8_t>(10, static_cast<std::uint8_t>(i)));
    store.Reset();
    EXPECT_EQ(store.PacketCount(), 0u);
    EXPECT_FALSE(store.Contains(1));
    const std::vector<std::uint8_t> frame = {'n', 'e', 'w'};
    EXPECT_EQ(store.Store(frame), 1u);
    EXPECT_EQ(store.CurrentPacket(), 1u);
    EXPECT_EQ(PacketToText(store, 1), u"new");
    EXPECT_FALSE(store.Contains(2));
}

TEST(PacketStore, CutsOverlongFramesAndGoesPast32767) {
    PacketStore store;
    std::vector<std::uint8_t> big(20000, 'x');
    store.Store(big);
    EXPECT_EQ(store.PacketLength(1), 15000);
    EXPECT_EQ(store.PacketData(1).size(), 15000u);
    std::vector<std::uint8_t> small(8, 'y');
    for (int i = 0; i < 40000; ++i)
        store.Store(small);
    EXPECT_EQ(store.PacketCount(), 40001u);
    EXPECT_EQ(store.PacketData(40001).size(), 8u);
    EXPECT_EQ(store.PacketData(1).size(), 15000u);
}

TEST(PacketStore, ReleasesTheOldestFramesPastTheBudgetButKeepsTheirNumbers) {
    PacketStore store(3 * PacketStore::kBlockBytes);
    std::vector<std::uint8_t> frame(15000);
    const int frames = 1000; // about 14 blocks' worth
    for (int i = 0; i < frames; ++i) {
        frame[0] = static_cast<std::uint8_t>(i);
        store.Store(frame);
    }
    EXPECT_LE(store.HeldBytes(), 3 * PacketStore::kBlockBytes);
    EXPECT_TRUE(store.IsReleased(1));
    EXPECT_TRUE(store.PacketData(1).empty());
    EXPECT_EQ(store.PacketLength(1), 0); // its record went with its block
    EXPECT_EQ(PacketToText(store, 1), u"");
    EXPECT_FALSE(store.IsReleased(frames));
    EXPECT_EQ(store.PacketData(frames)[0], static_cast<std::uint8_t>(frames - 1));

    PacketStore tiny(1); // below one block: the newest frame is still readable
    tiny.Store(frame);
    tiny.Store(std::vector<std::uint8_t>(PacketStore::kBlockBytes / 2 + 15000, 'z'));
    EXPECT_EQ(tiny.PacketData(2).size(), 15000u);

    PacketStore countOnly(0); // numbers and lengths only
    EXPECT_EQ(countOnly.Store(frame), 1u);
    EXPECT_EQ(countOnly.PacketLength(1), 15000);
    EXPECT_TRUE(countOnly.IsReleased(1));
    EXPECT_EQ(countOnly.HeldBytes(), 0u);
}

// The budget covers the records of the frames too: a run of millions of small and empty frames
// (a busy adapter for hours) holds no more than the budget, however long it runs.
TEST(PacketStore, HoldsARunOfAnyLengthInsideItsBudget) {
    const std::size_t budget = 4 * PacketStore::kBlockBytes;
    auto heap = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    const std::size_t heapBefore = heap();
    std::size_t peakHeld = 0, peakHeap = 0;
    {
        PacketStore store(budget);
        std::vector<std::uint8_t> frame(60);
        constexpr PacketNumber kFrames = 3'000'000;
        for (PacketNumber n = 1; n <= kFrames; ++n) {
            frame[0] = static_cast<std::uint8_t>(n);
            store.Store(n % 4 == 0 ? std::span<const std::uint8_t>() : frame);
            if (n % 50'000 == 0) {
                peakHeld = std::max(peakHeld, store.HeldBytes());
                peakHeap = std::max(peakHeap, heap() - std::min(heap(), heapBefore));
            }
        }
        EXPECT_EQ(store.PacketCount(), kFrames);
        EXPECT_TRUE(store.IsReleased(1));
        EXPECT_TRUE(store.PacketData(1).empty());
        EXPECT_EQ(store.PacketLength(1), 0);
        ASSERT_EQ(store.PacketData(kFrames - 1).size(), 60u);
        EXPECT_EQ(store.PacketData(kFrames - 1)[0], static_cast<std::uint8_t>(kFrames - 1));
        EXPECT_EQ(store.PacketLength(kFrames), 0); // the last frame was empty
        EXPECT_FALSE(store.IsReleased(kFrames));
        const PacketNumber firstHeld = store.FirstHeldPacket();
        EXPECT_TRUE(store.IsReleased(firstHeld - 1));
        EXPECT_FALSE(store.IsReleased(firstHeld));
    }
    EXPECT_LE(peakHeld, budget);
    EXPECT_LE(peakHeap, budget + 64 * 1024); // what the store reports is what it holds
}
