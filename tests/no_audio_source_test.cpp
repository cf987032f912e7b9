// Sources whose bytes give no audio the relay can use: random bytes labelled audio/mpeg, and Ogg
// Vorbis audio at a rate the intake cannot convert. Bytes keep coming, so neither libcurl's speed
// limit nor the stall rule ends them; after 10 s without usable audio the source has failed. The
// run ends with an Error line that says so, or, with SourceReconnect=1, the source counts as
// failed and is opened again. Each test runs a real transfer for about ten seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/status.h"
#include "decoders/mp3decoder.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "input/ziravorov.h"
#include "tests/support/input_session.h"
#include "tests/support/log_lines.h"
#include "tests/support/noise.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/paced_source.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kBytesPerSecond = 16000;

PacedSourceOptions StationOptions(const std::string& contentType) {
    PacedSourceOptions options;
    options.contentType = contentType;
    options.metaInterval = 0;
    options.bytesPerSecond = kBytesPerSecond;
    options.maxStreamMs = 30000;
    return options;
}

// Half a minute of random bytes: far longer than the source is given.
std::string RandomBytes() {
    Noise noise(19);
    return noise.Bytes(static_cast<std::size_t>(30 * kBytesPerSecond));
}

class NoAudioSourceTest : public MockDestinationInputTest {
  protected:
    // Runs the relay as the program does and returns how long it took.
    static Clock::duration Run(const std::string& url) {
        Engine().settings.sourceUrl.assign(url);
        const auto start = Clock::now();
        EXPECT_EQ(StartTranscoding(), 1);
        return Clock::now() - start;
    }
    void ExpectEndedAfterTheLimit(Clock::duration took) {
        EXPECT_GE(took, 10s) << LogText();
        EXPECT_LT(took, 20s) << LogText();
    }
    static std::string RunEnd(const std::string& url) {
        return "Error(ziravorov:N): The run ends: the source " + url +
               " gave no audio that can be relayed for 10 s ";
    }
};

TEST_F(NoAudioSourceTest, RandomBytesLabelledMp3EndTheRunAfterTenSeconds) {
    PacedSource source(RandomBytes(), StationOptions("audio/mpeg"));
    ASSERT_TRUE(source.listening());
    const std::string url = source.url();
    ExpectEndedAfterTheLimit(Run(url));

    const std::vector<std::string> errors = ErrorMessagesOf(LogText());
    ASSERT_EQ(errors.size(), 2u) << LogText();
    EXPECT_EQ(errors[0], "Error(ziravorov:N): Source " + url +
                             " gave no audio for 10 s: its bytes do not decode as MP3");
    EXPECT_EQ(errors[1], RunEnd(url) + "before any audio was relayed");
    EXPECT_EQ(DecodedFrames(), 0u);
    const std::vector<std::string> status = Reported("mainStatus");
    EXPECT_NE(std::find(status.begin(), status.end(), "Transcoding......"), status.end());
    EXPECT_EQ(status.back(), "Done");
}

// 500 Hz is below every rate a stream has; the intake refuses it, so its audio is no audio.
TEST_F(NoAudioSourceTest, RefusedSourceRateEndsTheRunAfterTenSeconds) {
    OggLinkSpec link;
    link.frameCount = 30 * 44100;
    link.noiseLevel = 0.05f;
    const std::string ogg =
        PatchIdentification(MakeOggVorbis({link}), kRateOffset, LittleEndian32(500));
    ASSERT_FALSE(ogg.empty());
    PacedSourceOptions options = StationOptions("application/ogg");
    options.bytesPerSecond = static_cast<double>(ogg.size()) / 30;
    PacedSource source(ogg, options);
    ASSERT_TRUE(source.listening());
    // The decoded audio goes to the real intake, which refuses its rate.
    VorbisDecoder().sampleConsumer = nullptr;
    const std::string url = source.url();
    ExpectEndedAfterTheLimit(Run(url));

    const std::vector<std::string> errors = ErrorMessagesOf(LogText());
    ASSERT_EQ(errors.size(), 3u) << LogText();
    EXPECT_EQ(errors[0].rfind("Error(libzembril:N): Error initializing resampler: 500 Hz cannot "
                              "be converted to 44100 Hz",
                              0),
              0u)
        << errors[0];
    EXPECT_EQ(errors[1], "Error(ziravorov:N): Source " + url +
                             " gave no audio that can be relayed for 10 s: its 500 Hz cannot be "
                             "converted to 44100 Hz");
    // The first blocks count until the intake has refused their rate.
    EXPECT_EQ(errors[2].rfind(RunEnd(url), 0), 0u) << errors[2];
}

// With SourceReconnect=1 the source is opened again, as after any failure; no line claims that it
// plays again, and the run goes on until it is stopped.
TEST_F(NoAudioSourceTest, WithSourceReconnectTheSourceCountsAsFailed) {
    PacedSource source(RandomBytes(), StationOptions("audio/mpeg"));
    ASSERT_TRUE(source.listening());
    Engine().settings.sourceReconnect = 1;
    SetLogLevel(LOG_INFO);
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        const auto deadline = Clock::now() + 40s;
        while (!done && source.Requests().size() < 2 && Clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        Control().stopRequested.store(1);
    });
    const Clock::duration took = Run(source.url());
    done = true;
    stopper.join();

    EXPECT_GE(took, 10s);
    EXPECT_GE(source.Requests().size(), 2u);
    const std::string log = LogText();
    std::vector<std::string> errors = ErrorMessagesOf(log);
    ASSERT_FALSE(errors.empty()) << log;
    EXPECT_EQ(errors[0], "Error(ziravorov:N): Source " + source.url() +
                             " gave no audio for 10 s: its bytes do not decode as MP3");
    EXPECT_EQ(log.find("Source playing again"), std::string::npos) << log;
    EXPECT_EQ(log.find("The run ends"), std::string::npos) << log;
}

}  // namespace
