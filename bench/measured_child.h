// Programs run as children of a benchmark and measured by the kernel's own accounting when they
// end (wait4, through ChildProcess): user and system CPU time and peak resident memory.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"

// A program measured alone: standard input /dev/null, standard output and standard error
// appended to the file, no descriptor of the benchmark's (stations, listeners, servers), so that
// its descriptor count is its own.
ChildStart MeasuredStart(const std::vector<std::string>& arguments, const std::string& directory,
                         const std::string& outputFile);

// Runs measured children from a small process forked at its construction. A child forked
// straight from a benchmark that holds tens of megabytes of generated audio starts with a copy
// of that process's page table, and the kernel keeps that resident size as the child's peak
// across exec; forked from this small launcher, the peak is the program's own.
// Construct it first in main, before anything large is allocated or any thread is started.
class ChildLauncher {
  public:
    ChildLauncher();
    ~ChildLauncher();  // ends the launcher
    ChildLauncher(const ChildLauncher&) = delete;
    ChildLauncher& operator=(const ChildLauncher&) = delete;

    // Runs the program (MeasuredStart) to its end, killing it once timeoutMs have passed; exited
    // is false when the launcher could not run it.
    ChildResult Run(const std::vector<std::string>& arguments, const std::string& directory,
                    const std::string& outputFile, int timeoutMs);

  private:
    [[noreturn]] void Serve();

    int request_[2] = {-1, -1};
    int reply_[2] = {-1, -1};
    pid_t pid_ = -1;
};

// Minimum, median and maximum of a non-empty list.
struct Spread {
    double min = 0;
    double median = 0;
    double max = 0;
};
Spread SpreadOf(std::vector<double> values);
