#include "input/ring_source.h"

void RingByteSource::SetState(State state) {
    {
        std::lock_guard lock(signalLock);
        state_.store(state, std::memory_order_release);
    }
    changed_.notify_all();
}

void RingByteSource::Rearm() {
    {
        std::lock_guard lock(signalLock);
        readerEnded_ = false;
    }
    SetState(kOpen);
}

void RingByteSource::ReaderEnded() {
    {
        std::lock_guard lock(signalLock);
        readerEnded_ = true;
    }
    changed_.notify_all();
}

void RingByteSource::NotifyWritten() {
    { std::lock_guard lock(signalLock); }
    changed_.notify_all();
}

bool RingByteSource::WaitForRoom(std::size_t byteCount, std::chrono::milliseconds limit) {
    std::unique_lock lock(signalLock);
    return changed_.wait_for(lock, limit, [this, byteCount] {
        return ring_.capacity() - ring_.count() >= byteCount || readerEnded_ ||
               state_.load(std::memory_order_acquire) != kOpen;
    });
}

std::size_t RingByteSource::Read(void* dest, std::size_t byteCount) {
    std::unique_lock lock(signalLock);
    for (;;) {
        // The state is read before the count: once the writer has finished, the count seen
        // afterwards includes every byte it wrote.
        const int state = state_.load(std::memory_order_acquire);
        if (state == kAbandoned) return 0;
        if (ring_.count() >= byteCount || state == kFinished) {
            lock.unlock();
            const std::size_t taken = ring_.readSome(dest, byteCount);
            // The writer may be waiting for the room this read made. Taking the lock first means
            // it is either waiting already or will see the room when it checks.
            { std::lock_guard hold(signalLock); }
            changed_.notify_all();
            return taken;
        }
        // No wake-up is lost: the writer counts its bytes before it takes the lock to notify,
        // and every state change is made under the lock.
        changed_.wait(lock);
    }
}
