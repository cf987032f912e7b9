// Plain TCP sockets on 127.0.0.1 for the tests' servers and clients (and the benchmarks').
#pragma once

#include <cstdint>

// A listening socket on 127.0.0.1; port 0 picks a free one. -1 on failure.
int ListenOnLoopback(std::uint16_t port = 0, int backlog = 16);
// The port a socket is bound to; 0 when it cannot be told.
std::uint16_t BoundPort(int descriptor);
// A port on 127.0.0.1 that no one listened on a moment ago, for a program that binds it itself;
// 0 on failure.
std::uint16_t FreeLoopbackPort();
// A socket connected to 127.0.0.1:port; -1 on failure.
int ConnectToLoopback(std::uint16_t port);
