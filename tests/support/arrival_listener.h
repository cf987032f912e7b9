// A listener that reads a mount with a plain HTTP/1.0 request on loopback, on a thread of its
// own, and notes when every piece of the body arrived: for checks on how long a listener went
// without bytes and on whether the server kept it connected. The reading ends with Stop(), when
// the server closes the connection, or after maxMs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ArrivalListener {
  public:
    using Clock = std::chrono::steady_clock;

    struct Arrival {
        Clock::time_point at;
        std::size_t byteCount = 0;  // of the body
    };

    ArrivalListener(uint16_t port, std::string path, int maxMs);
    ~ArrivalListener();
    ArrivalListener(const ArrivalListener&) = delete;
    ArrivalListener& operator=(const ArrivalListener&) = delete;

    // Ends the reading and waits for the thread; the results below are whole afterwards.
    void Stop();

    std::string StatusLine() const;  // of the answer, "" before it arrived
    std::string Body() const;        // the bytes after the answer's header
    std::vector<Arrival> Arrivals() const;
    // The server ended the connection (or it failed) before Stop() or maxMs.
    bool DroppedByServer() const { return dropped_.load(); }
    struct Silence {
        Clock::duration after{};  // the first body byte
        Clock::duration length{};
    };
    // The longest time without body bytes from the first of them to the end of the reading.
    Silence LongestSilence() const;
    // From the first body byte to the end of the reading.
    Clock::duration ListenedTime() const;

  private:
    void Run();
    void Take(const char* bytes, std::size_t byteCount);

    uint16_t port_;
    std::string path_;
    int maxMs_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> dropped_{false};
    mutable std::mutex mutex_;  // guards everything below; the reading thread and the test share it
    std::string header_;
    bool headerDone_ = false;
    std::string body_;
    std::vector<Arrival> arrivals_;
    Clock::time_point endedAt_{};
    std::thread thread_;
};
