#include "frontend/status_pages.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <span>

#include "common/text_encoding.h"

namespace {

using Snapshot = StationMetricsRecord::Snapshot;

// Prometheus and JSON both want "1.5"; Prometheus spells the infinities and NaN its own way.
std::string Number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string Number(std::uint64_t value) {
    return std::to_string(value);
}

// JSON has no infinities: a level not measured yet is null.
std::string JsonNumber(double value) {
    return std::isfinite(value) ? Number(value) : "null";
}

const char* JsonBool(bool value) {
    return value ? "true" : "false";
}

// Label values: backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        if (c == '\n') {
            escaped += "\\n";
            continue;
        }
        escaped += c;
    }
    return escaped;
}

class Exposition {
  public:
    void Family(const char* name, const char* type, const char* help) {
        page_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(std::string_view name, const std::string& value, std::string_view labels = {}) {
        page_.append(name);
        if (!labels.empty()) page_.append("{").append(labels).append("}");
        page_.append(" ").append(value).append("\n");
    }
    std::string Take() { return std::move(page_); }

  private:
    std::string page_;
};

template <typename Reason, std::size_t N>
void ReasonSamples(Exposition& page, const char* name, const std::array<std::uint64_t, N>& counts) {
    for (std::size_t index = 0; index < N; ++index) {
        const std::string labels =
            std::string("reason=\"") + ReasonLabel(static_cast<Reason>(index)) + "\"";
        page.Sample(name, Number(counts[index]), labels);
    }
}

void TitleDelayHistogram(Exposition& page, const Snapshot& shot) {
    const char* name = "transcode_title_delay_seconds";
    page.Family(name, "histogram",
                "Seconds from a title's arrival from the source to its delivery to the "
                "destination.");
    const auto& bounds = StationMetricsRecord::kTitleDelayBounds;
    for (std::size_t index = 0; index < bounds.size(); ++index) {
        page.Sample("transcode_title_delay_seconds_bucket", Number(shot.titleDelayBuckets[index]),
                    "le=\"" + Number(bounds[index]) + "\"");
    }
    page.Sample("transcode_title_delay_seconds_bucket", Number(shot.titlesDelivered),
                "le=\"+Inf\"");
    page.Sample("transcode_title_delay_seconds_sum", Number(shot.titleDelaySum));
    page.Sample("transcode_title_delay_seconds_count", Number(shot.titlesDelivered));
}

void StationFamilies(Exposition& page, const Snapshot& shot) {
    page.Family("transcode_source_up", "gauge", "1 while audio arrives from the source.");
    page.Sample("transcode_source_up", shot.sourceUp ? "1" : "0");
    page.Family("transcode_destination_up", "gauge", "1 while the destination is connected.");
    page.Sample("transcode_destination_up",
                shot.destination == DestinationState::kConnected ? "1" : "0");
    page.Family("transcode_source_bytes_total", "counter", "Bytes received from the source.");
    page.Sample("transcode_source_bytes_total", Number(shot.sourceBytes));
    page.Family("transcode_destination_bytes_total", "counter",
                "Bytes sent to the destination's stream connection.");
    page.Sample("transcode_destination_bytes_total", Number(shot.destinationBytes));
    page.Family("transcode_source_reconnects_total", "counter",
                "Source transfers that ended and were begun again, by why they ended.");
    ReasonSamples<SourceEnd>(page, "transcode_source_reconnects_total", shot.sourceEnds);
    page.Family("transcode_destination_reconnects_total", "counter",
                "Destination connections lost, by why.");
    ReasonSamples<DestinationLoss>(page, "transcode_destination_reconnects_total",
                                   shot.destinationLosses);
    page.Family("transcode_last_audio_timestamp_seconds", "gauge",
                "When encoded audio last reached the destination (0: not yet).");
    page.Sample("transcode_last_audio_timestamp_seconds", Number(shot.lastAudioWallSeconds));
    page.Family("transcode_input_buffer_seconds", "gauge",
                "Decoded audio waiting for the output.");
    page.Sample("transcode_input_buffer_seconds", Number(shot.inputBufferSeconds));
    page.Family("transcode_titles_total", "counter", "Titles delivered to the destination.");
    page.Sample("transcode_titles_total", Number(shot.titlesDelivered));
    TitleDelayHistogram(page, shot);
}

void AudioFamilies(Exposition& page, const Snapshot& shot) {
    page.Family("transcode_audio_peak_dbfs", "gauge",
                "Peak level of the audio sent, in dBFS (-Inf before the first measurement).");
    page.Sample("transcode_audio_peak_dbfs", Number(shot.peakDbfs));
    page.Family("transcode_audio_loudness_lufs", "gauge",
                "Short-term loudness of the audio sent, in LUFS (-Inf before the first "
                "measurement).");
    page.Sample("transcode_audio_loudness_lufs", Number(shot.shortTermLufs));
    page.Family("transcode_silence", "gauge", "1 while the source is dead air (below SilenceThreshold for SilenceSecs).");
    page.Sample("transcode_silence", shot.silent ? "1" : "0");
}

void ProcessFamilies(Exposition& page, const ProcessFigures& process) {
    page.Family("process_cpu_seconds_total", "counter",
                "Total user and system CPU time spent in seconds.");
    page.Sample("process_cpu_seconds_total", Number(process.cpuSeconds));
    page.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    page.Sample("process_resident_memory_bytes", Number(process.residentBytes));
    page.Family("process_open_fds", "gauge", "Number of open file descriptors.");
    page.Sample("process_open_fds", Number(process.openDescriptors));
    page.Family("process_start_time_seconds", "gauge",
                "Start time of the process since unix epoch in seconds.");
    page.Sample("process_start_time_seconds", Number(process.startTimeSeconds));
}

double SecondsSinceEpoch(std::chrono::system_clock::time_point at) {
    return std::chrono::duration<double>(at.time_since_epoch()).count();
}

std::uint64_t Sum(std::span<const std::uint64_t> counts) {
    std::uint64_t total = 0;
    for (const std::uint64_t count : counts) total += count;
    return total;
}

template <typename Reason, std::size_t N>
std::string ReasonObject(const std::array<std::uint64_t, N>& counts) {
    std::string object = "{";
    for (std::size_t index = 0; index < N; ++index) {
        if (index > 0) object += ",";
        object += JsonQuoted(ReasonLabel(static_cast<Reason>(index))) + ":" + Number(counts[index]);
    }
    return object + "}";
}

// The state in a few words: the health's reason, or what is relayed.
std::string StateOf(const Snapshot& shot) {
    const Health health = HealthOf(shot);
    if (!health.ok) return health.text;
    return shot.sourceUp ? "relaying" : "relaying silence";
}

}  // namespace

Health HealthOf(const Snapshot& shot) {
    switch (shot.destination) {
        case DestinationState::kReconnecting:
            return {false, "destination reconnecting"};
        case DestinationState::kLost:
            return {false, "destination lost"};
        case DestinationState::kNotConnected:
            return {false, shot.destinationEverConnected ? "destination disconnected"
                                                         : "connecting to destination"};
        case DestinationState::kConnected:
            break;
    }
    if (shot.secondsSinceAudio >= 0 && shot.secondsSinceAudio < kHealthyAudioAgeSeconds) {
        return {true, "ok"};
    }
    if (!shot.sourceUp) return {false, "waiting for source"};
    if (shot.secondsSinceAudio < 0) return {false, "no audio sent yet"};
    return {false, "no audio sent for " + std::to_string(static_cast<long>(shot.secondsSinceAudio)) +
                       " s"};
}

std::string MetricsPage(const Snapshot& shot, const StationFacts& facts,
                        const ProcessFigures& process) {
    Exposition page;
    StationFamilies(page, shot);
    AudioFamilies(page, shot);
    page.Family("transcode_build_info", "gauge", "The program's version, as a label; always 1.");
    page.Sample("transcode_build_info", "1", "version=\"" + LabelValue(facts.version) + "\"");
    ProcessFamilies(page, process);
    return page.Take();
}

std::string StatusJson(const Snapshot& shot, const StationFacts& facts) {
    const double uptime =
        std::max(0.0, SecondsSinceEpoch(std::chrono::system_clock::now()) -
                          SecondsSinceEpoch(shot.startedAt));
    std::string json = "{";
    json += "\"state\":" + JsonQuoted(StateOf(shot));
    json += ",\"healthy\":" + std::string(JsonBool(HealthOf(shot).ok));
    json += ",\"uptime_seconds\":" + Number(std::floor(uptime));
    json += ",\"version\":" + JsonQuoted(facts.version);
    json += ",\"source\":{\"url\":" + JsonQuoted(facts.sourceUrl);
    json += ",\"up\":" + std::string(JsonBool(shot.sourceUp));
    json += ",\"bytes\":" + Number(shot.sourceBytes);
    json += ",\"reconnects\":" + Number(Sum(shot.sourceEnds));
    json += ",\"reconnect_reasons\":" + ReasonObject<SourceEnd>(shot.sourceEnds) + "}";
    json += ",\"destination\":{\"address\":" + JsonQuoted(facts.destination);
    json += ",\"server_type\":" + JsonQuoted(facts.serverType);
    json += ",\"up\":" + std::string(JsonBool(shot.destination == DestinationState::kConnected));
    json += ",\"bytes\":" + Number(shot.destinationBytes);
    json += ",\"reconnects\":" + Number(Sum(shot.destinationLosses));
    json += ",\"reconnect_reasons\":" + ReasonObject<DestinationLoss>(shot.destinationLosses);
    json += ",\"seconds_since_audio\":" +
            (shot.secondsSinceAudio < 0 ? std::string("null") : Number(shot.secondsSinceAudio));
    json += "}";
    json += ",\"title\":{\"text\":" + JsonQuoted(shot.title);
    json += ",\"since\":" +
            (shot.titleWallSeconds > 0 ? Number(std::floor(shot.titleWallSeconds)) : "null");
    json += ",\"delivered\":" + Number(shot.titlesDelivered) + "}";
    json += ",\"output\":{\"format\":" + JsonQuoted(facts.format);
    json += ",\"settings\":" + JsonQuoted(facts.settings);
    json += ",\"sample_rate\":" + std::to_string(facts.sampleRate);
    json += ",\"channels\":" + std::to_string(facts.channels) + "}";
    json += ",\"audio\":{\"peak_dbfs\":" + JsonNumber(shot.peakDbfs);
    json += ",\"loudness_lufs\":" + JsonNumber(shot.shortTermLufs);
    json += ",\"silent\":" + std::string(JsonBool(shot.silent));
    json += ",\"input_buffer_seconds\":" + Number(shot.inputBufferSeconds) + "}";
    return json + "}\n";
}

std::string JsonQuoted(std::string_view text) {
    const std::string utf8 = AsUtf8(text);
    std::string quoted = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(byte));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}
