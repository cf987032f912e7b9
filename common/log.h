// Process-wide logger: one append-only log file, opened lazily, one flushed line per message.
//
// Called from every thread of a run (the source's, the Ogg Vorbis decoder's, the output loop's,
// the title sender's). One lock (logLock) covers the open-and-write steps so that lines of
// different threads never interleave and the lazy open happens once. A reopen request (SIGHUP,
// after logrotate moved the file away) is an atomic flag that the next written line consumes.
//
// Until a log path is named ("-l", or the configuration's LogFile) there is no log file: the lines
// of that start-up phase are held in memory and written into the file the first path names (those
// that pass the level in force then), so that the Error lines about the configuration's values
// land in the log the configuration names, and no file with an invented name is ever created. A
// process that ends before any path is named writes the held lines to standard error instead.
#pragma once

enum LogLevel : int { LOG_ERROR = 1, LOG_INFO = 2, LOG_DEBUG = 3 };

// Writes "<time> <Level>(<source>:<line>): <message>" with exactly one newline at the end. An
// Error line that passes the level is also written to standard error as "transcode: <message>".
// When the log file cannot be opened, "Cannot open logfile: <path>: <reason>" goes to standard
// error once, the line itself goes there too ("transcode: <message>"), and the next line tries
// the open again.
void LogMessage(int level, const char* source, unsigned line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

void SetLogLevel(int level);
// Copies the path when one is given; in any case closes the open log file so the next message
// opens the (new or same) path again. The first path given also receives the held start-up lines.
void SetLogPath(const char* path);

// Asks the logger to close its file so that the next line opens the path afresh. Only stores into
// a lock-free atomic, so a signal handler may call it.
void RequestLogReopen();

int GetLogLevel();
// The path named last; empty while none has been named.
const char* GetLogPath();
// Back to the start-up state (level 2, no path, no held lines, file closed). For tests.
void ResetLogger();

// Module names of the log lines.
inline constexpr const char* kLogFrontEnd = "commandline";
inline constexpr const char* kLogEngine = "libzembril";
inline constexpr const char* kLogInput = "ziravorov";
inline constexpr const char* kLogMp3 = "mp3decoder";
inline constexpr const char* kLogAac = "aacdecoder";
inline constexpr const char* kLogVorbis = "oggvdecoder";
