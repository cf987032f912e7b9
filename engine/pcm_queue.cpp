#include "engine/pcm_queue.h"

#include <algorithm>

namespace {

// Buffers kept for reuse; beyond this a returned buffer is freed.
constexpr std::size_t kSpareBuffers = 8;

// A block's share of the limit. A block without a usable rate still counts, as if at CD rate,
// so that a stream of them cannot grow the queue without bound.
double BlockSeconds(int frameCount, int sampleRate) {
    constexpr int kCountedRateWithoutOne = 44100;
    return static_cast<double>(frameCount) / (sampleRate > 0 ? sampleRate : kCountedRateWithoutOne);
}

}  // namespace

void PcmQueue::QueueLocked(const float* samples, int frameCount, int channels, int sampleRate) {
    PcmBlock block;
    if (!spare_.empty()) {
        block.samples = std::move(spare_.back());
        spare_.pop_back();
    }
    const auto sampleCount = static_cast<std::size_t>(frameCount) * static_cast<std::size_t>(channels);
    block.samples.assign(samples, samples + sampleCount);
    block.frameCount = frameCount;
    block.channels = channels;
    block.sampleRate = sampleRate;
    queuedSeconds_ += BlockSeconds(frameCount, sampleRate);
    blocks_.push_back(std::move(block));
}

PcmQueue::TakeResult PcmQueue::Take(PcmBlock& block, Clock::time_point deadline) {
    std::unique_lock lock(queueLock);
    for (;;) {
        if (abandoned_) return TakeResult::kEnded;
        if (!blocks_.empty()) break;
        if (inputEnded_) return TakeResult::kEnded;
        if (woken_) {
            woken_ = false;
            return TakeResult::kTimedOut;
        }
        if (blockAdded_.wait_until(lock, deadline) == std::cv_status::timeout &&
            blocks_.empty() && !inputEnded_ && !abandoned_) {
            return TakeResult::kTimedOut;
        }
    }
    block = std::move(blocks_.front());
    blocks_.pop_front();
    queuedSeconds_ = std::max(0.0, queuedSeconds_ - BlockSeconds(block.frameCount, block.sampleRate));
    if (blocks_.empty()) queuedSeconds_ = 0.0;
    const bool wakeProducers = queuedSeconds_ < kResumeSeconds;
    lock.unlock();
    if (wakeProducers) roomFreed_.notify_all();
    return TakeResult::kBlock;
}

void PcmQueue::Recycle(PcmBlock& block) {
    std::lock_guard lock(queueLock);
    if (spare_.size() < kSpareBuffers) spare_.push_back(std::move(block.samples));
    block.samples = {};
}

void PcmQueue::EndInput(bool abandon) {
    {
        std::lock_guard lock(queueLock);
        inputEnded_ = true;
        if (abandon) {
            abandoned_ = true;
            blocks_.clear();
            queuedSeconds_ = 0.0;
        }
    }
    blockAdded_.notify_all();
    roomFreed_.notify_all();
}

void PcmQueue::Wake() {
    {
        std::lock_guard lock(queueLock);
        woken_ = true;
    }
    blockAdded_.notify_all();
}

void PcmQueue::Reset() {
    std::lock_guard lock(queueLock);
    blocks_.clear();
    spare_.clear();
    queuedSeconds_ = 0.0;
    inputEnded_ = false;
    abandoned_ = false;
    woken_ = false;
}

bool PcmQueue::WaitUnlessAbandoned(Clock::time_point deadline) {
    std::unique_lock lock(queueLock);
    return blockAdded_.wait_until(lock, deadline, [this] { return abandoned_; });
}

bool PcmQueue::WaitUnlessInputEnded(Clock::time_point deadline) {
    std::unique_lock lock(queueLock);
    return blockAdded_.wait_until(lock, deadline, [this] { return inputEnded_; });
}

bool PcmQueue::InputEnded() {
    std::lock_guard lock(queueLock);
    return inputEnded_;
}

double PcmQueue::QueuedSeconds() {
    std::lock_guard lock(queueLock);
    return queuedSeconds_;
}
