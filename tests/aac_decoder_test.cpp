// The AAC decoder: AAC-LC and HE-AAC (v1 and v2) streams reach the engine frame by frame with
// their own rate and channel count, however the blocks cut them; junk, truncated frames and rate
// changes in the stream cost only the damaged frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "decoders/aac_decoder.h"
#include "input/ziravorov.h"
#include "tests/support/aac_fixture.h"
#include "tests/support/adts_writer.h"
#include "tests/support/audio_check.h"
#include "input/input_state.h"
#include "tests/support/input_session.h"
#include "tests/support/paced_source.h"

namespace {

using Texts = std::vector<std::string>;

struct Received {
    std::vector<float> samples;
    std::vector<int> rates;     // of every frame
    std::vector<int> channels;  // of every frame
    std::vector<int> frames;    // sample frames of every frame
};
Received received;

int Capture(const float* samples, int frameCount, int channelCount, int sampleRate) {
    received.samples.insert(received.samples.end(), samples, samples + frameCount * channelCount);
    received.rates.push_back(sampleRate);
    received.channels.push_back(channelCount);
    received.frames.push_back(frameCount);
    return 1;
}

// The first channel without the encoder's last frames, which fade out.
std::vector<float> FirstChannel(const Received& audio) {
    std::vector<float> left;
    const auto channels = static_cast<std::size_t>(audio.channels.empty() ? 1 : audio.channels[0]);
    const std::size_t end = audio.samples.size() - std::min(audio.samples.size(), 4096 * channels);
    for (std::size_t i = 0; i < end; i += channels) left.push_back(audio.samples[i]);
    return left;
}

class AacDecoderTest : public InputSessionTest {
  protected:
    void SetUp() override {
        InputSessionTest::SetUp();
        received = {};
        AacDecoder().sampleConsumer = Capture;
        aac_decoder_init(&AacDecoder());
    }

    // Feeds the bytes in blocks as the source input does, then flushes.
    static void DecodeInBlocks(const std::string& bytes, std::size_t blockBytes) {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        for (std::size_t at = 0; at < bytes.size(); at += blockBytes) {
            handle_aac_block(data + at, std::min(blockBytes, bytes.size() - at));
        }
        aac_decoder_flush(&AacDecoder());
    }

    // The same bytes decoded afresh in one block: what every other cut must give.
    static Received ReferenceDecode(const std::string& bytes) {
        const Received kept = received;
        received = {};
        aac_decoder_init(&AacDecoder());
        DecodeInBlocks(bytes, bytes.size());
        Received reference = received;
        received = kept;
        aac_decoder_init(&AacDecoder());
        return reference;
    }
};

struct StreamCase {
    const char* name;
    std::string (*make)();
    int rate;
    int channels;
    const char* description;
    int toneHz;  // 0: the stream holds no steady tone
};

void PrintTo(const StreamCase& c, std::ostream* out) {
    *out << c.name;
}

const StreamCase kStreamCases[] = {
    {"LcStereo44k", [] { return MakeAacTone({44100, 2, 1.0}); }, 44100, 2, "44100Hz/Stereo AAC",
     440},
    {"LcMono48k", [] { return MakeAacTone({48000, 1, 1.0, 1000, 64}); }, 48000, 1,
     "48000Hz/Mono AAC", 1000},
    // libfaad2 cannot know in advance whether a low-rate stream carries SBR, and decodes every
    // such stream at twice its rate.
    {"LcStereo22kAtTwiceItsRate", [] { return MakeAacTone({22050, 2, 1.0, 440, 48}); }, 44100, 2,
     "44100Hz/Stereo AAC", 440},
    // libfaad2 puts a mono stream out on two channels; the engine gets one.
    {"HeAacV1Mono", [] { return MakeSynthAdts({7, 1.0, true, false}); }, 44100, 1,
     "44100Hz/Mono HE-AAC", 0},
    {"HeAacV2", [] { return MakeSynthAdts({6, 1.0, true, true}); }, 48000, 2,
     "48000Hz/Stereo HE-AAC v2", 0},
};

class AacStreamTest : public AacDecoderTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(AacStreamTest, FramesCarryTheirRateAndChannels) {
    const StreamCase& c = GetParam();
    const std::string stream = c.make();
    ASSERT_FALSE(stream.empty());
    DecodeInBlocks(stream, 3000);
    ASSERT_FALSE(received.rates.empty());
    EXPECT_EQ(*std::min_element(received.rates.begin(), received.rates.end()), c.rate);
    EXPECT_EQ(*std::max_element(received.rates.begin(), received.rates.end()), c.rate);
    EXPECT_EQ(*std::min_element(received.channels.begin(), received.channels.end()), c.channels);
    EXPECT_EQ(*std::max_element(received.channels.begin(), received.channels.end()), c.channels);
    EXPECT_EQ(Reported("inputBitrate"), Texts{c.description});
    // About the stream's second of audio, not a frame lost.
    const auto frames = static_cast<double>(received.samples.size()) / c.channels;
    EXPECT_NEAR(frames / c.rate, 1.0, 0.1);
    EXPECT_GT(RootMeanSquare(received.samples, static_cast<std::size_t>(c.rate) / 10), 0.01);
    if (c.toneHz > 0) {
        EXPECT_NEAR(EstimateToneHz(FirstChannel(received), c.rate, 4096), c.toneHz, 2.0);
    }
    EXPECT_EQ(LogText().find("Skipped"), std::string::npos) << LogText();
}

INSTANTIATE_TEST_SUITE_P(Streams, AacStreamTest, ::testing::ValuesIn(kStreamCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every cut of the stream into blocks, mid-frame or not, gives every frame exactly once (libfaad2
// puts nothing out for the first frame of a stream).
TEST_F(AacDecoderTest, BlocksCutAnywhereDecodeEveryFrame) {
    for (const std::string& stream : {MakeAacTone({44100, 2, 0.5}), MakeSynthAdts({6, 0.5})}) {
        ASSERT_FALSE(stream.empty());
        const std::size_t frames = AdtsFrameSpans(stream).size();
        ASSERT_EQ(AdtsFrameSpans(stream).back().offset + AdtsFrameSpans(stream).back().byteCount,
                  stream.size());
        const Received reference = ReferenceDecode(stream);
        ASSERT_EQ(reference.frames.size(), frames - 1);
        for (std::size_t block : {1u, 7u, 100u, 417u, 1000u, 8192u, 20000u}) {
            SCOPED_TRACE(block);
            SetUp();
            DecodeInBlocks(stream, block);
            EXPECT_EQ(received.frames, reference.frames);
            EXPECT_TRUE(received.samples == reference.samples);
        }
    }
}

// Damage between and inside frames: what is not a whole frame is skipped with a Debug line, and
// the frames around it decode as if it were not there.
struct DamageCase {
    const char* name;
    // Changes the clean stream, given its frames; returns how many of its frames are lost.
    std::size_t (*damage)(std::string& stream, const std::vector<AdtsFrameSpan>& frames);
};

void PrintTo(const DamageCase& c, std::ostream* out) {
    *out << c.name;
}

std::string RandomJunk(std::size_t byteCount, unsigned seed) {
    std::mt19937 random(seed);
    std::string junk(byteCount, '\0');
    for (char& byte : junk) byte = static_cast<char>(random() & 0xFF);
    return junk;
}

// A header that claims a frame of the longest length, with nothing behind it.
const std::string kLoneHeader("\xFF\xF1\x50\x80\xFF\xFF\xFC", 7);

const DamageCase kDamageCases[] = {
    {"JunkBeforeTheFirstFrame",
     [](std::string& s, const std::vector<AdtsFrameSpan>&) -> std::size_t {
         s.insert(0, RandomJunk(3000, 1));
         return 0;
     }},
    {"JunkBetweenFrames",
     [](std::string& s, const std::vector<AdtsFrameSpan>& f) -> std::size_t {
         s.insert(f[20].offset, RandomJunk(500, 2));
         s.insert(f[10].offset, std::string(100, '\xFF'));
         s.insert(f[5].offset, std::string(40, '\0'));
         return 0;
     }},
    {"LoneHeaderBetweenFrames",
     [](std::string& s, const std::vector<AdtsFrameSpan>& f) -> std::size_t {
         s.insert(f[8].offset, kLoneHeader);
         return 0;
     }},
    {"JunkLongerThanTheBuffer",
     [](std::string& s, const std::vector<AdtsFrameSpan>& f) -> std::size_t {
         s.insert(f[12].offset, RandomJunk(3 * kAacBufferBytes, 3));
         return 0;
     }},
    {"TruncatedFrame",
     [](std::string& s, const std::vector<AdtsFrameSpan>& f) -> std::size_t {
         s.erase(f[10].offset + f[10].byteCount / 2, f[10].byteCount - f[10].byteCount / 2);
         return 1;
     }},
    {"TruncatedFirstFrame",
     [](std::string& s, const std::vector<AdtsFrameSpan>& f) -> std::size_t {
         s.erase(0, f[0].byteCount / 3);
         return 1;
     }},
    {"TruncatedLastFrame",
     [](std::string& s, const std::vector<AdtsFrameSpan>& f) -> std::size_t {
         s.resize(f.back().offset + f.back().byteCount / 2);
         return 1;
     }},
    {"DamagedHeaderLength",
     [](std::string& s, const std::vector<AdtsFrameSpan>& f) -> std::size_t {
         s[f[15].offset + 4] |= '\x80';  // 1024 bytes longer: it runs over the next frames
         return 1;
     }},
};

class AacDamageTest : public AacDecoderTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(AacDamageTest, OnlyDamagedFramesAreLost) {
    for (const std::string& clean : {MakeAacTone({44100, 2, 1.0}), MakeSynthAdts({6, 1.0})}) {
        SetUp();
        ASSERT_FALSE(clean.empty());
        const std::vector<AdtsFrameSpan> frames = AdtsFrameSpans(clean);
        std::string damaged = clean;
        const std::size_t lost = GetParam().damage(damaged, frames);
        DecodeInBlocks(damaged, 1000);
        // The first frame gives no samples; a lost first frame makes the second the first.
        const std::size_t silentFirst = 1;
        EXPECT_EQ(received.frames.size(), frames.size() - lost - silentFirst);
        EXPECT_NE(LogText().find("Skipped "), std::string::npos) << LogText();
        EXPECT_EQ(LogText().find("Error("), std::string::npos) << LogText();
        EXPECT_EQ(AacDecoder().heldBytes, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Damage, AacDamageTest, ::testing::ValuesIn(kDamageCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AacDecoderTest, RateAndChannelChangesReachTheEngineWithTheNextFrame) {
    const std::string first = MakeAacTone({44100, 2, 0.5});
    const std::string second = MakeAacTone({48000, 1, 0.5, 1000, 64});
    const std::string third = MakeSynthAdts({6, 0.5});
    ASSERT_FALSE(first.empty() || second.empty());
    DecodeInBlocks(first + second + third, 1500);
    const std::size_t firstFrames = AdtsFrameSpans(first).size() - 1;
    const std::size_t secondFrames = AdtsFrameSpans(second).size() - 1;
    ASSERT_EQ(received.rates.size(), firstFrames + secondFrames + AdtsFrameSpans(third).size() - 1);
    EXPECT_EQ(received.rates[firstFrames - 1], 44100);
    EXPECT_EQ(received.channels[firstFrames - 1], 2);
    EXPECT_EQ(received.rates[firstFrames], 48000);
    EXPECT_EQ(received.channels[firstFrames], 1);
    EXPECT_EQ(received.rates.back(), 48000);
    EXPECT_EQ(received.channels.back(), 2);
    EXPECT_EQ(Reported("inputBitrate"),
              (Texts{"44100Hz/Stereo AAC", "48000Hz/Mono AAC", "48000Hz/Stereo HE-AAC v2"}));
}

TEST_F(AacDecoderTest, GarbageGivesNoAudioAndKeepsNothing) {
    for (const std::string& garbage :
         {RandomJunk(100000, 4), std::string(50000, '\xFF'), std::string(20000, '\0')}) {
        SetUp();
        const auto* data = reinterpret_cast<const unsigned char*>(garbage.data());
        handle_aac_block(data, garbage.size());
        EXPECT_LT(AacDecoder().heldBytes, kAacBufferBytes);
        aac_decoder_flush(&AacDecoder());
        EXPECT_TRUE(received.rates.empty());
        EXPECT_TRUE(Reported("inputBitrate").empty());
        EXPECT_EQ(AacDecoder().heldBytes, 0u);
        EXPECT_NE(LogText().find("Skipped "), std::string::npos);
    }
}
}  // namespace

// An AAC station's body goes through the ICY layer like an MP3 one: the metadata texts are cut
// out before the decoder (a title inside a frame would damage it) and their titles handed on.
TEST_F(AacDecoderTest, StationBodyLosesItsTitlesBeforeTheDecoder) {
    const std::string audio = MakeAacTone({44100, 2, 2.0});
    ASSERT_FALSE(audio.empty());
    PacedSourceOptions station;
    station.contentType = "audio/aacp";
    station.metaInterval = 1000;
    station.titles = TitlesEvery(1.0, audio.size() / 2.0, {"First Song", "Second Song"});
    ASSERT_TRUE(FeedHeader({"HTTP/1.0 200 OK", "icy-metaint:1000", "Content-Type: audio/aacp"}));
    const std::string body = PacedSource::IcyBody(audio, station);
    ASSERT_EQ(FeedBody(body, 1500), body.size());
    FinishTransfer(Input(), false);
    EXPECT_EQ(received.frames.size(), AdtsFrameSpans(audio).size() - 1);
    EXPECT_EQ(Reported("inputStreamType"), Texts{"AAC"});
    EXPECT_EQ(Reported("inputBitrate"), Texts{"44100Hz/Stereo AAC"});
    EXPECT_EQ(Reported("metadata"), (Texts{"First Song", "Second Song"}));
}
