// A listener of a stream: fetches a URL on a background thread for at most a given time and keeps
// every byte of the body. Used against the local Icecast2 server's mounts. While it runs, it can
// also watch the server's status page and note every title a mount shows.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class StreamListener {
  public:
    // Starts fetching at once; the fetch ends when the server closes the stream or after maxMs.
    StreamListener(std::string url, int maxMs);
    ~StreamListener();
    StreamListener(const StreamListener&) = delete;
    StreamListener& operator=(const StreamListener&) = delete;

    // Waits for the end of the fetch and returns the body.
    std::string Finish();
    std::size_t ByteCount() const;

  private:
    void Run();

    std::string url_;
    int maxMs_;
    mutable std::mutex mutex_;  // guards body_
    std::string body_;
    std::thread thread_;
};

// Polls a status URL (Icecast's /status-json.xsl) every 100 ms on a thread of its own and keeps
// the distinct titles the mount shows, in the order they first appear.
class TitleWatcher {
  public:
    TitleWatcher(uint16_t port, std::string mount, int maxMs);
    ~TitleWatcher();
    TitleWatcher(const TitleWatcher&) = delete;
    TitleWatcher& operator=(const TitleWatcher&) = delete;

    std::vector<std::string> Stop();  // ends the polling, returns the titles seen

  private:
    void Run();

    uint16_t port_;
    std::string mount_;
    int maxMs_;
    std::atomic<bool> stopping_{false};
    std::vector<std::string> titles_;  // written by the thread until Stop joins it
    std::thread thread_;
};

// Body of an HTTP GET with a time limit ("" on failure).
std::string FetchUrl(const std::string& url, int timeoutMs);
