// Watching a local Icecast2 server's mount for the latency benchmark, each on a thread of its
// own, every observation stamped with MonotonicSeconds():
// - MountWatch polls /status-json.xsl every few milliseconds and notes when the mount first
//   appears and when each distinct title first shows;
// - OggCommentWatch listens to an Ogg mount and notes when each Vorbis comment header (the start
//   of a chained stream) arrives, with its ARTIST and TITLE.
// Both stop at their time limit or when stopped.
// BareSourceLogin is the reference for the mount: a source login made by the benchmark itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class IcecastServer;

struct SeenTitle {
    double atSeconds = 0;
    std::string title;
};

class MountWatch {
  public:
    MountWatch(const IcecastServer& server, std::string mount, int pollMs, int maxMs);
    ~MountWatch() { Stop(); }
    MountWatch(const MountWatch&) = delete;
    MountWatch& operator=(const MountWatch&) = delete;

    void Stop();
    double mountSeenAt() const { return mountSeenAt_.load(); }  // 0 while not seen
    std::vector<SeenTitle> Titles() const;

  private:
    void Run();

    const IcecastServer& server_;
    std::string mount_;
    int pollMs_;
    int maxMs_;
    std::atomic<bool> stopping_{false};
    std::atomic<double> mountSeenAt_{0};
    mutable std::mutex mutex_;  // guards titles_
    std::vector<SeenTitle> titles_;
    std::thread thread_;
};

class OggCommentWatch {
  public:
    OggCommentWatch(std::string url, int maxMs);
    ~OggCommentWatch() { Stop(); }
    OggCommentWatch(const OggCommentWatch&) = delete;
    OggCommentWatch& operator=(const OggCommentWatch&) = delete;

    void Stop();
    // "ARTIST - TITLE" of every comment header received, in order.
    std::vector<SeenTitle> Titles() const;

    // Takes newly received bytes (the curl callback's work).
    void Take(const char* bytes, std::size_t byteCount);
    bool stopping() const { return stopping_.load(); }

  private:
    void Run();

    std::string url_;
    int maxMs_;
    std::atomic<bool> stopping_{false};
    std::string pending_;       // received bytes not yet scanned (listener thread only)
    mutable std::mutex mutex_;  // guards titles_
    std::vector<SeenTitle> titles_;
    std::thread thread_;
};

// Logs in as an MP3 source on the mount (an HTTP PUT as Icecast 2.4 takes it) and holds the
// connection until destroyed: the server's own time to list a mount, without the relay.
class BareSourceLogin {
  public:
    BareSourceLogin(const IcecastServer& server, const std::string& mount);
    ~BareSourceLogin();
    BareSourceLogin(const BareSourceLogin&) = delete;
    BareSourceLogin& operator=(const BareSourceLogin&) = delete;

    double startedAt() const { return startedAt_; }    // before the connection was opened
    double acceptedAt() const { return acceptedAt_; }  // the "200" answer came; 0 if it did not

  private:
    int descriptor_ = -1;
    double startedAt_ = 0;
    double acceptedAt_ = 0;
};
