#include "bench/measured_child.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

Spread SpreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

ChildStart MeasuredStart(const std::vector<std::string>& arguments, const std::string& directory,
                         const std::string& outputFile) {
    ChildStart start(arguments, directory);
    start.outputFile = outputFile;
    start.closeOtherDescriptors = true;
    return start;
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

// What the launcher sends back of a run: the result without its texts.
struct LaunchReply {
    bool exited = false;
    int exitStatus = -1;
    int signalNumber = 0;
    bool timedOut = false;
    double userSeconds = 0;
    double systemSeconds = 0;
    double wallSeconds = 0;
    double peakMiB = 0;
};

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

ChildResult ChildLauncher::Run(const std::vector<std::string>& arguments,
                               const std::string& directory, const std::string& outputFile,
                               int timeoutMs) {
    ChildResult result;
    if (pid_ <= 0) return result;
    const std::size_t count = arguments.size();
    bool sent = WriteAll(request_[1], &timeoutMs, sizeof timeoutMs) &&
                WriteAll(request_[1], &count, sizeof count) && WriteText(request_[1], directory) &&
                WriteText(request_[1], outputFile);
    for (const std::string& argument : arguments) sent = sent && WriteText(request_[1], argument);
    LaunchReply reply;
    if (!sent || !ReadAll(reply_[0], &reply, sizeof reply)) return result;
    result.exited = reply.exited;
    result.exitStatus = reply.exitStatus;
    result.signalNumber = reply.signalNumber;
    result.timedOut = reply.timedOut;
    result.userSeconds = reply.userSeconds;
    result.systemSeconds = reply.systemSeconds;
    result.wallSeconds = reply.wallSeconds;
    result.peakMiB = reply.peakMiB;
    return result;
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
        ChildProcess child(MeasuredStart(arguments, directory, outputFile));
        const ChildResult& result = child.Wait(timeoutMs);
        const LaunchReply reply{result.exited,      result.exitStatus,  result.signalNumber,
                                result.timedOut,    result.userSeconds, result.systemSeconds,
                                result.wallSeconds, result.peakMiB};
        if (!WriteAll(reply_[1], &reply, sizeof reply)) _exit(0);
    }
}
