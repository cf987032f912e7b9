// The `transcode` program running in the background while a test watches its peers, with its pid
// at hand so that the test can signal it (a stop in the middle of a run).
#pragma once

#include <sys/types.h>

#include <string>
#include <thread>

#include "tests/support/child_process.h"

class BackgroundTranscode {
  public:
    // Starts `<binary> -c <configFile>` in the directory; the run is ended (killed) after
    // timeoutMs.
    BackgroundTranscode(const std::string& binary, std::string directory,
                        const std::string& configFile, int timeoutMs);
    ~BackgroundTranscode();
    BackgroundTranscode(const BackgroundTranscode&) = delete;
    BackgroundTranscode& operator=(const BackgroundTranscode&) = delete;

    // The program's pid, once it has started; -1 when it did not within five seconds.
    pid_t Pid() const;
    // Waits for the end of the run and returns its result.
    const ChildResult& Finish();

  private:
    std::string directory_;
    ChildResult result_;
    std::thread thread_;
};
