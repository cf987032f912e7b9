#include "common/station_metrics.h"

#include <algorithm>

namespace {

constexpr std::size_t kTitleRoom = 1023;  // the longest title the engine keeps

std::int64_t WallNs(std::chrono::system_clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

double WallSeconds(std::chrono::system_clock::time_point at) {
    return std::chrono::duration<double>(at.time_since_epoch()).count();
}

template <typename Reason, std::size_t N>
void Count(std::array<std::atomic<std::uint64_t>, N>& counters, Reason reason) {
    const auto index = static_cast<std::size_t>(reason);
    if (index < N) counters[index].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

const char* ReasonLabel(SourceEnd reason) {
    switch (reason) {
        case SourceEnd::kClosed:
            return "closed";
        case SourceEnd::kFailed:
            return "error";
        case SourceEnd::kStalled:
            return "stalled";
        case SourceEnd::kNoAudio:
            return "no_audio";
        case SourceEnd::kDeadAir:
            return "dead_air";
        case SourceEnd::kPrimaryBack:
            return "primary_back";
        default:
            return "other";
    }
}

const char* ReasonLabel(DestinationLoss reason) {
    switch (reason) {
        case DestinationLoss::kSendFailed:
            return "send_error";
        case DestinationLoss::kTimedOut:
            return "timeout";
        case DestinationLoss::kEncoderFailed:
            return "encoder";
        default:
            return "other";
    }
}

StationMetricsRecord::StationMetricsRecord() {
    startedAtWallNs_ = WallNs(WallClock::now());
}

void StationMetricsRecord::NoteSourceBytes(std::uint64_t byteCount) {
    sourceBytes_.fetch_add(byteCount, std::memory_order_relaxed);
}

void StationMetricsRecord::NoteSourceUp(bool up) {
    sourceUp_.store(up, std::memory_order_relaxed);
}

void StationMetricsRecord::NoteSourceEnd(SourceEnd reason) {
    Count(sourceEnds_, reason);
}

void StationMetricsRecord::NoteDestinationBytes(std::uint64_t byteCount) {
    destinationBytes_.fetch_add(byteCount, std::memory_order_relaxed);
}

void StationMetricsRecord::NoteAudioSent(std::uint64_t byteCount) {
    NoteDestinationBytes(byteCount);
    lastAudioTicks_.store(Ticks(Clock::now()), std::memory_order_relaxed);
    lastAudioWallNs_.store(WallNs(WallClock::now()), std::memory_order_relaxed);
}

void StationMetricsRecord::NoteDestinationState(DestinationState state) {
    destination_.store(static_cast<int>(state), std::memory_order_relaxed);
    if (state == DestinationState::kConnected) destinationEverConnected_ = true;
}

void StationMetricsRecord::NoteDestinationLoss(DestinationLoss reason) {
    Count(destinationLosses_, reason);
}

void StationMetricsRecord::NoteInputBuffer(double seconds) {
    inputBufferSeconds_.store(seconds, std::memory_order_relaxed);
}

void StationMetricsRecord::NoteTitleArrived(std::string_view title) {
    const auto wallNow = WallClock::now();
    const auto now = Clock::now();
    std::lock_guard lock(titleLock);
    title_.assign(title.substr(0, kTitleRoom));
    titleArrivedWall_ = wallNow;
    titleArrived_ = now;
    titlePending_ = true;
}

void StationMetricsRecord::NoteTitleDelivered() {
    const auto now = Clock::now();
    std::lock_guard lock(titleLock);
    if (!titlePending_) return;
    titlePending_ = false;
    const double delay = std::chrono::duration<double>(now - titleArrived_).count();
    ++titlesDelivered_;
    titleDelaySum_ += delay;
    for (std::size_t index = 0; index < kTitleDelayBounds.size(); ++index) {
        if (delay <= kTitleDelayBounds[index]) ++titleDelayBuckets_[index];
    }
}

void StationMetricsRecord::NoteAudioLevels(double peakDbfs, double shortTermLufs, bool silent) {
    peakDbfs_.store(peakDbfs, std::memory_order_relaxed);
    shortTermLufs_.store(shortTermLufs, std::memory_order_relaxed);
    silent_.store(silent, std::memory_order_relaxed);
}

StationMetricsRecord::Snapshot StationMetricsRecord::Read() const {
    Snapshot shot;
    shot.startedAt = WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
        std::chrono::nanoseconds(startedAtWallNs_.load())));
    shot.sourceUp = sourceUp_.load();
    shot.sourceBytes = sourceBytes_.load();
    for (std::size_t index = 0; index < sourceEnds_.size(); ++index) {
        shot.sourceEnds[index] = sourceEnds_[index].load();
    }
    shot.destination = static_cast<DestinationState>(destination_.load());
    shot.destinationEverConnected = destinationEverConnected_.load();
    shot.destinationBytes = destinationBytes_.load();
    for (std::size_t index = 0; index < destinationLosses_.size(); ++index) {
        shot.destinationLosses[index] = destinationLosses_[index].load();
    }
    const std::int64_t lastAudio = lastAudioTicks_.load();
    if (lastAudio != 0) {
        const auto since = Clock::now() - Clock::time_point(Clock::duration(lastAudio));
        shot.secondsSinceAudio = std::max(0.0, std::chrono::duration<double>(since).count());
        shot.lastAudioWallSeconds = static_cast<double>(lastAudioWallNs_.load()) / 1e9;
    }
    shot.inputBufferSeconds = inputBufferSeconds_.load();
    shot.peakDbfs = peakDbfs_.load();
    shot.shortTermLufs = shortTermLufs_.load();
    shot.silent = silent_.load();
    std::lock_guard lock(titleLock);
    shot.title = title_;
    if (titleArrivedWall_ != WallClock::time_point{}) {
        shot.titleWallSeconds = WallSeconds(titleArrivedWall_);
    }
    shot.titlesDelivered = titlesDelivered_;
    shot.titleDelayBuckets = titleDelayBuckets_;
    shot.titleDelaySum = titleDelaySum_;
    return shot;
}

void StationMetricsRecord::Reset() {
    startedAtWallNs_ = WallNs(WallClock::now());
    sourceUp_ = false;
    sourceBytes_ = 0;
    for (auto& counter : sourceEnds_) counter = 0;
    destination_ = static_cast<int>(DestinationState::kNotConnected);
    destinationEverConnected_ = false;
    destinationBytes_ = 0;
    for (auto& counter : destinationLosses_) counter = 0;
    lastAudioTicks_ = 0;
    lastAudioWallNs_ = 0;
    inputBufferSeconds_ = 0.0;
    NoteAudioLevels(kNoLevel, kNoLevel, false);
    std::lock_guard lock(titleLock);
    title_.clear();
    titleArrivedWall_ = {};
    titleArrived_ = {};
    titlePending_ = false;
    titlesDelivered_ = 0;
    titleDelayBuckets_ = {};
    titleDelaySum_ = 0.0;
}

StationMetricsRecord& StationMetrics() {
    static StationMetricsRecord record;
    return record;
}
