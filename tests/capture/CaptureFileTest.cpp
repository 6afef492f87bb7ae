// Capture files, read on the consumer's thread by DispatchPending.

#include "CaptureTestSupport.h"

#include "capture/FrameText.h"
#include "capture/TcpPayload.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <unistd.h>

using namespace velmora;
using namespace velmora::test;
using namespace std::chrono_literals;

namespace {

std::size_t TotalBytes(const std::vector<CapturedFrame>& frames) {
    std::size_t total = 0;
    for (const CapturedFrame& frame : frames) {
        total += frame.bytes.size();
    }
    return total;
}

bool AnyFrameContains(const std::vector<CapturedFrame>& frames, const std::string& text) {
    return std::any_of(frames.begin(), frames.end(), [&](const CapturedFrame& frame) {
        return PacketToTextCn(frame.bytes).find(Ascii(text)) != std::u16string::npos;
    });
}

void ExpectSameFrames(const std::vector<CapturedFrame>& actual, const std::vector<CapturedFrame>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].bytes, expected[i].bytes) << "frame " << i + 1;
        EXPECT_EQ(actual[i].linkType, expected[i].linkType) << "frame " << i + 1;
        EXPECT_EQ(actual[i].timestamp, expected[i].timestamp) << "frame " << i + 1;
    }
}

} // namespace

TEST(CaptureFile, ReadsRealCapturesInBothFormats) {
    struct Case {
        const char* file;
        std::size_t frames;
        int linkType;
        const char* somewhere; // text that stands in one of the frames
    };
    const Case cases[] = {
        {"ndpi_hls.pcapng", 13, linktype::kRaw, ".m3u8 HTTP/1.1"},
        {"ndpi_mpeg.pcap", 19, linktype::kEthernet, ".mp3"}, // pcapng despite its name
        {"ndpi_mpeg-dash.pcap", 13, linktype::kEthernet, "init.mp4"},
        {"ndpi_rtsp_setup_http.pcapng", 1, linktype::kEthernet, "SETUP rtsp://"},
        {"ndpi_rtsp.pcap", 568, linktype::kLinuxSll, "DESCRIBE rtsp://"},
        {"ndpi_quickplay.pcap", 155, linktype::kLinuxSll, ".m3u8"},
        {"zeek_socks.pcap", 53, linktype::kEthernet, "GET /"},
        {"zeek_wikipedia.pcap", 136, linktype::kEthernet, "Host: www.wikipedia.org"},
        {"espn_http.pcapng", 956, linktype::kEthernet, "Host: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = DataFile(c.file);
        const Drained read = ReadCaptureFiles({path});
        EXPECT_TRUE(read.end) << read.end.message;
        ASSERT_EQ(read.frames.size(), c.frames);
        EXPECT_TRUE(std::all_of(read.frames.begin(), read.frames.end(),
                                [&](const CapturedFrame& frame) { return frame.linkType == c.linkType; }));
        EXPECT_TRUE(AnyFrameContains(read.frames, c.somewhere));
        EXPECT_GT(read.frames.front().timestamp.count(), 0);

        // In a classic pcap file every byte after the file header is a 16-byte record header or
        // frame bytes, so the file's size tells how many bytes the frames must add up to.
        const Bytes file = ReadBytes(path);
        if (Get32(file, 0) == 0xA1B2C3D4) {
            EXPECT_EQ(TotalBytes(read.frames), file.size() - 24 - 16 * c.frames);
        }
    }
}

TEST(CaptureFile, PcapngCopyGivesTheSameFrames) {
    TempDir dir;
    for (const char* name : {"zeek_wikipedia.pcap", "ndpi_quickplay.pcap"}) {
        SCOPED_TRACE(name);
        const Drained original = ReadCaptureFiles({DataFile(name)});
        ASSERT_FALSE(original.frames.empty());
        const std::string copy = dir.File(std::string(name) + "ng");
        WriteBytes(copy, MakePcapng(original.frames.front().linkType, original.frames));
        const Drained converted = ReadCaptureFiles({copy});
        EXPECT_TRUE(converted.end) << converted.end.message;
        ExpectSameFrames(converted.frames, original.frames);
    }
}

TEST(CaptureFile, FramesReachTheEngineWholeAndTheBufferTakesTheirFirst15000Bytes) {
    TempDir dir;
    std::vector<CapturedFrame> frames;
    for (std::size_t size : {0, 60, 15000, 15001, 20000, 65549}) {
        CapturedFrame frame;
        frame.timestamp = std::chrono::seconds(1700000000) + std::chrono::microseconds(size);
        for (std::size_t i = 0; i < size; ++i) {
            frame.bytes.push_back(static_cast<std::uint8_t>(i * 7 + size));
        }
        frames.push_back(std::move(frame));
    }
    const std::string path = dir.File("sizes.pcap");
    WriteBytes(path, MakePcap(linktype::kEthernet, frames));

    // ReadPacket fills the design's 15000-byte buffer; CurrentFrame, which the engine reads, has every
    // byte the file holds, whatever receive size was set (it is for adapters).
    for (const int receiveSize : {0, 100}) {
        CaptureComponent component;
        ASSERT_TRUE(component.OpenFile(path));
        if (receiveSize > 0)
            ASSERT_TRUE(component.InitPacket(receiveSize));
        ASSERT_TRUE(component.StartCapture());
        const Drained read = DrainToEnd(component);
        ASSERT_EQ(read.frames.size(), frames.size());
        const std::size_t buffered[] = {0, 60, 15000, 15000, 15000, 15000};
        for (std::size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(read.frames[i].bytes.size(), buffered[i]);
            EXPECT_EQ(read.wholeSizes[i], frames[i].bytes.size());
            EXPECT_TRUE(std::equal(read.frames[i].bytes.begin(), read.frames[i].bytes.end(), frames[i].bytes.begin()));
            EXPECT_EQ(read.frames[i].timestamp, frames[i].timestamp);
        }
    }
}

TEST(CaptureFile, TimestampsOfAnyValueStayInRange) {
    TempDir dir;
    std::vector<CapturedFrame> frames(3);
    frames[0].timestamp = std::chrono::microseconds(1);
    frames[1].timestamp = std::chrono::microseconds(-1); // written as the largest 64-bit count
    frames[2].timestamp = std::chrono::microseconds(0x7FFFFFFFFFFFFFFF);
    const std::string path = dir.File("times.pcapng");
    WriteBytes(path, MakePcapng(linktype::kEthernet, frames));
    const Drained read = ReadCaptureFiles({path});
    ASSERT_EQ(read.frames.size(), 3u);
    EXPECT_EQ(read.frames[0].timestamp.count(), 1);
    EXPECT_GT(read.frames[1].timestamp.count(), 0);
    EXPECT_GT(read.frames[2].timestamp.count(), 0);
}

TEST(CaptureFile, DamageIsReportedWithFileAndFrameAndEarlierFramesKept) {
    TempDir dir;
    const Drained whole = ReadCaptureFiles({DataFile("zeek_socks.pcap")});
    const Bytes original = ReadBytes(DataFile("zeek_socks.pcap"));
    const std::vector<std::size_t> records = PcapRecordOffsets(original);
    ASSERT_EQ(records.size(), 53u);

    struct Case {
        const char* name;
        Bytes bytes;
        std::size_t badFrame;
    };
    std::vector<Case> cases;
    // Cut inside frame 10's bytes, and inside its record header.
    cases.push_back({"cut-in-frame.pcap", Bytes(original.begin(), original.begin() + records[9] + 16 + 20), 10});
    cases.push_back({"cut-in-header.pcap", Bytes(original.begin(), original.begin() + records[9] + 8), 10});
    // Frame 5 claims an impossible captured length.
    Bytes corrupt = original;
    Set32(corrupt, records[4] + 8, 0x7FFFFFF0);
    cases.push_back({"bad-header.pcap", corrupt, 5});
    // A pcapng file cut in the middle.
    const Bytes espn = ReadBytes(DataFile("espn_http.pcapng"));
    cases.push_back({"cut.pcapng", Bytes(espn.begin(), espn.begin() + espn.size() / 2), 0});

    const Drained espnWhole = ReadCaptureFiles({DataFile("espn_http.pcapng")});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File(c.name);
        WriteBytes(path, c.bytes);
        const Drained read = ReadCaptureFiles({path});
        EXPECT_FALSE(read.end);
        const std::size_t badFrame = c.badFrame != 0 ? c.badFrame : read.frames.size() + 1;
        EXPECT_EQ(read.frames.size(), badFrame - 1);
        EXPECT_NE(read.end.message.find(path), std::string::npos) << read.end.message;
        EXPECT_NE(read.end.message.find("frame " + std::to_string(badFrame) + ":"), std::string::npos)
            << read.end.message;
        const std::vector<CapturedFrame>& reference = c.badFrame != 0 ? whole.frames : espnWhole.frames;
        ExpectSameFrames(read.frames,
                         std::vector<CapturedFrame>(reference.begin(), reference.begin() + read.frames.size()));
    }
}

TEST(CaptureFile, FramesParsedInPlaceAreWhatLibpcapReads) {
    // Ordinary pcap files are parsed by the component itself, anything unusual from the first record
    // that needs it by libpcap: either way the frames, link type and time are libpcap's.
    const Bytes socks = ReadBytes(DataFile("zeek_socks.pcap"));
    std::vector<std::pair<const char*, Bytes>> files{{"as-is.pcap", socks}};
    files.push_back({"nanoseconds.pcap", socks});
    Set32(files.back().second, 0, 0xA1B23C4D); // the same fractions read as nanoseconds
    files.push_back({"snaplen-100.pcap", socks});
    Set32(files.back().second, 16, 100); // libpcap cuts the longer records itself
    files.push_back({"version-2.3.pcap", socks});
    Set32(files.back().second, 4, 2 | 3 << 16); // lengths that may be swapped
    files.push_back({"cut.pcap", Bytes(socks.begin(), socks.end() - 7)});

    TempDir dir;
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const std::string path = dir.File(name);
        WriteBytes(path, bytes);
        std::vector<CapturedFrame> expected;
        char error[PCAP_ERRBUF_SIZE];
        pcap_t* handle = pcap_open_offline(path.c_str(), error);
        ASSERT_NE(handle, nullptr) << error;
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        int status;
        while ((status = pcap_next_ex(handle, &header, &data)) == 1) {
            CapturedFrame frame;
            frame.bytes.assign(data, data + std::min<std::size_t>(header->caplen, CaptureComponent::kMaxFrameBytes));
            frame.linkType = pcap_datalink(handle);
            frame.timestamp = std::chrono::seconds(header->ts.tv_sec) + std::chrono::microseconds(header->ts.tv_usec);
            expected.push_back(std::move(frame));
        }
        pcap_close(handle);
        const Drained read = ReadCaptureFiles({path});
        ExpectSameFrames(read.frames, expected);
        EXPECT_EQ(static_cast<bool>(read.end), status == PCAP_ERROR_BREAK) << read.end.message;
    }
}

TEST(CaptureFile, FilesThatCannotBeReadAreNamed) {
    TempDir dir;
    const std::string missing = dir.File("missing.pcap");
    const std::string text = DataFile("README.md");
    const std::string empty = dir.File("empty.pcap");
    WriteBytes(empty, {});

    CaptureComponent component;
    for (const auto& [path, reason] :
         {std::pair{missing, "No such file"}, std::pair{text, "unknown file format"}, std::pair{empty, "truncated"}}) {
        const CaptureResult opened = component.OpenFile(path);
        EXPECT_FALSE(opened) << path;
        EXPECT_NE(opened.message.find(path), std::string::npos) << opened.message;
        EXPECT_NE(opened.message.find(reason), std::string::npos) << opened.message;
        EXPECT_FALSE(component.IsOpen());
    }
    // One bad file among several refuses the whole run.
    const CaptureResult some = component.OpenFiles({DataFile("ndpi_hls.pcapng"), missing});
    EXPECT_FALSE(some);
    EXPECT_NE(some.message.find(missing), std::string::npos);
    EXPECT_FALSE(component.StartCapture());
    EXPECT_FALSE(component.AllocatePacket());
}

TEST(CaptureFile, SeveralFilesAreOneRunInOrder) {
    const Drained hls = ReadCaptureFiles({DataFile("ndpi_hls.pcapng")});
    const Drained dash = ReadCaptureFiles({DataFile("ndpi_mpeg-dash.pcap")});
    const Drained both = ReadCaptureFiles({DataFile("ndpi_hls.pcapng"), DataFile("ndpi_mpeg-dash.pcap")});
    EXPECT_TRUE(both.end);
    std::vector<CapturedFrame> expected = hls.frames;
    expected.insert(expected.end(), dash.frames.begin(), dash.frames.end());
    ExpectSameFrames(both.frames, expected);
}

TEST(CaptureFile, FilesLoseNothingAndWakeTheConsumerSparinglyOnItsOwnThread) {
    const std::string path = DataFile("espn_http.pcapng");
    const Drained reference = ReadCaptureFiles({path});

    // The adapter's queue limits do not apply: a file is read as fast as it is dispatched.
    CaptureComponent component(CaptureComponent::QueueLimits{4, 8 * 1024});
    std::atomic<int> wakes{0};
    std::mutex threadsMutex;
    std::set<std::thread::id> wakeThreads;
    component.SetFramesAvailable([&] {
        ++wakes;
        std::lock_guard lock(threadsMutex);
        wakeThreads.insert(std::this_thread::get_id());
    });
    ASSERT_TRUE(component.OpenFile(path));
    ASSERT_TRUE(component.StartCapture());
    const Drained read = DrainToEnd(component);
    EXPECT_TRUE(read.end);
    ExpectSameFrames(read.frames, reference.frames);

    const CaptureStats stats = component.Stats();
    EXPECT_EQ(stats.received, 956u);
    EXPECT_EQ(stats.queued, 0u);
    EXPECT_EQ(stats.delivered, 956u);
    EXPECT_EQ(stats.droppedByKernel, 0u);
    // One wake at the start and one per dispatch that leaves frames behind, all on this thread.
    EXPECT_GE(wakes.load(), 1);
    EXPECT_LE(static_cast<std::size_t>(wakes.load()), read.dispatchCalls + 1);
    EXPECT_EQ(wakeThreads, std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST(CaptureFile, NothingIsDeliveredAfterStop) {
    const std::string path = DataFile("espn_http.pcapng");
    CaptureComponent component;
    int announced = 0;
    component.SetPacketReceived([&](std::int32_t) { ++announced; });
    ASSERT_TRUE(component.OpenFile(path));
    ASSERT_TRUE(component.StartCapture());
    EXPECT_TRUE(component.WaitForFrames(0ms));
    EXPECT_EQ(component.DispatchPending(16), 16u);
    EXPECT_FALSE(component.Finished());
    EXPECT_TRUE(component.IsCapturing());

    EXPECT_TRUE(component.StopCapture());
    EXPECT_FALSE(component.WaitForFrames(0ms));
    EXPECT_EQ(component.DispatchPending(1000), 0u);
    EXPECT_EQ(announced, 16);
    EXPECT_TRUE(component.Finished());
    EXPECT_EQ(component.Stats().discardedAtStop, 0u);
    std::array<std::uint8_t, 16> buffer{};
    EXPECT_EQ(component.ReadPacket(buffer), 0);

    // A source is captured once; opened again it reads from its first frame.
    EXPECT_FALSE(component.StartCapture());
    ASSERT_TRUE(component.OpenFile(path));
    ASSERT_TRUE(component.StartCapture());
    EXPECT_EQ(DrainToEnd(component).frames.size(), 956u);
    // A file read to its end no longer counts as capturing: the next file opens without a stop.
    EXPECT_FALSE(component.IsCapturing());
    EXPECT_TRUE(component.OpenFile(DataFile("ndpi_hls.pcapng")));
    EXPECT_TRUE(component.CloseAdapter());
    EXPECT_FALSE(component.IsOpen());
}

TEST(CaptureFile, StopInsidePacketReceivedEndsTheBatch) {
    CaptureComponent component;
    int announced = 0;
    component.SetPacketReceived([&](std::int32_t) {
        if (++announced == 3) {
            EXPECT_TRUE(component.StopCapture());
        }
    });
    ASSERT_TRUE(component.OpenFile(DataFile("zeek_wikipedia.pcap")));
    ASSERT_TRUE(component.StartCapture());
    EXPECT_EQ(component.DispatchPending(1000), 3u);
    EXPECT_EQ(announced, 3);
    EXPECT_TRUE(component.Finished());
}

// A file that another program cuts short while it is read: the frames before the cut are delivered, the
// run ends with the damage named, and the program lives on (read where the page cache holds them, the
// lost pages would otherwise end it with SIGBUS).
TEST(CaptureFile, AFileCutShortWhileItIsReadIsDamageNotACrash) {
    TempDir dir;
    std::vector<CapturedFrame> frames(400);
    for (std::size_t i = 0; i < frames.size(); ++i)
        frames[i].bytes.assign(60000, static_cast<std::uint8_t>(i));
    const std::string path = dir.File("cut-while-read.pcap");
    WriteBytes(path, MakePcap(linktype::kEthernet, frames));

    CaptureComponent component;
    ASSERT_TRUE(component.OpenFile(path));
    ASSERT_TRUE(component.StartCapture());
    std::size_t delivered = 0;
    bool frameAsWritten = true;
    component.SetPacketReceived([&](std::int32_t) {
        const auto bytes = component.CurrentFrame();
        const std::size_t sum = std::accumulate(bytes.begin(), bytes.end(), std::size_t{0});
        if (delivered < 10)
            frameAsWritten = frameAsWritten && sum == bytes.size() * (delivered & 255);
        ++delivered;
    });
    ASSERT_EQ(component.DispatchPending(10), 10u);
    ASSERT_EQ(::truncate(path.c_str(), 24 + 20 * (16 + 60000)), 0); // 20 frames left, 10 of them read
    while (!component.Finished())
        component.DispatchPending(64);
    EXPECT_TRUE(frameAsWritten);
    EXPECT_GE(delivered, 10u);
    EXPECT_LT(delivered, frames.size());
    const CaptureResult end = component.EndResult();
    EXPECT_FALSE(end);
    EXPECT_NE(end.message.find("cut short"), std::string::npos) << end.message;
}
