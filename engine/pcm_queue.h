// The bounded queue between the source side and the output loop: decoded PCM blocks, each with
// its own channel count and rate, so that a source which comes back in another format needs no
// flush of what is queued.
//
// Producers (the thread decoding the source) wait while the queue holds its limit of audio:
// back-pressure, nothing is dropped, and a source faster than real time is read at the pace the
// output consumes. One consumer (the output loop) takes blocks in order. Every member is guarded
// by `queueLock`; the block buffers are recycled so that the steady state allocates nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

struct PcmBlock {
    std::vector<float> samples;  // interleaved, channels × frameCount
    int frameCount = 0;
    int channels = 0;
    int sampleRate = 0;
};

class PcmQueue {
  public:
    using Clock = std::chrono::steady_clock;

    // What a producer's block became.
    enum class PushResult { kQueued, kDropped };
    // What the consumer got.
    enum class TakeResult { kBlock, kTimedOut, kEnded };

    // Audio the queue holds at most before a producer waits. A live source arrives at its own
    // pace and the queue holds a block or two; only a source that is ahead (a server's burst at
    // the start, a reconnection) fills it, and the rest of such a burst waits, still compressed,
    // in the input buffer. Every block up to the limit stays allocated for reuse, so the limit is
    // short: a quarter of a second is some 90 KiB of stereo audio.
    static constexpr double kLimitSeconds = 0.25;
    // A waiting producer is woken once the queue has drained below this, not at every block
    // taken: a source ahead of the output then refills the queue in one go instead of trading a
    // wake-up with the consumer for every block (two system calls and two thread switches each).
    static constexpr double kResumeSeconds = kLimitSeconds / 2;

    // Copies the block in, waiting for room. `keepWaiting` is asked at least every
    // kProducerWakeInterval while the queue is full; once it says no, the block is dropped.
    template <typename KeepWaiting>
    PushResult Push(const float* samples, int frameCount, int channels, int sampleRate,
                    KeepWaiting keepWaiting);

    // The next block, waiting until `deadline` for one. kEnded once the input has ended and
    // every block has been taken (or at once after EndInput with abandon).
    TakeResult Take(PcmBlock& block, Clock::time_point deadline);
    // Gives a taken block's buffer back for reuse.
    void Recycle(PcmBlock& block);

    // No more blocks will come; with abandon, the queued ones are dropped too.
    void EndInput(bool abandon);
    // Wakes the consumer without a block (a state change it should look at).
    void Wake();
    // Empty and open again, for a new run.
    void Reset();

    // Waits until `deadline` unless the queue is abandoned first; true when it was.
    bool WaitUnlessAbandoned(Clock::time_point deadline);
    // Waits until `deadline` unless the input ends (or is abandoned) first; true when it has.
    bool WaitUnlessInputEnded(Clock::time_point deadline);
    bool InputEnded();

    double QueuedSeconds();

    static constexpr std::chrono::milliseconds kProducerWakeInterval{100};

  private:
    bool HasRoomLocked() const { return queuedSeconds_ < kLimitSeconds || blocks_.empty(); }
    void QueueLocked(const float* samples, int frameCount, int channels, int sampleRate);

    std::mutex queueLock;
    std::condition_variable roomFreed_;   // producers wait on it
    std::condition_variable blockAdded_;  // the consumer waits on it
    std::deque<PcmBlock> blocks_;
    std::vector<std::vector<float>> spare_;
    double queuedSeconds_ = 0.0;
    bool inputEnded_ = false;
    bool abandoned_ = false;
    bool woken_ = false;
};

template <typename KeepWaiting>
PcmQueue::PushResult PcmQueue::Push(const float* samples, int frameCount, int channels,
                                    int sampleRate, KeepWaiting keepWaiting) {
    std::unique_lock lock(queueLock);
    while (!HasRoomLocked()) {
        if (inputEnded_ || !keepWaiting()) return PushResult::kDropped;
        roomFreed_.wait_for(lock, kProducerWakeInterval);
    }
    if (inputEnded_) return PushResult::kDropped;
    QueueLocked(samples, frameCount, channels, sampleRate);
    lock.unlock();
    blockAdded_.notify_one();
    return PushResult::kQueued;
}
