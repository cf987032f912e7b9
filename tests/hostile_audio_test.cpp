// Garbage audio: random bytes, sync-word storms, truncated frames and flipped bytes through the
// MP3 decoder into a connected engine, and random, truncated and damaged Ogg streams (also ones
// whose identification header claims absurd rates or channel counts) through the Ogg decoder
// thread. The decoders skip what they cannot use, the decoder thread always ends, and the
// destination only ever receives a valid MP3 stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "decoders/mp3decoder.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/audio_check.h"
#include "tests/support/engine_session.h"
#include "tests/support/input_session.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/noise.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/stream_feed.h"

namespace {

std::atomic<std::uint64_t> encodedFrames{0};
void CountEncodedFrames(const float*, int frameCount) {
    encodedFrames += static_cast<std::uint64_t>(frameCount);
}

// Roughly one byte in oneIn, from `from` on, replaced by a random one.
std::string Flipped(std::string bytes, Noise& noise, std::size_t oneIn, std::size_t from = 0) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if (noise.OneIn(oneIn)) bytes[i] = static_cast<char>(noise.Below(256));
    }
    return bytes;
}

class HostileAudioTest : public InputSessionTest {
  protected:
    void SetUp() override {
        InputSessionTest::SetUp();
        encodedFrames = 0;
        SetEncodeBlockTap(CountEncodedFrames);
    }
    void TearDown() override {
        SetEncodeBlockTap(nullptr);
        InputSessionTest::TearDown();
    }
    // The engine streams MP3 (44100 Hz stereo) to an Icecast2 mock, and the decoders hand their
    // samples to it instead of to the session's recorder.
    void ConnectEngine() {
        server_ = std::make_unique<MockServer>();
        ASSERT_TRUE(server_->listening());
        server_->SetReply("HTTP/1.0 200 OK\r\n\r\n");
        ConfigureDestination(ServerKind::kIcecast2, server_->port());
        ASSERT_EQ(ConnectToServer(), 1);
        Mp3Decoder().sampleConsumer = nullptr;
        VorbisDecoder().sampleConsumer = nullptr;
    }
    // Ends the connection and decodes what the server received.
    DecodedAudio FinishAndDecode() {
        EXPECT_EQ(Engine().destination.connected.load(), 1)
            << "a send failed or the engine gave up";
        FlushEncoder();
        DisconnectFromServer();
        EXPECT_TRUE(server_->WaitForClosed(0, 15000));
        return DecodeMp3(AfterLogin(server_->Received(0)));
    }
    std::unique_ptr<MockServer> server_;
};

// ---- MP3 ----

struct Mp3Case {
    const char* name;
    std::function<std::string(Noise&)> make;
    bool audioSurvives;
};

const std::string& CleanMp3() {
    static const std::string clean = MakeMp3Tone({44100, 2, 2.0});
    return clean;
}

const Mp3Case kMp3Cases[] = {
    {"RandomBytes", [](Noise& noise) { return noise.Bytes(300 * 1024); }, false},
    {"SyncWordStorm",
     [](Noise& noise) {
         std::string bytes;
         while (bytes.size() < 300 * 1024) {
             bytes += std::string("\xff\xfb\x90\x64", 4) + noise.Bytes(noise.Below(600));
         }
         return bytes;
     },
     false},
    {"TruncatedFrames",
     [](Noise& noise) {
         const std::string clean = CleanMp3();
         const std::vector<std::size_t> offsets = Mp3FrameOffsets(clean);
         std::string bytes;
         for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
             const std::size_t length = offsets[i + 1] - offsets[i];
             bytes += clean.substr(offsets[i], noise.OneIn(2) ? length : noise.Below(length));
         }
         return bytes;
     },
     true},
    {"FlippedBytes", [](Noise& noise) { return Flipped(CleanMp3(), noise, 300); }, true},
    {"RateAndChannelChanges",
     [](Noise&) {
         std::string bytes;
         for (const Mp3Format& format :
              {Mp3Format{8000, 1, 0.4}, Mp3Format{48000, 2, 0.4}, Mp3Format{22050, 2, 0.4},
               Mp3Format{11025, 1, 0.4}, Mp3Format{44100, 2, 0.4}}) {
             bytes += MakeMp3Tone(format);
         }
         return bytes;
     },
     true},
};

void PrintTo(const Mp3Case& c, std::ostream* out) {
    *out << c.name;
}

class Mp3GarbageTest : public HostileAudioTest, public ::testing::WithParamInterface<Mp3Case> {};

TEST_P(Mp3GarbageTest, DestinationReceivesAValidStream) {
    ConnectEngine();
    Noise noise(7);
    const std::string bytes = GetParam().make(noise);
    ASSERT_FALSE(bytes.empty());
    mp3_decoder_init(&Mp3Decoder());
    // A block beyond the decoder's buffer is dropped whole, and decoding goes on after it.
    const std::string oversized(kMp3MaxHeldBytes + 1, '\xff');
    handle_mp3_block(reinterpret_cast<const unsigned char*>(oversized.data()), oversized.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t size = std::min<std::size_t>(1 + noise.Below(20000), bytes.size() - at);
        handle_mp3_block(reinterpret_cast<const unsigned char*>(bytes.data()) + at, size);
        at += size;
    }
    mp3_decoder_flush(&Mp3Decoder());
    const DecodedAudio sent = FinishAndDecode();
    if (GetParam().audioSurvives) {
        EXPECT_GT(encodedFrames.load(), 44100u / 2);
        EXPECT_EQ(sent.sampleRate, 44100);
        EXPECT_EQ(sent.channelCount, 2);
        EXPECT_GT(sent.frameCount(), encodedFrames.load() / 2);
    }
    if (sent.frameCount() > 0) {
        EXPECT_EQ(sent.sampleRate, 44100);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Mp3GarbageTest, ::testing::ValuesIn(kMp3Cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A block too big for the MP3 output buffer is refused, again and again; LAME must not see it,
// because once it has reported a too-small buffer, the next such block writes past LAME's own
// buffers. The blocks after it are encoded as usual.
TEST_F(HostileAudioTest, EncoderSurvivesABlockTooBigForItsBuffer) {
    ConnectEngine();
    SineGenerator tone(44100, {440, 660});
    const std::vector<float> huge = tone.Next(441000);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(ProcessSamples(huge.data(), 441000, 2, 44100), -1);
    }
    EXPECT_NE(LogText().find("mp3 buffer is not big enough!"), std::string::npos);
    EXPECT_EQ(FeedTone(tone, 44100, 1.0), 1);
    const DecodedAudio sent = FinishAndDecode();
    EXPECT_EQ(sent.sampleRate, 44100);
    EXPECT_GT(sent.frameCount(), 40000u);
}

// ---- Ogg Vorbis ----

std::string MakeCleanOgg() {
    OggLinkSpec first;
    first.frameCount = 60000;
    first.noiseLevel = 0.05f;  // a plain tone would leave almost nothing but the headers
    first.comments = {"ARTIST=A", "TITLE=One"};
    OggLinkSpec second = first;
    second.sampleRate = 22050;
    second.channelCount = 1;
    second.comments = {"ARTIST=B", "TITLE=Two"};
    return MakeOggVorbis({first, second});
}

const std::string& CleanOgg() {
    static const std::string clean = MakeCleanOgg();
    return clean;
}

struct OggCase {
    const char* name;
    std::function<std::string(Noise&)> make;
    bool notOgg;         // the open fails with the status text
    bool audioSurvives;  // some samples are decoded
};

const OggCase kOggCases[] = {
    {"RandomBytes", [](Noise& noise) { return noise.Bytes(64 * 1024); }, true, false},
    {"CapturePatternStorm",
     [](Noise& noise) {
         std::string bytes;
         while (bytes.size() < 64 * 1024) bytes += "OggS" + noise.Bytes(noise.Below(300));
         return bytes;
     },
     true, false},
    {"CutInTheHeaders", [](Noise&) { return CleanOgg().substr(0, 3000); }, true, false},
    {"CutInTheAudio",
     [](Noise&) {
         const std::string clean = CleanOgg();
         return clean.substr(0, clean.size() / 3);
     },
     false, true},
    // Past the first link's header pages, whose loss would make the stream no stream at all.
    {"FlippedBytes", [](Noise& noise) { return Flipped(CleanOgg(), noise, 500, 8192); }, false,
     true},
    {"AudioPagesTwice",
     [](Noise&) {
         const std::string clean = CleanOgg();
         return clean + clean.substr(clean.size() / 2);
     },
     false, true},
    {"ZeroChannels",
     [](Noise&) { return PatchIdentification(CleanOgg(), kChannelsOffset, std::string(1, '\0')); },
     true, false},
    {"ManyChannels",
     [](Noise&) { return PatchIdentification(CleanOgg(), kChannelsOffset, "\xff"); }, true, false},
};

void PrintTo(const OggCase& c, std::ostream* out) {
    *out << c.name;
}

class OggGarbageTest : public HostileAudioTest, public ::testing::WithParamInterface<OggCase> {};

TEST_P(OggGarbageTest, DecoderThreadSkipsWhatItCannotUseAndEnds) {
    const OggCase& c = GetParam();
    Noise noise(11);
    const std::string bytes = c.make(noise);
    ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "Content-Type: application/ogg"}));
    const std::size_t fed = FeedBody(bytes, 4096);
    // A stream the decoder cannot open ends the transfer at the next chunk once its thread has
    // ended; anything else is read to its end.
    if (c.notOgg) {
        EXPECT_LE(fed, bytes.size());
    } else {
        ASSERT_EQ(fed, bytes.size());
    }
    FinishTransfer(Input(), false);  // returns only once the decoder thread has ended
    const std::vector<std::string> status = Reported("mainStatus");
    const bool reportedNotOgg =
        std::find(status.begin(), status.end(), "Input does not appear to be an Ogg bitstream.") !=
        status.end();
    EXPECT_EQ(reportedNotOgg, c.notOgg);
    if (c.audioSurvives) {
        EXPECT_GT(DecodedFrames(), 10000u);
    } else if (c.notOgg) {
        EXPECT_EQ(DecodedFrames(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, OggGarbageTest, ::testing::ValuesIn(kOggCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileAudioTest, RandomlyDamagedOggStreamsAlwaysEnd) {
    const std::string clean = CleanOgg();
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        SetUp();
        Noise noise(seed);
        const std::string bytes =
            Flipped(clean.substr(0, noise.Below(clean.size())), noise, 50 + noise.Below(2000));
        ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "Content-Type: application/ogg"}));
        // A stream damaged past opening ends the transfer early; none runs on forever.
        ASSERT_LE(FeedBody(bytes, 1 + noise.Below(9000)), bytes.size());
        FinishTransfer(Input(), false);
        TearDown();
    }
}

// A rate the header claims but no stream has: resampling 1024 samples "at 1 Hz" to 44100 Hz
// would make 45 million frames a block, more than the MP3 encoder's buffer takes, for minutes;
// the filter from 11930467 Hz alone would take 2.1 GB.
TEST_F(HostileAudioTest, AbsurdSourceRatesAreRefusedNotResampled) {
    for (const std::uint32_t rate :
         {1u, 100u, 999u, 768001u, 1000003u, 11930467u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(rate);
        SetUp();
        ConnectEngine();
        const std::string bytes =
            PatchIdentification(CleanOgg(), kRateOffset, LittleEndian32(rate));
        ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "Content-Type: application/ogg"}));
        ASSERT_EQ(FeedBody(bytes, 4096), bytes.size());
        FinishTransfer(Input(), false);
        EXPECT_NE(LogText().find("Error initializing resampler"), std::string::npos);
        // The second link's own rate (22050 Hz) is converted as usual.
        EXPECT_GT(encodedFrames.load(), 44100u / 2);
        const DecodedAudio sent = FinishAndDecode();
        EXPECT_EQ(sent.sampleRate, 44100);
        TearDown();
    }
}

}  // namespace
