// Hostile bytes from the source: broken and oversized header lines, header lines after the body
// has begun, in-body headers cut at every byte or never ending, ICY bodies with random length
// bytes, and titles made of bytes that have a meaning in a URL or a request. Whatever arrives,
// the input ends the transfer with a logged reason or carries on, and the title requests to the
// destination stay well-formed. Meant to run under the address and undefined-behaviour
// sanitizers; every loop is bounded and seeded.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "engine/libzembril.h"
#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/engine_session.h"
#include "tests/support/hostile_feed.h"
#include "tests/support/input_session.h"
#include "tests/support/mock_server.h"
#include "tests/support/noise.h"
#include "tests/support/paced_source.h"

namespace {

using Texts = std::vector<std::string>;

class HostileInputTest : public InputSessionTest {
  protected:
    static bool HeaderLine(std::string_view line) {
        std::string copy(line);  // libcurl's bytes carry no terminating zero either
        return header_callback(copy.data(), 1, copy.size(), nullptr) == copy.size();
    }
    bool LogsAnEndReason() const { return LogsATransferEndReason(LogText()); }
    static void ExpectRingConsistent() {
        const InputState& input = Input();
        EXPECT_LE(input.ringBuffer.count(), input.ringBuffer.capacity());
        if (input.ringBuffer.hasStorage()) {
            EXPECT_GE(input.MetaInterval, 1);
            EXPECT_LE(input.MetaInterval, kMaxMetaInterval);
            EXPECT_GE(input.ringBuffer.capacity(), 2u * input.MetaInterval);
        }
    }
};

// ---- header lines through libcurl's header callback ----

struct HeaderLineCase {
    const char* name;
    std::vector<std::string> lines;  // passed as they are: no line end is added
    std::int32_t interval;
    bool bodyTaken;
};

const HeaderLineCase kHeaderLineCases[] = {
    {"HugeInterval", {"icy-metaint:99999999999\r\n"}, INT_MAX, false},
    // Read into 32 bits by wrapping, this would have become a plausible 8192.
    {"IntervalWrappingTo8192", {"icy-metaint:4294975488\r\n"}, INT_MAX, false},
    {"HugeNegativeInterval", {"icy-metaint:-99999999999\r\n"}, INT_MIN, false},
    {"NegativeInterval", {"icy-metaint:-8192\r\n"}, -8192, false},
    {"IntervalWithoutDigits", {"icy-metaint:\r\n"}, 0, false},
    {"IntervalWithoutLineEnd", {"icy-metaint:8192"}, 8192, true},
    {"IntervalAfterZeroByte",
     {std::string("icy-metaint:\0"
                  "8192\r\n",
                  19)},
     0,
     false},
    {"HugeNameLine",
     {"icy-name:" + std::string(64 * 1024, 'n') + "\r\n", "Content-Type: audio/mpeg\r\n"},
     8192,
     true},
    // A field name counts only at the start of a line.
    {"HugeGarbageLine",
     {std::string(64 * 1024, '\r') + "icy-metaint:64\r\n", std::string(64 * 1024, '\0')},
     8192,
     true},
    {"ZeroBytesAroundTheType",
     {std::string("\0Content-Type: audio/mpeg\0\r\n", 28), "icy-metaint: 300 \r\n"},
     300,
     true},
};

void PrintTo(const HeaderLineCase& c, std::ostream* out) {
    *out << c.name;
}

class HeaderLineTest : public HostileInputTest,
                       public ::testing::WithParamInterface<HeaderLineCase> {};

TEST_P(HeaderLineTest, UnusableHeaderEndsTheTransferWithAReason) {
    const HeaderLineCase& c = GetParam();
    for (const std::string& line : c.lines) ASSERT_TRUE(HeaderLine(line));
    ASSERT_TRUE(HeaderLine("\r\n"));
    if (c.lines.front().size() > 1024 && c.lines.front().rfind("icy-name:", 0) == 0) {
        EXPECT_EQ(Reported("inputStreamName"), Texts{std::string(1023, 'n')});
    }
    // Silence with empty metadata blocks: a 1-byte chunk, 16 KiB, then more than any buffer.
    const std::size_t interval = c.bodyTaken ? static_cast<std::size_t>(c.interval) : 8192;
    std::string body;
    while (body.size() < 2 * 1024 * 1024) body += std::string(interval, '\0') + '\0';
    const std::size_t sizes[] = {1, 16 * 1024, body.size() - 1 - 16 * 1024};
    std::size_t at = 0;
    std::size_t accepted = 0;
    for (const std::size_t size : sizes) {
        std::string chunk = body.substr(at, size);
        at += size;
        if (write_callback(chunk.data(), 1, size, nullptr) != size) break;
        accepted += size;
    }
    EXPECT_EQ(accepted, c.bodyTaken ? 1 + 16 * 1024u : 0u);
    EXPECT_EQ(Input().MetaInterval, c.interval);
    EXPECT_TRUE(LogsAnEndReason()) << LogText();
    ExpectRingConsistent();
    FinishTransfer(Input(), false);
}

INSTANTIATE_TEST_SUITE_P(Lines, HeaderLineTest, ::testing::ValuesIn(kHeaderLineCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Header lines after the body has begun (chunked-transfer trailers, or the header of a final
// response after an informational one) must not change the layout the buffers were made for.
TEST_F(HostileInputTest, HeaderLinesAfterTheBodyChangeNothing) {
    constexpr int kInterval = 16;
    ASSERT_TRUE(FeedHeader({"HTTP/1.1 200 OK", "icy-metaint:16", "Content-Type: audio/mpeg"}));
    std::string body;
    for (int block = 0; block < 40; ++block) {
        body +=
            std::string(kInterval, 'a') + PacedSource::MetadataBlock("T" + std::to_string(block));
    }
    ASSERT_EQ(FeedBody(body.substr(0, body.size() / 2), 7), body.size() / 2);
    for (const char* line : {"Content-Type: application/ogg\r\n", "icy-metaint:0\r\n", "\r\n",
                             "Content-Type: audio/mpeg\r\n", "icy-metaint:100000\r\n"}) {
        ASSERT_TRUE(HeaderLine(line));
    }
    EXPECT_EQ(FeedBody(body.substr(body.size() / 2), 7), body.size() - body.size() / 2);
    // The end of the transfer takes what is buffered in blocks of the header's length.
    FinishTransfer(Input(), false);
    EXPECT_EQ(Input().MetaInterval, kInterval);
    EXPECT_FALSE(Input().inputIsVorbis);
    EXPECT_EQ(Reported("metadata").size(), 40u);
}

// The same through libcurl: a chunked body whose trailer names another block length. libcurl
// hands trailers to the header callback after the body.
TEST_F(HostileInputTest, TrailerOfARealTransferChangesNothing) {
    MockServer destination;
    destination.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    ConfigureDestination(ServerKind::kIcecast2, destination.port());
    std::string body;
    for (int block = 0; block < 40; ++block) {
        body += std::string(16, 'a') + PacedSource::MetadataBlock("T" + std::to_string(block));
    }
    body += std::string(16, 'a') + '\0' + std::string(30, 'a');  // more than a block left over
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", body.size());
    MockServer source;
    source.SetReply(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nicy-metaint:16\r\n"
        "Content-Type: audio/mpeg\r\n\r\n" +
        std::string(size) + body + "\r\n0\r\nicy-metaint:100000\r\n\r\n");
    source.SetCloseAfterReply(true);
    RunInput(("http://127.0.0.1:" + std::to_string(source.port()) + "/").c_str());
    EXPECT_NE(LogText().find("Header after the start of the body, ignored"), std::string::npos);
    EXPECT_EQ(Input().MetaInterval, 16);
    EXPECT_EQ(Reported("metadata").size(), 40u);
    EXPECT_EQ(Reported("mainStatus").back(), "Done");
}

// Random header lines built from the markers, digits, signs, zero bytes and line ends, then a
// random body in random chunks, then a trailer and the end of the transfer.
TEST_F(HostileInputTest, RandomHeadersAndBodiesEndInOrder) {
    const std::string pieces[] = {"icy-metaint:",
                                  "icy-name:",
                                  "Content-Type: ",
                                  "application/ogg",
                                  "audio/mpeg",
                                  "\r\n",
                                  "\n",
                                  std::string(1, '\0'),
                                  "-",
                                  "+",
                                  " ",
                                  "0",
                                  "16",
                                  "8192",
                                  "99999999999",
                                  "2147483648",
                                  "'",
                                  "ICY 200 OK",
                                  "HTTP/1.0 200 OK"};
    for (std::uint32_t seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE(seed);
        SetUp();
        Noise noise(seed);
        const std::size_t lineCount = noise.Below(12);
        for (std::size_t i = 0; i < lineCount; ++i) {
            std::string line;
            const std::size_t pieceCount = 1 + noise.Below(8);
            for (std::size_t p = 0; p < pieceCount; ++p) {
                line += noise.OneIn(4) ? noise.Bytes(noise.Below(40)) : noise.Pick(pieces);
            }
            if (noise.OneIn(10)) line += noise.Bytes(64 * 1024);
            if (!noise.OneIn(4)) line += "\r\n";
            if (!HeaderLine(line)) break;  // a refused line ends the transfer, as in libcurl
        }
        if (LogText().find("Error(ziravorov") != std::string::npos) {
            EXPECT_TRUE(LogsAnEndReason()) << LogText();
            EXPECT_FALSE(Input().headerDone);
            TearDown();
            continue;
        }
        ASSERT_TRUE(HeaderLine("\r\n"));
        const std::string body = noise.Bytes(noise.Below(3) == 0 ? 2 * 1024 * 1024 : 200 * 1024);
        const FeedResult fed = FeedChunks(body, noise);
        if (fed.refusedEnd != 0) {
            EXPECT_TRUE(LogsAnEndReason()) << LogText();
        }
        ExpectRingConsistent();
        ASSERT_TRUE(HeaderLine("icy-metaint:" + std::to_string(noise.Below(200000)) + "\r\n"));
        FinishTransfer(Input(), false);
        TearDown();
    }
}

// ---- a header inside the body ----

const std::string kInlineHeader =
    "ICY 200 OK\r\nicy-name:Split Radio\r\nicy-genre:x\r\nicy-metaint:64\r\n\r\n";

std::string InlineStation() {
    std::string body = kInlineHeader;
    for (const char* title : {"One", "Two", "Three"}) {
        body += std::string(64, 'a') + PacedSource::MetadataBlock(title);
    }
    return body + std::string(64, 'a') + '\0' + std::string(64, 'a');
}

TEST_F(HostileInputTest, InBodyHeaderSplitAtEveryByte) {
    const std::string station = InlineStation();
    for (std::size_t split = 1; split < station.size(); ++split) {
        SCOPED_TRACE(split);
        SetUp();
        ASSERT_EQ(FeedBody(station.substr(0, split), split), split);
        ASSERT_EQ(FeedBody(station.substr(split), station.size()), station.size() - split);
        EXPECT_EQ(Input().MetaInterval, 64);
        EXPECT_EQ(Reported("inputStreamName"), Texts{"Split Radio"});
        EXPECT_EQ(Reported("metadata"), (Texts{"One", "Two", "Three"}));
        // The last block has gone to the decoder; its metadata is due next.
        EXPECT_EQ(Input().ringBuffer.count(), 0u);
        EXPECT_EQ(Input().audioLeftInBlock, 0u);
        TearDown();
    }
    SetUp();
    ASSERT_EQ(FeedBody(station, 1), station.size());  // one byte per chunk
    EXPECT_EQ(Reported("metadata"), (Texts{"One", "Two", "Three"}));
}

struct InlineHeaderCase {
    const char* name;
    std::string bytes;
    std::size_t chunkBytes;
    bool headerDone;
    const char* logLine;
};

std::string HeaderOfLength(std::size_t length) {
    const std::string start = "ICY 200 OK\r\nicy-metaint:64\r\nx-pad:";
    return start + std::string(length - start.size() - 4, 'p') + "\r\n\r\n";
}

const InlineHeaderCase kInlineHeaderCases[] = {
    {"NoEndMark", "ICY 200 OK\r\n" + std::string(5000, 'h'), 100, false, "does not end within"},
    {"BareLineFeeds", "ICY 200 OK\nicy-metaint:64\n\n" + std::string(5000, 'a'), 512, false,
     "does not end within"},
    {"LongestHeader", HeaderOfLength(2047) + std::string(200, 'a'), 333, true, nullptr},
    {"OneByteTooLong", HeaderOfLength(2048) + std::string(200, 'a'), 333, false,
     "does not end within"},
    {"HugeChunkWithoutMark", std::string(3 * 1024 * 1024, 'x'), 3 * 1024 * 1024, false,
     "does not end within"},
    {"ZeroBytesInTheValues",
     std::string("ICY 200 OK\r\nicy-name:A\0B\r\nicy-metaint:\0 64\r\n\r\n", 46) +
         std::string(300, 'a'),
     7, false, "Unusable block length 0"},
};

void PrintTo(const InlineHeaderCase& c, std::ostream* out) {
    *out << c.name;
}

class InlineHeaderTest : public HostileInputTest,
                         public ::testing::WithParamInterface<InlineHeaderCase> {};

TEST_P(InlineHeaderTest, EndsInOrderWhateverTheHeaderLooksLike) {
    const InlineHeaderCase& c = GetParam();
    const std::size_t accepted = FeedBody(c.bytes, c.chunkBytes);
    EXPECT_EQ(Input().headerDone, c.headerDone);
    EXPECT_LE(Input().headerLength, kHeaderBufferBytes - 1);
    if (c.logLine != nullptr) {
        EXPECT_LT(accepted, c.bytes.size());
        EXPECT_NE(LogText().find(c.logLine), std::string::npos) << LogText();
    } else {
        EXPECT_EQ(accepted, c.bytes.size());
    }
    ExpectRingConsistent();
    FinishTransfer(Input(), false);
}

INSTANTIATE_TEST_SUITE_P(Headers, InlineHeaderTest, ::testing::ValuesIn(kInlineHeaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
