// A destination for the relay benchmarks: accepts every connection on a loopback port, answers
// its first bytes (a SOURCE or PUT login) with "HTTP/1.0 200 OK" as Icecast2 does, and reads
// until the connection is closed, discarding. One thread serves all connections.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

class DiscardSink {
  public:
    DiscardSink();
    ~DiscardSink();
    DiscardSink(const DiscardSink&) = delete;
    DiscardSink& operator=(const DiscardSink&) = delete;

    uint16_t port() const { return port_; }
    std::uint64_t bytes() const { return bytes_.load(); }  // received on all connections so far
    int openConnections() const { return open_.load(); }
    // Waits (at most timeoutMs) until every connection has been closed by its peer.
    bool WaitUntilAllClosed(int timeoutMs) const;

  private:
    void Run();
    void Serve(std::size_t index, char* buffer, std::size_t bufferBytes);

    int listen_ = -1;
    uint16_t port_ = 0;
    std::vector<pollfd> fds_;  // sink thread only; [0] is the listening socket
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<int> open_{0};
    std::thread thread_;
};
