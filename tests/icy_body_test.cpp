// The body of an MP3 station: audio blocks and ICY metadata blocks cut out of the chunks that
// libcurl delivers, audio decoded as it arrives, titles handed on where they stand in the audio,
// and the ways a body ends the transfer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/status.h"
#include "engine/libzembril.h"
#include "input/icy_metadata.h"
#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/input_session.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/paced_source.h"

namespace {

using Texts = std::vector<std::string>;

// ---- titles inside a metadata text ----

struct TitleCase {
    const char* name;
    std::string text;
    bool found;
    std::string title;
};

const TitleCase kTitleCases[] = {
    {"Plain", "StreamTitle='Artist - Song';StreamUrl='';", true, "Artist - Song"},
    {"ApostrophesInside", "StreamTitle='fo'o'b'ar';", true, "fo'o'b'ar"},
    {"PossessiveInside", "StreamTitle='It's Here';", true, "It's Here"},
    {"Empty", "StreamTitle='';", true, ""},
    {"UrlBeforeTitle", "StreamUrl='http://ads.example/x.jpg';StreamTitle='Real';", true, "Real"},
    {"UrlNamingTheKeyBeforeTitle", "StreamUrl='http://x/?StreamTitle=';StreamTitle='Real';", true,
     "Real"},
    {"KeyInAnyCase", "streamtitle='Lower';", true, "Lower"},
    {"OnlyOtherKeys", "StreamUrl='http://x/';Whatever='x';", false, ""},
    {"UnfinishedFieldBeforeTitle", "StreamUrl='http://x/StreamTitle='Real';", false, ""},
    {"ZeroPaddingEndsTheText", std::string("StreamTitle='A';\0\0\0\0", 20), true, "A"},
    {"NoClosingMark", "StreamTitle='Unfinished", false, ""},
    {"ClosingMarkWithoutSemicolon", "StreamTitle='Almost'", false, ""},
    {"NoApostrophe", "StreamTitle=nothing;", false, ""},
    {"ZeroByteCutsTheTitleOff", std::string("StreamTitle='A\0B';", 18), false, ""},
};

void PrintTo(const TitleCase& c, std::ostream* out) {
    *out << c.name;
}

class IcyTitleTest : public ::testing::TestWithParam<TitleCase> {};

TEST_P(IcyTitleTest, TitleIsTheStreamTitleValueUpToItsClosingMark) {
    const TitleCase& c = GetParam();
    std::string title = "untouched";
    EXPECT_EQ(ExtractIcyTitle(c.text, title), c.found);
    if (c.found) {
        EXPECT_EQ(title, c.title);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, IcyTitleTest, ::testing::ValuesIn(kTitleCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the body ----

class IcyBodyTest : public InputSessionTest {
  protected:
    void StartMp3Station(int interval) {
        ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "icy-metaint:" + std::to_string(interval),
                                "Content-Type: audio/mpeg"}));
    }
    static std::string Audio(std::size_t byteCount, char fill = 'a') {
        return std::string(byteCount, fill);
    }
    static std::string Meta(const std::string& title) { return PacedSource::MetadataBlock(title); }
};

struct LengthByteCase {
    const char* name;
    unsigned char lengthByte;
    std::string text;  // 16 × length bytes of text
    Texts titles;
    bool endsTransfer;
    const char* logLine;
};

std::string Padded(const std::string& text, std::size_t byteCount) {
    std::string padded = text;
    padded.resize(byteCount, '\0');
    return padded;
}

const LengthByteCase kLengthByteCases[] = {
    {"Zero", 0, "", {}, false, "Metadata size 0\n"},
    {"Two",
     2,
     Padded("StreamTitle='Two Blocks';", 32),
     {"Two Blocks"},
     false,
     "Metadata size 32\n"},
    {"Longest",
     127,
     Padded("StreamTitle='" + std::string(1900, 'L') + "';", 2032),
     {std::string(1900, 'L')},
     false,
     "Metadata size 2032\n"},
    // The byte is an unsigned count: ICY allows 255 × 16 bytes of metadata.
    {"UnsignedCount",
     0x82,
     Padded("StreamTitle='" + std::string(2065, 'U') + "';", 2080),
     {std::string(2065, 'U')},
     false,
     "Metadata size 2080\n"},
    {"LargestCount",
     0xFF,
     Padded("StreamTitle='" + std::string(4000, 'F') + "';", 4080),
     {std::string(4000, 'F')},
     false,
     "Metadata size 4080\n"},
    // A length byte in front of what is no metadata text: the stream is out of step.
    {"AudioTakenForMetadata", 200, std::string(3200, 'b'), {}, true, "Metadata size 3200\n"},
    {"BinaryTakenForMetadata",
     128,
     Padded("\xff\xfb\x90\x64StreamTitle='x';", 2048),
     {},
     true,
     "Metadata size 2048\n"},
    {"KeyWithoutEqualsSign", 2, Padded("StreamTitle'x';", 32), {}, true, "Metadata size 32\n"},
};

void PrintTo(const LengthByteCase& c, std::ostream* out) {
    *out << c.name;
}

class LengthByteTest : public IcyBodyTest, public ::testing::WithParamInterface<LengthByteCase> {};

TEST_P(LengthByteTest, ReadsTheTextOrEndsTheTransfer) {
    const LengthByteCase& c = GetParam();
    constexpr int kInterval = 1000;
    StartMp3Station(kInterval);
    const std::string body = Audio(kInterval) + std::string(1, static_cast<char>(c.lengthByte)) +
                             c.text + Audio(kInterval, 'b') + Meta("Next") + Audio(kInterval, 'c');
    const std::size_t accepted = FeedBody(body, body.size());
    EXPECT_EQ(accepted == body.size(), !c.endsTransfer);
    EXPECT_NE(LogText().find(c.logLine), std::string::npos) << LogText();
    Texts titles = c.titles;
    if (!c.endsTransfer) titles.push_back("Next");
    EXPECT_EQ(Reported("metadata"), titles);
    if (c.endsTransfer) {
        EXPECT_NE(LogText().find("Error(ziravorov"), std::string::npos) << LogText();
        EXPECT_NE(LogText().find("Metadata ERROR!"), std::string::npos);
        EXPECT_EQ(Engine().titles.current.view(), "");
    } else {
        EXPECT_EQ(Engine().titles.current.view(), "Next");
        // The last audio block has gone to the decoder; its metadata is due next.
        EXPECT_EQ(Input().ringBuffer.count(), 0u);
        EXPECT_EQ(Input().audioLeftInBlock, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(LengthBytes, LengthByteTest, ::testing::ValuesIn(kLengthByteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(IcyBodyTest, RepeatedTitleIsReportedOnce) {
    constexpr int kInterval = 500;
    StartMp3Station(kInterval);
    std::string body;
    for (const char* title : {"One", "One", "Two", "Two", "One"})
        body += Audio(kInterval) + Meta(title);
    body += Audio(kInterval);
    ASSERT_EQ(FeedBody(body, 300), body.size());
    EXPECT_EQ(Reported("metadata"), (Texts{"One", "Two", "One"}));
    EXPECT_NE(LogText().find("Metadata = (Two)"), std::string::npos);
}

// A chunk that brings many blocks at once is worked off at once, not one block per chunk, and
// every block whose metadata has fully arrived is taken: its title is not held back.
TEST_F(IcyBodyTest, TakesEveryBlockWhoseMetadataHasArrived) {
    constexpr int kInterval = 256;
    StartMp3Station(kInterval);
    std::string body;
    for (int block = 0; block < 12; ++block)
        body += Audio(kInterval) + Meta("T" + std::to_string(block));
    ASSERT_EQ(FeedBody(body, body.size()), body.size());
    EXPECT_EQ(Input().ringBuffer.count(), 0u);
    EXPECT_EQ(Reported("metadata").size(), 12u);
    EXPECT_EQ(InputBytesReported(), body.size());

    // The next block's audio is taken at once; its metadata waits for the length byte, then for
    // the whole text, and only then does the next block begin.
    const std::string next = Audio(kInterval);
    ASSERT_EQ(FeedBody(next, next.size()), next.size());
    EXPECT_EQ(Input().ringBuffer.count(), 0u);
    EXPECT_EQ(Input().audioLeftInBlock, 0u);
    const std::string meta = Meta("T12");
    ASSERT_EQ(FeedBody(meta.substr(0, 5), 5), 5u);
    EXPECT_EQ(Reported("metadata").size(), 12u);
    EXPECT_EQ(Input().ringBuffer.count(), 5u);
    ASSERT_EQ(FeedBody(meta.substr(5), meta.size() - 5), meta.size() - 5);
    EXPECT_EQ(Reported("metadata").back(), "T12");
    EXPECT_EQ(Input().ringBuffer.count(), 0u);
    EXPECT_EQ(Input().audioLeftInBlock, static_cast<std::uint64_t>(kInterval));
}

// An interval shorter than a long metadata text: the block waits until its whole text is there,
// so the stream stays aligned however the chunks fall.
TEST_F(IcyBodyTest, ShortIntervalWaitsForTheWholeMetadataText) {
    constexpr int kInterval = 16;
    const std::string longTitle(600, 't');
    for (std::size_t chunk : {1u, 7u, 16u, 100u, 5000u}) {
        SCOPED_TRACE(chunk);
        SetUp();
        StartMp3Station(kInterval);
        std::string body;
        for (int block = 0; block < 6; ++block) {
            body +=
                Audio(kInterval) + Meta(block % 2 ? longTitle : "short " + std::to_string(block));
        }
        body += Audio(kInterval) + Audio(kInterval);
        ASSERT_EQ(FeedBody(body, chunk), body.size());
        EXPECT_EQ(Reported("metadata"),
                  (Texts{"short 0", longTitle, "short 2", longTitle, "short 4", longTitle}));
        EXPECT_EQ(LogText().find("Metadata ERROR"), std::string::npos);
        TearDown();
    }
}

TEST_F(IcyBodyTest, BodyWithoutMetadataIsTakenInBlocksOfTheDefaultLength) {
    ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "Content-Type: audio/mpeg"}));
    const std::string body = Audio(8192 * 5 + 100);
    ASSERT_EQ(FeedBody(body, 4096), body.size());
    EXPECT_EQ(Input().ringBuffer.count(), 100u);
    EXPECT_TRUE(Reported("metadata").empty());
}

TEST_F(IcyBodyTest, StopRequestRefusesTheChunk) {
    StartMp3Station(1000);
    Control().stopRequested.store(1);
    std::string chunk = Audio(100);
    EXPECT_EQ(write_callback(chunk.data(), 1, chunk.size(), nullptr), 0u);
    EXPECT_EQ(Input().ringBuffer.count(), 0u);
    EXPECT_NE(LogText().find("Stop requested"), std::string::npos);
}

TEST_F(IcyBodyTest, FullRingBufferEndsTheTransfer) {
    StartMp3Station(1000);  // room for 20 blocks; without metadata blocks nothing is taken
    Input().MetadataFlag = true;
    const std::string body = Audio(1000) + std::string(1, '\x7f');  // waits for 2032 bytes of text
    ASSERT_EQ(FeedBody(body, body.size()), body.size());
    const std::string flood = Audio(Input().ringBuffer.capacity());
    EXPECT_EQ(FeedBody(flood, flood.size()), 0u);
    EXPECT_NE(LogText().find("Hey, but circular buffer is full...perhaps your machine isn't fast "
                             "enough..."),
              std::string::npos);
}

// ---- real MP3 audio ----

// Frames that lie wholly within the first byteCount bytes of the stream.
std::size_t FramesWithin(const std::string& mp3, std::size_t byteCount) {
    const std::vector<std::size_t> offsets = Mp3FrameOffsets(mp3);
    std::size_t frames = 0;
    for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
        if (offsets[i + 1] <= byteCount) ++frames;
    }
    return frames;
}

// The audio in front of a metadata text is decoded before its title is handed on, the audio after
// it only afterwards.
TEST_F(IcyBodyTest, TitleIsHandedOnWhereItStandsInTheAudio) {
    constexpr int kInterval = 2000;
    constexpr int kTitleBlock = 5;  // the metadata after this block carries the new title
    const std::string audio = MakeMp3Tone({44100, 2, 2.0});
    ASSERT_FALSE(audio.empty());
    PacedSourceOptions options;
    options.metaInterval = kInterval;
    options.titles = {{0, "First"}, {(kTitleBlock + 1) * kInterval, "Second"}};
    const std::string body = PacedSource::IcyBody(audio, options);

    StartMp3Station(kInterval);
    ASSERT_EQ(FeedBody(body, 1500), body.size());

    const std::size_t framesBefore = FramesWithin(audio, (kTitleBlock + 1) * kInterval);
    std::size_t decodedBefore = 0;
    bool seen = false;
    for (const InputEvent& event : Events()) {
        if (event.slot == "metadata" && event.text == "Second") seen = true;
        if (event.slot == "decoded" && !seen) ++decodedBefore;
    }
    ASSERT_TRUE(seen);
    // A frame is decoded once it is whole; the first one waits for the next header to confirm it.
    EXPECT_LE(decodedBefore, framesBefore);
    EXPECT_GE(decodedBefore + 1, framesBefore);
    EXPECT_EQ(Reported("inputBitrate"), Texts{"44100Hz/Stereo MP3"});
    EXPECT_EQ(Engine().titles.sourceDescription.view(), "44100Hz/Stereo MP3");
}

// A slow station with long blocks (icy-metaint 32768 at 24 kbit/s: 11 s of audio per block)
// reaches the decoder as its bytes arrive, not a block at a time, whatever the chunks: one byte
// each, cut inside a metadata text, or cut right after a length byte.
TEST_F(IcyBodyTest, SlowStationIsDecodedBeforeItsFirstBlockIsComplete) {
    constexpr int kInterval = 32768;
    const Mp3Format format{22050, 1, 25.0, 440.0, 0.5f, 24};
    const std::string audio = MakeMp3Tone(format);
    ASSERT_GT(audio.size(), 2u * kInterval);
    const std::size_t samplesPerFrame = 576;  // MPEG-2 Layer III
    const std::size_t frames = Mp3FrameOffsets(audio).size();
    PacedSourceOptions options;
    options.metaInterval = kInterval;
    options.titles = {{0, "First"}, {2 * kInterval, "Second"}};
    const std::string body = PacedSource::IcyBody(audio, options);
    constexpr std::size_t kHalfBlock = kInterval / 2;

    // Fed from the middle of the first block, these cut the first metadata text as named.
    const std::pair<const char*, std::size_t> kChunks[] = {{"OneByte", 1},
                                                           {"InsideTheText", kHalfBlock + 5},
                                                           {"AfterTheLengthByte", kHalfBlock + 1},
                                                           {"Hundred", 100}};
    for (const auto& [name, chunkBytes] : kChunks) {
        SCOPED_TRACE(name);
        SetUp();
        StartMp3Station(kInterval);
        ASSERT_EQ(FeedBody(body.substr(0, kHalfBlock), chunkBytes), kHalfBlock);
        EXPECT_GE(DecodedFrames() + samplesPerFrame,
                  FramesWithin(audio, kHalfBlock) * samplesPerFrame);
        EXPECT_TRUE(Reported("metadata").empty());

        ASSERT_EQ(FeedBody(body.substr(kHalfBlock), chunkBytes), body.size() - kHalfBlock);
        EXPECT_EQ(Reported("metadata"), (Texts{"First", "Second"}));
        FinishTransfer(Input(), false);
        EXPECT_EQ(DecodedFrames(), frames * samplesPerFrame);
        EXPECT_EQ(Reported("inputBitrate"), Texts{"22050Hz/Mono MP3"});
        EXPECT_EQ(LogText().find("Metadata ERROR"), std::string::npos);
        EXPECT_EQ(LogText().find("cannot take a block"), std::string::npos);
        TearDown();
    }
}

// The end of the source decodes every audio byte still buffered (without metadata, the part of
// the last block) and drops a metadata text cut off by the end.
struct EndCase {
    const char* name;
    bool metadata;           // icy-metaint: the length of the audio, so one block holds it all
    std::string afterAudio;  // what comes after the audio
    Texts titles;
};

void PrintTo(const EndCase& c, std::ostream* out) {
    *out << c.name;
}

const EndCase kEndCases[] = {
    {"NoMetadata", false, "", {}},
    {"EndsInsideAnAudioBlock", true, "", {}},
    {"EndsAfterTheLengthByte", true, PacedSource::MetadataBlock("Cut off").substr(0, 1), {}},
    {"EndsInsideTheText", true, PacedSource::MetadataBlock("Cut off").substr(0, 9), {}},
    {"EndsAfterAWholeText", true, PacedSource::MetadataBlock("Whole"), {"Whole"}},
};

class SourceEndTest : public IcyBodyTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(SourceEndTest, DecodesWhatIsStillBuffered) {
    const EndCase& c = GetParam();
    const std::string audio = MakeMp3Tone({44100, 2, 1.0});
    const std::size_t frames = Mp3FrameOffsets(audio).size();
    if (c.metadata) {
        StartMp3Station(static_cast<int>(audio.size()) + (c.afterAudio.empty() ? 1 : 0));
    } else {
        ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "Content-Type: audio/mpeg"}));
    }
    const std::string body = audio + c.afterAudio;
    ASSERT_EQ(FeedBody(body, 4096), body.size());
    // Without metadata the ring buffer keeps the rest of the last block for the end; with it,
    // every audio byte reaches the decoder as it arrives and each frame is decoded once whole.
    if (!c.metadata) {
        EXPECT_LT(DecodedFrames(), frames * 1152);
    }
    FinishTransfer(Input(), false);
    EXPECT_EQ(DecodedFrames(), frames * 1152);
    EXPECT_EQ(Reported("metadata"), c.titles);
    EXPECT_EQ(LogText().find("Metadata ERROR"), std::string::npos);
    // A cut text stays behind, not read as audio.
    const std::size_t cutText = c.titles.empty() ? c.afterAudio.size() : 0;
    EXPECT_EQ(Input().ringBuffer.count(), cutText);
}

INSTANTIATE_TEST_SUITE_P(Ends, SourceEndTest, ::testing::ValuesIn(kEndCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(IcyBodyTest, StopLeavesTheBufferedRestUndecoded) {
    const std::string audio = MakeMp3Tone({44100, 2, 1.0});
    const std::string body = PacedSource::IcyBody(audio, [] {
        PacedSourceOptions options;
        options.metaInterval = 3000;
        return options;
    }());
    StartMp3Station(3000);
    ASSERT_EQ(FeedBody(body, 4096), body.size());
    const std::uint64_t decoded = DecodedFrames();
    FinishTransfer(Input(), true);
    EXPECT_EQ(DecodedFrames(), decoded);
}

// ---- Ogg sources: the bytes wait in the ring buffer for the decoder thread ----

class OggBodyTest : public IcyBodyTest {
  protected:
    // The header state of an Ogg station, without starting the decoder thread, so the test alone
    // reads the ring buffer.
    static void PrepareOggStation(int interval) {
        InputState& input = Input();
        input.inputIsVorbis = true;
        input.MetadataFlag = true;
        input.MetaInterval = interval;
        input.headerDone = true;
        CreateRingBuffer(input);
    }
};

TEST_F(OggBodyTest, BytesArePassedOnUnchangedDespiteAnInterval) {
    PrepareOggStation(100);
    const std::string body = Audio(100) + Meta("Not a title") + Audio(300);
    ASSERT_EQ(FeedBody(body, 64), body.size());
    std::string held(body.size(), '\0');
    EXPECT_EQ(Input().ringBuffer.read(held.data(), held.size()), kRingDone);
    EXPECT_EQ(held, body);
    EXPECT_TRUE(Reported("metadata").empty());
    EXPECT_EQ(InputBytesReported(), body.size());
}

TEST_F(OggBodyTest, ChunksAreDroppedWhileTheDestinationIsGone) {
    PrepareOggStation(1000);
    const std::size_t capacity = Input().ringBuffer.capacity();
    const std::string fill = Audio(capacity - 10);
    ASSERT_EQ(FeedBody(fill, fill.size()), fill.size());
    Engine().destination.connected.store(0);
    const std::string more = Audio(100);
    EXPECT_EQ(FeedBody(more + more, 100), 200u);  // accepted, but dropped
    EXPECT_EQ(Input().ringBuffer.count(), fill.size());
    const std::string log = LogText();
    const std::size_t first = log.find("dropping source data");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("dropping source data", first + 1), std::string::npos);  // once per outage

    Engine().destination.connected.store(1);
    // Connected, but no decoder thread to make room: a full buffer ends the transfer.
    EXPECT_EQ(FeedBody(more, 100), 0u);
    Engine().destination.connected.store(0);
}

// With the decoder thread: it reads through the ring buffer, and the end of the transfer lets it
// finish the buffered rest before it is joined.
TEST_F(OggBodyTest, DecoderThreadDecodesTheWholeStreamBeforeItIsJoined) {
    const std::string ogg = MakeOggVorbis({{44100, 2, 44100, 440.0, 0.5f, {"TITLE=Tone"}}});
    ASSERT_FALSE(ogg.empty());
    ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "Content-Type: application/ogg"}));
    ASSERT_EQ(FeedBody(ogg, 4096), ogg.size());
    ASSERT_TRUE(Input().vorbisDecoderRunning);  // started by the first body chunk
    FinishTransfer(Input(), false);
    EXPECT_FALSE(Input().vorbisDecoderRunning);
    EXPECT_EQ(DecodedFrames(), 44100u);
    EXPECT_EQ(DecodedRate(), 44100);
}

TEST_F(OggBodyTest, StopEndsTheDecoderThreadWithoutTheRest) {
    const std::string ogg = MakeOggVorbis({{44100, 2, 44100, 440.0, 0.5f, {}}});
    ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "Content-Type: application/ogg"}));
    ASSERT_EQ(FeedBody(ogg.substr(0, ogg.size() / 2), 4096), ogg.size() / 2);
    FinishTransfer(Input(), true);  // returns: the thread is not left waiting for more bytes
    EXPECT_LT(DecodedFrames(), 44100u);
}

}  // namespace
