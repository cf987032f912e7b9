// The status listener: plain HTTP on StatusAddress:StatusPort, serving /metrics (Prometheus),
// /healthz and /status.json from the station's counters (common/station_metrics.h).
//
// libmicrohttpd answers on one internal thread of its own (poll), never on an audio thread; what
// it reads is a snapshot of atomics and one short-held lock, so a client can only slow that one
// thread down. Its memory is bounded: at most kMostConnections at once (kMostPerAddress from one
// address), kConnectionMemoryBytes each (a longer request is refused), each closed after
// kIdleSeconds without progress.
//
// main starts one after the configuration is applied and the object ends it with the run.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "frontend/status_pages.h"

struct MHD_Daemon;

class StatusListener {
  public:
    static constexpr unsigned kMostConnections = 16;
    static constexpr unsigned kMostPerAddress = 8;
    static constexpr unsigned kConnectionMemoryBytes = 16 * 1024;
    static constexpr unsigned kIdleSeconds = 5;

    // Serves on the address and port (nothing for port 0). A port already taken, a port or an
    // address that is none, or a daemon that cannot start is an Error line; the run goes on
    // without the listener.
    StatusListener(const std::string& address, int port, StationFacts facts);
    // Serves on a port the system chooses (tests): see Port().
    static std::unique_ptr<StatusListener> OnFreePort(const std::string& address,
                                                      StationFacts facts);
    ~StatusListener();
    StatusListener(const StatusListener&) = delete;
    StatusListener& operator=(const StatusListener&) = delete;

    bool Serving() const { return daemon_ != nullptr; }
    // The port it serves on; 0 when not serving.
    int Port() const { return port_; }

    // For the request handler (the listener's thread).
    const StationFacts& Facts() const { return facts_; }

  private:
    explicit StatusListener(StationFacts facts) : facts_(std::move(facts)) {}
    void Start(const std::string& address, int port);
    int OpenListenSocket(const std::string& address, int port);

    StationFacts facts_;
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;
};

// The facts the configuration fixed (EngineState, after ApplyConfig).
StationFacts StationFactsOfConfiguration();
