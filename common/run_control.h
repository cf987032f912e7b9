// What asks the running transfer to end, shared by the front end, the source input and the output
// engine: one process-wide record of three flags.
//
// All three are lock-free atomics: a stop is stored from a signal handler, and the source's
// threads, the output loop and the title sender read them.
#pragma once

#include <atomic>

struct RunControl {
    // A stop signal arrived (the front end): every wait gives up and the run ends cleanly.
    std::atomic<int> stopRequested{0};
    // The source input is ending the current transfer and ends the Ogg Vorbis decoder thread:
    // when that thread encodes itself (no output loop runs), its waits for a new connection then
    // give up instead of holding the join. The output loop's waits end with its input instead.
    std::atomic<bool> transferEnding{false};
    // The destination was lost and no reconnection follows (AutomaticReconnect 0): the source
    // input then ends the transfer as it does on a stop. Cleared by each new connection.
    std::atomic<bool> destinationLost{false};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// The process-wide record.
RunControl& Control();
// All flags clear. At start-up and by tests.
void ResetRunControl();
// Whether a stop was requested: the one check every wait and loop makes.
bool StopRequested();
