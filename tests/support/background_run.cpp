#include "tests/support/background_run.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <utility>

#include "tests/support/temp_dir.h"

namespace {

constexpr const char* kPidFile = "transcode.pid";

}  // namespace

// A shell starts the program so that its pid can be written down; the shell then waits for it and
// ends with its exit status.
BackgroundTranscode::BackgroundTranscode(const std::string& binary, std::string directory,
                                         const std::string& configFile, int timeoutMs)
    : directory_(std::move(directory)) {
    thread_ = std::thread([this, binary, configFile, timeoutMs] {
        const std::string script =
            "\"$0\" -c \"$1\" & echo $! > " + std::string(kPidFile) + "; wait $!";
        result_ = RunProgram({"/bin/sh", "-c", script, binary, configFile}, directory_, timeoutMs);
    });
}

BackgroundTranscode::~BackgroundTranscode() {
    Finish();
}

pid_t BackgroundTranscode::Pid() const {
    const std::string path = directory_ + "/" + kPidFile;
    for (int waited = 0; waited < 5000; waited += 10) {
        const std::string text = ReadWholeFile(path);
        if (!text.empty() && text.back() == '\n')
            return static_cast<pid_t>(std::atol(text.c_str()));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

const ChildResult& BackgroundTranscode::Finish() {
    if (!thread_.joinable()) return result_;
    thread_.join();
    // The shell was killed for overstaying: the program it started must not outlive it.
    if (result_.timedOut) {
        const pid_t pid = Pid();
        if (pid > 0) kill(pid, SIGKILL);
    }
    return result_;
}
