// Running code in another process for tests: the real `transcode` binary, or a function in a forked
// child (for paths that end the process), with standard output and standard error captured.
// Every run is bounded by its time-out; a child that overstays is killed by its pid.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    bool exited = false;   // ended through exit/_exit (not a signal, not killed for time)
    int exitStatus = -1;   // valid when exited
    int signalNumber = 0;  // the signal that ended it, when it did not exit
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs the program (arguments[0] is its path) in the directory, standard input from /dev/null.
ChildResult RunProgram(const std::vector<std::string>& arguments, const std::string& directory,
                       int timeoutMs = 30000);

// Runs the function in a forked child; when it returns, the child ends with _exit(0).
// Exit status 1 after "Main Status : (Done)": a run of the program that got as far as opening the
// source and ended in order by itself (the source ended, the destination was lost).
bool EndedWithDone(const ChildResult& result);
// Exit status 0 after "Main Status : (Done)": a run that SIGINT or SIGTERM stopped in order.
bool StoppedWithDone(const ChildResult& result);

ChildResult RunInChild(const std::function<void()>& body, int timeoutMs = 30000);

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
