// Status slots: the one way the running system reports to its user.
//
// A status sink is a plain callback taking one text; an empty slot is skipped by every caller.
// The front end owns FrontEndSlots and fills it with console sinks; the source input and the
// decoders report through it directly. The output engine has ten slots of its own in EngineState,
// some of which the front end points at its sinks.
//
// Sinks are called from the source's threads (the main thread, the Ogg Vorbis decoder thread), from
// the output loop's thread and, for the bytes of title updates, from the title sender's thread.
#pragma once

#include <atomic>
#include <cstdint>

using StatusSink = void (*)(const char* text);
using ByteCountSink = void (*)(std::uint64_t byteCount);
using LevelSink = void (*)(unsigned left, unsigned right);

struct FrontEndSlots {
    StatusSink mainStatus = nullptr;
    StatusSink inputStatus = nullptr;
    ByteCountSink inputBytes = nullptr;
    StatusSink inputServerType = nullptr;
    StatusSink inputStreamType = nullptr;
    StatusSink inputStreamUrl = nullptr;
    StatusSink inputStreamName = nullptr;
    StatusSink metadata = nullptr;
    StatusSink inputBitrate = nullptr;
    StatusSink outputStatus = nullptr;
    ByteCountSink outputBytes = nullptr;
    StatusSink outputDestination = nullptr;
    StatusSink outputServerType = nullptr;
    StatusSink outputStreamType = nullptr;
    StatusSink outputBitrate = nullptr;
    std::int32_t createConfigOnly = 0;  // "-C": write the configuration file and exit
};

// The process-wide record.
FrontEndSlots& FrontEnd();
// All slots empty, the flag 0. Used at start-up and by tests.
void ClearFrontEndSlots();

// Calls a sink when the slot holds one.
inline void Report(StatusSink sink, const char* text) {
    if (sink != nullptr) sink(text);
}
inline void ReportBytes(ByteCountSink sink, std::uint64_t byteCount) {
    if (sink != nullptr) sink(byteCount);
}
