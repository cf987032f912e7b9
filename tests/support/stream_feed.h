// Feeding the output engine like a decoder does: sine blocks through ProcessSamples, either on
// the test's thread or on a thread of their own (the Ogg Vorbis decoder's situation), and
// taking the audio part of what a mock server received.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/audio_check.h"

inline constexpr int kDecoderBlockFrames = 1152;

// Feeds `seconds` of the generator's tone in decoder-sized blocks; the last ProcessSamples result.
int FeedTone(SineGenerator& tone, int sourceRate, double seconds,
             int blockFrames = kDecoderBlockFrames);

// The bytes after the login text (which ends in an empty line: "\n\n" for Icecast2, "\r\n\r\n"
// for the others); "" when there is no complete login.
std::string AfterLogin(const std::string& received);

// Feeds blocks on its own thread, a few milliseconds apart, until stopped, until a block returns
// `stopOnResult`, or after `maxBlocks` blocks.
class BackgroundFeeder {
  public:
    BackgroundFeeder(int sourceRate, std::vector<double> toneHz, int maxBlocks = 4000,
                     int stopOnResult = 2);
    ~BackgroundFeeder() { Stop(); }
    BackgroundFeeder(const BackgroundFeeder&) = delete;
    BackgroundFeeder& operator=(const BackgroundFeeder&) = delete;

    void Start();
    // Asks the thread to end after its current block and waits for it.
    void Stop();
    bool finished() const { return finished_; }
    int lastResult() const { return lastResult_; }

  private:
    void Run();

    int sourceRate_;
    SineGenerator tone_;
    int maxBlocks_;
    int stopOnResult_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> lastResult_{1};
    std::thread thread_;
};
