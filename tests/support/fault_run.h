// Running the `transcode` program against faulty peers, as the fault matrix does: its settings,
// a run in the background that can be stopped with SIGTERM and that writes down the descriptors
// it still holds as it exits, and the checks every case shares (the end of the run, the archives).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/background_run.h"
#include "tests/support/station_config.h"
#include "tests/support/temp_dir.h"

// An MP3 relay from the source URL to an Icecast2 server on the loopback port, archiving into
// <dir>/archives, logging to <dir>/transcode.log at the Info level, without reconnection.
StationConfig FaultRunSettings(const TempDir& dir, const std::string& sourceUrl, uint16_t port);

class MockServer;

class FaultRun {
  public:
    FaultRun(const TempDir& dir, const StationConfig& settings, int timeoutMs);

    pid_t Pid() const { return run_->Pid(); }
    // Sends SIGTERM and returns how long the run took to end.
    std::chrono::steady_clock::duration Terminate();
    const ChildResult& Finish() { return run_->Finish(); }
    // True once the log holds the text (the run got that far); false after the wait.
    bool WaitForLog(const std::string& text, int timeoutMs) const;

    // The descriptors the program held as it exited other than 0, 1, 2, its log file and those it
    // inherited from this process, as
    // "number target"; one entry "no listing" when the program wrote none.
    std::vector<std::string> LeftOpen();
    std::string Shown();  // standard output and error, for failure messages

  private:
    const TempDir& dir_;
    std::vector<std::string> inherited_;  // descriptors the program gets from this process
    std::unique_ptr<BackgroundTranscode> run_;
};


// The connections of a destination that carry a stream (not a title update), by index.
std::vector<std::size_t> StreamConnections(const MockServer& destination);
// Waits until the destination has had that many stream connections.
bool WaitForStreamConnections(const MockServer& destination, std::size_t count, int timeoutMs);

// The archives in <dir>/archives, sorted by name.
std::vector<std::string> ArchiveFiles(const TempDir& dir);

// An MP3 archive is whole when it is made of whole frames that decode; `sent` (the stream a
// destination read after the login) must begin it, since the archive holds every block sent.
void ExpectWholeMp3Archive(const std::string& path, const std::string& sent);
