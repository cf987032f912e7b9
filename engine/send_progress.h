// How much of the stream the destination has actually taken, so that one that keeps the
// connection open but stops reading is noticed within the socket time-out.
//
// A send only waits once our send buffer is full, and the peer's kernel goes on acknowledging
// into its receive buffer until that is full too: at 128 kbit/s a destination that stopped
// reading is noticed by a full buffer only after four or five minutes, and by the end of the
// acknowledgements only once its receive window has closed, some ten seconds later on loopback.
// What tells at once is the right edge of the window the peer offers (acknowledged bytes plus
// the window): it moves on by what the peer's program reads. A paused peer's kernel still lets
// it creep (it grows the window it offers as data comes in), but by far less than what it is
// sent (up to half of it in the first seconds); so the peer counts as reading while the edge
// advances by at least three quarters of what was handed over since the last look that saw it keep
// up. A reader's edge lags only by the bytes in flight, so over a few sends it keeps that pace. When it has not for kSocketTimeoutSeconds, the
// destination is taken for gone.
//
// One record per stream connection (DestinationConnection::streamProgress), used by the thread
// that sends the encoded audio (and, before that, logs in).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

class SendProgress {
  public:
    using Clock = std::chrono::steady_clock;

    // A new connection: nothing handed over, nothing waiting.
    void Restart() { *this = SendProgress(); }
    // Bytes the kernel took for sending on this connection.
    void Handed(std::uint64_t byteCount) { handedBytes_ += byteCount; }
    std::uint64_t HandedBytes() const { return handedBytes_; }
    // A look after a send, with the right edge of the peer's window in bytes of this connection
    // (any fixed offset will do). False when the peer has read less than three quarters of what
    // it was handed for the time-out.
    bool PeerKeepsUp(std::uint64_t windowEdge, Clock::time_point now);

  private:
    std::uint64_t handedBytes_ = 0;
    bool looked_ = false;
    // The last look that saw the peer keep up.
    std::uint64_t edgeKeptUp_ = 0;
    std::uint64_t handedKeptUp_ = 0;
    Clock::time_point keptUpAt_{};
};

// The right edge of the window the TCP peer offers on this socket, or, where the system does
// not tell the window, the bytes it acknowledged (handedBytes less what is still unacknowledged).
// Empty when the system tells neither.
std::optional<std::uint64_t> PeerWindowEdge(int descriptor, std::uint64_t handedBytes);
