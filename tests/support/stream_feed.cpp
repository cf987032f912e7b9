#include "tests/support/stream_feed.h"

#include <chrono>

#include "engine/libzembril.h"

namespace {

constexpr auto kPauseBetweenBlocks = std::chrono::milliseconds(2);

}  // namespace

int FeedTone(SineGenerator& tone, int sourceRate, double seconds, int blockFrames) {
    const long totalFrames = static_cast<long>(seconds * sourceRate);
    int result = 1;
    for (long fed = 0; fed < totalFrames; fed += blockFrames) {
        const std::vector<float> block = tone.Next(blockFrames);
        result = ProcessSamples(block.data(), blockFrames, tone.channelCount(), sourceRate);
    }
    return result;
}

std::string AfterLogin(const std::string& received) {
    const std::size_t icecast2End = received.find("\n\n");
    const std::size_t otherEnd = received.find("\r\n\r\n");
    if (icecast2End == std::string::npos && otherEnd == std::string::npos) return "";
    if (otherEnd != std::string::npos &&
        (icecast2End == std::string::npos || otherEnd < icecast2End)) {
        return received.substr(otherEnd + 4);
    }
    return received.substr(icecast2End + 2);
}

BackgroundFeeder::BackgroundFeeder(int sourceRate, std::vector<double> toneHz, int maxBlocks,
                                   int stopOnResult)
    : sourceRate_(sourceRate),
      tone_(sourceRate, std::move(toneHz)),
      maxBlocks_(maxBlocks),
      stopOnResult_(stopOnResult) {}

void BackgroundFeeder::Start() {
    thread_ = std::thread([this] { Run(); });
}

void BackgroundFeeder::Stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

void BackgroundFeeder::Run() {
    for (int block = 0; block < maxBlocks_ && !stopping_; ++block) {
        const std::vector<float> frames = tone_.Next(kDecoderBlockFrames);
        const int result =
            ProcessSamples(frames.data(), kDecoderBlockFrames, tone_.channelCount(), sourceRate_);
        lastResult_ = result;
        if (result == stopOnResult_) break;
        std::this_thread::sleep_for(kPauseBetweenBlocks);
    }
    finished_ = true;
}
