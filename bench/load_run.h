// One run of the many-station load benchmark: N paced ICY MP3 stations (threads of this process),
// each relayed by its own process into one local Icecast2 server, half of them as MP3 and half
// as Ogg Vorbis, a listener on every mount. The relay is the real `transcode` binary or, for
// comparison, FFmpeg with the same encoder settings.
#pragma once

#include <string>
#include <vector>

enum class Relayer { kTranscode, kFfmpeg };

struct LoadSettings {
    int stations = 16;
    double seconds = 60;     // of audio per station
    double titleEvery = 10;  // a new title every so many seconds of audio
    std::string transcode;   // paths of the two programs
    std::string ffmpeg;
};

struct StationResult {
    bool ogg = false;
    bool endedWell = false;     // ended by itself after its station (exit status 1 or 0)
    double endLagSeconds = -1;  // from the station's last byte to the relay's end
    double cpuPerAudioMinute = 0;
    double privateMiB = 0;       // median of the samples after the first 10 s
    double residentMiB = 0;      // likewise
    double listenerSeconds = 0;  // audio a listener of the mount received
    int titlesSent = 0;
    int titlesShown = 0;
};

struct LoadResult {
    bool ran = false;  // false when the server or the stations could not start
    double audioSeconds = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;  // all relays together
    std::vector<StationResult> stations;

    // Every relay ended by itself within a few seconds of its station, and every listener got
    // (nearly) all of its station's audio.
    bool AllRealTime() const;
};

// The music-like MP3 the stations send (made once per benchmark).
std::string LoadStationAudio(const LoadSettings& settings);

LoadResult RunLoad(const LoadSettings& settings, Relayer relayer, int stations,
                   const std::string& audio);
