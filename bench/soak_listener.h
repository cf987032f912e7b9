// A listener of one mount that comes back after every outage: for the soak benchmark. On a
// thread of its own it waits until the server lists the mount, listens until the stream ends
// (the server restarted or the source left), and starts again, keeping each connection's bytes
// and times. The audio is decoded only at the end, so decoding never delays a reconnection.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class IcecastServer;

struct ListenerConnection {
    double startedAt = 0;  // MonotonicSeconds()
    double endedAt = 0;
    std::string bytes;
    double audioSeconds = 0;  // filled by DecodeAll
};

class SoakListener {
  public:
    // Listens for at most maxMs in all.
    SoakListener(const IcecastServer& server, std::string mount, bool ogg, int maxMs);
    ~SoakListener() { Stop(); }
    SoakListener(const SoakListener&) = delete;
    SoakListener& operator=(const SoakListener&) = delete;

    // Ends after the connection in progress has ended (the caller ends the stream first).
    void Stop();
    // Decodes every connection's audio (after Stop) and returns the connections.
    std::vector<ListenerConnection> DecodeAll();

  private:
    void Run();

    const IcecastServer& server_;
    std::string mount_;
    bool ogg_;
    int maxMs_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;  // guards connections_
    std::vector<ListenerConnection> connections_;
    std::thread thread_;
};
