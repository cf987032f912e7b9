// The front end: program entry, command-line options and the console status sinks.
//
// ParseCommandLine runs once on the main thread before anything else: it fills the status slots
// with console sinks and registers them with the engine, installs the signal handlers, reads the
// options and loads the configuration (or, with "-C", writes it and ends the process). The console
// sinks are then called from every thread of a run: the source's, the Ogg Vorbis decoder's and the
// output loop's.
#pragma once

#include <cstdint>

// Status sinks print their line on standard output; "-n" clears it. Written only while the options
// are read, before any other thread exists.
extern std::int32_t consoleOutput;

// Returns 1; every failure and "-h"/"-d" end the process with status 1 instead, "-V" and a "-C"
// that wrote its file with 0.
int ParseCommandLine(int argc, char** argv);
[[noreturn]] void PrintUsage();
// "-V": "transcode <version>", then one line per library with the version it runs with.
void PrintVersions();

// Signal 30 (SIGUSR1 on the BSD target) ends the process at once with status 1, without clean-up.
void HandleStopSignal(int signalNumber);
// Installs HandleStopSignal for signal 30 and for SIGUSR1 (they differ on Linux).
void InstallStopSignalHandler();
// SIGINT and SIGTERM: the first one asks the running transfer to end (Control().stopRequested),
// a second one ends the process at once with status 1.
void InstallStopRequestHandlers();
// SIGHUP: the log file is closed and the next log line opens its path afresh (log rotation).
void InstallLogReopenHandler();

// Clears FrontEndSlots, puts the console sinks into it and registers the engine's slots.
void SetUpStatusSinks();
