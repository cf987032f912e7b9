// The `transcode` program keeping a station on the air while its source is away
// (SourceReconnect): a generated MP3 station on a loopback port that goes away and comes back on
// the same port, stalls, refuses, comes back in another format or gives way to a backup; a real
// Icecast2 server as the destination, and a listener on its mount that notes when every byte
// arrived. The listener must stay connected, never go a second without bytes, hear as much audio
// as the time it listened, and get a stream that decodes from frame to frame. Runs against a mock
// destination check the end of a run during an outage (SIGTERM, archives), the run without
// SourceReconnect, and the output's pacing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/arrival_listener.h"
#include "tests/support/audio_check.h"
#include "tests/support/fault_run.h"
#include "tests/support/icecast_server.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/stream_feed.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kRunTimeoutMs = 90000;
constexpr int kWaitMs = 15000;
constexpr int kRetrySecs = 2;
constexpr int kMetaInterval = 4096;  // a title a quarter of a second into every connection
constexpr const char* kMount = "/live";
constexpr const char* kFallbackTitle = "Station Break - Back Soon";
constexpr const char* kPlayingAgain = "Source playing again after ";
const Mp3Format kStationFormat{44100, 2, 10.0, 440.0};

double SecondsOf(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// Ten seconds of a 440 Hz tone at 128 kbit/s, made once for every station of the program.
const std::string& StationAudio() {
    static const std::string audio = MakeMp3Tone(kStationFormat);
    return audio;
}

// An MP3 station at real-time pace on `port` (0: a free one) under one title, playing for longer
// than any test unless `loopCount` says otherwise.
PacedSourceOptions Mp3Station(uint16_t port, const std::string& title, int loopCount = 9) {
    PacedSourceOptions options;
    options.port = port;
    options.metaInterval = kMetaInterval;
    options.titles = {{0, title}};
    options.bytesPerSecond = Mp3BytesPerSecond(kStationFormat);
    options.loopCount = loopCount;
    options.maxStreamMs = kRunTimeoutMs;
    return options;
}

std::unique_ptr<PacedSource> OpenMp3Station(uint16_t port, const std::string& title) {
    return std::make_unique<PacedSource>(StationAudio(), Mp3Station(port, title));
}

// Ten seconds of a 660 Hz tone as 48 kHz mono Ogg Vorbis, at real-time pace on `port`.
std::unique_ptr<PacedSource> OpenOggStation(uint16_t port) {
    static const std::string audio = MakeOggVorbis(
        {{48000, 1, 48000 * 10, 660.0, 0.5f, {"ARTIST=Ogg Artist", "TITLE=Ogg Song"}}});
    PacedSourceOptions options;
    options.port = port;
    options.contentType = "application/ogg";
    options.metaInterval = 0;  // Ogg stations carry their titles in the stream
    options.bytesPerSecond = audio.size() / 10.0;
    options.chunkBytes = 1024;
    options.loopCount = 9;
    options.maxStreamMs = kRunTimeoutMs;
    return std::make_unique<PacedSource>(audio, options);
}

bool WaitForRequests(const PacedSource& station, std::size_t count, int timeoutMs) {
    return WaitUntil([&] { return station.Requests().size() >= count; }, timeoutMs);
}

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The N of every "Source playing again after N s" line.
std::vector<int> OutageSeconds(const std::string& log) {
    std::vector<int> seconds;
    for (std::size_t at = log.find(kPlayingAgain); at != std::string::npos;
         at = log.find(kPlayingAgain, at + 1)) {
        seconds.push_back(std::atoi(log.c_str() + at + std::string(kPlayingAgain).size()));
    }
    return seconds;
}

// Where the frame chain breaks: a frame that does not begin right where the one before it ends.
// The chain starts at the first of four frames in a row (a listener may join inside a frame); the
// last frame may run past the bytes (the listening ended inside it).
std::vector<std::size_t> Mp3ChainBreaks(const std::string& bytes, std::size_t& chainFrames) {
    const std::vector<Mp3Frame> frames = Mp3Frames(bytes);
    auto follows = [&](std::size_t i) {
        return frames[i].offset == frames[i - 1].offset + frames[i - 1].byteCount;
    };
    std::size_t first = 0;
    while (first + 3 < frames.size() &&
           !(follows(first + 1) && follows(first + 2) && follows(first + 3))) {
        ++first;
    }
    std::vector<std::size_t> breaks;
    for (std::size_t i = first + 1; i < frames.size(); ++i) {
        if (!follows(i)) breaks.push_back(frames[i].offset);
    }
    chainFrames = frames.size() - first;
    return breaks;
}

// The stream is one chain of whole MP3 frames at the output's format, and every frame decodes.
void ExpectUnbrokenMp3(const std::string& heard) {
    std::size_t chainFrames = 0;
    const std::vector<std::size_t> breaks = Mp3ChainBreaks(heard, chainFrames);
    EXPECT_TRUE(breaks.empty()) << breaks.size() << " breaks in " << heard.size()
                                << " bytes, the first at " << (breaks.empty() ? 0 : breaks[0]);
    const DecodedAudio audio = DecodeMp3(heard);
    EXPECT_EQ(audio.sampleRate, 44100);
    EXPECT_EQ(audio.channelCount, 2);
    // The decoder skips a frame it cannot decode; the first frames may lack their bit reservoir.
    EXPECT_GE(audio.frameCount() + 4 * 1152, chainFrames * 1152)
        << chainFrames << " frames in the chain, " << audio.frameCount() << " samples decoded";
}

// The listener stayed connected and never went `limit` without bytes.
void ExpectConnectedWithoutSilence(const ArrivalListener& listener, Clock::duration limit) {
    EXPECT_FALSE(listener.DroppedByServer());
    const ArrivalListener::Silence silence = listener.LongestSilence();
    EXPECT_LT(silence.length, limit) << SecondsOf(silence.length) << " s without a byte, from "
                                     << SecondsOf(silence.after) << " s after the first";
}

// The listener stayed connected, never went a second without bytes, and heard as much audio as
// it listened. The server sends its queue (a few seconds) at once on connect: the comparison
// starts half a second after the first byte.
void ExpectSteadyMp3Listening(const ArrivalListener& listener) {
    ExpectConnectedWithoutSilence(listener, 1s);
    const std::string heard = listener.Body();
    const std::vector<ArrivalListener::Arrival> arrivals = listener.Arrivals();
    ASSERT_FALSE(arrivals.empty());
    const DecodedAudio audio = DecodeMp3(heard);
    ASSERT_GT(audio.sampleRate, 0) << heard.size() << " bytes heard";
    const double heardSeconds = static_cast<double>(audio.frameCount()) / audio.sampleRate;
    const auto afterBurst = arrivals.front().at + 500ms;
    std::size_t lateBytes = 0;
    for (const auto& arrival : arrivals) {
        if (arrival.at >= afterBurst) lateBytes += arrival.byteCount;
    }
    // A constant bitrate: seconds in proportion to bytes.
    const double lateSeconds = heardSeconds * lateBytes / heard.size();
    const double listenedSeconds = SecondsOf(listener.ListenedTime() - 500ms);
    EXPECT_NEAR(lateSeconds, listenedSeconds, 2.0)
        << heardSeconds << " s heard in all, " << heard.size() << " bytes";
}

// How many half-second windows of the first channel carry a tone within 5 Hz of toneHz.
int WindowsWithTone(const DecodedAudio& audio, double toneHz) {
    const std::vector<float> channel = audio.Channel(0);
    const std::size_t window = static_cast<std::size_t>(audio.sampleRate) / 2;
    int found = 0;
    for (std::size_t at = 0; at + window <= channel.size(); at += window / 2) {
        const std::vector<float> part(channel.begin() + at, channel.begin() + at + window);
        if (std::abs(EstimateToneHz(part, audio.sampleRate) - toneHz) < 5.0) ++found;
    }
    return found;
}

// The runs of pages of one logical stream each, in order.
std::vector<std::vector<OggPageInfo>> LogicalStreams(const std::string& bytes) {
    std::vector<std::vector<OggPageInfo>> streams;
    for (const OggPageInfo& page : ParseOggPages(bytes)) {
        if (streams.empty() || streams.back().back().serial != page.serial || page.beginsStream) {
            streams.emplace_back();
        }
        streams.back().push_back(page);
    }
    return streams;
}

std::int64_t LastGranule(const std::vector<OggPageInfo>& pages) {
    std::int64_t granule = 0;
    for (const OggPageInfo& page : pages) granule = std::max(granule, page.granule);
    return granule;
}

// Every logical stream has audio and ends with an end-of-stream page; with `lastOpen`, the last
// one may still be going (a listener that stopped listening).
void ExpectNoEmptyOggStream(const std::string& bytes, bool lastOpen) {
    const auto streams = LogicalStreams(bytes);
    ASSERT_FALSE(streams.empty()) << bytes.size() << " bytes";
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const bool last = i + 1 == streams.size();
        EXPECT_GT(LastGranule(streams[i]), 0)
            << "logical stream " << i << " of " << streams.size() << " (serial "
            << streams[i].front().serial << ") has no audio, " << streams[i].size() << " pages";
        if (!(last && lastOpen)) {
            EXPECT_TRUE(streams[i].back().endsStream)
                << "logical stream " << i << " of " << streams.size() << " has no end";
        }
    }
}

// A run of the program in a fresh directory; a run still going at the end of a test (one that
// failed early: a run with SourceReconnect never ends alone) is ended with SIGTERM.
class RelayRunTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (run_ && !runEnded_) run_->Terminate();
    }

    FaultRun& StartRelay(const StationConfig& settings, int timeoutMs = kRunTimeoutMs) {
        run_ = std::make_unique<FaultRun>(dir_, settings, timeoutMs);
        return *run_;
    }

    // Ends the run as an operator does, with SIGTERM; it must end in order.
    void EndRun() {
        runEnded_ = true;
        run_->Terminate();
        EXPECT_TRUE(StoppedWithDone(run_->Finish())) << run_->Shown();
    }

    // Waits for a run that ends by itself.
    const ChildResult& FinishRun() {
        runEnded_ = true;
        return run_->Finish();
    }

    std::string Log() const { return ReadWholeFile(dir_.file("transcode.log")); }

    // The log for a failure message: its beginning and its end when it is long (a run that
    // spins can write thousands of lines a second).
    std::string ShownLog() const {
        constexpr std::size_t kPartBytes = 8192;
        const std::string log = Log();
        if (log.size() <= 2 * kPartBytes) return log;
        return log.substr(0, kPartBytes) + "\n[... " + std::to_string(log.size() - 2 * kPartBytes) +
               " bytes ...]\n" + log.substr(log.size() - kPartBytes);
    }

    bool WaitForLogCount(const std::string& text, std::size_t count, int timeoutMs) const {
        return WaitUntil([&] { return CountOf(Log(), text) >= count; }, timeoutMs);
    }

    TempDir dir_;
    std::unique_ptr<FaultRun> run_;
    bool runEnded_ = false;
};

// ---- against the real Icecast2 ----

class SourceOutageTest : public RelayRunTest {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_ICECAST();
        server_ = std::make_unique<IcecastServer>();
        ASSERT_TRUE(server_->started()) << server_->failure();
    }

    // A relay with SourceReconnect on, the fallback title and short waits between attempts.
    StationConfig RelaySettings(const std::string& sourceUrl, const std::string& mount = kMount) {
        StationConfig settings = FaultRunSettings(dir_, sourceUrl, server_->port());
        settings.Set("ServerPassword", server_->sourcePassword());
        settings.Set("ServerMountpoint", mount);
        settings.Set("SourceReconnect", "1");
        settings.Set("SourceRetrySecs", std::to_string(kRetrySecs));
        settings.Set("FallbackTitle", kFallbackTitle);
        return settings;
    }

    bool WaitForTitle(const std::string& title, int timeoutMs, const std::string& mount = kMount) {
        return server_->WaitForTitle(mount, title, timeoutMs, &lastTitle_);
    }

    std::unique_ptr<IcecastServer> server_;
    std::string lastTitle_;  // the mount's title at the last failed wait
};

TEST_F(SourceOutageTest, ListenerStaysThroughTwoOutagesWithTheFallbackTitle) {
    auto station = OpenMp3Station(0, "Station - Before");
    ASSERT_TRUE(station->listening());
    const uint16_t port = station->port();
    StartRelay(RelaySettings(station->url()));
    ASSERT_TRUE(WaitForTitle("Station - Before", kWaitMs)) << lastTitle_ << "\n" << ShownLog();
    ArrivalListener listener(server_->port(), kMount, kRunTimeoutMs);
    std::this_thread::sleep_for(3s);

    for (int outage = 1; outage <= 2; ++outage) {
        SCOPED_TRACE("outage " + std::to_string(outage));
        const auto lost = Clock::now();
        station.reset();
        EXPECT_TRUE(WaitForTitle(kFallbackTitle, 3000)) << lastTitle_;
        std::this_thread::sleep_until(lost + 4s);
        const std::string title = "Station - Back " + std::to_string(outage);
        station = OpenMp3Station(port, title);
        ASSERT_TRUE(station->listening());
        // Within the longest wait between two attempts.
        ASSERT_TRUE(WaitForRequests(*station, 1, (kRetrySecs + 2) * 1000)) << ShownLog();
        EXPECT_TRUE(WaitForTitle(title, 2000)) << lastTitle_;
        EXPECT_TRUE(WaitForLogCount(kPlayingAgain, outage, 2000)) << ShownLog();
        std::this_thread::sleep_for(3s);
    }
    listener.Stop();
    ExpectSteadyMp3Listening(listener);
    ExpectUnbrokenMp3(listener.Body());
    // Each outage lasted its four seconds and at most one wait more.
    for (const int seconds : OutageSeconds(Log())) {
        EXPECT_GE(seconds, 4);
        EXPECT_LE(seconds, 4 + kRetrySecs + 1);
    }
    EndRun();
}

// A station that keeps the connection but sends nothing: after SourceTimeout seconds the relay
// gives up on the connection and asks again; meanwhile silence fills in.
TEST_F(SourceOutageTest, StallingStationIsBridgedAndAskedAgain) {
    PacedSourceOptions options = Mp3Station(0, "Stalling - Station", 1);
    options.silentHoldMs = 30000;
    PacedSource station(MakeMp3Tone({44100, 2, 3.0, 440.0}), options);
    ASSERT_TRUE(station.listening());
    StationConfig settings = RelaySettings(station.url());
    settings.Set("SourceTimeout", "2");
    StartRelay(settings);
    ASSERT_TRUE(WaitForTitle("Stalling - Station", kWaitMs)) << lastTitle_ << "\n" << ShownLog();
    ArrivalListener listener(server_->port(), kMount, kRunTimeoutMs);

    // Three seconds of audio and a stall of two, twice over.
    EXPECT_TRUE(WaitForRequests(station, 3, 20000)) << ShownLog();
    std::this_thread::sleep_for(1s);
    listener.Stop();

    ExpectSteadyMp3Listening(listener);
    ExpectUnbrokenMp3(listener.Body());
    const std::string log = Log();
    EXPECT_GE(CountOf(log, "Source stalled"), 2u) << ShownLog();
    EXPECT_GE(CountOf(log, kPlayingAgain), 2u) << ShownLog();
    EndRun();
}

// A station that refuses every request after its stream: the first attempt at once, then waits
// of 1, 2, 4 ... seconds, capped at SourceRetrySecs.
TEST_F(SourceOutageTest, AttemptsStartAtOnceThenWaitLongerUpToTheCap) {
    PacedSourceOptions options = Mp3Station(0, "Refusing - Station", 1);
    options.streamLimit = 1;
    PacedSource station(MakeMp3Tone({44100, 2, 3.0, 440.0}), options);
    ASSERT_TRUE(station.listening());
    StationConfig settings = RelaySettings(station.url());
    settings.Set("SourceRetrySecs", "3");
    StartRelay(settings);
    WaitUntil([&] { return station.CompletedStreams() > 0; }, kWaitMs);
    ASSERT_EQ(station.CompletedStreams(), 1) << ShownLog();
    const auto lost = Clock::now();

    std::vector<Clock::time_point> attempts;
    for (std::size_t count = 2; count <= 6; ++count) {
        ASSERT_TRUE(WaitForRequests(station, count, 6000)) << ShownLog();
        attempts.push_back(Clock::now());
    }
    EXPECT_LT(attempts[0] - lost, 500ms) << SecondsOf(attempts[0] - lost) << " s";
    const double expectedWaits[] = {1, 2, 3, 3};
    for (std::size_t i = 0; i + 1 < attempts.size(); ++i) {
        EXPECT_NEAR(SecondsOf(attempts[i + 1] - attempts[i]), expectedWaits[i], 0.5)
            << "wait " << i + 1;
    }
    EXPECT_TRUE(server_->WaitForMount(kMount, 1000));  // the mount stayed
    EndRun();
}

TEST_F(SourceOutageTest, BackupTakesOverAndThePrimaryIsTakenBack) {
    auto primary = OpenMp3Station(0, "Primary - Song");
    auto backup = OpenMp3Station(0, "Backup - Song");
    ASSERT_TRUE(primary->listening() && backup->listening());
    const uint16_t primaryPort = primary->port();
    StationConfig settings = RelaySettings(primary->url());
    settings.Set("SourceBackupURL", backup->url());
    StartRelay(settings);
    ASSERT_TRUE(WaitForTitle("Primary - Song", kWaitMs)) << lastTitle_ << "\n" << ShownLog();
    ArrivalListener listener(server_->port(), kMount, kRunTimeoutMs);
    std::this_thread::sleep_for(2s);

    primary.reset();
    EXPECT_TRUE(WaitForTitle("Backup - Song", 4000)) << lastTitle_ << "\n" << ShownLog();
    std::this_thread::sleep_for(3s);
    primary = OpenMp3Station(primaryPort, "Primary - Again");
    ASSERT_TRUE(primary->listening());
    EXPECT_TRUE(WaitForTitle("Primary - Again", (kRetrySecs + 2) * 1000)) << lastTitle_ << "\n"
                                                                          << ShownLog();
    std::this_thread::sleep_for(2s);
    listener.Stop();

    ExpectSteadyMp3Listening(listener);
    ExpectUnbrokenMp3(listener.Body());
    EXPECT_EQ(backup->Requests().size(), 1u) << "the backup was asked more than once";
    EndRun();
}

// MP3 at 44.1 kHz, then Ogg Vorbis at 48 kHz mono on the same port, then MP3 again: the output
// keeps its own format, and both tones come out at their pitch.
TEST_F(SourceOutageTest, SourceBackInAnotherFormatKeepsTheOutputWhole) {
    auto station = OpenMp3Station(0, "Mp3 - First");
    ASSERT_TRUE(station->listening());
    const uint16_t port = station->port();
    StartRelay(RelaySettings(station->url()));
    ASSERT_TRUE(WaitForTitle("Mp3 - First", kWaitMs)) << lastTitle_ << "\n" << ShownLog();
    ArrivalListener listener(server_->port(), kMount, kRunTimeoutMs);
    std::this_thread::sleep_for(3s);

    station.reset();
    station = OpenOggStation(port);
    ASSERT_TRUE(station->listening());
    EXPECT_TRUE(WaitForTitle("Ogg Artist - Ogg Song", (kRetrySecs + 3) * 1000))
        << lastTitle_ << "\n"
        << ShownLog();
    std::this_thread::sleep_for(4s);
    station.reset();
    station = OpenMp3Station(port, "Mp3 - Again");
    ASSERT_TRUE(station->listening());
    EXPECT_TRUE(WaitForTitle("Mp3 - Again", (kRetrySecs + 3) * 1000)) << lastTitle_ << "\n"
                                                                      << ShownLog();
    std::this_thread::sleep_for(3s);
    listener.Stop();

    ExpectSteadyMp3Listening(listener);
    const std::string heard = listener.Body();
    ExpectUnbrokenMp3(heard);
    const DecodedAudio audio = DecodeMp3(heard);
    EXPECT_GE(WindowsWithTone(audio, 660.0), 8) << "under two seconds of the Ogg station's tone";
    EXPECT_GE(WindowsWithTone(audio, 440.0), 8) << "under two seconds of the MP3 station's tone";
    EndRun();
}

// Ogg Vorbis output: silence and the returning source must not leave a logical stream without
// audio, neither in what a listener gets nor in the archive, and every stream in the archive ends.
TEST_F(SourceOutageTest, OggOutputThroughAnOutageHasNoEmptyLogicalStream) {
    auto station = OpenMp3Station(0, "Ogg Out - Before");
    ASSERT_TRUE(station->listening());
    const uint16_t port = station->port();
    StationConfig settings = RelaySettings(station->url(), "/live.ogg");
    settings.Set("Encode", "OGG");
    settings.Set("OggQuality", "2");
    StartRelay(settings);
    ASSERT_TRUE(server_->WaitForMount("/live.ogg", kWaitMs)) << ShownLog();
    std::this_thread::sleep_for(1s);
    ArrivalListener listener(server_->port(), "/live.ogg", kRunTimeoutMs);
    std::this_thread::sleep_for(3s);

    station.reset();
    std::this_thread::sleep_for(4s);
    station = OpenMp3Station(port, "Ogg Out - After");
    ASSERT_TRUE(station->listening());
    ASSERT_TRUE(WaitForRequests(*station, 1, (kRetrySecs + 2) * 1000)) << ShownLog();
    ASSERT_TRUE(WaitForLogCount(kPlayingAgain, 1, 2000)) << ShownLog();
    std::this_thread::sleep_for(4s);
    listener.Stop();
    EndRun();

    // A listener of an Ogg mount gets whole pages: at this quality a page holds about 1.7 s of
    // the station's tone.
    ExpectConnectedWithoutSilence(listener, 3s);
    {
        SCOPED_TRACE("listener");
        const std::string heard = listener.Body();
        ExpectNoEmptyOggStream(heard, true);
        EXPECT_FALSE(DecodeOgg(heard).empty()) << heard.size() << " bytes heard";
    }
    const std::vector<std::string> archives = ArchiveFiles(dir_);
    ASSERT_FALSE(archives.empty());
    for (const std::string& path : archives) {
        SCOPED_TRACE(path);
        const std::string archive = ReadWholeFile(path);
        ExpectNoEmptyOggStream(archive, false);
        const std::vector<OggPageInfo> pages = ParseOggPages(archive);
        ASSERT_FALSE(pages.empty());
        EXPECT_EQ(pages.back().offset + pages.back().byteCount, archive.size());
        for (const OggLink& link : DecodeOgg(archive)) EXPECT_GT(link.audio.frameCount(), 0u);
    }
}

// ---- against a mock destination, which keeps every byte it read ----

class RelayToMockTest : public RelayRunTest {
  protected:
    RelayToMockTest() { destination_.SetReply("HTTP/1.0 200 OK\r\n\r\n"); }

    std::string Sent() const { return AfterLogin(destination_.Received(0)); }

    MockServer destination_;
};

enum class Outage { kStationGone, kStationStalled };

struct StopCase {
    const char* name;
    Outage outage;
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.name;
}

class StopDuringOutageTest : public RelayToMockTest,
                             public ::testing::WithParamInterface<StopCase> {};

// SIGTERM while silence is relayed: between two attempts at a station that went away, or inside
// the transfer of a station that stalled (SourceTimeout not reached yet).
TEST_P(StopDuringOutageTest, SigtermEndsTheRunPromptlyWithAWholeArchive) {
    const bool stalls = GetParam().outage == Outage::kStationStalled;
    PacedSourceOptions options = Mp3Station(0, "Stop - Outage", stalls ? 1 : 9);
    options.silentHoldMs = stalls ? 30000 : 0;
    auto station = std::make_unique<PacedSource>(
        stalls ? MakeMp3Tone({44100, 2, 3.0, 440.0}) : StationAudio(), options);
    ASSERT_TRUE(station->listening());
    StationConfig settings = FaultRunSettings(dir_, station->url(), destination_.port());
    settings.Set("SourceReconnect", "1");
    settings.Set("SourceRetrySecs", std::to_string(kRetrySecs));
    FaultRun& run = StartRelay(settings);
    ASSERT_TRUE(destination_.WaitForBytes(0, 20000, kWaitMs)) << run.Shown();
    if (stalls) {
        WaitUntil([&] { return station->CompletedStreams() > 0; }, kWaitMs);
        ASSERT_EQ(station->CompletedStreams(), 1);
        std::this_thread::sleep_for(1500ms);  // silence, the connection still open
    } else {
        station.reset();
        std::this_thread::sleep_for(2500ms);  // inside the second wait between attempts
    }
    const std::size_t sentBeforeStop = Sent().size();
    runEnded_ = true;
    EXPECT_LT(run.Terminate(), 2s);

    const ChildResult& result = run.Finish();
    EXPECT_TRUE(StoppedWithDone(result)) << run.Shown();
    EXPECT_EQ(run.LeftOpen(), std::vector<std::string>{});
    ASSERT_TRUE(destination_.WaitForClosed(0, kWaitMs));
    EXPECT_EQ(StreamConnections(destination_).size(), 1u) << "the destination was left";
    EXPECT_GT(sentBeforeStop, 20000u);
    const std::vector<std::string> archives = ArchiveFiles(dir_);
    ASSERT_EQ(archives.size(), 1u);
    ExpectWholeMp3Archive(archives[0], Sent());
}

INSTANTIATE_TEST_SUITE_P(Outages, StopDuringOutageTest,
                         ::testing::Values(StopCase{"StationGone", Outage::kStationGone},
                                           StopCase{"StationStalled", Outage::kStationStalled}),
                         [](const auto& info) { return std::string(info.param.name); });

class SourceEndTest : public RelayToMockTest {};

TEST_F(SourceEndTest, WithoutSourceReconnectTheEndOfTheSourceEndsTheRun) {
    PacedSource station(MakeMp3Tone({44100, 2, 3.0, 440.0}), Mp3Station(0, "Short - Song", 1));
    ASSERT_TRUE(station.listening());
    StationConfig settings = FaultRunSettings(dir_, station.url(), destination_.port());
    settings.Set("SourceReconnect", "0");
    settings.Set("FallbackTitle", kFallbackTitle);
    StartRelay(settings, 30000);
    const ChildResult& result = FinishRun();

    EXPECT_TRUE(EndedWithDone(result)) << run_->Shown();
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(station.Requests().size(), 1u);
    EXPECT_EQ(Log().find(kPlayingAgain), std::string::npos) << ShownLog();
}

// A station that sends all its audio at once: with OutputPacing the destination never gets more
// than about two seconds ahead of the time since its first byte; without, it gets everything as
// fast as the relay can encode it.
struct PacingCase {
    const char* name;
    bool paced;
};

void PrintTo(const PacingCase& c, std::ostream* out) {
    *out << c.name;
}

class OutputPacingTest : public RelayToMockTest,
                         public ::testing::WithParamInterface<PacingCase> {};

TEST_P(OutputPacingTest, OutputLeadFollowsThePacingKey) {
    constexpr double kAudioSeconds = 12.0;
    PacedSourceOptions options = Mp3Station(0, "Fast - Station", 1);
    options.bytesPerSecond = 0;
    PacedSource station(MakeMp3Tone({44100, 2, kAudioSeconds, 440.0}), options);
    ASSERT_TRUE(station.listening());
    StationConfig settings = FaultRunSettings(dir_, station.url(), destination_.port());
    settings.Set("OutputPacing", GetParam().paced ? "1" : "0");
    FaultRun& run = StartRelay(settings, 60000);
    ASSERT_TRUE(destination_.WaitForBytes(0, 1000, kWaitMs)) << run.Shown();

    // The destination's lead: seconds of audio it has beyond the time since its first byte.
    const auto first = Clock::now();
    double mostLead = 0;
    const double bytesPerSecond = Mp3BytesPerSecond(kStationFormat);
    bool closed = false;
    do {
        closed = destination_.WaitForClosed(0, 50);
        const double lead = Sent().size() / bytesPerSecond - SecondsOf(Clock::now() - first);
        mostLead = std::max(mostLead, lead);
    } while (!closed);
    const double streamSeconds = SecondsOf(Clock::now() - first);
    EXPECT_TRUE(EndedWithDone(FinishRun())) << run.Shown();
    EXPECT_GT(Sent().size() / bytesPerSecond, kAudioSeconds - 1);
    if (GetParam().paced) {
        EXPECT_LT(mostLead, 3.0);
        EXPECT_GT(streamSeconds, kAudioSeconds - 3.0);
    } else {
        EXPECT_GT(mostLead, 4.0) << "the output was held back";
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, OutputPacingTest,
                         ::testing::Values(PacingCase{"Paced", true}, PacingCase{"Unpaced", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
