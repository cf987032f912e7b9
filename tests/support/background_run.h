// The `transcode` program running in the background with a `-c` file while a test watches its
// peers; its pid is at hand so that the test can signal it (a stop in the middle of a run).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"

class BackgroundTranscode {
  public:
    // Starts `<binary> -c <configFile>` in the directory, with the environment entries
    // ("NAME=value") added; the run is ended (killed) once timeoutMs have passed.
    BackgroundTranscode(const std::string& binary, const std::string& directory,
                        const std::string& configFile, int timeoutMs,
                        const std::vector<std::string>& environment = {});

    pid_t Pid() const { return child_.pid(); }
    // Waits for the end of the run and returns its result.
    const ChildResult& Finish() { return child_.Wait(timeoutMs_); }

  private:
    static ChildStart Start(const std::string& binary, const std::string& directory,
                            const std::string& configFile,
                            const std::vector<std::string>& environment);

    ChildProcess child_;
    int timeoutMs_;
};
