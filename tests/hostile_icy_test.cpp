// Hostile ICY bodies: random length bytes, metadata texts of reserved characters, line breaks,
// zero bytes and invalid UTF-8, titles without an end. The body stays aligned on its blocks
// until a bad length byte ends it (and nothing after that byte is trusted), and every title that
// reaches the destination does so in one well-formed request line.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "frontend/commandline.h"
#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/child_process.h"
#include "tests/support/engine_session.h"
#include "tests/support/hostile_feed.h"
#include "tests/support/input_session.h"
#include "tests/support/mock_server.h"
#include "tests/support/noise.h"
#include "tests/support/paced_source.h"

namespace {

using Texts = std::vector<std::string>;

class HostileIcyTest : public InputSessionTest {
  protected:
    void StartStation(int interval) {
        ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "icy-metaint:" + std::to_string(interval),
                                "Content-Type: audio/mpeg"}));
    }
    // A length byte and the text, padded with zero bytes to its 16-byte multiple.
    static std::string Metadata(std::string text) {
        text.resize((text.size() + 15) / 16 * 16, '\0');
        return std::string(1, static_cast<char>(text.size() / 16)) + text;
    }
};

// Blocks whose audio holds no apostrophe, each followed by a length byte and a text that names
// the block and then runs on in random bytes (now and then audio instead of a text). Titles can
// then only come from a text read in its right place, in block order.
constexpr const char* kAudioBytes = "abcdefghijklmnopqrstuvwxyz\r\n\"; \xff";

TEST_F(HostileIcyTest, RandomLengthBytesKeepTheBlocksAligned) {
    const int intervals[] = {1, 16, 100, 2033, 8192};
    for (std::uint32_t seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE(seed);
        SetUp();
        Noise noise(seed);
        const int interval = noise.Pick(intervals);
        std::string body;
        std::size_t firstBad = std::string::npos;
        Texts titles;  // of the blocks before the first bad length byte
        for (int block = 0; block < 40; ++block) {
            body += noise.From(kAudioBytes, interval);
            if (noise.OneIn(20)) {
                // A length byte in front of what is no metadata text.
                if (firstBad == std::string::npos) firstBad = body.size();
                body += static_cast<char>(1 + noise.Below(255));
                body += noise.From(kAudioBytes, 16 * 255);
                continue;
            }
            const std::size_t length = noise.OneIn(4) ? 0 : 2 + noise.Below(254);
            body += static_cast<char>(length);
            if (length == 0) continue;
            const std::string title = "B" + std::to_string(block);
            std::string text = "StreamTitle='" + title + "';" + noise.Bytes(16 * length);
            body += text.substr(0, 16 * length);
            if (firstBad == std::string::npos) titles.push_back(title);
        }
        body += std::string(interval, 'a');  // so that the last block before it is taken too
        StartStation(interval);
        const FeedResult fed = FeedChunks(body, noise, &Noise::CurlChunkSize);
        FinishTransfer(Input(), false);
        if (firstBad == std::string::npos) {
            EXPECT_EQ(fed.refusedEnd, 0u);
            EXPECT_EQ(Reported("metadata"), titles);
        } else {
            // The chunk that brought the bad byte, or a later one, is refused.
            ASSERT_NE(fed.refusedEnd, 0u);
            EXPECT_GT(fed.refusedEnd, firstBad);
            EXPECT_NE(LogText().find("Metadata ERROR!"), std::string::npos);
            EXPECT_EQ(Reported("metadata"), titles);
        }
        TearDown();
    }
}

// After a bad length byte the stream is out of step: what follows it in the buffer is neither
// audio nor a title, even when it looks like one.
TEST_F(HostileIcyTest, NothingAfterABadLengthByteIsTrusted) {
    constexpr int kInterval = 100;
    StartStation(kInterval);
    const std::string body = std::string(kInterval, 'a') + Metadata("StreamTitle='One';") +
                             std::string(kInterval, 'a') + std::string(1, '\xC8') +
                             std::string(kInterval, 'z') + Metadata("StreamTitle='Bogus';") +
                             std::string(40 * kInterval, 'z');
    EXPECT_LT(FeedBody(body, body.size()), body.size());
    FinishTransfer(Input(), false);
    EXPECT_EQ(Reported("metadata"), Texts{"One"});
    EXPECT_EQ(Engine().titles.current.view(), "One");
}

// A title is shown as one status line and one log line, whatever bytes it holds: its control
// bytes are left out (a run of them as one blank) before it is stored, shown or sent.
TEST_F(HostileIcyTest, HostileTitleStaysOneLineOnTheConsoleAndInTheLog) {
    SetUpStatusSinks();
    DescriptorCapture console(1);
    constexpr int kInterval = 100;
    StartStation(kInterval);
    const std::string title = "A\r\n01/01/26 00:00:00 Error(libzembril:1): forged\x1b[2J\x7f";
    const std::string body = std::string(kInterval, 'a') +
                             Metadata("StreamTitle='" + title + "';") +
                             std::string(kInterval, 'a') + '\0' + std::string(kInterval, 'a');
    ASSERT_EQ(FeedBody(body, body.size()), body.size());
    const std::string printed = console.Finish();
    const std::string shown = "A 01/01/26 00:00:00 Error(libzembril:1): forged [2J ";
    EXPECT_NE(printed.find("Metadata : (" + shown + ")\n"), std::string::npos) << printed;
    EXPECT_NE(LogText().find("Metadata = (" + shown + ")\n"), std::string::npos);
    EXPECT_EQ(LogText().find("\nforged"), std::string::npos);
    EXPECT_EQ(LogText().find('\x1b'), std::string::npos);
    EXPECT_EQ(printed.find('\x1b'), std::string::npos);
    EXPECT_EQ(Engine().titles.current.view(), shown);
}

// ---- titles on their way to the destination ----

struct TitleCase {
    const char* name;
    std::string text;   // the metadata text
    std::string title;  // the title in it; empty for none
};

std::string Repeated(const std::string& piece, std::size_t length) {
    std::string text;
    while (text.size() < length) text += piece;
    return text.substr(0, length);
}

const std::string kReserved = "%;/?:@&=+ \"#<>!*(),\\`{}|^[]~$";

const TitleCase kTitleCases[] = {
    {"ReservedCharacters", "StreamTitle='" + Repeated(kReserved, 2017) + "';",
     Repeated(kReserved, 2017)},
    // Control bytes are left out of titles, a run of them as one blank.
    {"RequestSmuggling",
     "StreamTitle='A\r\n\r\nGET /admin.cgi?pass=x&mode=kicksrc HTTP/1.0\r\n\r\n';",
     "A GET /admin.cgi?pass=x&mode=kicksrc HTTP/1.0 "},
    {"ControlCharacters", "StreamTitle='\x01\x02\x7f\t\x1b[31mred\x1b[0m';", " [31mred [0m"},
    {"InvalidUtf8", "StreamTitle='\xff\xfe\xc3\x28 \xe2\x82 \xed\xa0\x80 \xc0\xaf';",
     "\xff\xfe\xc3\x28 \xe2\x82 \xed\xa0\x80 \xc0\xaf"},
    {"LongMultibyte", "StreamTitle='" + Repeated("\xc3\xa9", 2000) + "';",
     Repeated("\xc3\xa9", 2000)},
    {"ZeroByteInside", std::string("StreamTitle='Visible\0Hidden';", 29), ""},
    // The audio after the text begins with "';": a reader running past the text would find it.
    {"NoEndWithinTheText", "StreamTitle='" + std::string(2032 - 13, 'x'), ""},
};

void PrintTo(const TitleCase& c, std::ostream* out) {
    *out << c.name;
}

// Undoes the request's percent-encoding; false when an escape is malformed.
bool PercentDecode(const std::string& encoded, std::string& decoded) {
    decoded.clear();
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            decoded += encoded[i];
            continue;
        }
        if (i + 2 >= encoded.size() || !std::isxdigit(static_cast<unsigned char>(encoded[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(encoded[i + 2]))) {
            return false;
        }
        decoded += static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

class TitleRequestTest : public HostileIcyTest, public ::testing::WithParamInterface<TitleCase> {
  protected:
    void SetUp() override {
        HostileIcyTest::SetUp();
        ASSERT_TRUE(server_.listening());
        server_.SetReply("HTTP/1.0 200 OK\r\n\r\n");
        ConfigureDestination(ServerKind::kIcecast2, server_.port());
        ASSERT_EQ(ConnectToServer(), 1);
    }
    MockServer server_;
};

TEST_P(TitleRequestTest, TitleGoesOutInOneWellFormedRequestLine) {
    const TitleCase& c = GetParam();
    ASSERT_LE(c.text.size(), 2032u);
    constexpr int kInterval = 1000;
    StartStation(kInterval);
    const std::string body = std::string(kInterval, 'a') + Metadata(c.text) + "';" +
                             std::string(kInterval - 2, 'a') + '\0' + std::string(kInterval, 'a');
    ASSERT_EQ(FeedBody(body, 777), body.size());
    if (c.title.empty()) {
        EXPECT_TRUE(Reported("metadata").empty());
        EXPECT_EQ(server_.ConnectionCount(), 1u);
        return;
    }
    EXPECT_EQ(Reported("metadata"), Texts{c.title});
    // The stored title is cut to its field without splitting a UTF-8 sequence.
    const std::string stored(Engine().titles.current.view());
    EXPECT_EQ(c.title.compare(0, stored.size(), stored), 0);
    EXPECT_GE(stored.size(), std::min<std::size_t>(c.title.size(), 1023) - 3);
    if (c.name == std::string("LongMultibyte")) {
        EXPECT_EQ(stored.size() % 2, 0u);
    }

    ASSERT_TRUE(server_.WaitForClosed(1, 15000));
    const std::string request = server_.Received(1);
    const std::string start = "GET /admin/metadata?pass=hackme&mode=updinfo&mount=/live&song=";
    ASSERT_EQ(request.compare(0, start.size(), start), 0) << request;
    const std::size_t lineEnd = request.find("\r\n");
    ASSERT_NE(lineEnd, std::string::npos);
    const std::string tail = " HTTP/1.0";
    ASSERT_EQ(request.compare(lineEnd - tail.size(), tail.size(), tail), 0) << request;
    std::string song = request.substr(start.size(), lineEnd - tail.size() - start.size());
    // A UTF-8 title beyond ASCII names its charset after the title.
    const std::string charset = "&charset=UTF-8";
    const bool namesCharset =
        song.size() >= charset.size() &&
        song.compare(song.size() - charset.size(), charset.size(), charset) == 0;
    EXPECT_EQ(namesCharset, c.name == std::string("LongMultibyte")) << request;
    if (namesCharset) song.resize(song.size() - charset.size());
    for (const char byte : song) {
        const auto code = static_cast<unsigned char>(byte);
        EXPECT_TRUE(code > ' ' && code != 0x7f && byte != '&' && byte != '#' && byte != '?')
            << "raw byte " << static_cast<int>(code) << " in " << song;
    }
    EXPECT_LE(song.size(), 1023u);
    std::string decoded;
    ASSERT_TRUE(PercentDecode(song, decoded)) << song;
    EXPECT_EQ(stored.compare(0, decoded.size(), decoded), 0) << decoded;
    // Exactly the request's own line ends, and nothing after its empty line.
    EXPECT_EQ(request.find("\r\n\r\n"), request.size() - 4) << request;
}

INSTANTIATE_TEST_SUITE_P(Titles, TitleRequestTest, ::testing::ValuesIn(kTitleCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
