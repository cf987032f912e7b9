#include "common/log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "common/fixed_text.h"

namespace {

constexpr const char* kDefaultLogPath = "transcoder.log";

struct LoggerState {
    // Atomic so that a message below the threshold (most Debug lines, called per audio frame)
    // returns before taking the lock or reading the clock.
    std::atomic<int> currentLogLevel{LOG_INFO};
    FixedText<1024> logPath{kDefaultLogPath};
    std::FILE* logStream = nullptr;
    // Set by the SIGHUP handler on any thread, taken by the next line written under logLock.
    std::atomic<bool> reopenRequested{false};
};
static_assert(std::atomic<bool>::is_always_lock_free);

std::mutex logLock;  // guards the whole LoggerState
LoggerState logger;

const char* LevelName(int level) {
    switch (level) {
        case LOG_ERROR: return "Error";
        case LOG_INFO: return "Info";
        case LOG_DEBUG: return "Debug";
        default: return "Unknown";
    }
}

bool EndsWithNewline(const char* format) {
    const std::size_t length = std::strlen(format);
    return length > 0 && format[length - 1] == '\n';
}

void CloseLogStream() {
    if (logger.logStream != nullptr) {
        std::fclose(logger.logStream);
        logger.logStream = nullptr;
    }
}

// A supervisor's journal shows standard error even when the console status lines are off (-n)
// and the log file sits elsewhere, so every Error line is repeated there, whole, in one write.
void WriteErrorToStandardError(const char* format, bool hasNewline, va_list args) {
    char message[1024];
    const int length = std::vsnprintf(message, sizeof message, format, args);
    if (length < 0) return;
    std::string line = "transcode: ";
    line.append(message, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof message - 1));
    if (!hasNewline) line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

void LogMessage(int level, const char* source, unsigned line, const char* format, ...) {
    if (logger.currentLogLevel.load(std::memory_order_relaxed) < level) return;

    char timestamp[255];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(timestamp, sizeof timestamp, "%m/%d/%y %T", &local);

    std::lock_guard<std::mutex> hold(logLock);

    const char* levelName = LevelName(level);
    const bool hasNewline = EndsWithNewline(format);
    if (logger.reopenRequested.exchange(false)) CloseLogStream();
    if (logger.logStream == nullptr) logger.logStream = std::fopen(logger.logPath.c_str(), "a");

    // Without a log file the line goes to standard output, where the console sinks print too;
    // holding the stream's own lock keeps the three pieces of the line together there as well.
    std::FILE* out = logger.logStream != nullptr ? logger.logStream : stdout;
    flockfile(out);
    if (logger.logStream == nullptr) {
        std::fprintf(out, "Cannot open logfile: %s(%s:%u): ", levelName, source, line);
    } else {
        std::fprintf(out, "%s %s(%s:%u): ", timestamp, levelName, source, line);
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
    if (!hasNewline) std::fputc('\n', out);
    if (out != stdout) std::fflush(out);
    funlockfile(out);

    if (level == LOG_ERROR) {
        va_start(args, format);
        WriteErrorToStandardError(format, hasNewline, args);
        va_end(args);
    }
}

void SetLogLevel(int level) {
    std::lock_guard<std::mutex> hold(logLock);
    logger.currentLogLevel = level;
}

void SetLogPath(const char* path) {
    std::lock_guard<std::mutex> hold(logLock);
    if (path != nullptr) logger.logPath.assign(path);
    CloseLogStream();
}

void RequestLogReopen() {
    logger.reopenRequested.store(true);
}

int GetLogLevel() {
    std::lock_guard<std::mutex> hold(logLock);
    return logger.currentLogLevel;
}

const char* GetLogPath() {
    std::lock_guard<std::mutex> hold(logLock);
    return logger.logPath.c_str();
}

void ResetLogger() {
    std::lock_guard<std::mutex> hold(logLock);
    CloseLogStream();
    logger.reopenRequested = false;
    logger.currentLogLevel = LOG_INFO;
    logger.logPath.assign(kDefaultLogPath);
}
