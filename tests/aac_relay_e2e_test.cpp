// AAC stations relayed end to end: the real `transcode` binary reads a paced local station that
// sends ADTS (AAC-LC from FFmpeg, HE-AAC v2 written bit by bit) with ICY titles, and sends MP3 or
// Ogg Vorbis to a real Icecast2 server on loopback. The listener's stream decodes at the
// configured rate and channels, and the station's titles reach the mount: as the server's title
// for MP3, as a chained stream per title for Ogg.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/aac_fixture.h"
#include "tests/support/adts_writer.h"
#include "tests/support/audio_check.h"
#include "tests/support/child_process.h"
#include "tests/support/icecast_server.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/stream_listener.h"
#include "tests/support/temp_dir.h"

namespace {

using Texts = std::vector<std::string>;

constexpr int kRunTimeoutMs = 60000;

const Texts kTitles = {"Artist One - Song A", "Artist Two - Song B", "Artist Three - Song C",
                       "Artist Four - Song D"};

struct AacStation {
    std::string stream;
    double seconds = 0;
};

struct RelayCase {
    const char* name;
    AacStation (*make)(double seconds);
    const char* inputDescription;  // "Input Bitrate" on standard output
    const char* encode;            // "LAME" or "OGG"
    int toneHz;                    // 0: no steady tone to find in the relayed audio
};

void PrintTo(const RelayCase& c, std::ostream* out) {
    *out << c.name;
}

AacStation LcStereo(double seconds) {
    return {MakeAacTone({44100, 2, seconds, 440, 64}), seconds};
}

// 48 kHz out of the decoder: the engine's resampler takes it to 44.1 kHz.
AacStation HeAacV2(double seconds) {
    return {MakeSynthAdts({6, seconds, true, true}), seconds};
}

const RelayCase kRelayCases[] = {
    {"LcToMp3", LcStereo, "44100Hz/Stereo AAC", "LAME", 440},
    {"LcToOgg", LcStereo, "44100Hz/Stereo AAC", "OGG", 440},
    {"HeAacV2ToMp3", HeAacV2, "48000Hz/Stereo HE-AAC v2", "LAME", 0},
    {"HeAacV2ToOgg", HeAacV2, "48000Hz/Stereo HE-AAC v2", "OGG", 0},
};

// Titles 3 s apart for Ogg output, longer than its shortest chained stream (2 s).
double SecondsPerTitle(const RelayCase& c) {
    return std::string(c.encode) == "OGG" ? 3.0 : 1.5;
}

class AacRelayTest : public ::testing::TestWithParam<RelayCase> {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_ICECAST();
        curl_global_init(CURL_GLOBAL_DEFAULT);
        server_ = std::make_unique<IcecastServer>();
        ASSERT_TRUE(server_->started()) << server_->failure();
    }

    TempDir dir_;
    std::unique_ptr<IcecastServer> server_;
};

// The titles of the chained streams in order, repeats and the streams before the first title
// left out.
Texts OggTitles(const std::vector<OggLink>& links) {
    Texts titles;
    for (const OggLink& link : links) {
        const std::string title = link.Comment("ARTIST") + " - " + link.Comment("TITLE");
        if (title == " - " || title == "Relay Test - ") continue;
        if (titles.empty() || titles.back() != title) titles.push_back(title);
    }
    return titles;
}

DecodedAudio JoinedAudio(const std::vector<OggLink>& links) {
    DecodedAudio joined;
    for (const OggLink& link : links) {
        joined.sampleRate = link.audio.sampleRate;
        joined.channelCount = link.audio.channelCount;
        joined.samples.insert(joined.samples.end(), link.audio.samples.begin(),
                              link.audio.samples.end());
    }
    return joined;
}

TEST_P(AacRelayTest, ListenerGetsCleanAudioAndEveryTitle) {
    const RelayCase& c = GetParam();
    const bool ogg = std::string(c.encode) == "OGG";
    const double secondsEach = SecondsPerTitle(c);
    const AacStation aac = c.make(secondsEach * kTitles.size() + 0.5);
    ASSERT_FALSE(aac.stream.empty());
    PacedSourceOptions options;
    options.contentType = "audio/aacp";
    options.bytesPerSecond = aac.stream.size() / aac.seconds;
    // A metadata block at least every half second, however low the bit rate.
    options.metaInterval = static_cast<int>(options.bytesPerSecond / 2);
    options.titles = TitlesEvery(secondsEach, options.bytesPerSecond, kTitles);
    // Sends of a tenth of a second, as a station's would be, however low the bit rate.
    options.chunkBytes = static_cast<std::size_t>(options.bytesPerSecond / 10);
    PacedSource station(aac.stream, options);
    ASSERT_TRUE(station.listening());

    const std::string mount = ogg ? "/aac.ogg" : "/aac";
    const StationConfig settings =
        StationConfig::LoopbackRelay(station.url(), server_->port(), server_->sourcePassword())
            .Set("ServerMountpoint", mount)
            .Set("ServerDescription", "Relay Test")
            .SetOutput(c.encode)
            .Set("LameQuality", 7)
            .Set("OggQuality", 2)
            .Set("LogLevel", 2)
            .Set("LogFile", dir_.file("transcode.log"));

    TitleWatcher watcher(server_->port(), mount, kRunTimeoutMs);
    std::unique_ptr<StreamListener> listener;
    std::thread listen([&] {
        if (server_->WaitForMount(mount, 15000)) {
            listener = std::make_unique<StreamListener>(
                "http://127.0.0.1:" + std::to_string(server_->port()) + mount, kRunTimeoutMs);
        }
    });
    const ChildResult run = RunProgram(
        {TRANSCODE_BINARY, "-c", settings.Write(dir_.file("relay.cfg"))}, dir_.path(),
        kRunTimeoutMs);
    listen.join();
    const Texts serverTitles = watcher.Stop();
    const std::string received = listener ? listener->Finish() : std::string();

    EXPECT_EQ(run.exitStatus, 1) << Shown(run);
    EXPECT_NE(run.out.find("Input Stream Type : (AAC)"), std::string::npos) << Shown(run);
    EXPECT_NE(run.out.find(std::string("Input Bitrate : (") + c.inputDescription + ")"),
              std::string::npos)
        << Shown(run);
    EXPECT_NE(run.out.find("Main Status : (Done)"), std::string::npos);

    DecodedAudio audio;
    if (ogg) {
        const std::vector<OggLink> links = DecodeOgg(received);
        EXPECT_EQ(OggTitles(links), kTitles);
        audio = JoinedAudio(links);
    } else {
        EXPECT_EQ(serverTitles, kTitles);
        audio = DecodeMp3(received);
    }
    ASSERT_EQ(audio.sampleRate, 44100) << received.size() << " bytes received";
    ASSERT_EQ(audio.channelCount, 2);
    // Nearly the whole station: the listener joins once the mount exists.
    EXPECT_GT(audio.frameCount(), (aac.seconds - 2.0) * 44100) << received.size();
    for (int channel = 0; channel < 2; ++channel) {
        std::vector<float> samples = audio.Channel(channel);
        samples.resize(samples.size() - 4410);  // leave out the encoders' padding at the end
        EXPECT_GT(RootMeanSquare(samples, 4410), 0.01) << "channel " << channel;
        if (c.toneHz > 0) {
            EXPECT_NEAR(EstimateToneHz(samples, 44100, 4410), c.toneHz, 2.0)
                << "channel " << channel;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stations, AacRelayTest, ::testing::ValuesIn(kRelayCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
