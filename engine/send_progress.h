// How much of the stream the destination has actually taken, so that one that keeps the
// connection open but stops reading is noticed within the socket time-out.
//
// A send only waits once our send buffer is full, and the peer's kernel goes on acknowledging
// into its receive buffer until that is full too: at 128 kbit/s a destination that stopped
// reading is noticed by a full buffer only after four or five minutes. What the peer has taken is
// what was handed to the kernel minus what the kernel still holds unacknowledged; when that has not
// grown for kSocketTimeoutSeconds while bytes wait, the destination is taken for gone. The clock
// thus starts when the peer's window closes, not when ours does.
//
// One record per stream connection (EngineState::streamProgress), used by the thread that sends
// the encoded audio (and, before that, logs in).
#pragma once

#include <chrono>
#include <cstdint>

class SendProgress {
  public:
    using Clock = std::chrono::steady_clock;

    // A new connection: nothing handed over, nothing waiting.
    void Restart() { *this = SendProgress(); }
    // Bytes the kernel took for sending on this connection.
    void Handed(std::uint64_t byteCount) { handedBytes_ += byteCount; }
    // A look after a send, with the bytes the kernel still holds unacknowledged. False when bytes
    // have waited and the peer has taken none for the time-out.
    bool PeerKeepsUp(std::uint64_t queuedBytes, Clock::time_point now);

  private:
    std::uint64_t handedBytes_ = 0;
    std::uint64_t takenBytes_ = 0;      // by the peer, at the last look
    bool waiting_ = false;              // bytes were unacknowledged at the last look
    Clock::time_point waitingSince_{};  // the look that began the wait or saw the peer take more
};

// Bytes sent on a TCP socket that its peer has not acknowledged yet; -1 when the system cannot
// tell (the time-out from the peer's progress is then left out).
long UnacknowledgedBytes(int descriptor);
