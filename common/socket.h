// Outgoing TCP connections for the output engine.
//
// CMySocket resolves a host, opens a stream socket with 10-second send and receive time-outs and
// connects; the caller then owns the plain descriptor. The time-outs are what turns a stalled or
// vanished server into a failed send instead of a thread blocked for ever.
#pragma once

#include <cstdint>

class CMySocket {
public:
    virtual ~CMySocket() = default;

    // Descriptor of a connected TCP socket, or -1. The host is a name or a dotted IPv4 address.
    int ConnectTo(const char* host, std::uint16_t port);
};

// Makes sends on a connection the peer has closed fail with EPIPE instead of ending the process.
// Idempotent; ConnectTo calls it each time, so every descriptor it hands out is covered.
void IgnoreBrokenPipeSignal();

inline constexpr int kSocketTimeoutSeconds = 10;
