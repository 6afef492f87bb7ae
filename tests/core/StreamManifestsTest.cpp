// Manifests read into values: addresses resolved as RFC 3986 says, HLS playlists as ffmpeg and the
// RFC 8216 examples write them, MPDs with every kind of segment addressing, and hostile manifests
// made harmless.
#include "stream/ContentDecoding.h"
#include "stream/DashManifest.h"
#include "stream/HlsPlaylist.h"
#include "stream/UriReference.h"

#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <string>

using namespace velmora;

// RFC 3986 section 5.4: every normal and abnormal example against its base, and the schemes a manifest
// must never hand on.
TEST(StreamManifests, AddressesResolveAsRfc3986SaysAndOnlyWebSchemesComeOut) {
    const std::string base = "http://a/b/c/d;p?q";
    const std::pair<const char*, const char*> examples[] = {
        {"g", "http://a/b/c/g"},         {"./g", "http://a/b/c/g"},       {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},            {"//g", "http://g/"},            {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},     {"#s", "http://a/b/c/d;p?q"},    {"g#s", "http://a/b/c/g"},
        {";x", "http://a/b/c/;x"},       {"", "http://a/b/c/d;p?q"},      {".", "http://a/b/c/"},
        {"./", "http://a/b/c/"},         {"..", "http://a/b/"},           {"../", "http://a/b/"},
        {"../g", "http://a/b/g"},        {"../..", "http://a/"},          {"../../g", "http://a/g"},
        {"../../../g", "http://a/g"},    {"/./g", "http://a/g"},          {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},       {".g", "http://a/b/c/.g"},       {"g..", "http://a/b/c/g.."},
        {"./../g", "http://a/b/g"},      {"./g/.", "http://a/b/c/g/"},    {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},    {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"}, {"HTTPS://cdn/x.ts", "https://cdn/x.ts"},
    };
    const UriResolver resolver(base); // a playlist's: bare names take a shorter way to the same address
    for (const auto& [reference, expected] : examples) {
        EXPECT_EQ(ResolveUri(base, reference).value_or("(none)"), expected) << reference;
        EXPECT_EQ(resolver.Resolve(reference).value_or("(none)"), expected) << reference;
    }
    for (const char* folder : {"HTTPS://Host/a/./b/../c/list.m3u8?t=1/2", "http://h", "http://h/a/..", "http://h/../x/"})
        for (const char* name : {"seg_00001.ts", " seg.ts ", ".x", "..x", "a b.ts", "é.ts", "..", "x?y", "../g"})
            EXPECT_EQ(UriResolver(folder).Resolve(name), ResolveUri(folder, name)) << folder << " " << name;
    for (const char* hostile : {"file:///etc/passwd", "data:video/mp4;base64,AAAA", "javascript:alert(1)", "ftp://a/x",
                                "//", "http:/x", "http://"})
        EXPECT_FALSE(ResolveUri(base, hostile)) << hostile;
    EXPECT_FALSE(ResolveUri("file:///srv/master.m3u8", "seg.ts"));
    EXPECT_FALSE(UriResolver("file:///srv/master.m3u8").Resolve("seg.ts"));
}

TEST(StreamManifests, HlsMasterAndMediaPlaylistsAreRead) {
    const std::string master = "#EXTM3U\r\n"
                               "#EXT-X-VERSION:6\r\n"
                               "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"English\",LANGUAGE=\"en\",DEFAULT=YES,"
                               "URI=\"audio/en/index.m3u8\"\r\n"
                               "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"中文\",LANGUAGE=\"zh\"\r\n"
                               "#EXT-X-STREAM-INF:BANDWIDTH=5000000,RESOLUTION=1920x1080,FRAME-RATE=29.970,"
                               "CODECS=\"avc1.640028,mp4a.40.2\",AUDIO=\"aac\"\r\n"
                               "1080p/index.m3u8\r\n"
                               "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360,AUDIO=\"aac\"\r\n"
                               "https://other.example/360p/index.m3u8?sig=x\r\n"
                               "#EXT-X-STREAM-INF:BANDWIDTH=1\r\n"
                               "javascript:alert(1)\r\n";
    const auto m = ParseHlsPlaylist(master, "https://cdn.example/title/master.m3u8?t=9");
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->master);
    ASSERT_EQ(m->variants.size(), 2u);
    EXPECT_EQ(m->variants[0].address, "https://cdn.example/title/1080p/index.m3u8");
    EXPECT_EQ(m->variants[0].bandwidth, 5000000u);
    EXPECT_EQ(m->variants[0].resolution, "1920x1080");
    EXPECT_DOUBLE_EQ(m->variants[0].frameRate, 29.97);
    EXPECT_EQ(m->variants[0].codecs, "avc1.640028,mp4a.40.2");
    EXPECT_EQ(m->variants[0].audioGroup, "aac");
    EXPECT_EQ(m->variants[1].address, "https://other.example/360p/index.m3u8?sig=x");
    ASSERT_EQ(m->renditions.size(), 2u);
    EXPECT_EQ(m->renditions[0].address, "https://cdn.example/title/audio/en/index.m3u8");
    EXPECT_EQ(m->renditions[1].name, "中文");
    EXPECT_EQ(m->renditions[1].address, "");

    const std::string media = "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-MEDIA-SEQUENCE:0\n"
                              "#EXT-X-MAP:URI=\"init.mp4\",BYTERANGE=\"800@0\"\n"
                              "#EXTINF:4.004,\n#EXT-X-BYTERANGE:75232@800\nmain.mp4\n"
                              "#EXTINF:3.5,title\n#EXT-X-BYTERANGE:82112\nmain.mp4\n"
                              "#EXT-X-PART:DURATION=1.0,URI=\"part/p1.mp4\"\n"
                              "#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"part/p2.mp4\"\n"
                              "#EXT-X-ENDLIST\n";
    const auto p = ParseHlsPlaylist(media, "http://cdn.example/v/720p/index.m3u8");
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->master);
    EXPECT_TRUE(p->endList);
    ASSERT_EQ(p->segments.size(), 2u);
    EXPECT_EQ(p->segments[0].address, "http://cdn.example/v/720p/main.mp4");
    ASSERT_TRUE(p->segments[0].range && p->segments[0].range->offset);
    EXPECT_EQ(p->segments[0].range->length, 75232u);
    EXPECT_EQ(*p->segments[0].range->offset, 800u);
    EXPECT_FALSE(p->segments[1].range->offset); // after the previous range
    EXPECT_NEAR(p->duration, 7.504, 1e-9);
    EXPECT_EQ(p->initialisation, std::vector<std::string>{"http://cdn.example/v/720p/init.mp4"});
    EXPECT_EQ(p->parts, (std::vector<std::string>{"http://cdn.example/v/720p/part/p1.mp4",
                                                   "http://cdn.example/v/720p/part/p2.mp4"}));
    EXPECT_EQ(p->protection, HlsProtection::None);

    // Live, and the key methods: AES-128 and identity SAMPLE-AES are fetched by ffmpeg, others are DRM.
    struct Key {
        const char* line;
        HlsProtection protection;
    };
    for (const Key key : {Key{"#EXT-X-KEY:METHOD=AES-128,URI=\"https://keys.example/k\",IV=0x1", HlsProtection::Encrypted},
                          Key{"#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\",KEYFORMAT=\"identity\"", HlsProtection::Encrypted},
                          Key{"#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"skd://k\",KEYFORMAT=\"com.apple.streamingkeydelivery\"",
                              HlsProtection::Drm},
                          Key{"#EXT-X-KEY:METHOD=SAMPLE-AES-CTR,URI=\"k\"", HlsProtection::Drm},
                          Key{"#EXT-X-KEY:METHOD=NONE", HlsProtection::None}}) {
        const auto live = ParseHlsPlaylist(std::string("#EXTM3U\n#EXT-X-TARGETDURATION:2\n") + key.line +
                                               "\n#EXTINF:2,\nseg100.ts\n",
                                           "https://live.example/ch/index.m3u8");
        ASSERT_TRUE(live);
        EXPECT_FALSE(live->endList);
        EXPECT_EQ(live->protection, key.protection) << key.line;
    }
    // A radio playlist is no stream; neither is text that only starts like one.
    EXPECT_FALSE(ParseHlsPlaylist("#EXTM3U\n#EXTINF:-1,Radio\nhttp://radio.example/live.mp3\n", "http://r.example/a.m3u"));
    EXPECT_FALSE(ParseHlsPlaylist("<html>#EXT-X-</html>", "http://r.example/a.m3u8"));
}

TEST(StreamManifests, DashManifestsAreReadWithEveryKindOfSegmentAddressing) {
    const std::string mpd = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- as ffmpeg's dash muxer and packagers write them -->
<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" mediaPresentationDuration="PT1M2.5S">
  <BaseURL>https://cdn.example/dash/</BaseURL>
  <Period>
    <AdaptationSet contentType="video" mimeType="video/mp4">
      <SegmentTemplate timescale="90000" media="chunk-$RepresentationID$-$Number%05d$.m4s" initialization="init-$RepresentationID$.m4s" startNumber="1"/>
      <Representation id="0" bandwidth="3000000" width="1920" height="1080" codecs="avc1.640028"/>
      <Representation id="1" bandwidth="800000" width="640" height="360" codecs="avc1.64001e"/>
    </AdaptationSet>
    <AdaptationSet mimeType="audio/mp4" lang="en">
      <Representation id="a" bandwidth="128000" codecs="mp4a.40.2">
        <SegmentTemplate media="audio/$Time$.m4a" initialization="audio/init.m4a">
          <SegmentTimeline><S t="0" d="96000" r="9"/></SegmentTimeline>
        </SegmentTemplate>
      </Representation>
    </AdaptationSet>
    <AdaptationSet mimeType="text/vtt">
      <Representation id="sub" bandwidth="100">
        <BaseURL>subs/</BaseURL>
        <SegmentList><Initialization sourceURL="head.vtt"/><SegmentURL media="1.vtt"/><SegmentURL media="file:///etc/passwd"/></SegmentList>
      </Representation>
    </AdaptationSet>
  </Period>
  <Period>
    <AdaptationSet mimeType="video/mp4">
      <Representation id="single" bandwidth="2000000" width="1280" height="720"><BaseURL>../whole/v720.mp4</BaseURL><SegmentBase indexRange="0-1000"/></Representation>
    </AdaptationSet>
  </Period>
</MPD>)";
    const auto m = ReadDashManifest(mpd, "https://site.example/watch/manifest.mpd?sig=1");
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->live);
    EXPECT_FALSE(m->drm);
    EXPECT_DOUBLE_EQ(m->duration, 62.5);
    ASSERT_EQ(m->sets.size(), 4u);
    const DashAdaptationSet& video = m->sets[0];
    EXPECT_EQ(video.kind, "video");
    ASSERT_EQ(video.representations.size(), 2u);
    EXPECT_EQ(video.representations[0].height, 1080);
    ASSERT_EQ(video.representations[1].patterns.size(), 1u);
    EXPECT_TRUE(video.representations[1].patterns[0].Matches("https://cdn.example/dash/chunk-1-00042.m4s"));
    EXPECT_TRUE(video.representations[1].patterns[0].Matches("https://cdn.example/dash/chunk-1-1234567.m4s"));
    EXPECT_FALSE(video.representations[1].patterns[0].Matches("https://cdn.example/dash/chunk-0-00042.m4s"));
    EXPECT_FALSE(video.representations[1].patterns[0].Matches("https://cdn.example/dash/chunk-1-.m4s"));
    EXPECT_EQ(video.representations[0].initialisation, std::vector<std::string>{"https://cdn.example/dash/init-0.m4s"});
    const DashRepresentation& audio = m->sets[1].representations[0];
    EXPECT_EQ(m->sets[1].kind, "audio");
    ASSERT_EQ(audio.patterns.size(), 1u); // the initialisation has no identifier left: an address
    EXPECT_TRUE(audio.patterns[0].Matches("https://cdn.example/dash/audio/864000.m4a"));
    EXPECT_EQ(audio.initialisation, std::vector<std::string>{"https://cdn.example/dash/audio/init.m4a"});
    EXPECT_EQ(m->sets[2].representations[0].initialisation, std::vector<std::string>{"https://cdn.example/dash/subs/head.vtt"});
    EXPECT_EQ(m->sets[2].representations[0].addresses, std::vector<std::string>{"https://cdn.example/dash/subs/1.vtt"});
    EXPECT_EQ(m->sets[3].representations[0].addresses, std::vector<std::string>{"https://cdn.example/whole/v720.mp4"});

    const auto live = ReadDashManifest(R"(<mpd:MPD xmlns:mpd="urn:mpeg:dash:schema:mpd:2011" type="dynamic"><mpd:Period/></mpd:MPD>)",
                                       "http://live.example/a.mpd");
    ASSERT_TRUE(live);
    EXPECT_TRUE(live->live);
    const auto drm = ReadDashManifest(R"(<MPD><Period><AdaptationSet mimeType="video/mp4"><ContentProtection schemeIdUri="urn:uuid:edef8ba9-79d6-4ace-a3c8-27dcd51d21ed"/><Representation id="v" bandwidth="1"><BaseURL>v.mp4</BaseURL></Representation></AdaptationSet></Period></MPD>)",
                                      "http://drm.example/a.mpd");
    ASSERT_TRUE(drm);
    EXPECT_TRUE(drm->drm);
    EXPECT_EQ(DashDurationSeconds("PT0.5S"), 0.5);
    EXPECT_EQ(DashDurationSeconds("P1DT1H"), 90000);
    EXPECT_EQ(DashDurationSeconds("PT1Q"), 0);
    EXPECT_FALSE(ReadDashManifest("<html><MPD/></html>", "http://a.example/x.mpd"));
}

// Manifests a hostile server could send: each is read within its bounds, quickly, and names nothing
// it must not.
TEST(StreamManifests, HostileManifestsAreHarmless) {
    std::string many = "#EXTM3U\n";
    for (int i = 0; i < 100000; ++i)
        many += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(i) + "\nv" + std::to_string(i) + ".m3u8\n";
    const auto variants = ParseHlsPlaylist(many, "https://a.example/m.m3u8");
    ASSERT_TRUE(variants);
    EXPECT_EQ(variants->variants.size(), HlsLimits{}.variants);
    EXPECT_TRUE(variants->cut);

    const std::string longLine = "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4,\n" + std::string(1 << 20, 'a') +
                                 ".ts\n#EXTINF:4,\nreal.ts\n#EXT-X-ENDLIST\n";
    const auto lines = ParseHlsPlaylist(longLine, "https://a.example/m.m3u8");
    ASSERT_TRUE(lines);
    ASSERT_EQ(lines->segments.size(), 1u);
    EXPECT_EQ(lines->segments[0].address, "https://a.example/real.ts");

    const auto self = ParseHlsPlaylist("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nm.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=1\n"
                                       "./m.m3u8#again\n#EXT-X-STREAM-INF:BANDWIDTH=2\ndata:application/x-mpegurl,#EXTM3U\n",
                                       "https://a.example/m.m3u8");
    ASSERT_TRUE(self);
    EXPECT_TRUE(self->variants.empty());

    // Entities: a billion laughs, and an external entity that would read a local file.
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE MPD [<!ENTITY a \"aaaaaaaaaa\">";
    for (char e = 'b'; e <= 'k'; ++e)
        bomb += std::string("<!ENTITY ") + e + " \"" + std::string(10, '&') + "\">";
    for (char e = 'b'; e <= 'k'; ++e) {
        std::string refs;
        for (int i = 0; i < 10; ++i)
            refs += std::string("&") + static_cast<char>(e - 1) + ";";
        bomb.replace(bomb.find(std::string("<!ENTITY ") + e + " \"" + std::string(10, '&')) + 11, 10, refs);
    }
    bomb += "<!ENTITY file SYSTEM \"file:///etc/passwd\">]><MPD><BaseURL>&k;&file;</BaseURL><Period><AdaptationSet>"
            "<Representation id=\"&k;\" bandwidth=\"1\"/></AdaptationSet></Period></MPD>";
    const auto laughs = ReadDashManifest(bomb, "https://a.example/m.mpd");
    if (laughs)
        for (const auto& set : laughs->sets)
            for (const auto& representation : set.representations) {
                EXPECT_LT(representation.id.size(), 1000u);
                for (const auto& address : representation.addresses)
                    EXPECT_EQ(address.find("root:"), std::string::npos);
            }
    std::string deep = "<MPD><Period><AdaptationSet>";
    for (int i = 0; i < 100000; ++i)
        deep += "<x>";
    deep += "</AdaptationSet></Period></MPD>";
    EXPECT_NO_FATAL_FAILURE(ReadDashManifest(deep, "https://a.example/m.mpd"));
    const auto schemes = ReadDashManifest(R"(<MPD><Period><AdaptationSet><Representation id="v" bandwidth="1"><BaseURL>javascript:alert(1)</BaseURL></Representation><Representation id="w" bandwidth="1"><SegmentTemplate media="file:///x/$Number$.m4s"/></Representation></AdaptationSet></Period></MPD>)",
                                          "https://a.example/m.mpd");
    ASSERT_TRUE(schemes);
    for (const auto& representation : schemes->sets.at(0).representations) {
        EXPECT_TRUE(representation.patterns.empty());
        for (const auto& address : representation.addresses)
            EXPECT_TRUE(address.starts_with("https://a.example/")) << address;
    }
}

// Bodies as servers encode them, made with the real encoders, and bombs that would decode to far more
// than a manifest: each coding decodes within the bounds, a bomb is refused.
TEST(StreamManifests, EncodedBodiesDecodeWithinTheirBoundsAndBombsAreRefused) {
    std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:4\n";
    for (int i = 0; i < 400; ++i)
        playlist += "#EXTINF:4.0,\nsegment_" + std::to_string(i) + ".ts\n";
    auto gzip = [](std::string_view text, int windowBits) {
        z_stream stream{};
        deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY);
        std::vector<std::uint8_t> out(deflateBound(&stream, text.size()) + 32);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        stream.avail_in = static_cast<uInt>(text.size());
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        deflate(&stream, Z_FINISH);
        out.resize(stream.total_out);
        deflateEnd(&stream);
        return out;
    };
    std::vector<std::uint8_t> br(BrotliEncoderMaxCompressedSize(playlist.size()));
    std::size_t brSize = br.size();
    ASSERT_TRUE(BrotliEncoderCompress(9, 22, BROTLI_MODE_TEXT, playlist.size(),
                                      reinterpret_cast<const std::uint8_t*>(playlist.data()), &brSize, br.data()));
    br.resize(brSize);
    std::vector<std::uint8_t> zst(ZSTD_compressBound(playlist.size()));
    zst.resize(ZSTD_compress(zst.data(), zst.size(), playlist.data(), playlist.size(), 3));
    const std::pair<const char*, std::vector<std::uint8_t>> encoded[] = {
        {"gzip", gzip(playlist, 15 + 16)}, {"deflate", gzip(playlist, 15)}, {"deflate", gzip(playlist, -15)},
        {"br", br},                         {"zstd", zst},
    };
    for (const auto& [coding, bytes] : encoded) {
        const auto decoded = DecodeContent(coding, bytes);
        ASSERT_TRUE(decoded) << coding;
        EXPECT_EQ(*decoded, playlist) << coding;
        EXPECT_FALSE(DecodeContent(coding, std::span(bytes).first(bytes.size() / 2))) << coding << " cut short";
    }
    EXPECT_FALSE(DecodeContent("compress", encoded[0].second));

    // 64 MiB of the same line in about 64 KiB: past the 2 MiB bound and the ratio, refused at once.
    const std::string bomb(64 << 20, '#');
    EXPECT_FALSE(DecodeContent("gzip", gzip(bomb, 15 + 16)));
    std::vector<std::uint8_t> zbomb(ZSTD_compressBound(bomb.size()));
    zbomb.resize(ZSTD_compress(zbomb.data(), zbomb.size(), bomb.data(), bomb.size(), 1));
    EXPECT_FALSE(DecodeContent("zstd", zbomb));
    // Within 2 MiB but 1,000 times smaller than it decodes to: past the ratio.
    EXPECT_FALSE(DecodeContent("gzip", gzip(std::string(1 << 20, 'a'), 15 + 16)));
}
