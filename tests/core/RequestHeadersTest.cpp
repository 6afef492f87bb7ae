#include "capture/RequestHeaders.h"
#include "TempSettingsTest.h"
#include "settings/DownloadSettings.h"

#include <gtest/gtest.h>

#include <string>

using namespace velmora;

namespace {

RequestHeaders Find(const std::string& bytes, std::u16string_view address) {
    return FindRequestHeaders({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, address);
}

// What a frame holds ahead of the request: the end of a TCP header, whose last byte may be anything.
const std::string kTcpTail = std::string("\x50\x18\x02\x00\xfe\x28\x00\x00\x01\x01\x08\x0a\x00\x5e", 14);

TEST(RequestHeaders, ComeOnlyFromTheRequestForTheAddressHost) {
    const std::string request =
        kTcpTail + "GET /v/a%20b.mp4?x=1 HTTP/1.1\r\nHost: Media.Example.com\r\n"
                   "user-agent:  Mozilla/5.0 (X11; Linux)\t\r\nREFERER: http://www.example.com/watch?v=1\r\n"
                   "Cookie: sid=a1; lang=zh\r\nAccept: */*\r\n\r\n"
                   "Referer: http://body.example/ after the blank line\r\n";
    const RequestHeaders found = Find(request, u"http://media.example.com:80/v/片尾 曲.mp4");
    EXPECT_EQ(found.referer, "http://www.example.com/watch?v=1");
    EXPECT_EQ(found.userAgent, "Mozilla/5.0 (X11; Linux)");
    EXPECT_EQ(found.cookie, "sid=a1; lang=zh");

    // A cookie is never handed to another host, nor to another port of the same one.
    EXPECT_TRUE(Find(request, u"http://evil.example/v/a.mp4").empty());
    EXPECT_TRUE(Find(request, u"http://media.example.com:8080/v/a.mp4").empty());
    EXPECT_TRUE(Find(request, u"rtsp://media.example.com.evil/v").empty());
    // A proxy request names its host in the target; the Host header does not decide then.
    const RequestHeaders proxied =
        Find("GET http://cdn.example:8080/a.flv HTTP/1.0\r\nHost: other.example\r\nReferer: r\r\n\r\n",
             u"http://cdn.example:8080/a.flv");
    EXPECT_EQ(proxied.referer, "r");

    // A line cut off at the frame's end, and values holding control bytes, are left out.
    const RequestHeaders cut =
        Find("POST /up HTTP/1.1\r\nHost: h\r\nUser-Agent: ua\x01x\r\nReferer: r1\r\nCookie: s=1", u"http://h/a.mp4");
    EXPECT_EQ(cut.referer, "r1");
    EXPECT_EQ(cut.userAgent, "");
    EXPECT_EQ(cut.cookie, "");

    // Not a request: a response, a request line with spaces in its target, text without a method.
    EXPECT_TRUE(Find("HTTP/1.1 200 OK\r\nReferer: r\r\n\r\n", u"http://h/").empty());
    EXPECT_TRUE(Find("GET /a b HTTP/1.1\r\nHost: h\r\nReferer: r\r\n\r\n", u"http://h/").empty());
    EXPECT_TRUE(Find("\x01\x02 /a HTTP/1.1\r\nHost: h\r\nReferer: r\r\n\r\n", u"http://h/").empty());
    EXPECT_TRUE(Find("", u"http://h/").empty());
}

class DownloadSettingsTest : public test::TempSettingsTest {};

TEST_F(DownloadSettingsTest, MissingOrOddValuesFallBackToTheDownloadManager) {
    DownloadSettings none = ReadDownloadSettings(settings_);
    EXPECT_EQ(none.method, DownloadMethod::Downloader);
    EXPECT_EQ(none.aria2Url, "http://127.0.0.1:6800/jsonrpc");

    test::WriteBytes(path_, "[download]\r\nmethod=2\r\nCommand=yt-dlp -o \"%(title)s.%(ext)s\" %u\r\n"
                            "Aria2Secret=s e;cret\r\nAria2Url=\r\n");
    const DownloadSettings command = ReadDownloadSettings(settings_);
    EXPECT_EQ(command.method, DownloadMethod::Command);
    EXPECT_EQ(command.command, "yt-dlp -o \"%(title)s.%(ext)s\" %u");
    EXPECT_EQ(command.aria2Secret, "s e;cret");
    EXPECT_EQ(command.aria2Url, "http://127.0.0.1:6800/jsonrpc");

    for (const char* odd : {"3", "-1", "1x", " ", "aria2"}) {
        test::WriteBytes(path_,
                         std::string("[Download]\r\nMethod=") + odd + "\r\nAria2Url=http://nas:6800/jsonrpc\r\n");
        const DownloadSettings read = ReadDownloadSettings(settings_);
        EXPECT_EQ(read.method, DownloadMethod::Downloader) << odd;
        EXPECT_EQ(read.aria2Url, "http://nas:6800/jsonrpc");
    }
}

} // namespace
