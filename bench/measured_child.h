// Running a whole program as a child of the benchmark and taking the kernel's own accounting of
// it when it ends (wait4): user and system CPU time and peak resident memory. Standard input is
// /dev/null; standard output and standard error go to a file. A child still running at its time
// limit is killed by its pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ChildUsage {
    bool exited = false;  // ended through exit (not a signal, not killed for time)
    int exitStatus = -1;
    bool timedOut = false;
    double userSeconds = 0;
    double systemSeconds = 0;
    double wallSeconds = 0;
    double peakMiB = 0;  // ru_maxrss

    double cpuSeconds() const { return userSeconds + systemSeconds; }
};

class MeasuredChild {
  public:
    // Starts arguments[0] (a path) with the arguments in the directory.
    MeasuredChild(const std::vector<std::string>& arguments, const std::string& directory,
                  const std::string& outputFile);
    ~MeasuredChild();  // kills a child that is still running
    MeasuredChild(const MeasuredChild&) = delete;
    MeasuredChild& operator=(const MeasuredChild&) = delete;

    pid_t pid() const { return pid_; }
    double startSeconds() const { return startSeconds_; }  // MonotonicSeconds() before the fork
    // True until the child has ended; does not reap it, so Wait still returns its usage.
    bool Running() const;
    // Waits until the child ends (killing it at timeoutMs after its start) and returns its usage.
    ChildUsage Wait(int timeoutMs);
    // Asks it to end (SIGTERM) and waits, killing it after timeoutMs more.
    ChildUsage Stop(int timeoutMs);

  private:
    ChildUsage WaitUntil(double deadline);

    pid_t pid_ = -1;
    double startSeconds_ = 0;
    bool reaped_ = false;
};

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

    // Runs the program to its end as MeasuredChild::Wait does; exited is false when the launcher
    // could not run it.
    ChildUsage Run(const std::vector<std::string>& arguments, const std::string& directory,
                   const std::string& outputFile, int timeoutMs);

  private:
    [[noreturn]] void Serve();

    int request_[2] = {-1, -1};
    int reply_[2] = {-1, -1};
    pid_t pid_ = -1;
};

double MonotonicSeconds();

// Minimum, median and maximum of a non-empty list.
struct Spread {
    double min = 0;
    double median = 0;
    double max = 0;
};
Spread SpreadOf(std::vector<double> values);
