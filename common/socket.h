// Outgoing TCP connections for the output engine, and the bounded waits of every socket call.
//
// CMySocket resolves a host, opens a stream socket with 10-second send and receive time-outs and
// connects; the caller then owns the plain descriptor. A stalled or vanished server must end in a
// failed call, never in a thread blocked for ever: the socket options bound plain calls, and
// WaitForSocket bounds the waits of callers that poll before they send or receive.
//
// Nothing here blocks for longer than kSocketWaitSliceMs without asking the caller's give-up
// check (a stop request), so a signal that asks the program to stop is honoured within a slice,
// while the 10-second limit still holds for the operation as a whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

inline constexpr int kSocketTimeoutSeconds = 10;
inline constexpr int kSocketWaitSliceMs = 100;

// Asked between the slices of a wait; true gives the operation up. nullptr: never give up early.
using GiveUpCheck = bool (*)();

class CMySocket {
public:
    virtual ~CMySocket() = default;

    // Descriptor of a connected TCP socket, or -1. The host is a name or a dotted IPv4 address.
    // On failure, `failure` (when given) receives the reason: the resolver's or the system's
    // text, "no answer within 10 seconds" or "stop requested".
    int ConnectTo(const char* host, std::uint16_t port, GiveUpCheck giveUp = nullptr,
                  std::string* failure = nullptr);
};

enum class SocketWait { kReady, kTimedOut, kGivenUp, kFailed };

// Waits until the descriptor is ready for the poll events (POLLIN, POLLOUT), the deadline has
// passed, or giveUp says so. kFailed carries the system's reason in errno.
SocketWait WaitForSocket(int descriptor, short events,
                         std::chrono::steady_clock::time_point deadline, GiveUpCheck giveUp);

// Makes sends on a connection the peer has closed fail with EPIPE instead of ending the process.
// Idempotent; ConnectTo calls it each time, so every descriptor it hands out is covered.
void IgnoreBrokenPipeSignal();
