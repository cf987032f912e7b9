// A demo station on loopback: generated MP3 "songs" (a tone each) with ICY titles, streamed in
// real time to whoever connects, for a bounded time.
//
//   demo_source --port-file FILE [--seconds N] [--song-seconds S] [--shoutcast]
//
// Writes the port it listens on to FILE once it is ready, then serves until every connection has
// had N seconds of audio, or N + 30 seconds have passed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

struct Arguments {
    std::string portFile;
    double seconds = 25;
    double songSeconds = 5;
    bool shoutcast = false;
};

bool Parse(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--port-file") == 0 && hasValue) {
            arguments.portFile = argv[++i];
        } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
            arguments.seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--song-seconds") == 0 && hasValue) {
            arguments.songSeconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--shoutcast") == 0) {
            arguments.shoutcast = true;
        } else {
            return false;
        }
    }
    return !arguments.portFile.empty() && arguments.seconds > 0 && arguments.songSeconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!Parse(argc, argv, arguments)) {
        std::fprintf(stderr,
                     "usage: demo_source --port-file FILE [--seconds N] [--song-seconds S]"
                     " [--shoutcast]\n");
        return 2;
    }
    static constexpr double kTonesHz[] = {440.0, 554.37, 659.25, 880.0};
    std::string audio;
    PacedSourceOptions options;
    options.statusLine = arguments.shoutcast ? "ICY 200 OK" : "HTTP/1.0 200 OK";
    options.stationName = "transcode demo station";
    options.metaInterval = 8192;
    options.bytesPerSecond = 16000;  // 128 kbit/s
    options.burstBytes = 32000;      // what a real server sends a new listener at once
    options.maxStreamMs = static_cast<int>((arguments.seconds + 30) * 1000);
    for (int song = 0; song * arguments.songSeconds < arguments.seconds; ++song) {
        const double toneHz = kTonesHz[song % 4];
        char title[128];
        std::snprintf(title, sizeof title, "Demo Artist - Song %d (%.0f Hz)", song + 1, toneHz);
        options.titles.push_back({audio.size(), title});
        audio += MakeMp3Tone({44100, 2, arguments.songSeconds, toneHz, 0.4f, 128});
    }

    PacedSource station(audio, options);
    if (!station.listening()) {
        std::fprintf(stderr, "demo_source: cannot listen on 127.0.0.1\n");
        return 1;
    }
    WriteWholeFile(arguments.portFile, std::to_string(station.port()) + "\n");
    std::printf("demo_source: %zu songs, %.0f s of audio at %s\n", options.titles.size(),
                arguments.seconds, station.url().c_str());
    std::fflush(stdout);

    WaitUntil([&] { return station.CompletedStreams() > 0; },
              std::chrono::milliseconds(options.maxStreamMs), std::chrono::milliseconds(200));
    std::printf("demo_source: done\n");
    return 0;
}
