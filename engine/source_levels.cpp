// Source levels: the K-weighted loudness of 100 ms slots and their sample peaks
// (loudness_filter.h), a 3 s window of thirty such slots, and the silence watch. See
// source_levels.h for who calls what on which thread.
//
// The short-term loudness is BS.1770's over 3 s: the mean of the K-weighted energy of the last 30
// slots. The blocks are cut at the slot boundaries, so each slot holds exactly its 100 ms. The
// K-weighting filter on every sample is the main cost. The meter is prepared again only when the
// rate or the channel count of the source changes.
#include "engine/source_levels.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <numeric>

#include "common/log.h"
#include "common/station_metrics.h"
#include "engine/libzembril.h"
#include "engine/loudness_filter.h"

namespace {

constexpr double kNoLevel = -std::numeric_limits<double>::infinity();
// The short-term window, 3 s, in slots of 100 ms.
constexpr std::size_t kSlots = 30;
constexpr unsigned kSlotMs = 100;
// BS.1770: loudness = -0.691 + 10 log10(weighted energy).
constexpr double kLoudnessOffset = -0.691;
// Rates and channel counts a real stream has; the intake refuses other rates anyway, and the
// meter is not prepared for a format no decoder gives.
constexpr int kMinMeteredRate = 1000;
constexpr int kMaxMeteredRate = 768000;
constexpr int kMaxMeteredChannels = static_cast<int>(LoudnessFilter::kMaxChannels);

// The filter for one source format, and the slots of the last 3 s.
class LoudnessMeter {
  public:
    // A new format starts the filter again, with empty slots.
    void Prepare(unsigned channels, unsigned long rate) {
        if (prepared_ && channels == channels_ && rate == rate_) return;
        Release();
        filter_.Prepare(channels, rate);
        prepared_ = true;
        channels_ = channels;
        rate_ = rate;
        slotFrames_ = std::max<std::size_t>(1, rate * kSlotMs / 1000);
    }

    // The block's sample peak over all channels (linear).
    double Add(const float* samples, std::size_t frameCount) {
        double blockPeak = 0.0;
        while (frameCount > 0) {
            const std::size_t frames = std::min(frameCount, slotFrames_ - framesInSlot_);
            const double piecePeak = filter_.Add(samples, frames);
            blockPeak = std::max(blockPeak, piecePeak);
            slotPeaks_[slot_] = std::max(slotPeaks_[slot_], piecePeak);
            samples += frames * channels_;
            frameCount -= frames;
            framesInSlot_ += frames;
            if (framesInSlot_ == slotFrames_) CloseSlot();
        }
        return blockPeak;
    }

    // Over the completed slots of the last 3 s.
    double ShortTermLufs() const {
        if (filledSlots_ == 0) return kNoLevel;
        const double energy =
            std::accumulate(slotEnergies_.begin(), slotEnergies_.end(), 0.0) / filledSlots_;
        return energy > 0.0 ? kLoudnessOffset + 10.0 * std::log10(energy) : kNoLevel;
    }

    double WindowPeak() const { return *std::max_element(slotPeaks_.begin(), slotPeaks_.end()); }

    void Release() {
        prepared_ = false;
        slotEnergies_.fill(0.0);
        slotPeaks_.fill(0.0);
        slot_ = 0;
        filledSlots_ = 0;
        framesInSlot_ = 0;
    }

  private:
    // The slot's 100 ms are in: its energy is kept, the next slot starts empty.
    void CloseSlot() {
        slotEnergies_[slot_] = filter_.TakeMeanSquare();
        slot_ = (slot_ + 1) % kSlots;
        filledSlots_ = std::min(filledSlots_ + 1, kSlots);
        slotEnergies_[slot_] = 0.0;
        slotPeaks_[slot_] = 0.0;
        framesInSlot_ = 0;
    }

    LoudnessFilter filter_;
    bool prepared_ = false;
    unsigned channels_ = 0;
    unsigned long rate_ = 0;
    std::size_t slotFrames_ = 0;
    std::size_t framesInSlot_ = 0;
    std::array<double, kSlots> slotEnergies_{};  // K-weighted mean square, channels summed
    std::array<double, kSlots> slotPeaks_{};     // linear
    std::size_t slot_ = 0;
    std::size_t filledSlots_ = 0;
};

// The meter and the watch below are guarded by levelsLock: the thread that decodes the source
// meters, the source input restarts the silence watch at each transfer.
struct Levels {
    double secondsSinceLevelLine = 0.0;
    // Below the threshold: the whole stretch (for the lines) and its part in this transfer.
    double silentSeconds = 0.0;
    double transferSilentSeconds = 0.0;
};

std::mutex levelsLock;
LoudnessMeter meter;
Levels levels;

// Published for any thread.
std::atomic<double> publishedPeakDbfs{kNoLevel};
std::atomic<double> publishedLufs{kNoLevel};
std::atomic<bool> silentFlag{false};
std::atomic<bool> deadAirFlag{false};
std::atomic<bool> levelsKept{false};
static_assert(std::atomic<double>::is_always_lock_free);

double ToDbfs(double linear) {
    return linear > 0.0 ? 20.0 * std::log10(linear) : kNoLevel;
}

bool MeteringWanted() {
    const EngineSettings& engine = Engine().settings;
    return levelsKept.load(std::memory_order_relaxed) || engine.levelLogSecs > 0 ||
           engine.silenceSecs > 0;
}

void PublishReading() {
    publishedPeakDbfs.store(ToDbfs(meter.WindowPeak()), std::memory_order_relaxed);
    publishedLufs.store(meter.ShortTermLufs(), std::memory_order_relaxed);
}

void LogLevelsWhenDue(double blockSeconds) {
    const int interval = Engine().settings.levelLogSecs;
    if (interval <= 0) return;
    levels.secondsSinceLevelLine += blockSeconds;
    if (levels.secondsSinceLevelLine < interval) return;
    levels.secondsSinceLevelLine = 0.0;
    LogMessage(LOG_INFO, kLogEngine, __LINE__,
               "Source level: short-term loudness %.1f LUFS, peak %.1f dBFS",
               publishedLufs.load(std::memory_order_relaxed),
               publishedPeakDbfs.load(std::memory_order_relaxed));
}

// Below the threshold the stretch grows; its first SilenceSecs make it dead air (one Error line
// per stretch), and the first block above the threshold ends it.
void WatchSilence(double blockPeak, double blockSeconds) {
    const EngineSettings& engine = Engine().settings;
    if (engine.silenceSecs <= 0) return;
    const double threshold = std::pow(10.0, engine.silenceThreshold / 20.0);
    if (blockPeak >= threshold) {
        if (silentFlag.load(std::memory_order_relaxed)) {
            LogMessage(LOG_INFO, kLogEngine, __LINE__,
                       "Sound from the source again after %.0f s of dead air",
                       levels.silentSeconds);
        }
        silentFlag.store(false);
        deadAirFlag.store(false);
        levels.silentSeconds = 0.0;
        levels.transferSilentSeconds = 0.0;
        return;
    }
    levels.silentSeconds += blockSeconds;
    levels.transferSilentSeconds += blockSeconds;
    if (levels.transferSilentSeconds >= engine.silenceSecs) deadAirFlag.store(true);
    if (levels.silentSeconds < engine.silenceSecs || silentFlag.load(std::memory_order_relaxed)) {
        return;
    }
    silentFlag.store(true);
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "Dead air: the source has stayed below %d dBFS for %d s",
               static_cast<int>(engine.silenceThreshold), static_cast<int>(engine.silenceSecs));
}

}  // namespace

SourceLevelReading CurrentSourceLevels() {
    return {publishedPeakDbfs.load(std::memory_order_relaxed),
            publishedLufs.load(std::memory_order_relaxed), silentFlag.load()};
}

void KeepSourceLevels() {
    levelsKept.store(true);
}

void MeterSourceBlock(const float* samples, int frameCount, int channels, int sampleRate) {
    if (samples == nullptr || frameCount <= 0 || channels < 1 || channels > kMaxMeteredChannels ||
        sampleRate < kMinMeteredRate || sampleRate > kMaxMeteredRate || !MeteringWanted()) {
        return;
    }
    std::lock_guard lock(levelsLock);
    meter.Prepare(static_cast<unsigned>(channels), static_cast<unsigned long>(sampleRate));
    const double blockPeak = meter.Add(samples, static_cast<std::size_t>(frameCount));
    const double blockSeconds = static_cast<double>(frameCount) / sampleRate;
    PublishReading();
    LogLevelsWhenDue(blockSeconds);
    WatchSilence(blockPeak, blockSeconds);
    const SourceLevelReading reading = CurrentSourceLevels();
    StationMetrics().NoteAudioLevels(reading.peakDbfs, reading.shortTermLufs, reading.silent);
}

void RestartSilenceWatch() {
    std::lock_guard lock(levelsLock);
    levels.transferSilentSeconds = 0.0;
    deadAirFlag.store(false);
}

bool SourceDeadAir() {
    return deadAirFlag.load();
}

void ResetSourceLevels() {
    std::lock_guard lock(levelsLock);
    meter.Release();
    levels = Levels{};
    publishedPeakDbfs.store(kNoLevel);
    publishedLufs.store(kNoLevel);
    silentFlag.store(false);
    deadAirFlag.store(false);
    levelsKept.store(false);
}
