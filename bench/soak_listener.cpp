#include "bench/soak_listener.h"

#include <algorithm>
#include <chrono>

#include "bench/measured_child.h"
#include "tests/support/audio_check.h"
#include "tests/support/icecast_server.h"
#include "tests/support/stream_listener.h"

namespace {

constexpr int kPollMs = 100;
// MP3 is decoded in slices so that an hour of audio never becomes one huge sample buffer; each
// cut costs at most the frame it splits (26 ms), which libmpg123 skips while it finds the next one.
constexpr std::size_t kMp3SliceBytes = 1 << 20;

double Mp3Seconds(const std::string& bytes) {
    double seconds = 0;
    for (std::size_t at = 0; at < bytes.size(); at += kMp3SliceBytes) {
        const DecodedAudio audio = DecodeMp3(bytes.substr(at, kMp3SliceBytes));
        if (audio.sampleRate > 0)
            seconds += static_cast<double>(audio.frameCount()) / audio.sampleRate;
    }
    return seconds;
}

double OggSeconds(const std::string& bytes) {
    double seconds = 0;
    for (const OggLink& link : DecodeOgg(bytes)) {
        if (link.audio.sampleRate > 0)
            seconds += static_cast<double>(link.audio.frameCount()) / link.audio.sampleRate;
    }
    return seconds;
}

}  // namespace

SoakListener::SoakListener(const IcecastServer& server, std::string mount, bool ogg, int maxMs)
    : server_(server), mount_(std::move(mount)), ogg_(ogg), maxMs_(maxMs) {
    thread_ = std::thread([this] { Run(); });
}

void SoakListener::Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

void SoakListener::Run() {
    const double end = MonotonicSeconds() + maxMs_ / 1000.0;
    const std::string url = "http://127.0.0.1:" + std::to_string(server_.port()) + mount_;
    std::string title;
    while (!stopping_.load() && MonotonicSeconds() < end) {
        if (!FindMountTitle(server_.FetchStatusJson(), mount_, title)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        ListenerConnection connection;
        connection.startedAt = MonotonicSeconds();
        StreamListener listener(url, static_cast<int>((end - connection.startedAt) * 1000));
        connection.bytes = listener.Finish();
        connection.endedAt = MonotonicSeconds();
        std::lock_guard hold(mutex_);
        connections_.push_back(std::move(connection));
    }
}

std::vector<ListenerConnection> SoakListener::DecodeAll() {
    Stop();
    std::lock_guard hold(mutex_);
    for (ListenerConnection& connection : connections_) {
        connection.audioSeconds =
            ogg_ ? OggSeconds(connection.bytes) : Mp3Seconds(connection.bytes);
        connection.bytes.clear();
        connection.bytes.shrink_to_fit();
    }
    return connections_;
}
