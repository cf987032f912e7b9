#include "bench/measured_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <thread>

double MonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

Spread SpreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

MeasuredChild::MeasuredChild(const std::vector<std::string>& arguments,
                             const std::string& directory, const std::string& outputFile) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    startSeconds_ = MonotonicSeconds();
    pid_ = fork();
    if (pid_ != 0) return;
    const int input = open("/dev/null", O_RDONLY);
    const int output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (input >= 0) dup2(input, STDIN_FILENO);
    if (output >= 0) {
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
    }
    // The program gets no descriptor of the benchmark's (stations, listeners, servers): its
    // descriptor count is its own.
    close_range(3, ~0U, 0);
    if (chdir(directory.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
}

MeasuredChild::~MeasuredChild() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool MeasuredChild::Running() const {
    if (pid_ <= 0 || reaped_) return false;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

ChildUsage MeasuredChild::Wait(int timeoutMs) {
    return WaitUntil(startSeconds_ + timeoutMs / 1000.0);
}

ChildUsage MeasuredChild::Stop(int timeoutMs) {
    if (pid_ > 0 && !reaped_) kill(pid_, SIGTERM);
    return WaitUntil(MonotonicSeconds() + timeoutMs / 1000.0);
}

ChildUsage MeasuredChild::WaitUntil(double deadline) {
    ChildUsage usage;
    if (pid_ <= 0 || reaped_) return usage;
    int status = 0;
    rusage resources{};
    for (;;) {
        const pid_t done = wait4(pid_, &status, WNOHANG, &resources);
        if (done == pid_) break;
        if (done < 0 && errno != EINTR) return usage;
        if (MonotonicSeconds() >= deadline && !usage.timedOut) {
            usage.timedOut = true;
            kill(pid_, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reaped_ = true;
    usage.wallSeconds = MonotonicSeconds() - startSeconds_;
    usage.exited = WIFEXITED(status) && !usage.timedOut;
    usage.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usage.userSeconds = static_cast<double>(resources.ru_utime.tv_sec) +
                        static_cast<double>(resources.ru_utime.tv_usec) * 1e-6;
    usage.systemSeconds = static_cast<double>(resources.ru_stime.tv_sec) +
                          static_cast<double>(resources.ru_stime.tv_usec) * 1e-6;
    usage.peakMiB = static_cast<double>(resources.ru_maxrss) / 1024.0;
    return usage;
}

namespace {

bool WriteAll(int descriptor, const void* bytes, std::size_t byteCount) {
    const auto* at = static_cast<const char*>(bytes);
    while (byteCount > 0) {
        const ssize_t done = write(descriptor, at, byteCount);
        if (done <= 0) return false;
        at += done;
        byteCount -= static_cast<std::size_t>(done);
    }
    return true;
}

bool ReadAll(int descriptor, void* bytes, std::size_t byteCount) {
    auto* at = static_cast<char*>(bytes);
    while (byteCount > 0) {
        const ssize_t got = read(descriptor, at, byteCount);
        if (got <= 0) return false;
        at += got;
        byteCount -= static_cast<std::size_t>(got);
    }
    return true;
}

// A request: the time limit, the number of texts, then each text's length and bytes (the
// directory, the output file, then the arguments).
bool WriteText(int descriptor, const std::string& text) {
    const std::size_t length = text.size();
    return WriteAll(descriptor, &length, sizeof length) &&
           WriteAll(descriptor, text.data(), length);
}

bool ReadText(int descriptor, std::string& text) {
    std::size_t length = 0;
    if (!ReadAll(descriptor, &length, sizeof length) || length > (1u << 20)) return false;
    text.resize(length);
    return ReadAll(descriptor, text.data(), length);
}

}  // namespace

ChildLauncher::ChildLauncher() {
    if (pipe2(request_, O_CLOEXEC) != 0 || pipe2(reply_, O_CLOEXEC) != 0) return;
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        close(request_[1]);
        close(reply_[0]);
        Serve();
    }
    close(request_[0]);
    close(reply_[1]);
}

ChildLauncher::~ChildLauncher() {
    if (pid_ <= 0) return;
    close(request_[1]);  // the launcher ends at the end of its requests
    close(reply_[0]);
    waitpid(pid_, nullptr, 0);
}

ChildUsage ChildLauncher::Run(const std::vector<std::string>& arguments,
                              const std::string& directory, const std::string& outputFile,
                              int timeoutMs) {
    ChildUsage usage;
    if (pid_ <= 0) return usage;
    const std::size_t count = arguments.size();
    bool sent = WriteAll(request_[1], &timeoutMs, sizeof timeoutMs) &&
                WriteAll(request_[1], &count, sizeof count) && WriteText(request_[1], directory) &&
                WriteText(request_[1], outputFile);
    for (const std::string& argument : arguments) sent = sent && WriteText(request_[1], argument);
    if (!sent || !ReadAll(reply_[0], &usage, sizeof usage)) return ChildUsage{};
    return usage;
}

void ChildLauncher::Serve() {
    for (;;) {
        int timeoutMs = 0;
        std::size_t count = 0;
        std::string directory;
        std::string outputFile;
        if (!ReadAll(request_[0], &timeoutMs, sizeof timeoutMs) ||
            !ReadAll(request_[0], &count, sizeof count) || count > 256 ||
            !ReadText(request_[0], directory) || !ReadText(request_[0], outputFile)) {
            _exit(0);
        }
        std::vector<std::string> arguments(count);
        for (std::string& argument : arguments) {
            if (!ReadText(request_[0], argument)) _exit(0);
        }
        MeasuredChild child(arguments, directory, outputFile);
        const ChildUsage usage = child.Wait(timeoutMs);
        if (!WriteAll(reply_[1], &usage, sizeof usage)) _exit(0);
    }
}
