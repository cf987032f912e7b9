// What the soak benchmark saw, and its report: per relay process the first and last samples and
// slopes of memory, descriptors and CPU; the titles the stations sent against those the server
// showed; the audio the stations sent against what a listener received, every gap set against
// the outages the benchmark caused.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "bench/latency_watch.h"
#include "bench/measured_child.h"
#include "bench/process_sample.h"
#include "bench/soak_listener.h"

struct SoakEvent {
    double at = 0;  // MonotonicSeconds()
    std::string what;
};

struct SentTitle {
    double at = 0;    // the station sent the first metadata block that carries it
    std::string tag;  // unique part of the title
};

// One source connection and the relay process it fed, from start to end.
struct RelayLife {
    int number = 0;
    pid_t pid = -1;
    double startedAt = 0;
    double bodyStartedAt = 0;    // the station began its answer; 0 if it never did
    double sourceDroppedAt = 0;  // 0 while the station still ran
    double endedAt = 0;
    ChildResult usage;
    bool endedBeforeDrop = false;  // ended while its station still sent
    bool hung = false;             // still ran long after its station was gone
    std::vector<ProcessSample> samples;
    std::vector<bool> streaming;  // per sample: the server listed the mount
    // What the descriptors referred to at the first and the latest sample taken while streaming.
    std::vector<std::string> firstStreamingDescriptors;
    std::vector<std::string> lastStreamingDescriptors;
    std::vector<SentTitle> titles;
};

struct SoakRecord {
    double startedAt = 0;
    double endedAt = 0;
    double warmUpSeconds = 60;  // left out of the slopes when a life is long enough
    std::vector<SoakEvent> events;
    std::vector<RelayLife> lives;
    std::vector<SeenTitle> shownTitles;  // the server's status page, every change
    std::vector<ListenerConnection> connections;
};

// Prints the report; returns 0, or 1 when a fault was seen: a relay that crashed, hung or ended
// while its station still sent, descriptors that grew while it streamed, or no audio or no
// titles at all at the listener.
int ReportSoak(const SoakRecord& record);
