// The response header, both as libcurl delivers it (header_callback) and as it arrives inside the
// body from servers whose "ICY 200 OK" libcurl does not parse (write_callback).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/input_session.h"

namespace {

using Lines = std::vector<std::string>;
using Texts = std::vector<std::string>;

class HeaderTest : public InputSessionTest {};

struct HeaderCase {
    const char* name;
    Lines lines;
    std::int32_t interval;
    bool metadata;
    bool vorbis;
    std::uint64_t ringCapacity;
    Texts streamNames;
    Texts streamTypes;
};

// Twenty blocks, but never less than two blocks, the longest metadata text and a chunk more.
constexpr std::uint64_t kSmallBlockFloor = 4081 + 32768;

const HeaderCase kHeaderCases[] = {
    {"IcecastMp3",
     {"HTTP/1.0 200 OK", "icy-name:My Radio", "icy-metaint:16000", "Content-Type: audio/mpeg"},
     16000,
     true,
     false,
     20 * 16000,
     {"My Radio"},
     {"MP3"}},
    {"IntervalAfterContentType",
     {"ICY 200 OK", "Content-Type: audio/mpeg", "icy-metaint:4000"},
     4000,
     true,
     false,
     20 * 4000,
     {},
     {"MP3"}},
    {"NoIntervalGivesDefault",
     {"HTTP/1.1 200 OK", "Content-Type: audio/mpeg"},
     8192,
     false,
     false,
     20 * 8192,
     {},
     {"MP3"}},
    {"OggSource",
     {"HTTP/1.0 200 OK", "Content-Type: application/ogg", "icy-metaint:8000"},
     8000,
     true,
     true,
     20 * 8000,
     {},
     {"Vorbis"}},
    {"OggWithParametersIsVorbis",
     {"HTTP/1.0 200 OK", "Content-Type: application/ogg; x=1"},
     8192,
     false,
     true,
     20 * 8192,
     {},
     {"Vorbis"}},
    {"AudioOgg",
     {"HTTP/1.0 200 OK", "Content-Type: audio/ogg"},
     8192,
     false,
     true,
     20 * 8192,
     {},
     {"Vorbis"}},
    // Ogg of either codec: the decoder thread tells Opus from Vorbis by the stream's first packet.
    {"AudioOpus",
     {"HTTP/1.0 200 OK", "Content-Type: audio/opus"},
     8192,
     false,
     true,
     20 * 8192,
     {},
     {"Vorbis"}},
    {"AudioVorbisWithoutBlank",
     {"HTTP/1.0 200 OK", "content-type:audio/vorbis"},
     8192,
     false,
     true,
     20 * 8192,
     {},
     {"Vorbis"}},
    {"AudioMp3",
     {"HTTP/1.0 200 OK", "Content-Type: audio/mp3"},
     8192,
     false,
     false,
     20 * 8192,
     {},
     {"MP3"}},
    {"AudioXMpegInCapitals",
     {"HTTP/1.0 200 OK", "Content-Type: AUDIO/X-MPEG "},
     8192,
     false,
     false,
     20 * 8192,
     {},
     {"MP3"}},
    {"AudioAac",
     {"HTTP/1.0 200 OK", "Content-Type: audio/aac", "icy-metaint:16000"},
     16000,
     true,
     false,
     20 * 16000,
     {},
     {"AAC"}},
    {"AudioAacpWithParameters",
     {"HTTP/1.0 200 OK", "Content-Type: audio/aacp; codecs=mp4a.40.29"},
     8192,
     false,
     false,
     20 * 8192,
     {},
     {"AAC"}},
    {"AudioXAacInCapitals",
     {"ICY 200 OK", "content-type:AUDIO/X-AAC "},
     8192,
     false,
     false,
     20 * 8192,
     {},
     {"AAC"}},
    {"NamesInAnyCase",
     {"HTTP/1.0 200 OK", "content-type: audio/mpeg", "ICY-METAINT:4000", "Icy-Name:Lower"},
     4000,
     true,
     false,
     20 * 4000,
     {"Lower"},
     {"MP3"}},
    {"NamesOnlyAtTheStartOfALine",
     {"HTTP/1.0 200 OK", "X-Note: icy-metaint:16", "Content-Type: audio/mpeg"},
     8192,
     false,
     false,
     20 * 8192,
     {},
     {"MP3"}},
    {"NoTypeNoIntervalGivesDefault", {"HTTP/1.0 200 OK"}, 8192, false, false, 20 * 8192, {}, {}},
    {"NameKeepsLeadingBlank",
     {"HTTP/1.0 200 OK", "icy-name: Spaced Out", "icy-metaint:8192"},
     8192,
     true,
     false,
     20 * 8192,
     {" Spaced Out"},
     {}},
    {"IntervalReadLikeAtoi",
     {"HTTP/1.0 200 OK", "icy-metaint:  123abc"},
     123,
     true,
     false,
     2 * 123 + kSmallBlockFloor,
     {},
     {}},
    {"ShortIntervalGetsTheFloor",
     {"HTTP/1.0 200 OK", "icy-metaint:16"},
     16,
     true,
     false,
     2 * 16 + kSmallBlockFloor,
     {},
     {}},
    {"ZeroIntervalIsUnusable", {"HTTP/1.0 200 OK", "icy-metaint:0"}, 0, true, false, 0, {}, {}},
    {"NegativeIntervalIsUnusable",
     {"HTTP/1.0 200 OK", "icy-metaint:-5"},
     -5,
     true,
     false,
     0,
     {},
     {}},
    {"HugeIntervalIsNotTrusted",
     {"HTTP/1.0 200 OK", "icy-metaint:1048577"},
     1048577,
     true,
     false,
     0,
     {},
     {}},
    {"LargestIntervalIsTaken",
     {"HTTP/1.0 200 OK", "icy-metaint:1048576"},
     1048576,
     true,
     false,
     20 * 1048576ull,
     {},
     {}},
};

void PrintTo(const HeaderCase& c, std::ostream* out) {
    *out << c.name;
}

class HeaderLineTest : public HeaderTest, public ::testing::WithParamInterface<HeaderCase> {};

// The set-up waits for the body: until then a new status line may still replace the header.
TEST_P(HeaderLineTest, ReadsTheHeaderAndSetsUpTheRingBufferWhenTheBodyBegins) {
    const HeaderCase& c = GetParam();
    ASSERT_TRUE(FeedHeader(c.lines));
    const InputState& input = Input();
    EXPECT_FALSE(input.headerDone);
    EXPECT_TRUE(Reported("mainStatus").empty());
    EXPECT_EQ(input.MetadataFlag, c.metadata);
    EXPECT_EQ(input.inputIsVorbis, c.vorbis);
    EXPECT_EQ(Reported("inputStreamName"), c.streamNames);
    EXPECT_EQ(Reported("inputStreamType"), c.streamTypes);

    const bool bodyTaken = StartBody();
    if (c.ringCapacity == 0) {
        // An unusable block length ends the transfer at its first byte, with the reason.
        EXPECT_FALSE(bodyTaken);
        EXPECT_FALSE(input.headerDone);
        EXPECT_FALSE(input.ringBuffer.hasStorage());
        EXPECT_NE(LogText().find("Error(ziravorov"), std::string::npos) << LogText();
        EXPECT_NE(LogText().find("Unusable block length"), std::string::npos) << LogText();
        EXPECT_TRUE(Reported("inputStatus").empty());
        return;
    }
    EXPECT_TRUE(bodyTaken);
    EXPECT_TRUE(input.headerDone);
    EXPECT_TRUE(input.icecastFlag);
    EXPECT_EQ(input.MetaInterval, c.interval);
    EXPECT_EQ(input.MetadataFlag, c.metadata);
    EXPECT_EQ(input.inputIsVorbis, c.vorbis);
    EXPECT_EQ(input.ringBuffer.capacity(), c.ringCapacity);
    EXPECT_EQ(Reported("inputStreamName"), c.streamNames);
    EXPECT_EQ(Reported("inputStreamType"), c.streamTypes);
    EXPECT_EQ(Reported("inputServerType"), Texts{"Icecast/Icecast2"});
    EXPECT_EQ(Reported("outputStreamType"), Texts{"MP3"});
    EXPECT_EQ(Reported("mainStatus"), Texts{"Transcoding......"});
    EXPECT_EQ(Reported("inputStatus"), Texts{"Connected"});
    EXPECT_EQ(LogText().find("Error(ziravorov"), std::string::npos) << LogText();
}

INSTANTIATE_TEST_SUITE_P(Lines, HeaderLineTest, ::testing::ValuesIn(kHeaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Lines after the start of the body (trailers, even a status line) change nothing.
TEST_F(HeaderTest, HeaderLinesAfterTheBodyBeganAreIgnored) {
    ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "icy-metaint:8192"}));
    ASSERT_TRUE(StartBody());
    ASSERT_TRUE(FeedHeader({"HTTP/1.1 404 Not Found", "icy-metaint:16", "X-Trailer: 1"}));
    EXPECT_EQ(Input().MetaInterval, 8192);
    EXPECT_EQ(Reported("mainStatus"), Texts{"Transcoding......"});
    EXPECT_EQ(LogText().find("Error(ziravorov"), std::string::npos) << LogText();
}

TEST_F(HeaderTest, BlankLineAloneIsAShoutcastHeader) {
    std::string blank = "\r\n";
    EXPECT_EQ(header_callback(blank.data(), 1, 2, nullptr), 2u);
    ASSERT_TRUE(StartBody());
    EXPECT_EQ(Reported("inputServerType"), Texts{"ShoutCast"});
    EXPECT_EQ(Input().ringBuffer.capacity(), 20u * 8192);  // the default block length
}

TEST_F(HeaderTest, OggOutputIsReportedAsVorbis) {
    Engine().settings.isOggVorbis = 1;
    ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "icy-metaint:8192"}));
    ASSERT_TRUE(StartBody());
    EXPECT_EQ(Reported("outputStreamType"), Texts{"Vorbis"});
}

TEST_F(HeaderTest, HeaderLinesAreLoggedWithoutRelyingOnATerminatingZero) {
    std::string line = "icy-metaint:8192\r\nGARBAGE";
    EXPECT_EQ(header_callback(line.data(), 1, 18, nullptr), 18u);
    EXPECT_EQ(Input().MetaInterval, 8192);
    const std::string log = LogText();
    EXPECT_NE(log.find("Icy-Metaint is 8192, MetadataFlag is 1"), std::string::npos) << log;
    EXPECT_NE(log.find("Header: icy-metaint:8192\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("GARBAGE"), std::string::npos) << log;
}

// A hostile source must not steer the terminal of whoever reads the log.
TEST_F(HeaderTest, HeaderLinesAreLoggedWithControlBytesMasked) {
    ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "icy-name:Evil\x1b]0;owned\x07\rX"}));
    const std::string log = LogText();
    EXPECT_NE(log.find("Header: icy-name:Evil?]0;owned??X\n"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find('\x07'), std::string::npos);
}

TEST_F(HeaderTest, UnknownContentTypeEndsTheTransfer) {
    EXPECT_FALSE(FeedHeader({"HTTP/1.0 200 OK", "Content-Type: audio/flac", "icy-metaint:8192"}));
    EXPECT_NE(LogText().find("Error(ziravorov"), std::string::npos) << LogText();
    EXPECT_NE(LogText().find("Unknown content type \"audio/flac\" from the source: neither MP3, "
                             "AAC nor Ogg, the transfer ends"),
              std::string::npos)
        << LogText();
    EXPECT_TRUE(Reported("inputStreamType").empty());
    EXPECT_FALSE(Input().headerDone);
}

TEST_F(HeaderTest, LongHeaderValuesAreCutTo1023Bytes) {
    const std::string name(3000, 'n');
    ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "icy-name:" + name}));
    EXPECT_EQ(Reported("inputStreamName"), Texts{name.substr(0, 1023)});
}

// ---- the header inside the body ----

struct InlineCase {
    const char* name;
    std::string header;
    std::int32_t interval;
    bool metadata;
    Texts streamNames;
    const char* logLine;
};

const InlineCase kInlineCases[] = {
    {"ShoutcastWithInterval",
     "ICY 200 OK\r\nicy-name:Station\r\nicy-metaint:8000\r\n\r\n",
     8000,
     true,
     {"Station"},
     "Stream: (Station)\nMetaInterval: (8000)\n"},
    {"NoIntervalGivesDefaultButLogsZero",
     "ICY 200 OK\r\nicy-name:Plain\r\n\r\n",
     8192,
     false,
     {"Plain"},
     "MetaInterval: (0)"},
    {"NoNameIsReportedEmpty",
     "ICY 200 OK\r\nicy-metaint:4096\r\n\r\n",
     4096,
     true,
     {""},
     "Stream: ()"},
};

void PrintTo(const InlineCase& c, std::ostream* out) {
    *out << c.name;
}

class InlineHeaderTest : public HeaderTest, public ::testing::WithParamInterface<InlineCase> {};

TEST_P(InlineHeaderTest, IsReadFromTheFirstBodyBytes) {
    const InlineCase& c = GetParam();
    const std::string audio(100, '\0');
    ASSERT_EQ(FeedBody(c.header + audio, 4096), c.header.size() + audio.size());
    const InputState& input = Input();
    EXPECT_TRUE(input.headerDone);
    EXPECT_FALSE(input.icecastFlag);
    EXPECT_FALSE(input.inputIsVorbis);
    EXPECT_EQ(input.MetaInterval, c.interval);
    EXPECT_EQ(input.MetadataFlag, c.metadata);
    EXPECT_EQ(input.ringBuffer.capacity(), 20ull * c.interval);
    EXPECT_EQ(BlockAudioArrived(), audio.size());
    EXPECT_EQ(Reported("inputStreamName"), c.streamNames);
    EXPECT_EQ(Reported("inputServerType"), Texts{"Shoutcast"});
    EXPECT_EQ(Reported("inputStreamType"), Texts{"MP3"});
    EXPECT_EQ(Reported("outputStreamType"), Texts{});
    EXPECT_EQ(Reported("mainStatus"), Texts{"Transcoding......"});
    EXPECT_EQ(Reported("inputStatus"), (Texts{"Reading input header...", "Connected"}));
    EXPECT_NE(LogText().find(c.logLine), std::string::npos) << LogText();
    // The chunk that completed the header counts whole.
    EXPECT_EQ(InputBytesReported(), c.header.size() + audio.size());
}

INSTANTIATE_TEST_SUITE_P(Headers, InlineHeaderTest, ::testing::ValuesIn(kInlineCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The end mark is found wherever the chunks are cut, also across two chunks.
TEST_F(HeaderTest, EndMarkSplitAcrossChunksIsFound) {
    const std::string header = "ICY 200 OK\r\nicy-metaint:64\r\n\r\n";
    const std::string audio = "0123456789";
    for (std::size_t cut = 1; cut < header.size() + audio.size(); ++cut) {
        SCOPED_TRACE(cut);
        ResetInputState();
        const std::string all = header + audio;
        std::string first = all.substr(0, cut), second = all.substr(cut);
        EXPECT_EQ(write_callback(first.data(), 1, first.size(), nullptr), first.size());
        EXPECT_EQ(write_callback(second.data(), 1, second.size(), nullptr), second.size());
        ASSERT_TRUE(Input().headerDone);
        EXPECT_EQ(Input().MetaInterval, 64);
        EXPECT_EQ(BlockAudioArrived(), audio.size());
    }
}

TEST_F(HeaderTest, HeaderWithoutEndMarkFillingTheBufferEndsTheTransfer) {
    const std::string header = "ICY 200 OK\nicy-metaint:8192\n\n";  // bare line feeds never end
    std::string body = header + std::string(3000, 'x');
    EXPECT_EQ(FeedBody(body, 1000), 2000u);  // the third chunk no longer fits
    EXPECT_FALSE(Input().headerDone);
    EXPECT_NE(LogText().find("Error(ziravorov"), std::string::npos) << LogText();
    EXPECT_EQ(DecodedFrames(), 0u);
}

TEST_F(HeaderTest, HeaderChunksBeforeTheEndMarkAreOnlyCollected) {
    const std::string part = "ICY 200 OK\r\nicy-name:Slow\r\n";
    EXPECT_EQ(FeedBody(part, part.size()), part.size());
    EXPECT_FALSE(Input().headerDone);
    EXPECT_EQ(Input().headerLength, part.size());
    EXPECT_EQ(InputBytesReported(), 0u);
    EXPECT_EQ(Reported("inputStatus"), Texts{"Reading input header..."});
}

TEST_F(HeaderTest, InlineHeaderMayHoldZeroBytes) {
    std::string header = "ICY 200 OK\r\nicy-name:A";
    header += '\0';
    header += "B\r\nicy-metaint:32\r\n\r\n";
    ASSERT_EQ(FeedBody(header, 7), header.size());
    EXPECT_EQ(Input().MetaInterval, 32);
    EXPECT_TRUE(Input().MetadataFlag);
}

}  // namespace
