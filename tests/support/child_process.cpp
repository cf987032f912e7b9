#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "tests/support/temp_dir.h"

namespace {

void DrainInto(int& descriptor, std::string& text) {
    char buffer[4096];
    const ssize_t got = read(descriptor, buffer, sizeof buffer);
    if (got > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        close(descriptor);
        descriptor = -1;
    }
}

// Starts `child` in a fork with both output streams on pipes and collects them until it ends.
ChildResult Supervise(const std::function<void()>& child, int timeoutMs) {
    ChildResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0) return result;
    if (pipe(errPipe) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        child();
        std::fflush(nullptr);
        _exit(0);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    int outRead = outPipe[0];
    int errRead = errPipe[0];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (outRead >= 0 || errRead >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd watched[2] = {{outRead, POLLIN, 0}, {errRead, POLLIN, 0}};
        if (poll(watched, 2, static_cast<int>(left.count())) <= 0) continue;
        if (outRead >= 0 && (watched[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            DrainInto(outRead, result.out);
        }
        if (errRead >= 0 && (watched[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            DrainInto(errRead, result.err);
        }
    }
    if (outRead >= 0) close(outRead);
    if (errRead >= 0) close(errRead);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && !result.timedOut) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signalNumber = WTERMSIG(status);
    }
    return result;
}

}  // namespace

ChildResult RunProgram(const std::vector<std::string>& arguments, const std::string& directory,
                       int timeoutMs) {
    return Supervise(
        [&] {
            const int nothing = open("/dev/null", O_RDONLY);
            if (nothing > 0) {
                dup2(nothing, 0);
                close(nothing);
            }
            if (chdir(directory.c_str()) != 0) _exit(126);
            std::vector<char*> argv;
            for (const std::string& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        },
        timeoutMs);
}

ChildResult RunInChild(const std::function<void()>& body, int timeoutMs) {
    return Supervise(body, timeoutMs);
}

DescriptorCapture::DescriptorCapture(int descriptor) : descriptor_(descriptor) {
    char pattern[] = "/tmp/transcode-capture-XXXXXX";
    const int file = mkstemp(pattern);
    if (file < 0) return;
    path_ = pattern;
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
