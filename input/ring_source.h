// The Ogg Vorbis decoder thread's view of the ring buffer.
//
// The main thread writes the body into the ring buffer; the decoder thread reads it through this
// source. A read waits until all the bytes it asks for are buffered, polling every 250
// microseconds, because a live stream has no end to report. When the transfer is over, the main
// thread either finishes the source (the thread gets what is left, then 0) or abandons it (the
// thread gets 0 at once), and then joins the thread.
#pragma once

#include <atomic>
#include <cstddef>

#include "decoders/oggvdecoder.h"
#include "input/ring_buffer.h"

class RingByteSource final : public OggByteSource {
  public:
    explicit RingByteSource(RingBuffer& ring) : ring_(ring) {}

    std::size_t Read(void* dest, std::size_t byteCount) override;

    // Main thread: no more bytes will be written. Safe to call more than once.
    void Finish() { state_.store(kFinished, std::memory_order_release); }
    // Main thread: the run is being stopped; the buffered rest is not wanted.
    void Abandon() { state_.store(kAbandoned, std::memory_order_release); }
    // Before a new transfer.
    void Rearm() { state_.store(kOpen, std::memory_order_release); }

  private:
    enum State : int { kOpen, kFinished, kAbandoned };

    RingBuffer& ring_;
    std::atomic<int> state_{kOpen};
};
