#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/support/descriptor.h"
#include "tests/support/temp_dir.h"

extern char** environ;

double MonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

namespace {

std::string NewCaptureFile() {
    char pattern[] = "/tmp/transcode-child-XXXXXX";
    const int file = mkostemp(pattern, O_CLOEXEC);
    if (file < 0) return "";
    close(file);
    return pattern;
}

// This process's environment with the entries replaced or added ("NAME=value").
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& entries) {
    std::vector<std::string> environment;
    for (char** at = environ; *at != nullptr; ++at) environment.emplace_back(*at);
    for (const std::string& entry : entries) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(environment, [&](const std::string& had) { return had.starts_with(name); });
        environment.push_back(entry);
    }
    return environment;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

double Seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

}  // namespace

ChildProcess::ChildProcess(const ChildStart& start) {
    // Everything the child needs is made here: between fork and exec only async-signal-safe
    // calls, as the tests have threads.
    std::vector<std::string> arguments = start.arguments;
    std::vector<std::string> environment = EnvironmentWith(start.environment);
    std::vector<char*> argv = PointersTo(arguments);
    std::vector<char*> envp = PointersTo(environment);
    const std::string& directory = start.directory;
    const bool closeOthers = start.closeOtherDescriptors;
    const std::function<void()>& beforeExec = start.beforeExec;
    if (!start.outputFile.empty()) {
        outPath_ = start.outputFile;
        errPath_ = start.outputFile;
    }
    Fork([&] {
        if (closeOthers) close_range(3, ~0U, 0);
        if (chdir(directory.c_str()) != 0) _exit(126);
        if (beforeExec) beforeExec();
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    });
}

ChildProcess::ChildProcess(const std::function<void()>& body) {
    Fork([&] {
        body();
        std::fflush(nullptr);
        _exit(0);
    });
}

void ChildProcess::Fork(const std::function<void()>& body) {
    if (outPath_.empty()) {
        ownCaptureFiles_ = true;
        outPath_ = NewCaptureFile();
        errPath_ = NewCaptureFile();
    }
    const int appending = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    const Descriptor input(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const Descriptor out(open(outPath_.c_str(), appending, 0644));
    const Descriptor err(outPath_ == errPath_ ? dup(out.get())
                                              : open(errPath_.c_str(), appending, 0644));
    std::fflush(nullptr);
    startSeconds_ = MonotonicSeconds();
    pid_ = fork();
    if (pid_ != 0) return;
    dup2(input.get(), STDIN_FILENO);
    dup2(out.get(), STDOUT_FILENO);
    dup2(err.get(), STDERR_FILENO);
    body();
    _exit(127);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (ownCaptureFiles_) {
        unlink(outPath_.c_str());
        unlink(errPath_.c_str());
    }
}

bool ChildProcess::Running() const {
    if (pid_ <= 0 || reaped_) return false;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

void ChildProcess::Signal(int signalNumber) const {
    if (pid_ > 0 && !reaped_) kill(pid_, signalNumber);
}

std::string ChildProcess::OutputSoFar() const {
    return ReadWholeFile(outPath_);
}

const ChildResult& ChildProcess::Wait(int timeoutMs) {
    return WaitUntil(startSeconds_ + timeoutMs / 1000.0);
}

const ChildResult& ChildProcess::WaitFromNow(int timeoutMs) {
    return WaitUntil(MonotonicSeconds() + timeoutMs / 1000.0);
}

const ChildResult& ChildProcess::Stop(int timeoutMs) {
    Signal(SIGTERM);
    return WaitFromNow(timeoutMs);
}

// Sleeps on the child's pidfd (readable at its end) where the kernel has them, else looks every
// few milliseconds.
const ChildResult& ChildProcess::WaitUntil(double deadline) {
    if (pid_ <= 0 || reaped_) return result_;
    const Descriptor ending(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
    int status = 0;
    rusage resources{};
    for (;;) {
        const pid_t done = wait4(pid_, &status, WNOHANG, &resources);
        if (done == pid_) break;
        if (done < 0 && errno != EINTR) return result_;
        const double left = deadline - MonotonicSeconds();
        if (left <= 0 && !result_.timedOut) {
            result_.timedOut = true;
            kill(pid_, SIGKILL);
        }
        const int waitMs =
            ending.get() < 0 ? 2 : std::clamp(static_cast<int>(left * 1000) + 1, 1, 1000);
        pollfd watched{ending.get(), POLLIN, 0};
        poll(&watched, ending.get() < 0 ? 0 : 1, waitMs);
    }
    reaped_ = true;
    result_.wallSeconds = MonotonicSeconds() - startSeconds_;
    result_.exited = WIFEXITED(status) && !result_.timedOut;
    if (WIFEXITED(status)) result_.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result_.signalNumber = WTERMSIG(status);
    result_.userSeconds = Seconds(resources.ru_utime);
    result_.systemSeconds = Seconds(resources.ru_stime);
    result_.peakMiB = static_cast<double>(resources.ru_maxrss) / 1024.0;
    if (ownCaptureFiles_) {
        result_.out = ReadWholeFile(outPath_);
        result_.err = ReadWholeFile(errPath_);
    }
    return result_;
}

ChildResult RunProgram(const std::vector<std::string>& arguments, const std::string& directory,
                       int timeoutMs) {
    ChildProcess child(ChildStart(arguments, directory));
    return child.Wait(timeoutMs);
}

ChildResult RunInChild(const std::function<void()>& body, int timeoutMs) {
    ChildProcess child(body);
    return child.Wait(timeoutMs);
}

namespace {

bool ExitedWithDone(const ChildResult& result, int exitStatus) {
    return result.exited && result.exitStatus == exitStatus &&
           result.out.find("Main Status : (Done)") != std::string::npos;
}

}  // namespace

bool EndedWithDone(const ChildResult& result) {
    return ExitedWithDone(result, 1);
}

bool StoppedWithDone(const ChildResult& result) {
    return ExitedWithDone(result, 0);
}

std::string Shown(const ChildResult& result) {
    return "stdout:\n" + result.out + "\nstderr:\n" + result.err;
}

DescriptorCapture::DescriptorCapture(int descriptor) : descriptor_(descriptor) {
    path_ = NewCaptureFile();
    const int file = path_.empty() ? -1 : open(path_.c_str(), O_WRONLY | O_TRUNC);
    if (file < 0) return;
    std::fflush(nullptr);
    saved_ = dup(descriptor_);
    dup2(file, descriptor_);
    close(file);
}

DescriptorCapture::~DescriptorCapture() {
    Finish();
}

std::string DescriptorCapture::Finish() {
    if (saved_ < 0) return "";
    std::fflush(nullptr);
    dup2(saved_, descriptor_);
    close(saved_);
    saved_ = -1;
    std::string captured = ReadWholeFile(path_);
    unlink(path_.c_str());
    return captured;
}
