// The Ogg decoder thread's view of the ring buffer.
//
// The main thread writes the body into the ring buffer; the decoder thread reads it through this
// source. A read waits until all the bytes it asks for are buffered, because a live stream has no
// end to report; the writer waits for room while the reader is behind. Both wait on one
// condition (`signalLock`), woken by the other side, so a stalled or idle stream costs no CPU:
// the reader sleeps until bytes come or the source ends. When the transfer is over, the main
// thread either finishes the source (the thread gets what is left, then 0) or abandons it (the
// thread gets 0 at once), and then joins the thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "decoders/oggvdecoder.h"
#include "input/ring_buffer.h"

class RingByteSource final : public OggByteSource {
  public:
    explicit RingByteSource(RingBuffer& ring) : ring_(ring) {}

    std::size_t Read(void* dest, std::size_t byteCount) override;
    // The decoder thread, as it returns: a writer waiting for room waits no more.
    void ReaderEnded() override;
    bool Abandoned() const override { return state_.load(std::memory_order_acquire) == kAbandoned; }

    // Main thread: no more bytes will be written. Safe to call more than once.
    void Finish() { SetState(kFinished); }
    // Main thread: the run is being stopped; the buffered rest is not wanted.
    void Abandon() { SetState(kAbandoned); }
    // Before a new transfer.
    void Rearm();

    // Main thread, after writing: wakes a reader that waits for bytes.
    void NotifyWritten();
    // Main thread: waits until byteCount bytes fit, the reader has ended, or at most `limit` (a
    // stop request comes from a signal handler, which cannot wake a condition). True when they
    // fit.
    bool WaitForRoom(std::size_t byteCount, std::chrono::milliseconds limit);

  private:
    enum State : int { kOpen, kFinished, kAbandoned };

    void SetState(State state);

    RingBuffer& ring_;
    std::atomic<int> state_{kOpen};
    std::mutex signalLock;  // pairs with `changed_`; the ring itself needs no lock
    std::condition_variable changed_;
    bool readerEnded_ = false;  // guarded by signalLock; cleared by Rearm
};
