// The `transcode` program with Opus output (Encode=OPUS) against a real Icecast2 server: an MP3
// station whose title changes every three seconds of audio, sent several times faster than real
// time, so that the titles reach the relay in bursts. Every title becomes a link of the chained
// stream with its own serial, OpusTags and audio; the listener's stream and the archive pass
// opusinfo and ogginfo without a warning and decode (opusdec) to the station's audio.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tests/support/audio_check.h"
#include "tests/support/background_run.h"
#include "tests/support/child_process.h"
#include "tests/support/icecast_server.h"
#include "tests/support/log_lines.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/opus_links.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/stream_listener.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

constexpr int kRunTimeoutMs = 90000;
constexpr int kToolTimeoutMs = 30000;
constexpr int kTitleCount = 24;
constexpr double kSecondsPerTitle = 3.0;
constexpr double kStationSeconds = kTitleCount * kSecondsPerTitle;
constexpr double kSpeedUp = 8.0;  // the station is sent this many times faster than real time
constexpr double kToneHz = 440.0;
constexpr const char* kMount = "/relay.opus";
constexpr const char* kOpusInfo = "/usr/bin/opusinfo";
constexpr const char* kOggInfo = "/usr/bin/ogginfo";
constexpr const char* kOpusDec = "/usr/bin/opusdec";

std::string SongTitle(int song) {
    return "Song " + std::to_string(song + 1);
}

// "Song 7" is by "Artist 7".
std::string ArtistOf(const std::string& songTitle) {
    const std::string song = "Song ";
    if (songTitle.rfind(song, 0) != 0) return "<no song title: " + songTitle + ">";
    return "Artist " + songTitle.substr(song.size());
}

std::vector<std::string> SongTitles() {
    std::vector<std::string> titles;
    for (int song = 0; song < kTitleCount; ++song) titles.push_back(SongTitle(song));
    return titles;
}

PacedSourceOptions BurstingStation(const Mp3Format& format) {
    PacedSourceOptions options;
    options.bytesPerSecond = kSpeedUp * Mp3BytesPerSecond(format);
    options.maxStreamMs = kRunTimeoutMs;
    for (int song = 0; song < kTitleCount; ++song) {
        const auto offset =
            static_cast<std::size_t>(song * kSecondsPerTitle * Mp3BytesPerSecond(format));
        options.titles.push_back({offset, ArtistOf(SongTitle(song)) + " - " + SongTitle(song)});
    }
    return options;
}

// The 16-bit PCM of a WAV file as floats, one channel; the rate and length from its header.
struct WavAudio {
    int sampleRate = 0;
    int channelCount = 0;
    std::vector<float> firstChannel;
    double Seconds() const {
        return sampleRate > 0 ? static_cast<double>(firstChannel.size()) / sampleRate : 0.0;
    }
};

std::uint32_t LittleEndian(const std::string& bytes, std::size_t at, int byteCount) {
    std::uint32_t value = 0;
    for (int i = byteCount - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// Walks the RIFF chunks to "fmt " and "data".
WavAudio ReadWav(const std::string& bytes) {
    WavAudio audio;
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0) return audio;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        const std::size_t size = LittleEndian(bytes, at + 4, 4);
        const std::size_t body = at + 8;
        if (id == "fmt " && body + 16 <= bytes.size()) {
            audio.channelCount = static_cast<int>(LittleEndian(bytes, body + 2, 2));
            audio.sampleRate = static_cast<int>(LittleEndian(bytes, body + 4, 4));
        }
        if (id == "data" && audio.channelCount > 0) {
            const std::size_t end = std::min(bytes.size(), body + size);
            const std::size_t frameBytes = 2 * static_cast<std::size_t>(audio.channelCount);
            for (std::size_t frame = body; frame + frameBytes <= end; frame += frameBytes) {
                const auto sample = static_cast<std::int16_t>(LittleEndian(bytes, frame, 2));
                audio.firstChannel.push_back(static_cast<float>(sample) / 32768.0f);
            }
            break;
        }
        at = body + size + (size & 1);
    }
    return audio;
}

class OpusOutputE2eTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_ICECAST();
        for (const char* tool : {kOpusInfo, kOggInfo, kOpusDec}) {
            if (access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed (opus-tools)";
        }
    }

    // What a checking tool says about the Ogg Opus bytes: its output, which must hold no warning.
    std::string Checked(const char* tool, const std::string& bytes, const std::string& name) {
        const std::string path = dir_.file(name);
        WriteWholeFile(path, bytes);
        const ChildResult result = RunProgram({tool, path}, dir_.path(), kToolTimeoutMs);
        const std::string said = result.out + result.err;
        EXPECT_EQ(result.exitStatus, 0) << tool << " " << name << ":\n" << said;
        for (const char* word : {"WARNING", "Warning", "warning", "ERROR", "Error"}) {
            EXPECT_EQ(said.find(word), std::string::npos) << tool << " " << name << ":\n" << said;
        }
        return said;
    }

    WavAudio Decoded(const std::string& bytes, const std::string& name) {
        const std::string in = dir_.file(name + ".opus");
        const std::string out = dir_.file(name + ".wav");
        WriteWholeFile(in, bytes);
        const ChildResult result =
            RunProgram({kOpusDec, "--quiet", in, out}, dir_.path(), kToolTimeoutMs);
        EXPECT_EQ(result.exitStatus, 0) << Shown(result);
        return ReadWav(ReadWholeFile(out));
    }

    TempDir dir_;
};

// Each link: begun and ended in itself, a serial of its own, OpusTags with the song's title and
// artist, and audio. Returns the links' titles in order, without the stream begun at the login,
// which goes out before the station's first title has arrived and so carries none.
std::vector<std::string> CheckedLinkTitles(const std::vector<OpusLink>& links,
                                           const std::string& what) {
    std::vector<std::string> titles;
    std::set<int> serials;
    for (const OpusLink& link : links) {
        const std::string title = link.Comment("TITLE");
        serials.insert(link.serial);
        EXPECT_TRUE(link.begun && link.ended && link.headValid) << what << ": " << title;
        EXPECT_GT(link.audioPackets, 0u) << what << ": " << title;
        if (title.empty() && titles.empty() && &link == &links.front()) continue;
        titles.push_back(title);
        EXPECT_EQ(link.Comment("ARTIST"), ArtistOf(title)) << what;
    }
    EXPECT_EQ(serials.size(), links.size()) << what << ": a serial comes twice";
    return titles;
}

TEST_F(OpusOutputE2eTest, EveryTitleOfABurstingStationIsAValidLinkForListenerAndArchive) {
    IcecastServer server;
    ASSERT_TRUE(server.started()) << server.failure();
    const Mp3Format format{44100, 2, kStationSeconds, kToneHz};
    const std::string mp3 = MakeMp3Tone(format);
    ASSERT_FALSE(mp3.empty());
    PacedSource station(mp3, BurstingStation(format));
    ASSERT_TRUE(station.listening());
    const std::string archives = dir_.file("archives");
    StationConfig::LoopbackRelay(station.url(), server.port(), server.sourcePassword())
        .Set("ServerType", "Icecast2")
        .Set("ServerMountpoint", kMount)
        .SetOutput("OPUS", 48, 44100, 2)
        .Set("OutputPacing", 0)
        .Set("SaveDirectory", archives)
        .Set("SaveDirectoryFlag", 1)
        .Set("LogLevel", 2)
        .Set("LogFile", dir_.file("transcode.log"))
        .Write(dir_.file("relay.cfg"));

    TitleWatcher watcher(server.port(), kMount, kRunTimeoutMs);
    BackgroundTranscode run(TRANSCODE_BINARY, dir_.path(), "relay.cfg", kRunTimeoutMs);
    ASSERT_TRUE(server.WaitForMount(kMount, 15000)) << ReadWholeFile(dir_.file("transcode.log"));
    StreamListener listener("http://127.0.0.1:" + std::to_string(server.port()) + kMount,
                            kRunTimeoutMs);
    // Icecast names the stream's codec once it has read its header pages.
    std::string status;
    const bool typed = WaitUntil(
        [&] {
            status = server.FetchStatusJson();
            return status.find("\"subtype\":\"Opus\"") != std::string::npos;
        },
        std::chrono::milliseconds(5000), std::chrono::milliseconds(100));
    const ChildResult& result = run.Finish();
    const std::string heard = listener.Finish();
    const std::vector<std::string> shown = watcher.Stop();
    const std::string log = ReadWholeFile(dir_.file("transcode.log"));
    EXPECT_TRUE(EndedWithDone(result)) << Shown(result);
    EXPECT_EQ(OccurrencesOf(log, "Samplerate=44100 is ignored for Opus output"), 1u) << log;

    // The archive holds the whole stream: every title a link, all the audio.
    const std::vector<std::string> files = FileNamesIn(archives);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].ends_with(".opus")) << files[0];
    const std::string archived = ReadWholeFile(archives + "/" + files[0]);
    const std::vector<OpusLink> archivedLinks = OpusLinksOf(archived);
    EXPECT_EQ(CheckedLinkTitles(archivedLinks, "archive"), SongTitles());
    for (const OpusLink& link : archivedLinks) {
        EXPECT_GE(link.Seconds(), 2.0) << link.Comment("TITLE");
        EXPECT_EQ(link.channels, 2);
    }
    Checked(kOpusInfo, archived, "archive.opus");
    Checked(kOggInfo, archived, "archive.opus");
    const WavAudio whole = Decoded(archived, "archive");
    EXPECT_EQ(whole.sampleRate, 48000);
    EXPECT_NEAR(whole.Seconds(), kStationSeconds, 0.2);
    EXPECT_NEAR(EstimateToneHz(whole.firstChannel, whole.sampleRate, 4096), kToneHz, 3.0);

    // The listener, who came in with the mount, hears the titles from there on to the last.
    const std::vector<OpusLink> heardLinks = OpusLinksOf(heard);
    ASSERT_FALSE(heardLinks.empty()) << heard.size() << " bytes heard";
    const std::vector<std::string> heardTitles = CheckedLinkTitles(heardLinks, "listener");
    const std::vector<std::string> expected = SongTitles();
    ASSERT_FALSE(heardTitles.empty());
    ASSERT_LE(heardTitles.size(), expected.size()) << ::testing::PrintToString(heardTitles);
    EXPECT_EQ(heardTitles,
              std::vector<std::string>(expected.end() - heardTitles.size(), expected.end()));
    Checked(kOpusInfo, heard, "heard.opus");
    Checked(kOggInfo, heard, "heard.opus");
    double heardSeconds = 0.0;
    for (const OpusLink& link : heardLinks) heardSeconds += link.Seconds();
    EXPECT_NEAR(Decoded(heard, "heard").Seconds(), heardSeconds, 0.1);

    // The server took the stream as Ogg Opus. Icecast 2.4 does not read OpusTags (nor takes title
    // requests for an Ogg mount), so its status names no title for the mount; a server that reads
    // them shows the station's titles in order, down to the last.
    EXPECT_TRUE(typed) << status;
    EXPECT_NE(status.find("\"server_type\":\"audio/ogg\""), std::string::npos) << status;
    EXPECT_TRUE(IsSubsequence(shown, expected)) << ::testing::PrintToString(shown);
    if (!shown.empty()) {
        EXPECT_EQ(shown.back(), expected.back());
    }
}

}  // namespace
