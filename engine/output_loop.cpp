// The output loop: one thread that owns the destination side of a run once it is connected.
//
// It takes decoded PCM from the bounded queue and passes it through the sample intake to the
// encoder and the destination; the encoder's begin and end, destination reconnection and the
// archive all happen on this thread. The source side (the transfer, its decoders) only fills the
// queue, so a source can end and be opened again without touching the destination.
//
// Two clocks keep the stream honest. With OutputPacing the loop never runs more than
// kMostLead ahead of real time: a source faster than real time is held back by the full queue.
// With SourceReconnect, a queue that stays empty while no source plays (or longer than the
// jitter allowance) is bridged with encoded silence at real-time pace, so the destination keeps
// its mount and the listeners theirs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/socket.h"
#include "common/station_metrics.h"
#include "common/status.h"
#include "engine/libzembril.h"
#include "engine/pcm_queue.h"
#include "engine/server_io.h"
#include "engine/supervisor_notify.h"

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// The most the output runs ahead of real time with pacing on: enough for a server to hand its
// listeners a burst, little enough that a listener's clock and ours never part by 2 s.
constexpr double kMostLead = 1.5;
// A playing source may deliver nothing for this long before silence fills in.
constexpr Seconds kJitterAllowance{0.5};
// Silence keeps the output at least this far ahead of real time.
constexpr double kSilenceLead = 0.5;
// Silence goes out in steps of this much audio, one step per this much time, so that the
// destination never waits long for bytes, whatever lead the source left behind.
constexpr double kSilenceStepSeconds = 0.25;
// How often an idle loop looks at its state when it has nothing else to wake it.
constexpr std::chrono::milliseconds kIdleWake{100};
// How often the delay before a reconnection looks for a stop request, which comes as a flag
// from a signal handler and wakes no one.
constexpr std::chrono::milliseconds kStopCheckSlice{kSocketWaitSliceMs};

struct OutputLoop {
    PcmQueue queue;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> sourcePlaying{false};
    std::atomic<bool> clockRestart{false};

    // The loop thread's own.
    Clock::time_point clockStart{};
    double audioSeconds = 0.0;  // audio handed to the encoder since clockStart
    Clock::time_point lastBlockAt{};
    Clock::time_point lastEncodeAt{};
    std::vector<float> silence;
};

OutputLoop loop;

// Set on the loop's own thread: its waits for a new connection end with its input.
thread_local bool onLoopThread = false;

double LeadSeconds(Clock::time_point now) {
    return loop.audioSeconds - Seconds(now - loop.clockStart).count();
}

void RestartClockIfAsked(Clock::time_point now) {
    if (!loop.clockRestart.exchange(false)) return;
    loop.clockStart = now;
    loop.audioSeconds = 0.0;
}

// Holds a block back while the output is far enough ahead. False when the run was abandoned
// meanwhile.
bool PaceBeforeBlock() {
    if (Engine().settings.outputPacing == 0) return true;
    const double lead = LeadSeconds(Clock::now());
    if (lead <= kMostLead) return true;
    const auto resume =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(lead - kMostLead));
    return !loop.queue.WaitUnlessAbandoned(resume);
}

void EncodeBlock(PcmBlock& block) {
    ConvertAndEncode(block.samples.data(), block.frameCount, block.channels, block.sampleRate);
    if (block.sampleRate > 0) {
        loop.audioSeconds += static_cast<double>(block.frameCount) / block.sampleRate;
    }
}

const Clock::duration kSilenceStep =
    std::chrono::duration_cast<Clock::duration>(Seconds(kSilenceStepSeconds));

// No source plays (or a playing one has gone quiet for longer than jitter), and the last bytes
// went out a step ago; the output stays within its pacing lead.
bool SilenceWanted(Clock::time_point now) {
    const EngineState& engine = Engine();
    if (engine.settings.sourceReconnect == 0 || engine.destination.connected.load() == 0)
        return false;
    if (loop.sourcePlaying.load() && now - loop.lastBlockAt < kJitterAllowance) return false;
    const double lead = LeadSeconds(now);
    if (lead < kSilenceLead) return true;
    return now - loop.lastEncodeAt >= kSilenceStep && lead < kMostLead;
}

// Encodes a step of silence in the output's own format, more when the output has fallen behind
// kSilenceLead, and sends it at once (an Ogg page of silence would otherwise fill for seconds).
void RelaySilence(Clock::time_point now) {
    const EngineState& engine = Engine();
    const int rate = static_cast<int>(OutputSampleRate(engine.settings));
    if (rate <= 0) return;
    const double seconds = std::max(kSilenceStepSeconds, kSilenceLead - LeadSeconds(now));
    const int frames = static_cast<int>(std::min(seconds, 1.0) * rate);
    loop.silence.assign(2 * static_cast<std::size_t>(frames), 0.0f);
    ConvertAndEncode(loop.silence.data(), frames, 2, rate);
    FlushOggPages();
    loop.audioSeconds += static_cast<double>(frames) / rate;
    loop.lastEncodeAt = now;
}

// When the loop must look again without a block: at the next silence step, or after a while.
Clock::time_point NextWake(Clock::time_point now) {
    if (Engine().settings.sourceReconnect == 0) return now + kIdleWake;
    return std::clamp(loop.lastEncodeAt + kSilenceStep, now, now + kIdleWake);
}

// A lost destination that is not reconnected ends the run; the source side sees it too.
bool DestinationGone() {
    return Control().destinationLost.load();
}

void RunLoop() {
    onLoopThread = true;
    loop.clockStart = Clock::now();
    loop.lastBlockAt = loop.clockStart;
    loop.lastEncodeAt = loop.clockStart;
    PcmBlock block;
    while (!DestinationGone()) {
        const auto now = Clock::now();
        RestartClockIfAsked(now);
        const PcmQueue::TakeResult taken = loop.queue.Take(block, NextWake(now));
        if (taken == PcmQueue::TakeResult::kEnded) break;
        if (taken == PcmQueue::TakeResult::kBlock) {
            StationMetrics().NoteInputBuffer(loop.queue.QueuedSeconds());
            loop.lastBlockAt = Clock::now();
            if (!PaceBeforeBlock()) break;
            EncodeBlock(block);
            loop.lastEncodeAt = Clock::now();
            loop.queue.Recycle(block);
            continue;
        }
        const auto later = Clock::now();
        if (SilenceWanted(later)) RelaySilence(later);
    }
    // The end of the run: what the encoder holds goes out, then the one disconnect.
    if (Engine().destination.connected.load() != 0) FlushEncoder();
    if (Engine().destination.connected.load() != 0 || Engine().destination.streamSocket >= 0)
        DisconnectFromServer();
}

}  // namespace

void StartOutputLoop() {
    if (loop.thread.joinable()) return;
    loop.queue.Reset();
    loop.clockRestart = false;
    loop.audioSeconds = 0.0;
    loop.running = true;
    try {
        loop.thread = std::thread(RunLoop);
    } catch (const std::system_error& failure) {
        loop.running = false;
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Cannot start the output thread (%s): audio is encoded on the source's thread",
                   failure.what());
    }
}

bool OutputLoopRunning() {
    return loop.running.load();
}

void FinishOutputLoop(bool abandon) {
    if (!loop.thread.joinable()) return;
    NotifyStopping();
    // The end of the input also ends a pending connect, login or reconnection delay of the loop
    // (ConnectionWaitCalledOff), or the join would wait for a server that may never return.
    loop.queue.EndInput(abandon);
    loop.thread.join();
    loop.running = false;
    loop.queue.Reset();
}

bool ConnectionWaitCalledOff() {
    if (StopRequested()) return true;
    if (onLoopThread) return loop.queue.InputEnded();
    return Control().transferEnding.load();
}

bool WaitBeforeReconnecting(Clock::time_point until) {
    for (;;) {
        if (ConnectionWaitCalledOff()) return false;
        const auto now = Clock::now();
        if (now >= until) return true;
        loop.queue.WaitUnlessInputEnded(std::min(until, now + kStopCheckSlice));
    }
}

void SetSourcePlaying(bool playing) {
    loop.sourcePlaying = playing;
    NotifyRunState(playing ? "Relaying" : "Waiting for source");
    if (!playing) loop.queue.Wake();
}

void RestartOutputClock() {
    loop.clockRestart = true;
}

int QueueSamples(const float* samples, int frameCount, int channels, int sampleRate) {
    if (frameCount <= 0 || channels < 1 || samples == nullptr) return 1;
    // While the destination is away (a reconnection wait) the source's audio is dropped, so the
    // source keeps flowing and its titles keep coming.
    loop.queue.Push(samples, frameCount, channels, sampleRate, [] {
        const EngineState& engine = Engine();
        return engine.destination.connected.load() != 0 && !Control().destinationLost.load() &&
               !StopRequested();
    });
    return 1;
}
