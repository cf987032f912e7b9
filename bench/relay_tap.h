// A timestamping TCP relay between `transcode` and the destination server for the latency
// benchmark: the program is configured to send to this port, and every connection is forwarded
// to the real server on a thread of this class. It notes, stamped with MonotonicSeconds(), when
// each connection's request was answered (a source login accepted) and when a title "Song NN"
// first passed towards the server (in an admin title request, URL-encoded, or in an Ogg comment
// header), so the time a title leaves the program can be told apart from the time the server
// takes to show it.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RelayTap {
  public:
    explicit RelayTap(uint16_t serverPort);
    ~RelayTap();
    RelayTap(const RelayTap&) = delete;
    RelayTap& operator=(const RelayTap&) = delete;

    uint16_t port() const { return port_; }
    // When the first connection whose request starts with `method` got its first answer bytes; 0
    // while none has.
    double AnsweredAt(const std::string& method) const;
    // When "Song <index>" first passed towards the server; 0 while it has not.
    double TitleSentAt(int index) const;

  private:
    struct Link {
        int client = -1;
        int server = -1;
        std::string requestStart;  // the first bytes the client sent
        bool answered = false;
        std::string tail;  // the last bytes towards the server, for titles cut between reads
    };

    void Run();
    void Accept();
    bool Forward(Link& link, bool fromClient);
    void ScanForTitles(Link& link, const char* bytes, std::size_t byteCount, double now);

    uint16_t serverPort_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::vector<Link> links_;  // the thread's own
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;  // guards the two maps
    std::map<std::string, double> answeredAt_;
    std::map<int, double> titleSentAt_;
    std::thread thread_;
};
