// How soon the destination shows the relay: the real `transcode` binary relays a paced ICY MP3
// station (a thread of this process, music-like audio at the station's byte rate, titles changing
// every few seconds) to a real local Icecast2 server, as MP3 and as Ogg Vorbis.
//
// - Mount up: from just before the fork of `transcode` to the server's answer to its source login
//   (seen by a timestamping relay between the two, bench/relay_tap.h) and to the first
//   /status-json.xsl that lists the mount (polled every 5 ms; a poll takes about a millisecond).
//   For reference, the same for a source login that this benchmark makes itself.
// - Title: from the moment the station sends the last byte of the first metadata block that
//   carries a new title to the moment the relay sends it on (the admin title request for MP3
//   output, the new chained stream's comment header for Ogg output, seen by the relay tap) and to
//   the first moment the destination shows it: /status-json.xsl's title for both outputs, and for
//   Ogg output also a listener of the mount that notes each chained stream's comment header as
//   it arrives. The station sends its body in 128-byte pieces on a
//   fixed schedule from the start of the connection (noted by polling the station for the
//   request every millisecond), so the send time of every metadata block is known from its
//   position in the body, to within one piece (8 ms at 16000 bytes/s).
//
//   latency_bench [title changes per case, default 5] [starts per output, default 5]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/latency_watch.h"
#include "bench/measured_child.h"
#include "bench/music_mp3.h"
#include "bench/relay_tap.h"
#include "tests/support/icecast_server.h"
#include "tests/support/paced_source.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kSampleRate = 44100;
constexpr std::size_t kPieceBytes = 128;
constexpr int kPollMs = 5;

struct SourceKind {
    int kbps;
    int metaInterval;
    double changeEverySeconds;  // longer than one metadata interval of audio
};

struct OutputKind {
    const char* name;
    bool ogg;
};

std::string SongTag(int index) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "Song %02d", index);
    return tag;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The relay sends to the tap, which forwards to the server.
StationConfig Config(const TempDir& dir, const IcecastServer& server, const RelayTap& tap,
                     const std::string& sourceUrl, const std::string& mount,
                     const OutputKind& output) {
    return StationConfig::LoopbackRelay(sourceUrl, tap.port(), server.sourcePassword())
        .Set("ServerMountpoint", mount)
        .SetOutput(output.ogg ? "OGG" : "LAME")
        .Set("LameCBRFlag", 1)
        .Set("LameQuality", 1)
        .Set("LogLevel", 1)
        .Set("LogFile", dir.file("transcode.log"));
}

// The station's schedule: when, after the start of its body, the first metadata block with each
// title has been sent completely.
std::vector<double> TitleSendOffsets(const std::string& audio, const PacedSourceOptions& options,
                                     int titleCount) {
    const std::string body = PacedSource::IcyBody(audio, options);
    const double bodyRate = options.bytesPerSecond * static_cast<double>(body.size()) /
                            static_cast<double>(audio.size());
    std::vector<double> offsets(static_cast<std::size_t>(titleCount), -1.0);
    const std::size_t interval = static_cast<std::size_t>(options.metaInterval);
    for (std::size_t at = interval; at < body.size();) {
        const std::size_t textBytes = 16 * static_cast<unsigned char>(body[at]);
        const std::string text = body.substr(at + 1, textBytes);
        const std::size_t lastByte = at + textBytes;
        at += 1 + textBytes + interval;
        for (int index = 0; index < titleCount; ++index) {
            if (offsets[index] < 0 && text.find(SongTag(index) + "'") != std::string::npos) {
                offsets[index] =
                    static_cast<double>(lastByte / kPieceBytes * kPieceBytes) / bodyRate;
            }
        }
    }
    return offsets;
}

// Polls the station until the relay's request has come; the time it came, or 0.
double WaitForRequest(const PacedSource& station, double deadline) {
    while (MonotonicSeconds() < deadline) {
        if (!station.Requests().empty()) return MonotonicSeconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

std::optional<double> FirstShown(const std::vector<SeenTitle>& seen, const std::string& tag) {
    for (const SeenTitle& entry : seen) {
        if (EndsWith(entry.title, tag)) return entry.atSeconds;
    }
    return std::nullopt;
}

void PrintSpread(const char* what, const std::vector<double>& seconds) {
    if (seconds.empty()) {
        std::printf("  %-30s (none seen)\n", what);
        return;
    }
    const Spread spread = SpreadOf(seconds);
    std::printf("  %-30s min %6.3f  median %6.3f  max %6.3f s  (%zu)\n", what, spread.min,
                spread.median, spread.max, seconds.size());
}

// ---- start-up ----

struct MountUp {
    double loginAccepted = -1;  // the server answered the relay's source login
    double listed = -1;         // /status-json.xsl lists the mount
};

MountUp MountUpOnce(const IcecastServer& server, const OutputKind& output, const std::string& mp3,
                    const std::string& mount) {
    TempDir dir;
    PacedSourceOptions options;
    options.bytesPerSecond = 16000;
    options.titles = {{0, "Latency Artist - " + SongTag(0)}};
    PacedSource station(mp3, options);
    RelayTap tap(server.port());
    Config(dir, server, tap, station.url(), mount, output).Write(dir.file("relay.cfg"));
    MountWatch watch(server, mount, kPollMs, 10000);
    ChildProcess relay(MeasuredStart({TRANSCODE_BINARY, "-n", "-c", dir.file("relay.cfg")},
                                     dir.path(), dir.file("relay.out")));
    while (watch.mountSeenAt() == 0 && MonotonicSeconds() < relay.startSeconds() + 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    relay.Stop(5000);
    MountUp up;
    if (tap.AnsweredAt("SOURCE") > 0)
        up.loginAccepted = tap.AnsweredAt("SOURCE") - relay.startSeconds();
    if (watch.mountSeenAt() > 0) up.listed = watch.mountSeenAt() - relay.startSeconds();
    return up;
}

void MeasureStartUp(const IcecastServer& server, int starts) {
    const std::string mp3 = MakeMusicLikeMp3(10, kSampleRate, 128);
    for (const OutputKind output : {OutputKind{"MP3", false}, OutputKind{"Ogg Vorbis", true}}) {
        std::printf("%s output, from the start of the process to\n", output.name);
        std::vector<double> accepted;
        std::vector<double> listed;
        for (int run = 0; run < starts; ++run) {
            const std::string mount =
                std::string("/start") + std::to_string(run) + (output.ogg ? ".ogg" : ".mp3");
            const MountUp up = MountUpOnce(server, output, mp3, mount);
            if (up.loginAccepted >= 0) accepted.push_back(up.loginAccepted);
            if (up.listed >= 0) listed.push_back(up.listed);
        }
        PrintSpread("the login accepted", accepted);
        PrintSpread("the mount in status-json", listed);
    }
    std::printf(
        "reference: a source login made by this benchmark (no relay), from the connect to\n");
    std::vector<double> accepted;
    std::vector<double> listed;
    for (int run = 0; run < starts; ++run) {
        const std::string mount = "/bare" + std::to_string(run) + ".mp3";
        MountWatch watch(server, mount, kPollMs, 5000);
        const BareSourceLogin source(server, mount);
        while (watch.mountSeenAt() == 0 && MonotonicSeconds() < source.startedAt() + 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (source.acceptedAt() > 0) accepted.push_back(source.acceptedAt() - source.startedAt());
        if (watch.mountSeenAt() > 0) listed.push_back(watch.mountSeenAt() - source.startedAt());
    }
    PrintSpread("the login accepted", accepted);
    PrintSpread("the mount in status-json", listed);
    std::printf("\n");
}

// ---- title changes ----

struct TitleDelays {
    std::vector<double> leftRelay;  // the title passed the tap towards the server
    std::vector<double> status;     // status-json showed it
    std::vector<double> listener;   // an Ogg listener received its comment header
};

void NoteDelay(std::vector<double>& delays, const char* what, std::optional<double> at,
               double sent) {
    if (!at) {
        std::printf("  %s never", what);
        return;
    }
    delays.push_back(*at - sent);
    std::printf("  %s %6.3f", what, *at - sent);
}

void MeasureTitles(const IcecastServer& server, const OutputKind& output, const SourceKind& source,
                   int changes) {
    const double firstChange = source.changeEverySeconds;
    const double audioSeconds = firstChange + changes * source.changeEverySeconds + 2;
    const std::string mp3 = MakeMusicLikeMp3(audioSeconds, kSampleRate, source.kbps);
    const double bytesPerSecond = source.kbps * 125.0;
    PacedSourceOptions options;
    options.metaInterval = source.metaInterval;
    options.bytesPerSecond = bytesPerSecond;
    options.chunkBytes = kPieceBytes;
    options.maxStreamMs = static_cast<int>(audioSeconds * 1000) + 5000;
    options.titles = {{0, "Latency Artist - " + SongTag(0)}};
    for (int index = 1; index <= changes; ++index) {
        const double second = firstChange + (index - 1) * source.changeEverySeconds;
        options.titles.push_back({static_cast<std::size_t>(second * bytesPerSecond),
                                  "Latency Artist - " + SongTag(index)});
    }
    const std::vector<double> sendOffsets = TitleSendOffsets(mp3, options, changes + 1);

    TempDir dir;
    PacedSource station(mp3, options);
    RelayTap tap(server.port());
    const std::string mount =
        std::string("/titles-") + std::to_string(source.kbps) + (output.ogg ? ".ogg" : ".mp3");
    Config(dir, server, tap, station.url(), mount, output).Write(dir.file("relay.cfg"));
    const int watchMs = static_cast<int>(audioSeconds * 1000) + 10000;
    MountWatch watch(server, mount, kPollMs, watchMs);
    ChildProcess relay(MeasuredStart({TRANSCODE_BINARY, "-n", "-c", dir.file("relay.cfg")},
                                     dir.path(), dir.file("relay.out")));
    const double bodyStart = WaitForRequest(station, relay.startSeconds() + 10);
    std::optional<OggCommentWatch> listener;
    if (output.ogg) {
        while (watch.mountSeenAt() == 0 && MonotonicSeconds() < relay.startSeconds() + 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        listener.emplace("http://127.0.0.1:" + std::to_string(server.port()) + mount, watchMs);
    }
    const double lastSend = bodyStart + sendOffsets.back();
    while (MonotonicSeconds() < lastSend + 2 * source.metaInterval / bytesPerSecond + 1.5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    relay.Stop(5000);
    watch.Stop();
    if (listener) listener->Stop();

    std::printf(
        "%s output, source %d kbit/s with icy-metaint %d (%.2f s of audio per block), "
        "a title every %.0f s\n",
        output.name, source.kbps, source.metaInterval, source.metaInterval / bytesPerSecond,
        source.changeEverySeconds);
    if (bodyStart == 0) {
        std::printf("  the relay never fetched the station\n\n");
        return;
    }
    std::printf(
        "  seconds from the station sending the title to: the relay sending it on, "
        "status-json%s\n",
        listener ? ", a listener" : "");
    TitleDelays delays;
    const std::vector<SeenTitle> statusTitles = watch.Titles();
    const std::vector<SeenTitle> listenerTitles =
        listener ? listener->Titles() : std::vector<SeenTitle>{};
    for (int index = 1; index <= changes; ++index) {
        const double sent = bodyStart + sendOffsets[index];
        std::printf("  %s sent at %6.3f s:", SongTag(index).c_str(), sent - bodyStart);
        const double leftAt = tap.TitleSentAt(index);
        NoteDelay(delays.leftRelay, "relay", leftAt > 0 ? std::optional(leftAt) : std::nullopt,
                  sent);
        NoteDelay(delays.status, "status-json", FirstShown(statusTitles, SongTag(index)), sent);
        if (listener) {
            NoteDelay(delays.listener, "listener", FirstShown(listenerTitles, SongTag(index)),
                      sent);
        }
        std::printf("\n");
    }
    PrintSpread("relay sends it on", delays.leftRelay);
    PrintSpread("status-json shows it", delays.status);
    if (listener) PrintSpread("a listener gets it", delays.listener);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int changes = argc > 1 ? std::max(1, std::min(20, std::atoi(argv[1]))) : 5;
    const int starts = argc > 2 ? std::max(1, std::min(20, std::atoi(argv[2]))) : 5;
    if (!IcecastServer::Available()) {
        std::fprintf(stderr, "%s is missing (Debian package icecast2)\n", kIcecastBinary);
        return 2;
    }
    IcecastServer server;
    if (!server.started()) {
        std::fprintf(stderr, "%s\n", server.failure().c_str());
        return 1;
    }
    std::printf("Icecast2 on 127.0.0.1:%u; status polled every %d ms\n\n", server.port(), kPollMs);
    MeasureStartUp(server, starts);
    const SourceKind sources[] = {{128, 8192, 3.0}, {64, 16000, 5.0}};
    for (const OutputKind output : {OutputKind{"MP3", false}, OutputKind{"Ogg Vorbis", true}}) {
        for (const SourceKind& source : sources) MeasureTitles(server, output, source, changes);
    }
    return 0;
}
