// A station for tests: a loopback HTTP server that streams prepared audio bytes at a set pace,
// with ICY metadata blocks carrying changing titles, as Shoutcast and Icecast servers do.
//
// It answers each connection with a status line ("HTTP/1.0 200 OK", or Shoutcast's
// "ICY 200 OK"), the icy-* header lines and the body. When the client asked for metadata
// ("Icy-MetaData:1"), a metadata block follows every metaInterval audio bytes. Connections are
// served one after the other in a background thread; every send and wait is bounded, each
// connection ends after the audio (or maxStreamMs), and the destructor stops the thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TitleCue {
    std::size_t audioByteOffset = 0;  // the title is current from this audio byte on
    std::string title;
};

// The titles one after the other, each current for `secondsEach` of audio at `bytesPerSecond`.
std::vector<TitleCue> TitlesEvery(double secondsEach, double bytesPerSecond,
                                  const std::vector<std::string>& titles);

struct PacedSourceOptions {
    std::string statusLine = "HTTP/1.0 200 OK";
    std::string contentType = "audio/mpeg";  // empty: no Content-Type line
    std::string stationName = "Test Station";
    int metaInterval = 8192;        // 0: no icy-metaint line and no metadata blocks
    std::vector<TitleCue> titles;   // by offset; the first should start at 0
    bool repeatTitles = true;       // every metadata block carries the title, not only changes
    std::string fieldsBeforeTitle;  // metadata fields before StreamTitle, as "StreamUrl='...';"
    double bytesPerSecond = 16000;  // audio bytes per second; 0 sends as fast as the client reads
    std::size_t burstBytes = 0;     // sent at once before the pacing starts
    int loopCount = 1;              // how many times the audio is sent on one connection
    int maxStreamMs = 60000;        // a connection never lasts longer
    std::size_t chunkBytes = 4096;  // bytes per send
    bool holdAnswer = false;        // answer no request before Release() (or maxStreamMs)
    uint16_t port = 0;              // 0: a free one; a given port lets a new station take the
                                    // place of one that went away
    int silentHoldMs = 0;           // after the stream, the connection stays open this long
                                    // without a byte (a stalled station) unless the client closes
    int streamLimit = 0;            // after this many streams every request is refused with
                                    // "503 Service Unavailable"; 0: no limit
};

class PacedSource {
  public:
    PacedSource(std::string audio, PacedSourceOptions options);
    ~PacedSource();
    PacedSource(const PacedSource&) = delete;
    PacedSource& operator=(const PacedSource&) = delete;

    bool listening() const { return listenDescriptor_ >= 0; }
    uint16_t port() const { return port_; }
    std::string url(const std::string& path = "/stream") const;

    // The request headers of every connection served so far.
    std::vector<std::string> Requests() const;
    // Connections whose stream has been sent completely.
    int CompletedStreams() const { return completed_.load(); }
    // Lets held requests be answered (see holdAnswer).
    void Release() { released_.store(true); }
    void Stop();

    // The body a client that asked for metadata receives for this audio (for in-process tests).
    static std::string IcyBody(const std::string& audio, const PacedSourceOptions& options);
    // One metadata block: the length byte, fieldsBefore and StreamTitle='title'; padded to 16
    // bytes.
    static std::string MetadataBlock(const std::string& title,
                                     const std::string& fieldsBefore = "");

  private:
    void Run();
    void Serve(int descriptor);
    bool ReadRequest(int descriptor, std::string& request);
    bool SendPaced(int descriptor, const std::string& bytes);
    void HoldSilently(int descriptor);
    bool Refusing() const;

    std::string audio_;
    PacedSourceOptions options_;
    std::string plainBody_;  // the audio, looped
    std::string icyBody_;    // the same with metadata blocks, for clients that ask for them
    int listenDescriptor_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> completed_{0};
    int served_ = 0;  // streams begun; the server thread's own
    std::atomic<bool> released_{false};
    mutable std::mutex mutex_;  // guards requests_
    std::vector<std::string> requests_;
    std::thread thread_;
};
