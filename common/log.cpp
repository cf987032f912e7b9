#include "common/log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "common/fixed_text.h"

namespace {

// A line logged before any log path was named.
struct HeldLine {
    int level;
    std::string text;          // the whole log line, as the file receives it
    std::size_t messageStart;  // where its message begins in `text`
};

// The start-up phase is short (options, then the configuration); this bounds what a flood of
// Debug lines there could hold.
constexpr std::size_t kMaxHeldLines = 1000;

struct LoggerState {
    // Atomic so that a message below the threshold (most Debug lines, called per audio frame)
    // returns before taking the lock or reading the clock.
    std::atomic<int> currentLogLevel{LOG_INFO};
    bool pathNamed = false;  // false until "-l" or the configuration's LogFile names the file
    FixedText<1024> logPath;
    std::FILE* logStream = nullptr;
    // "Cannot open logfile" is said once, until the next successful open or a new path.
    bool openFailureReported = false;
    std::vector<HeldLine> heldLines;
    std::size_t droppedHeldLines = 0;
    bool heldLinesExitHandlerInstalled = false;
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

// The formatted message, ending with exactly one newline whether or not the format had one.
std::string FormatMessage(const char* format, va_list args) {
    va_list measuring;
    va_copy(measuring, args);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::string message;
    if (length > 0) {
        message.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(message.data(), message.size(), format, args);
        message.resize(static_cast<std::size_t>(length));
    }
    if (message.empty() || message.back() != '\n') message.push_back('\n');
    return message;
}

std::string LinePrefix(int level, const char* source, unsigned line) {
    char timestamp[64];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(timestamp, sizeof timestamp, "%m/%d/%y %T", &local);
    return std::string(timestamp) + " " + LevelName(level) + "(" + source + ":" +
           std::to_string(line) + "): ";
}

// A supervisor's journal shows standard error even when the console status lines are off (-n)
// and the log file sits elsewhere. Each line is one write, so lines of two threads stay whole.
void WriteToStandardError(const std::string& message) {
    const std::string line = "transcode: " + message;
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void CloseLogStream() {
    if (logger.logStream != nullptr) {
        std::fclose(logger.logStream);
        logger.logStream = nullptr;
    }
}

// Opens the named path when it is not open yet; says once why it cannot be opened.
bool OpenLogStream() {
    if (logger.logStream != nullptr) return true;
    logger.logStream = std::fopen(logger.logPath.c_str(), "a");
    if (logger.logStream != nullptr) {
        logger.openFailureReported = false;
        return true;
    }
    if (!logger.openFailureReported) {
        WriteToStandardError(std::string("Cannot open logfile: ") + logger.logPath.c_str() + ": " +
                             std::strerror(errno) + "\n");
        logger.openFailureReported = true;
    }
    return false;
}

// Writes one line into the log file; false when there is no file to take it.
bool WriteToLogFile(const std::string& text) {
    if (!OpenLogStream()) return false;
    std::fwrite(text.data(), 1, text.size(), logger.logStream);
    std::fflush(logger.logStream);
    return true;
}

// A line that reached neither the log file nor standard error yet is not lost: it goes to
// standard error. Error lines go there in any case.
void WriteLine(int level, const std::string& text, std::size_t messageStart) {
    if (WriteToLogFile(text) && level != LOG_ERROR) return;
    WriteToStandardError(text.substr(messageStart));
}

// A process that ends before any path was named shows its held lines on standard error; the Error
// lines among them are there already.
void WriteHeldLinesToStandardError() {
    std::lock_guard<std::mutex> hold(logLock);
    if (logger.pathNamed) return;
    for (const HeldLine& held : logger.heldLines) {
        if (held.level != LOG_ERROR) WriteToStandardError(held.text.substr(held.messageStart));
    }
    logger.heldLines.clear();
}

void HoldLine(int level, const std::string& text, std::size_t messageStart) {
    if (level == LOG_ERROR) WriteToStandardError(text.substr(messageStart));
    if (logger.heldLines.size() >= kMaxHeldLines) {
        ++logger.droppedHeldLines;
        return;
    }
    logger.heldLines.push_back(HeldLine{level, text, messageStart});
    if (!logger.heldLinesExitHandlerInstalled) {
        std::atexit(&WriteHeldLinesToStandardError);
        logger.heldLinesExitHandlerInstalled = true;
    }
}

// The first named path receives what was held, filtered by the level in force now: the
// configuration sets its LogLevel before its LogFile.
void WriteHeldLines() {
    const int level = logger.currentLogLevel.load();
    for (const HeldLine& held : logger.heldLines) {
        if (held.level > level) continue;
        if (!WriteToLogFile(held.text) && held.level != LOG_ERROR) {
            WriteToStandardError(held.text.substr(held.messageStart));
        }
    }
    if (logger.droppedHeldLines > 0 && level >= LOG_ERROR) {
        const std::string prefix = LinePrefix(LOG_ERROR, "log", __LINE__);
        WriteLine(LOG_ERROR,
                  prefix + std::to_string(logger.droppedHeldLines) +
                      " log lines of the start were not kept (more than " +
                      std::to_string(kMaxHeldLines) + ")\n",
                  prefix.size());
    }
    logger.heldLines.clear();
    logger.droppedHeldLines = 0;
}

}  // namespace

void LogMessage(int level, const char* source, unsigned line, const char* format, ...) {
    if (logger.currentLogLevel.load(std::memory_order_relaxed) < level) return;

    std::string text = LinePrefix(level, source, line);
    const std::size_t messageStart = text.size();
    va_list args;
    va_start(args, format);
    text += FormatMessage(format, args);
    va_end(args);

    std::lock_guard<std::mutex> hold(logLock);
    if (logger.reopenRequested.exchange(false)) CloseLogStream();
    if (logger.pathNamed) {
        WriteLine(level, text, messageStart);
    } else {
        HoldLine(level, text, messageStart);
    }
}

void SetLogLevel(int level) {
    std::lock_guard<std::mutex> hold(logLock);
    logger.currentLogLevel = level;
}

void SetLogPath(const char* path) {
    std::lock_guard<std::mutex> hold(logLock);
    CloseLogStream();
    logger.openFailureReported = false;
    if (path == nullptr) return;
    logger.logPath.assign(path);
    logger.pathNamed = true;
    WriteHeldLines();
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
    logger.pathNamed = false;
    logger.logPath.clear();
    logger.openFailureReported = false;
    logger.heldLines.clear();
    logger.droppedHeldLines = 0;
}
