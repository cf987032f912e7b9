// Keeping a station on the air when its source fails (SourceReconnect): the source is opened
// again and again while the output loop keeps the destination with silence.
//
// Attempts start at once after a loss; the waits between failed attempts then grow 1, 2, 4 ...
// seconds up to SourceRetrySecs. Every attempt starts from the configured URL, because redirect
// targets often carry tokens that expire. With a backup URL, a failed primary gives way to the
// backup at once; while the backup plays, a probe asks the primary every SourceRetrySecs, and
// when it answers the backup's transfer ends between two chunks (its decoder finishes the whole
// frames it has) and the primary is opened.
//
// A source whose audio stays below SilenceThreshold for SilenceSecs (dead air) has failed too.
// The probe cannot hear silence, so a primary given up for dead air is asked again only after
// kDeadAirProbeHold: it would otherwise be back within SourceRetrySecs, silent again.
//
// Main thread, except the probe, which runs on a thread of its own with its own libcurl handle
// and reports only through InputState::primaryBack.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "common/log.h"
#include "common/station_metrics.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"
#include "engine/source_levels.h"
#include "input/curl_handle.h"
#include "input/input_state.h"
#include "input/ziravorov.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kWaitSlice{100};
// The probe's bounds: it must not hold a connection to the primary for long.
constexpr long kProbeConnectSecs = 5;
constexpr long kProbeTotalSecs = 10;
constexpr std::chrono::seconds kDeadAirProbeHold{60};

// The outage being bridged, for the line that reports its end.
struct Outage {
    bool ongoing = false;
    Clock::time_point since{};
};

Outage outage;

// Waits in slices so that a stop request (a signal) ends the wait within one; false then.
bool WaitWhileRunning(std::chrono::milliseconds duration) {
    const auto end = Clock::now() + duration;
    while (!TransferEndRequested()) {
        const auto now = Clock::now();
        if (now >= end) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(end - now, kWaitSlice));
    }
    return false;
}

// 0 for the first attempt after a loss, then 1, 2, 4 ... seconds, capped.
std::chrono::milliseconds RetryWait(int failedAttempts) {
    if (failedAttempts <= 0) return std::chrono::milliseconds(0);
    const int cap = std::max(1, Engine().settings.sourceRetrySecs);
    const int exponent = std::min(failedAttempts - 1, 16);
    return std::chrono::seconds(std::min(1 << exponent, cap));
}

void BeginOutage(const char* url) {
    if (!outage.ongoing) {
        outage.ongoing = true;
        outage.since = Clock::now();
    }
    SetSourcePlaying(false);
    Report(FrontEnd().mainStatus, "Waiting For Source");
    Report(FrontEnd().inputStatus, "Source lost, relaying silence");
    const EngineState& engine = Engine();
    if (!engine.settings.fallbackTitle.empty())
        SetCurrentTitle(engine.settings.fallbackTitle.c_str());
    LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Relaying silence while %s is away",
               MaskedUrl(url).c_str());
}

// The Error line for a source that ended without a failure of its own. Failures that a callback
// or libcurl reported have had their line already, and so have a stall and a source without
// audio.
void ReportLoss(const InputState& input, const TransferOutcome& outcome) {
    if (outcome.end == TransferEnd::kStalled || outcome.end == TransferEnd::kNoAudio ||
        outcome.end == TransferEnd::kDeadAir) {
        return;
    }
    if (outcome.result != CURLE_OK || input.transferRefused) return;
    LogMessage(LOG_ERROR, kLogInput, __LINE__, "Source ended: %s closed the stream",
               MaskedUrl(input.url).c_str());
}

SourceEnd SourceEndOf(const InputState& input, const TransferOutcome& outcome) {
    if (outcome.end == TransferEnd::kStalled) return SourceEnd::kStalled;
    if (outcome.end == TransferEnd::kNoAudio) return SourceEnd::kNoAudio;
    if (outcome.end == TransferEnd::kDeadAir) return SourceEnd::kDeadAir;
    if (outcome.result != CURLE_OK || input.transferRefused) return SourceEnd::kFailed;
    return SourceEnd::kClosed;
}

// Bytes keep coming (the last one arrived kNoAudioLimit or more after the last usable audio) and
// the header is behind them, yet none of them has given audio the relay can use: after an Error
// line that says so, true. Without bytes the stall rules apply instead.
bool SourceGivesNoAudio(const InputState& input) {
    if (!input.headerDone) return false;
    const Clock::time_point lastAudio = std::max(LastRelayableAudio(), input.transferStart);
    if (input.lastByteAt - lastAudio < kNoAudioLimit) return false;
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(kNoAudioLimit).count();
    const int refusedRate = RefusedSourceRate();
    if (refusedRate != 0) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Source %s gave no audio that can be relayed for %lld s: its %d Hz cannot be "
                   "converted to %ld Hz",
                   MaskedUrl(input.url).c_str(), seconds, refusedRate,
                   static_cast<long>(Engine().settings.sampleRate));
    } else {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Source %s gave no audio for %lld s: its bytes do not decode as %s",
                   MaskedUrl(input.url).c_str(), seconds,
                   input.inputIsVorbis ? "Ogg Vorbis or Opus" : "MP3");
    }
    return true;
}

// ---- the primary's probe, while the backup plays ----

// Ends the probe's transfer at its first body byte: the primary delivers again.
std::size_t ProbeBody(char*, std::size_t, std::size_t, void* delivered) noexcept {
    *static_cast<bool*>(delivered) = true;
    return 0;
}

std::size_t IgnoreHeader(char*, std::size_t itemSize, std::size_t itemCount, void*) noexcept {
    return itemSize * itemCount;
}

// One request to the primary: true when it answers with a success status (or a Shoutcast "ICY
// 200" answer, which libcurl takes for a body) and a first byte of its body.
bool PrimaryAnswers(const std::string& url) {
    CurlEasy curl;
    if (!curl) return false;
    CurlHeaderList requestHeaders;
    requestHeaders.append("Icy-MetaData:1");
    bool delivered = false;
    curl.set(CURLOPT_URL, url.c_str());
    curl.set(CURLOPT_HTTPHEADER, requestHeaders.get());
    curl.set(CURLOPT_USERAGENT, "Winamp/2.x");
    curl.set(CURLOPT_NOSIGNAL, 1L);
    curl.set(CURLOPT_HTTP09_ALLOWED, 1L);
    curl.set(CURLOPT_FOLLOWLOCATION, 1L);
    curl.set(CURLOPT_MAXREDIRS, 5L);
    curl.set(CURLOPT_CONNECTTIMEOUT, kProbeConnectSecs);
    curl.set(CURLOPT_TIMEOUT, kProbeTotalSecs);
    curl.set(CURLOPT_HEADERFUNCTION, IgnoreHeader);
    curl.set(CURLOPT_WRITEFUNCTION, ProbeBody);
    curl.set(CURLOPT_WRITEDATA, &delivered);
    curl_easy_perform(curl.get());
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    return delivered && (status == 0 || (status >= 200 && status < 300));
}

class PrimaryProbe {
  public:
    // The first question goes after `firstWait`, the next ones every SourceRetrySecs.
    void Start(InputState& input, std::string url, std::chrono::seconds firstWait) {
        Stop();
        input.primaryBack = false;
        {
            std::lock_guard lock(probeLock);
            stopping_ = false;
        }
        thread_ = std::thread(
            [this, &input, url = std::move(url), firstWait] { Run(input, url, firstWait); });
    }

    void Stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(probeLock);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    ~PrimaryProbe() { Stop(); }

  private:
    void Run(InputState& input, const std::string& url, std::chrono::seconds firstWait) {
        const auto interval = std::chrono::seconds(std::max(1, Engine().settings.sourceRetrySecs));
        for (auto wait = firstWait;; wait = interval) {
            {
                std::unique_lock lock(probeLock);
                if (wake_.wait_for(lock, wait, [this] { return stopping_; })) return;
            }
            if (PrimaryAnswers(url)) {
                input.primaryBack = true;
                return;
            }
        }
    }

    std::mutex probeLock;  // guards stopping_
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

bool SourceTransferShouldEnd(InputState& input) {
    if (SourceGivesNoAudio(input)) {
        input.transferEnd = TransferEnd::kNoAudio;
        return true;
    }
    if (Engine().settings.sourceReconnect == 0) return false;
    if (SourceDeadAir()) {
        input.transferEnd = TransferEnd::kDeadAir;
        return true;
    }
    if (input.primaryBack.load()) {
        input.transferEnd = TransferEnd::kPrimaryBack;
        return true;
    }
    const auto timeout = std::chrono::seconds(std::max(1, Engine().settings.sourceTimeoutSecs));
    if (Clock::now() - input.lastByteAt < timeout) return false;
    input.transferEnd = TransferEnd::kStalled;
    LogMessage(LOG_ERROR, kLogInput, __LINE__, "Source stalled: no audio from %s for %d s",
               MaskedUrl(input.url).c_str(), std::max(1, Engine().settings.sourceTimeoutSecs));
    return true;
}

void NoteSourceAudio(InputState& input) {
    input.lastByteAt = Clock::now();
    if (!input.audioArrived) {
        input.audioArrived = true;
        StationMetrics().NoteSourceUp(true);
        SetSourcePlaying(true);
    }
    // The outage is over once the bytes give audio (for an Ogg source, at the chunk after the
    // decoder thread's first block): bytes that never decode are no return of the source.
    if (!outage.ongoing || LastRelayableAudio() < input.transferStart) return;
    outage.ongoing = false;
    const double seconds = std::chrono::duration<double>(Clock::now() - outage.since).count();
    LogMessage(LOG_INFO, kLogInput, __LINE__, "Source playing again after %.0f s: %s", seconds,
               MaskedUrl(input.url).c_str());
}

void RunSourcesUntilStopped(InputState& input, const char* primaryUrl) {
    const std::string primary = primaryUrl;
    const std::string backup = Engine().settings.sourceBackupUrl.c_str();
    PrimaryProbe probe;
    outage = Outage{};
    bool onPrimary = true;
    bool primaryDeadAir = false;
    int failedAttempts = 0;
    while (!TransferEndRequested()) {
        const std::string& url = onPrimary ? primary : backup;
        // A return of the primary seen by the last probe is served by this very transfer.
        input.primaryBack = false;
        RestartSilenceWatch();
        if (!onPrimary) {
            const auto retry = std::chrono::seconds(std::max(1, Engine().settings.sourceRetrySecs));
            probe.Start(input, primary, primaryDeadAir ? std::max(retry, kDeadAirProbeHold) : retry);
        }
        const TransferOutcome outcome = RunHttpTransfer(input, url.c_str());
        probe.Stop();
        if (TransferEndRequested()) break;
        if (outcome.end == TransferEnd::kPrimaryBack) {
            StationMetrics().NoteSourceEnd(SourceEnd::kPrimaryBack);
            // The backup played until now: no outage, no wait.
            onPrimary = true;
            failedAttempts = 0;
            continue;
        }
        ReportLoss(input, outcome);
        StationMetrics().NoteSourceEnd(SourceEndOf(input, outcome));
        // A source whose bytes gave no audio (or only dead air) failed like one that could not
        // be reached.
        const bool deadAir = outcome.end == TransferEnd::kDeadAir;
        if (outcome.audioArrived && outcome.end != TransferEnd::kNoAudio && !deadAir) {
            failedAttempts = 0;
        }
        if (onPrimary) primaryDeadAir = deadAir;
        BeginOutage(url.c_str());
        // A failed primary gives way to the backup at once; a failed backup to the primary.
        const bool switchNow = !backup.empty() && onPrimary;
        if (!backup.empty()) onPrimary = !onPrimary;
        if (switchNow) continue;
        if (!WaitWhileRunning(RetryWait(failedAttempts))) break;
        ++failedAttempts;
    }
}
