// The texts the status listener serves, built from a snapshot of the station's counters
// (common/station_metrics.h), the station's fixed facts and the process's own figures. Pure
// functions of their arguments, so that tests read them without a listener.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/station_metrics.h"

// What the configuration fixed at start; taken once, before the listener's thread starts.
struct StationFacts {
    std::string sourceUrl;    // credentials masked
    std::string destination;  // host:port/mount
    std::string serverType;
    std::string format;       // "MP3", "Ogg Vorbis" or "Ogg Opus"
    std::string settings;     // the bitrate description, as the status line shows it
    int sampleRate = 0;
    int channels = 0;
    std::string version;
};

// The process's own figures, from /proc (zeros where it cannot be read).
struct ProcessFigures {
    double cpuSeconds = 0.0;
    double residentBytes = 0.0;
    double openDescriptors = 0.0;
    double startTimeSeconds = 0.0;  // since the epoch
};
ProcessFigures ReadProcessFigures();

// Audio sent this long ago or more makes the station unhealthy.
inline constexpr double kHealthyAudioAgeSeconds = 5.0;

struct Health {
    bool ok = false;
    std::string text;  // "ok", or the one-line reason
};
Health HealthOf(const StationMetricsRecord::Snapshot& shot);

// The Prometheus text exposition format, version 0.0.4.
std::string MetricsPage(const StationMetricsRecord::Snapshot& shot, const StationFacts& facts,
                        const ProcessFigures& process);
// One JSON object.
std::string StatusJson(const StationMetricsRecord::Snapshot& shot, const StationFacts& facts);

// A JSON string literal of the text, quotes included: control bytes escaped, and a text that is
// not valid UTF-8 read as Windows-1252 (AsUtf8), so that any title gives valid JSON.
std::string JsonQuoted(std::string_view text);
