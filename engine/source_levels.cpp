// Source levels: libebur128 in short-term mode with sample peaks, a 3 s window of peaks in slots
// of 100 ms, and the silence watch. See source_levels.h for who calls what on which thread.
//
// Cost: the K-weighting filter runs on every sample; the short-term loudness sums the whole 3 s
// window, so it is computed once per second of audio (and for a level line), not per block.
// The meter is built again only when the source's rate or channel count changes.
#include "engine/source_levels.h"

#include <ebur128.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>

#include "common/log.h"
#include "engine/libzembril.h"

namespace {

constexpr double kNoLevel = -std::numeric_limits<double>::infinity();
// The short-term window, 3 s, in slots of 100 ms for the peak.
constexpr std::size_t kPeakSlots = 30;
constexpr double kSlotSeconds = 0.1;
// How often the published loudness is refreshed, in seconds of audio.
constexpr double kLoudnessRefreshSeconds = 1.0;
// Rates and channel counts a real stream has; the intake refuses other rates anyway, and the
// meter is not built for a format no decoder gives.
constexpr int kMinMeteredRate = 1000;
constexpr int kMaxMeteredRate = 768000;
constexpr int kMaxMeteredChannels = 8;

// Owns one ebur128_state for one source format.
class LoudnessMeter {
  public:
    LoudnessMeter() = default;
    ~LoudnessMeter() { Release(); }
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // True when a meter for this format stands; a new format starts a new one.
    bool Prepare(unsigned channels, unsigned long rate) {
        if (state_ != nullptr && channels == channels_ && rate == rate_) return true;
        Release();
        state_ = ebur128_init(channels, rate, EBUR128_MODE_S | EBUR128_MODE_SAMPLE_PEAK);
        channels_ = channels;
        rate_ = rate;
        return state_ != nullptr;
    }

    // The block's sample peak over all channels (linear); negative when the meter refused it.
    double Add(const float* samples, std::size_t frameCount) {
        if (ebur128_add_frames_float(state_, samples, frameCount) != EBUR128_SUCCESS) return -1.0;
        double peak = 0.0;
        for (unsigned channel = 0; channel < channels_; ++channel) {
            double channelPeak = 0.0;
            if (ebur128_prev_sample_peak(state_, channel, &channelPeak) == EBUR128_SUCCESS) {
                peak = std::max(peak, channelPeak);
            }
        }
        return peak;
    }

    double ShortTermLufs() const {
        double loudness = kNoLevel;
        if (state_ == nullptr || ebur128_loudness_shortterm(state_, &loudness) != EBUR128_SUCCESS) {
            return kNoLevel;
        }
        return loudness;
    }

    void Release() {
        if (state_ != nullptr) ebur128_destroy(&state_);
        state_ = nullptr;
    }

  private:
    ebur128_state* state_ = nullptr;
    unsigned channels_ = 0;
    unsigned long rate_ = 0;
};

// The meter and the watch below are guarded by levelsLock: the thread that decodes the source
// meters, the source input restarts the silence watch at each transfer.
struct Levels {
    std::array<double, kPeakSlots> slotPeaks{};  // linear
    std::size_t slot = 0;
    double slotSeconds = 0.0;
    double secondsSinceLoudness = 0.0;
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
    const EngineState& engine = Engine();
    return levelsKept.load(std::memory_order_relaxed) || engine.levelLogSecs > 0 ||
           engine.silenceSecs > 0;
}

void NotePeak(double blockPeak, double blockSeconds) {
    levels.slotPeaks[levels.slot] = std::max(levels.slotPeaks[levels.slot], blockPeak);
    levels.slotSeconds += blockSeconds;
    if (levels.slotSeconds < kSlotSeconds) return;
    const double windowPeak = *std::max_element(levels.slotPeaks.begin(), levels.slotPeaks.end());
    publishedPeakDbfs.store(ToDbfs(windowPeak), std::memory_order_relaxed);
    levels.slot = (levels.slot + 1) % kPeakSlots;
    levels.slotPeaks[levels.slot] = 0.0;
    levels.slotSeconds = 0.0;
}

void NoteLoudness(double blockSeconds) {
    levels.secondsSinceLoudness += blockSeconds;
    if (levels.secondsSinceLoudness < kLoudnessRefreshSeconds) return;
    levels.secondsSinceLoudness = 0.0;
    publishedLufs.store(meter.ShortTermLufs(), std::memory_order_relaxed);
}

void LogLevelsWhenDue(double blockSeconds) {
    const int interval = Engine().levelLogSecs;
    if (interval <= 0) return;
    levels.secondsSinceLevelLine += blockSeconds;
    if (levels.secondsSinceLevelLine < interval) return;
    levels.secondsSinceLevelLine = 0.0;
    const double loudness = meter.ShortTermLufs();
    publishedLufs.store(loudness, std::memory_order_relaxed);
    LogMessage(LOG_INFO, kLogEngine, __LINE__,
               "Source level: short-term loudness %.1f LUFS, peak %.1f dBFS", loudness,
               publishedPeakDbfs.load(std::memory_order_relaxed));
}

// Below the threshold the stretch grows; its first SilenceSecs make it dead air (one Error line
// per stretch), and the first block above the threshold ends it.
void WatchSilence(double blockPeak, double blockSeconds) {
    const EngineState& engine = Engine();
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
    if (!meter.Prepare(static_cast<unsigned>(channels),
                              static_cast<unsigned long>(sampleRate))) {
        return;
    }
    const double blockPeak = meter.Add(samples, static_cast<std::size_t>(frameCount));
    if (blockPeak < 0.0) return;
    const double blockSeconds = static_cast<double>(frameCount) / sampleRate;
    NotePeak(blockPeak, blockSeconds);
    NoteLoudness(blockSeconds);
    LogLevelsWhenDue(blockSeconds);
    WatchSilence(blockPeak, blockSeconds);
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
