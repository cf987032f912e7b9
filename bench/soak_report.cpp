#include "bench/soak_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

struct Interval {
    double from = 0;
    double to = 0;
};

bool Overlaps(const Interval& a, const Interval& b) {
    return a.from <= b.to && b.from <= a.to;
}

// One measured quantity over a life's samples: the first, then over the samples after the
// warm-up (all of them when too few are left) the first, last, least and most and the slope per
// hour.
void PrintSeries(const char* name, const std::vector<double>& at, const std::vector<double>& value,
                 double warmUpEnd) {
    if (value.empty()) return;
    std::vector<double> x;
    std::vector<double> y;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (at[i] >= warmUpEnd) {
            x.push_back(at[i]);
            y.push_back(value[i]);
        }
    }
    if (x.size() < 2) {
        x = at;
        y = value;
    }
    std::printf("  %-22s %10.1f %10.1f %10.1f %10.1f %10.1f %+12.2f\n", name, value.front(),
                y.front(), y.back(), *std::min_element(y.begin(), y.end()),
                *std::max_element(y.begin(), y.end()), LeastSquaresSlope(x, y) * 3600);
}

// A leak holds descriptors for good: the fewest sockets and pipes open over the last samples
// taken while the relay streamed exceed the fewest over its first such samples, or a file is open
// twice. (Files opened once and kept, like the log at its first line, are no leak.)
bool DescriptorsGrew(const RelayLife& life, int& early, int& late) {
    std::vector<int> streaming;
    for (std::size_t i = 0; i < life.samples.size(); ++i) {
        if (life.streaming[i]) streaming.push_back(life.samples[i].connections);
    }
    std::set<std::string> files;
    for (const std::string& target : life.lastStreamingDescriptors) {
        if (std::atoi(target.c_str()) <= 2) continue;  // standard input, output and error
        const std::string path = target.substr(target.find(" -> ") + 4);
        if (path.front() == '/' && !files.insert(path).second) return true;
    }
    constexpr std::size_t kWindow = 3;
    if (streaming.size() < 2 * kWindow) return false;
    early = *std::min_element(streaming.begin(), streaming.begin() + kWindow);
    late = *std::min_element(streaming.end() - kWindow, streaming.end());
    return late > early;
}

void PrintDescriptors(const char* which, const std::vector<std::string>& targets) {
    std::printf("    %s sample while streaming:", which);
    for (const std::string& target : targets) std::printf("  %s", target.c_str());
    std::printf("\n");
}

bool ReportLife(const SoakRecord& record, const RelayLife& life) {
    const double t0 = record.startedAt;
    std::printf("relay %d, pid %d, %.1f-%.1f s: ", life.number, static_cast<int>(life.pid),
                life.startedAt - t0, life.endedAt - t0);
    bool fault = true;
    if (life.hung) {
        std::printf("FAULT: still running %.0f s after its station was gone; killed\n",
                    life.endedAt - life.sourceDroppedAt);
    } else if (!life.usage.exited) {
        std::printf("FAULT: ended by a signal\n");
    } else if (life.endedBeforeDrop) {
        std::printf("FAULT: ended (exit status %d) while its station still sent\n",
                    life.usage.exitStatus);
    } else if (life.usage.exitStatus != 1) {
        std::printf("FAULT: ended with exit status %d\n", life.usage.exitStatus);
    } else {
        std::printf("ended as designed (exit status 1) %.2f s after its station dropped\n",
                    life.endedAt - life.sourceDroppedAt);
        fault = false;
    }
    const double audioMinutes =
        life.bodyStartedAt > 0 ? (life.endedAt - life.bodyStartedAt) / 60 : 0;
    std::printf(
        "  CPU %.2f s user + %.2f s system (%.3f s per audio minute), peak resident "
        "%.1f MiB\n",
        life.usage.userSeconds, life.usage.systemSeconds,
        audioMinutes > 0 ? life.usage.cpuSeconds() / audioMinutes : 0,
        life.samples.empty() ? 0 : life.samples.back().peakKiB / 1024);
    std::vector<double> at, resident, privateKiB, descriptors, connections, cpuAt, cpuPercent;
    for (std::size_t i = 0; i < life.samples.size(); ++i) {
        const ProcessSample& sample = life.samples[i];
        at.push_back(sample.atSeconds - life.startedAt);
        resident.push_back(sample.residentKiB);
        privateKiB.push_back(sample.privateKiB);
        descriptors.push_back(sample.descriptors);
        connections.push_back(sample.connections);
        if (i > 0) {
            const ProcessSample& before = life.samples[i - 1];
            cpuAt.push_back(at.back());
            cpuPercent.push_back(100 * (sample.cpuSeconds - before.cpuSeconds) /
                                 (sample.atSeconds - before.atSeconds));
        }
    }
    std::printf("  %zu samples; all but the first column over the samples after the first %.0f s\n",
                life.samples.size(), record.warmUpSeconds);
    std::printf("  %-22s %10s %10s %10s %10s %10s %12s\n", "", "at start", "first", "last", "least",
                "most", "per hour");
    PrintSeries("resident KiB", at, resident, record.warmUpSeconds);
    PrintSeries("private KiB", at, privateKiB, record.warmUpSeconds);
    PrintSeries("open descriptors", at, descriptors, record.warmUpSeconds);
    PrintSeries("  sockets and pipes", at, connections, record.warmUpSeconds);
    PrintSeries("CPU % between samples", cpuAt, cpuPercent, record.warmUpSeconds);
    int early = 0;
    int late = 0;
    if (DescriptorsGrew(life, early, late)) {
        std::printf(
            "  FAULT: descriptors leak (sockets and pipes while streaming: %d, then %d; "
            "or a file open twice)\n",
            early, late);
        PrintDescriptors("first", life.firstStreamingDescriptors);
        PrintDescriptors("latest", life.lastStreamingDescriptors);
        fault = true;
    }
    return fault;
}

// When the listener was off the air: before its first connection with audio and between two.
std::vector<Interval> OffAir(const SoakRecord& record) {
    std::vector<Interval> gaps;
    double lastEnd = record.startedAt;
    for (const ListenerConnection& connection : record.connections) {
        if (connection.audioSeconds <= 0) continue;
        gaps.push_back({lastEnd, connection.startedAt});
        lastEnd = connection.endedAt;
    }
    gaps.push_back({lastEnd, record.endedAt});
    return gaps;
}

std::string CausesWithin(const SoakRecord& record, const Interval& gap) {
    std::string causes;
    for (const SoakEvent& event : record.events) {
        if (event.at >= gap.from - 5 && event.at <= gap.to) {
            if (!causes.empty()) causes += "; ";
            causes += event.what;
        }
    }
    return causes;
}

int ReportTitles(const SoakRecord& record, const std::vector<Interval>& offAir) {
    int sent = 0;
    int received = 0;
    int explained = 0;
    for (const RelayLife& life : record.lives) {
        const double until = life.sourceDroppedAt > 0 ? life.sourceDroppedAt : life.endedAt;
        for (std::size_t i = 0; i < life.titles.size(); ++i) {
            const SentTitle& title = life.titles[i];
            ++sent;
            const bool shown = std::any_of(
                record.shownTitles.begin(), record.shownTitles.end(), [&](const SeenTitle& seen) {
                    return seen.title.find(title.tag) != std::string::npos;
                });
            if (shown) {
                ++received;
                continue;
            }
            const Interval window{title.at,
                                  i + 1 < life.titles.size() ? life.titles[i + 1].at : until};
            const bool outage = std::any_of(offAir.begin(), offAir.end(), [&](const Interval& gap) {
                return Overlaps(gap, window);
            });
            const bool tooShort = window.to - window.from < 2;
            if (outage || tooShort) ++explained;
            std::printf("  not shown: %s, current %.1f-%.1f s: %s\n", title.tag.c_str(),
                        window.from - record.startedAt, window.to - record.startedAt,
                        outage     ? "during an outage"
                        : tooShort ? "current for less than 2 s"
                                   : "UNEXPLAINED");
        }
    }
    std::printf(
        "titles: %d sent by the stations, %d shown by the server's status page, %d not "
        "shown (%d of them explained by an outage)\n",
        sent, received, sent - received, explained);
    return received;
}

double ReportAudio(const SoakRecord& record, const std::vector<Interval>& offAir) {
    double sent = 0;
    for (const RelayLife& life : record.lives) {
        if (life.bodyStartedAt == 0) continue;
        const double until = life.sourceDroppedAt > 0 ? life.sourceDroppedAt : life.endedAt;
        sent += until - life.bodyStartedAt;
    }
    double received = 0;
    int connections = 0;
    for (const ListenerConnection& connection : record.connections) {
        if (connection.audioSeconds <= 0) continue;
        ++connections;
        received += connection.audioSeconds;
        const double shortfall =
            (connection.endedAt - connection.startedAt) - connection.audioSeconds;
        if (shortfall > 3) {
            std::printf("  connection at %.1f s: %.1f s of audio in %.1f s (a gap inside it)\n",
                        connection.startedAt - record.startedAt, connection.audioSeconds,
                        connection.endedAt - connection.startedAt);
        }
    }
    double offAirSeconds = 0;
    int unexplained = 0;
    for (const Interval& gap : offAir) {
        offAirSeconds += gap.to - gap.from;
        const std::string causes = CausesWithin(record, gap);
        if (causes.empty()) ++unexplained;
        std::printf("  off the air %.1f-%.1f s (%.1f s): %s\n", gap.from - record.startedAt,
                    gap.to - record.startedAt, gap.to - gap.from,
                    causes.empty() ? "UNEXPLAINED" : causes.c_str());
    }
    std::printf(
        "audio: the stations sent %.1f s, the listener received %.1f s in %d connections "
        "(%.1f s less); it was off the air %.1f s in %zu gaps, %d of them with no outage "
        "to explain them\n",
        sent, received, connections, sent - received, offAirSeconds, offAir.size(), unexplained);
    return received;
}

}  // namespace

int ReportSoak(const SoakRecord& record) {
    std::printf("\n=== report after %.1f s\n", record.endedAt - record.startedAt);
    bool fault = false;
    for (const RelayLife& life : record.lives) fault = ReportLife(record, life) || fault;
    const std::vector<Interval> offAir = OffAir(record);
    if (ReportTitles(record, offAir) == 0) {
        std::printf("FAULT: no title arrived\n");
        fault = true;
    }
    if (ReportAudio(record, offAir) <= 0) {
        std::printf("FAULT: no audio arrived\n");
        fault = true;
    }
    std::printf("%s\n", fault ? "FAULTS SEEN" : "no fault seen");
    return fault ? 1 : 0;
}
