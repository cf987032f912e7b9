// Running another process for the tests and benchmarks: a program (the real `transcode` binary,
// FFmpeg, a checker) or a function in a forked child (for paths that end the process). Standard
// input is /dev/null; standard output and standard error go to files, either one the caller
// names (both streams in it, readable while the child runs) or two temporary ones whose text
// ends up in the result. Every wait is bounded: a child that overstays is killed by its pid, and
// one still running when its owner goes is killed and reaped.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct ChildResult {
    bool exited = false;   // ended through exit/_exit (not a signal, not killed for time)
    int exitStatus = -1;   // valid when exited
    int signalNumber = 0;  // the signal that ended it, when it did not exit
    bool timedOut = false;
    std::string out;  // standard output (empty when it went to the caller's file)
    std::string err;  // standard error (likewise)
    // The kernel's accounting of the child (wait4) and its life from start to end.
    double userSeconds = 0;
    double systemSeconds = 0;
    double wallSeconds = 0;
    double peakMiB = 0;  // ru_maxrss

    double cpuSeconds() const { return userSeconds + systemSeconds; }
};

struct ChildStart {
    explicit ChildStart(std::vector<std::string> programArguments,
                        std::string workingDirectory = ".")
        : arguments(std::move(programArguments)), directory(std::move(workingDirectory)) {}

    std::vector<std::string> arguments;  // arguments[0]: the program's path
    std::string directory;
    // "NAME=value" entries added to (or replacing those of) this process's environment.
    std::vector<std::string> environment;
    // Both output streams appended to this file; empty: each to a temporary file of its own.
    std::string outputFile;
    // The program gets no descriptor of this process's beyond 0, 1 and 2.
    bool closeOtherDescriptors = false;
    // Runs in the child just before the program replaces it (a resource limit, say); only
    // async-signal-safe calls belong here, the parent may have threads.
    std::function<void()> beforeExec;
};

class ChildProcess {
  public:
    explicit ChildProcess(const ChildStart& start);
    // Runs the function in the forked child, which ends with _exit(0) when it returns.
    explicit ChildProcess(const std::function<void()>& body);
    ~ChildProcess();  // kills a child still running and reaps it
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }                     // -1 when the fork failed
    double startSeconds() const { return startSeconds_; }  // MonotonicSeconds() at the fork
    // True until the child has ended; does not reap it.
    bool Running() const;
    void Signal(int signalNumber) const;
    // Standard output so far (the caller's file when it named one).
    std::string OutputSoFar() const;

    // Waits for the end, killing the child once timeoutMs have passed since its start.
    const ChildResult& Wait(int timeoutMs);
    // Waits for the end, killing the child once timeoutMs more have passed.
    const ChildResult& WaitFromNow(int timeoutMs);
    // Sends SIGTERM and waits, killing the child after timeoutMs more.
    const ChildResult& Stop(int timeoutMs);

  private:
    void Fork(const std::function<void()>& body);
    const ChildResult& WaitUntil(double deadline);

    pid_t pid_ = -1;
    double startSeconds_ = 0;
    bool reaped_ = false;
    std::string outPath_;
    std::string errPath_;
    bool ownCaptureFiles_ = false;
    ChildResult result_;
};

// Runs the program to its end (arguments[0] is its path) in the directory.
ChildResult RunProgram(const std::vector<std::string>& arguments, const std::string& directory,
                       int timeoutMs = 30000);
// Runs the function in a forked child to its end.
ChildResult RunInChild(const std::function<void()>& body, int timeoutMs = 30000);

// Exit status 1 after "Main Status : (Done)": a run of the program that got as far as opening the
// source and ended in order by itself (the source ended, the destination was lost).
bool EndedWithDone(const ChildResult& result);
// Exit status 0 after "Main Status : (Done)": a run that SIGINT or SIGTERM stopped in order.
bool StoppedWithDone(const ChildResult& result);
// Standard output and standard error of a run, for failure messages.
std::string Shown(const ChildResult& result);

double MonotonicSeconds();

// Captures what this process writes to one descriptor (1 or 2) between construction and Finish().
class DescriptorCapture {
  public:
    explicit DescriptorCapture(int descriptor);
    ~DescriptorCapture();
    DescriptorCapture(const DescriptorCapture&) = delete;
    DescriptorCapture& operator=(const DescriptorCapture&) = delete;

    // Restores the descriptor and returns everything written to it meanwhile.
    std::string Finish();

  private:
    int descriptor_;
    int saved_ = -1;
    std::string path_;
};
