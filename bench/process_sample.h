// A running process's resources as /proc shows them: resident and private memory, open
// descriptors and the CPU time it has used. Read by the soak and load benchmarks every few
// seconds while the process runs (the kernel's wait4 accounting only comes at its end).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessSample {
    bool valid = false;      // false when the process is gone or /proc could not be read
    double atSeconds = 0;    // MonotonicSeconds() when taken
    double residentKiB = 0;  // VmRSS of /proc/PID/status
    double peakKiB = 0;      // VmHWM there: the program's own peak (wait4's ru_maxrss of a
                             // child forked from a large process starts at that process's size)
    double privateKiB = 0;   // Private_Clean + Private_Dirty of /proc/PID/smaps_rollup
    int descriptors = 0;     // entries of /proc/PID/fd
    int connections = 0;     // of them sockets, pipes and event descriptors (not files)
    double cpuSeconds = 0;   // user + system time of /proc/PID/stat
};

ProcessSample SampleProcess(pid_t pid);

// What each open descriptor refers to ("3 -> socket:[1234]"), to show which ones a leak keeps.
std::vector<std::string> DescriptorTargets(pid_t pid);

// Least-squares slope of y over x; 0 with fewer than two distinct x.
double LeastSquaresSlope(const std::vector<double>& x, const std::vector<double>& y);
