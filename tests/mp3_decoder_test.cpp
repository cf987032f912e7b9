// The MP3 decoder: blocks cut anywhere in the stream decode to the same frames, streams joined in
// mid-frame resynchronise, mono, stereo and rate changes reach the engine frame by frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "decoders/mp3decoder.h"
#include "input/ziravorov.h"
#include "tests/support/audio_check.h"
#include "tests/support/input_session.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/noise.h"

namespace {

using Texts = std::vector<std::string>;

struct Received {
    std::vector<float> samples;
    std::vector<int> rates;     // of every block
    std::vector<int> channels;  // of every block
};
Received received;

int Capture(const float* samples, int frameCount, int channelCount, int sampleRate) {
    received.samples.insert(received.samples.end(), samples, samples + frameCount * channelCount);
    received.rates.push_back(sampleRate);
    received.channels.push_back(channelCount);
    return 1;
}

class Mp3DecoderTest : public InputSessionTest {
  protected:
    void SetUp() override {
        InputSessionTest::SetUp();
        received = {};
        Mp3Decoder().sampleConsumer = Capture;
        mp3_decoder_init(&Mp3Decoder());
    }

    // Feeds the bytes in blocks as handle_mp3_block does, then flushes.
    static void DecodeInBlocks(const std::string& bytes, std::size_t blockBytes,
                               bool flush = true) {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        for (std::size_t at = 0; at < bytes.size(); at += blockBytes) {
            handle_mp3_block(data + at, std::min(blockBytes, bytes.size() - at));
        }
        if (flush) mp3_decoder_flush(&Mp3Decoder());
    }
};

// Every cut of the stream into blocks, mid-frame or not, gives every frame exactly once.
TEST_F(Mp3DecoderTest, BlocksCutAnywhereDecodeEveryFrame) {
    const std::string mp3 = MakeMp3Tone({44100, 2, 0.5});
    ASSERT_FALSE(mp3.empty());
    const std::size_t frames = Mp3FrameOffsets(mp3).size();
    const DecodedAudio reference = DecodeMp3(mp3);
    for (std::size_t block : {1u, 100u, 417u, 418u, 1000u, 8192u, 1048576u}) {
        SCOPED_TRACE(block);
        SetUp();
        DecodeInBlocks(mp3, block);
        EXPECT_EQ(received.rates.size(), frames);
        EXPECT_EQ(received.samples.size(), frames * 1152 * 2);
        // The same samples as one decode of the whole stream (which skips no frame either).
        if (reference.samples.size() <= received.samples.size()) {
            EXPECT_TRUE(std::equal(reference.samples.begin(), reference.samples.end(),
                                   received.samples.begin()));
        }
    }
}

// A frame is decoded as soon as it is complete: the last one does not wait for the flush, and the
// flush finds nothing more.
TEST_F(Mp3DecoderTest, EveryFrameIsDecodedOnceComplete) {
    const std::string mp3 = MakeMp3Tone({44100, 2, 0.5});
    const std::size_t frames = Mp3FrameOffsets(mp3).size();
    DecodeInBlocks(mp3, 4096, false);
    EXPECT_EQ(received.rates.size(), frames);
    EXPECT_EQ(Mp3Decoder().mp3pos, 0);
    mp3_decoder_flush(&Mp3Decoder());
    EXPECT_EQ(received.rates.size(), frames);
}

// The tail of a cut-off frame waits for its rest; the flush at the end of the stream drops it.
TEST_F(Mp3DecoderTest, FlushDropsACutOffFrame) {
    const std::string mp3 = MakeMp3Tone({44100, 2, 0.5});
    const std::vector<std::size_t> offsets = Mp3FrameOffsets(mp3);
    DecodeInBlocks(mp3.substr(0, offsets.back() + 100), 4096, false);
    EXPECT_EQ(received.rates.size(), offsets.size() - 1);
    EXPECT_GE(Mp3Decoder().mp3pos, 100);
    mp3_decoder_flush(&Mp3Decoder());
    EXPECT_EQ(Mp3Decoder().mp3pos, 0);
    EXPECT_EQ(received.rates.size(), offsets.size() - 1);
    // The rest of the stream after the flush is a stream of its own: its first whole frame
    // decodes, the bytes before it are skipped.
    DecodeInBlocks(mp3.substr(offsets.back() + 100) + mp3, 4096);
    EXPECT_EQ(received.rates.size(), 2 * offsets.size() - 1);
}

TEST_F(Mp3DecoderTest, StreamJoinedInMidFrameStartsAtTheNextFrame) {
    const std::string mp3 = MakeMp3Tone({44100, 2, 1.0});
    const std::vector<std::size_t> offsets = Mp3FrameOffsets(mp3);
    const std::size_t joinAt = offsets[5] + 100;
    DecodeInBlocks(mp3.substr(joinAt), 2000);
    // The frames after the join; the first one or two may lack their bit reservoir: skipped, or
    // decoded as silence and the fade-in from it.
    const std::size_t after = offsets.size() - 6;
    EXPECT_LE(received.rates.size(), after);
    EXPECT_GE(received.rates.size() + 2, after);
    // From there the tone goes on undisturbed (the encoder's padding at the very end is left out).
    std::vector<float> left;
    for (std::size_t i = 0; i + 2 * 2 * 1152 < received.samples.size(); i += 2) {
        left.push_back(received.samples[i]);
    }
    EXPECT_NEAR(EstimateToneHz(left, 44100, 2 * 1152), 440.0, 1.0);
}

struct ModeCase {
    const char* name;
    Mp3Format format;
    int channels;
    const char* description;
};

void PrintTo(const ModeCase& c, std::ostream* out) {
    *out << c.name;
}

const ModeCase kModeCases[] = {
    {"Stereo", {44100, 2, 0.3}, 2, "44100Hz/Stereo MP3"},
    {"Mono", {44100, 1, 0.3, 440.0, 0.5f, 64}, 1, "44100Hz/Mono MP3"},
    {"Mono48k", {48000, 1, 0.3, 440.0, 0.5f, 64}, 1, "48000Hz/Mono MP3"},
    {"Stereo32k", {32000, 2, 0.3}, 2, "32000Hz/Stereo MP3"},
};

class Mp3ModeTest : public Mp3DecoderTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(Mp3ModeTest, FramesCarryTheirOwnRateAndChannels) {
    const ModeCase& c = GetParam();
    DecodeInBlocks(MakeMp3Tone(c.format), 3000);
    ASSERT_FALSE(received.rates.empty());
    EXPECT_EQ(Mp3Decoder().frameChannels, c.channels);
    EXPECT_EQ(Mp3Decoder().frameSampleRate, c.format.sampleRate);
    EXPECT_EQ(*std::min_element(received.channels.begin(), received.channels.end()), c.channels);
    EXPECT_EQ(*std::max_element(received.channels.begin(), received.channels.end()), c.channels);
    EXPECT_EQ(Reported("inputBitrate"), Texts{c.description});
}

INSTANTIATE_TEST_SUITE_P(Modes, Mp3ModeTest, ::testing::ValuesIn(kModeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mp3DecoderTest, RateChangeMidStreamReachesTheEngineWithTheNextFrame) {
    const std::string first = MakeMp3Tone({44100, 2, 0.5});
    const std::string second = MakeMp3Tone({48000, 1, 0.5, 440.0, 0.5f, 64});
    DecodeInBlocks(first + second, 1500);
    const std::size_t firstFrames = Mp3FrameOffsets(first).size();
    ASSERT_GT(received.rates.size(), firstFrames);
    EXPECT_EQ(received.rates[firstFrames - 1], 44100);
    EXPECT_EQ(received.channels[firstFrames - 1], 2);
    EXPECT_EQ(received.rates.back(), 48000);
    EXPECT_EQ(received.channels.back(), 1);
    EXPECT_EQ(Reported("inputBitrate"), (Texts{"44100Hz/Stereo MP3", "48000Hz/Mono MP3"}));
}

TEST_F(Mp3DecoderTest, LoudStreamIsNotClipped) {
    DecodeInBlocks(MakeMp3Tone({44100, 2, 0.5, 440.0, 1.4f}), 4096);
    ASSERT_FALSE(received.samples.empty());
    const auto [low, high] = std::minmax_element(received.samples.begin(), received.samples.end());
    EXPECT_GT(*high, 1.0f);
    EXPECT_LT(*low, -1.0f);
}

TEST_F(Mp3DecoderTest, BlockThatDoesNotFitIsNotStoredAtAll) {
    Mp3DecoderState& decoder = Mp3Decoder();
    const std::vector<unsigned char> big(kMp3MaxHeldBytes - 10, 0);
    ASSERT_EQ(feed_stream(&decoder, big.data(), big.size()), 0);
    const std::vector<unsigned char> more(11, 1);
    EXPECT_EQ(feed_stream(&decoder, more.data(), more.size()), -1);
    EXPECT_EQ(decoder.mp3pos, static_cast<std::int64_t>(big.size()));
    EXPECT_EQ(feed_stream(&decoder, more.data(), 10), 0);
    EXPECT_EQ(decoder.mp3pos, static_cast<std::int64_t>(kMp3MaxHeldBytes));
    EXPECT_EQ(feed_stream(nullptr, more.data(), 10), 0);
}

// Blocks of the longest accepted interval, each appended after the tail the last one left: every
// frame is decoded (large frames leave long tails).
TEST_F(Mp3DecoderTest, LongestBlocksDecodeEveryFrame) {
    const std::string mp3 = MakeMp3Tone({48000, 2, 60.0, 440.0, 0.5f, 320});
    ASSERT_GT(mp3.size(), 2 * kMp3MaxBlockBytes);
    const std::size_t frames = Mp3FrameOffsets(mp3).size();
    DecodeInBlocks(mp3, kMp3MaxBlockBytes);
    EXPECT_EQ(received.rates.size(), frames);
    EXPECT_EQ(LogText().find("Error("), std::string::npos) << LogText();
}

TEST_F(Mp3DecoderTest, BlockThatCannotBeTakenIsAnError) {
    const std::vector<unsigned char> oversized(kMp3MaxHeldBytes + 1, 0xff);
    handle_mp3_block(oversized.data(), oversized.size());
    EXPECT_NE(LogText().find("Error(ziravorov"), std::string::npos) << LogText();
    EXPECT_NE(LogText().find("The MP3 decoder cannot take a block of"), std::string::npos);
}

TEST_F(Mp3DecoderTest, GarbageIsSkippedWithoutOutput) {
    std::string garbage(5000, '\xff');
    DecodeInBlocks(garbage, 1000);
    EXPECT_TRUE(received.rates.empty());
    EXPECT_TRUE(Reported("inputBitrate").empty());
    EXPECT_LE(Mp3Decoder().mp3pos, 8);
}

struct JunkCase {
    const char* name;
    std::string junk;
};

void PrintTo(const JunkCase& c, std::ostream* out) {
    *out << c.name;
}

std::string RandomBytes(std::size_t byteCount) {
    Noise noise(11);
    return noise.Bytes(byteCount);
}

// An ID3v2 header announcing a tag of 200000 bytes (sizes in 7-bit bytes), then the tag.
std::string LongId3Tag() {
    return std::string("ID3\x04\x00\x00\x00\x0c\x1a\x20", 10) + std::string(200000, 'a');
}

const JunkCase kJunkCases[] = {
    {"RandomBytes", RandomBytes(300000)},
    {"Zeros", std::string(300000, '\0')},
    {"LongId3Tag", LongId3Tag()},
};

class Mp3JunkTest : public Mp3DecoderTest, public ::testing::WithParamInterface<JunkCase> {};

// Junk before a stream is skipped without holding more than one frame's tail between blocks,
// however long it goes on, and the stream after it decodes.
TEST_P(Mp3JunkTest, JunkIsNotHeldAndTheStreamAfterItDecodes) {
    const std::string mp3 = MakeMp3Tone({44100, 2, 0.5});
    const std::string bytes = GetParam().junk + mp3;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t at = 0; at < bytes.size(); at += 1000) {
        handle_mp3_block(data + at, std::min<std::size_t>(1000, bytes.size() - at));
        ASSERT_LE(Mp3Decoder().mp3pos, static_cast<std::int64_t>(kMp3MaxTailBytes)) << at;
    }
    mp3_decoder_flush(&Mp3Decoder());
    const std::size_t frames = Mp3FrameOffsets(mp3).size();
    EXPECT_LE(received.rates.size(), frames);
    EXPECT_GE(received.rates.size() + 1, frames);
    EXPECT_EQ(Reported("inputBitrate"), Texts{"44100Hz/Stereo MP3"});
}

INSTANTIATE_TEST_SUITE_P(Junk, Mp3JunkTest, ::testing::ValuesIn(kJunkCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mp3DecoderTest, InitStartsAFreshStream) {
    const std::string mp3 = MakeMp3Tone({44100, 2, 0.2});
    const std::vector<std::size_t> offsets = Mp3FrameOffsets(mp3);
    DecodeInBlocks(mp3.substr(0, offsets.back() + 100), 700, false);
    EXPECT_GT(Mp3Decoder().mp3pos, 0);
    mp3_decoder_init(&Mp3Decoder());
    EXPECT_EQ(Mp3Decoder().mp3pos, 0);
    EXPECT_EQ(Mp3Decoder().frameSampleRate, 44100);  // frame facts stay
    // The cut-off frame is gone: a whole stream after it gives its own frames, no more.
    received = {};
    DecodeInBlocks(mp3, 700);
    EXPECT_EQ(received.rates.size(), offsets.size());
}

}  // namespace
