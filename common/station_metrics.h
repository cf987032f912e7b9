// The station's counters: one process-wide record of what the run has done, for the status
// listener (frontend/status_listener.h) to show.
//
// The source side (the main thread, the Ogg Vorbis decoder thread), the output loop's thread and
// the title sender's thread feed it with one-line calls where bytes arrive, bytes go out,
// connections come and go and titles are delivered; the listener's thread reads a Snapshot. The
// counters are atomics; the current title, its times and the histogram of title delays are behind
// `titleLock`. Nothing here blocks on I/O, so a slow reader of the record never holds the audio up.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>

// Why a source transfer ended before another was begun.
enum class SourceEnd : int { kClosed, kFailed, kStalled, kNoAudio, kDeadAir, kPrimaryBack, kCount };
// Why the connection to the destination was lost.
enum class DestinationLoss : int { kSendFailed, kTimedOut, kEncoderFailed, kCount };
// Where the destination connection stands.
enum class DestinationState : int { kNotConnected, kConnected, kReconnecting, kLost };

// The label values of the reconnect counters ("closed", "timeout", ...).
const char* ReasonLabel(SourceEnd reason);
const char* ReasonLabel(DestinationLoss reason);

class StationMetricsRecord {
  public:
    using WallClock = std::chrono::system_clock;
    using Clock = std::chrono::steady_clock;

    // Upper bounds in seconds of the title delay histogram's buckets (+Inf follows).
    static constexpr std::array<double, 9> kTitleDelayBounds{0.05, 0.1, 0.25, 0.5, 1.0,
                                                             2.0,  3.0, 5.0,  10.0};
    // The audio levels before the first measurement: no signal measured is no level, -Inf.
    static constexpr double kNoLevel = -std::numeric_limits<double>::infinity();

    // ---- the feeding side: each a few atomic operations, or one short hold of titleLock ----
    void NoteSourceBytes(std::uint64_t byteCount);
    void NoteSourceUp(bool up);
    void NoteSourceEnd(SourceEnd reason);
    void NoteDestinationBytes(std::uint64_t byteCount);
    // Encoded audio reached the destination just now: its bytes, and the time of the last audio.
    void NoteAudioSent(std::uint64_t byteCount);
    void NoteDestinationState(DestinationState state);
    void NoteDestinationLoss(DestinationLoss reason);
    void NoteInputBuffer(double seconds);
    // A new title arrived from the source (or the fallback took over): its text and now.
    void NoteTitleArrived(std::string_view title);
    // The latest title reached the destination; its delay since arrival goes into the histogram.
    void NoteTitleDelivered();
    // Peak level in dBFS, short-term loudness in LUFS and the silence flag of the audio sent.
    void NoteAudioLevels(double peakDbfs, double shortTermLufs, bool silent);

    // ---- the reading side ----
    struct Snapshot {
        WallClock::time_point startedAt{};
        bool sourceUp = false;
        std::uint64_t sourceBytes = 0;
        std::array<std::uint64_t, static_cast<int>(SourceEnd::kCount)> sourceEnds{};
        DestinationState destination = DestinationState::kNotConnected;
        bool destinationEverConnected = false;
        std::uint64_t destinationBytes = 0;
        std::array<std::uint64_t, static_cast<int>(DestinationLoss::kCount)> destinationLosses{};
        // Wall-clock seconds of the last audio sent (0: none yet), and how long ago on the
        // steady clock (negative: none yet).
        double lastAudioWallSeconds = 0.0;
        double secondsSinceAudio = -1.0;
        double inputBufferSeconds = 0.0;
        std::string title;
        double titleWallSeconds = 0.0;  // when it arrived; 0: no title yet
        std::uint64_t titlesDelivered = 0;
        std::array<std::uint64_t, kTitleDelayBounds.size()> titleDelayBuckets{};  // cumulative
        double titleDelaySum = 0.0;
        double peakDbfs = kNoLevel;
        double shortTermLufs = kNoLevel;
        bool silent = false;
    };
    Snapshot Read() const;

    // Back to the state of a new process (tests; the start time becomes now).
    void Reset();

    StationMetricsRecord();

  private:
    static std::int64_t Ticks(Clock::time_point at) { return at.time_since_epoch().count(); }

    std::atomic<std::int64_t> startedAtWallNs_{0};
    std::atomic<bool> sourceUp_{false};
    std::atomic<std::uint64_t> sourceBytes_{0};
    std::array<std::atomic<std::uint64_t>, static_cast<int>(SourceEnd::kCount)> sourceEnds_{};
    std::atomic<int> destination_{0};
    std::atomic<bool> destinationEverConnected_{false};
    std::atomic<std::uint64_t> destinationBytes_{0};
    std::array<std::atomic<std::uint64_t>, static_cast<int>(DestinationLoss::kCount)>
        destinationLosses_{};
    std::atomic<std::int64_t> lastAudioTicks_{0};  // steady clock; 0: none yet
    std::atomic<std::int64_t> lastAudioWallNs_{0};
    std::atomic<double> inputBufferSeconds_{0.0};
    std::atomic<double> peakDbfs_{kNoLevel};
    std::atomic<double> shortTermLufs_{kNoLevel};
    std::atomic<bool> silent_{false};

    // Guards the members below: the source's thread writes the title, the output loop and the
    // title sender deliver it, the listener reads them.
    mutable std::mutex titleLock;
    std::string title_;
    WallClock::time_point titleArrivedWall_{};
    Clock::time_point titleArrived_{};
    bool titlePending_ = false;  // arrived, not delivered yet
    std::uint64_t titlesDelivered_ = 0;
    std::array<std::uint64_t, kTitleDelayBounds.size()> titleDelayBuckets_{};
    double titleDelaySum_ = 0.0;
};

// The process-wide record.
StationMetricsRecord& StationMetrics();
