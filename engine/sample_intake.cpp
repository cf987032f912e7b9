// The sample intake: the one door through which decoded audio enters the output engine.
//
// While the output loop runs, ProcessSamples only queues the block and the loop's thread does
// the rest (ConvertAndEncode); without it (tests of the intake itself) the caller's thread does.
//
// Each block is archived as WAV PCM when so configured, turned into left/right frames for the
// configured channel count, converted to the output rate when the source rate differs, and
// handed to DoEncoding. It runs on the output loop's thread, or, when no loop runs, on the one
// thread that decodes the source; either way one thread at a time, so calls never overlap.
//
// Working buffers are kept from block to block and only grow, instead of being allocated and
// released for every block. They also hold the frames that are too few to complete the
// resampler's history: those are carried into the next block, so that a stream fed in blocks of
// any size leaves the resampler exactly as if it had been pushed in one piece.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "common/log.h"
#include "engine/libzembril.h"
#include "engine/source_levels.h"

namespace {

// The rates a real MP3 or Vorbis stream carries. A header may claim any 32-bit rate (1 Hz, or
// 11930467 Hz, whose filter table alone would take 2.1 GB): another is refused like a failed
// resampler initialisation.
constexpr std::int64_t kMinSourceRate = 1000;
constexpr std::int64_t kMaxSourceRate = 768000;
// Stands for a block that came with a rate of 0 Hz.
constexpr int kNoRateNoted = std::numeric_limits<int>::min();

struct IntakeBuffers {
    // Carried frames first, then the converted block: 2 floats per frame.
    std::vector<float> stereo;
    std::vector<float> resampled;
    std::uint64_t carriedFrames = 0;       // frames held back for the resampler
    std::int64_t resamplerOutputRate = 0;  // the output rate the resampler was built for
};

IntakeBuffers buffers;
EncodeBlockTap encodeBlockTap = nullptr;

// The source audio watch. The decoder's thread notes each decoded block of audio the relay can
// use; the output loop's thread notes a rate the intake refused, so that the blocks of that rate
// stop counting. The source input reads both to tell a source that sends bytes without audio.
using WatchClock = std::chrono::steady_clock;
std::atomic<WatchClock::rep> lastRelayableAudio{
    WatchClock::time_point::min().time_since_epoch().count()};
std::atomic<int> refusedSourceRate{0};
static_assert(std::atomic<WatchClock::rep>::is_always_lock_free);

// The most a block may grow when resampled: the highest output rate the encoder set-up accepts
// (768 kHz) over the lowest rate of a real MP3 or Vorbis stream (8 kHz). A source at a lower rate
// would turn each 1024-sample block into up to 768 times as many frames: more than the MP3
// encoder's buffer takes.
constexpr std::int64_t kMaxUpsampling = 96;

// True for a source rate a stream can have and an output rate the block growth allows; res_init
// still refuses a pair whose filter table would be too large.
bool ResamplerCanConvert(std::int64_t outRate, std::int64_t inRate) {
    if (inRate < kMinSourceRate || inRate > kMaxSourceRate) return false;
    return outRate > 0 && outRate <= inRate * kMaxUpsampling;
}

int DropBlockForMemory(int frameCount) {
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "Not enough memory for a block of %d frames; the block is dropped", frameCount);
    return 1;
}

// Grows a working buffer; false when the memory cannot be had.
bool EnsureFloats(std::vector<float>& buffer, std::uint64_t floatCount) {
    if (buffer.size() >= floatCount) return true;
    try {
        buffer.resize(floatCount);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

// Left/right frames for the configured channel count, written to `out`.
void ConvertChannels(const float* samples, int frameCount, int sourceChannels, int outputChannels,
                     float* out) {
    const auto frames = static_cast<std::size_t>(frameCount);
    if (sourceChannels == 1) {
        for (std::size_t i = 0; i < frames; ++i) out[2 * i] = out[2 * i + 1] = samples[i];
    } else if (sourceChannels == 2 && outputChannels == 1) {
        for (std::size_t i = 0; i < frames; ++i) {
            out[2 * i] = out[2 * i + 1] = (samples[2 * i] + samples[2 * i + 1]) * 0.5f;
        }
    } else if (sourceChannels == 2) {
        std::copy(samples, samples + 2 * frames, out);
    } else {
        // More than two channels: the first two of each frame carry on.
        const auto stride = static_cast<std::size_t>(sourceChannels);
        for (std::size_t i = 0; i < frames; ++i) {
            out[2 * i] = samples[i * stride];
            out[2 * i + 1] = samples[i * stride + 1];
        }
    }
}

int Encode(const float* frames, int frameCount) {
    EngineState& engine = Engine();
    if (encodeBlockTap != nullptr) encodeBlockTap(frames, frameCount);
    engine.encoder.encodeSamples = frames;
    engine.encoder.encodeFrames = frameCount;
    const int result = DoEncoding();
    engine.encoder.encodeSamples = nullptr;  // the block lives for the call only
    engine.encoder.encodeFrames = 0;
    return result;
}

// A new source rate starts the conversion afresh: new filter history, nothing carried over.
// True when the rate changed.
bool NoteSourceRate(int sourceRate) {
    EngineState& engine = Engine();
    if (sourceRate == engine.encoder.lastInputRate) return false;
    if (engine.encoder.resamplerReady) res_clear(&engine.encoder.resampler);
    engine.encoder.resamplerReady = 0;
    engine.encoder.lastInputRate = sourceRate;
    buffers.carriedFrames = 0;
    return true;
}

// Every block of a rate that cannot be converted is dropped; one line for each new rate tells the
// operator, where a line per block would fill the log and standard error with the same words.
void ReportUnusableRate(int sourceRate, bool newRate) {
    refusedSourceRate.store(sourceRate, std::memory_order_relaxed);
    if (!newRate) return;
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "Error initializing resampler: %d Hz cannot be converted to %ld Hz, its audio is "
               "dropped",
               sourceRate, static_cast<long>(OutputSampleRate(Engine().settings)));
}

// The resampler lives as long as the source rate and the output rate stay: a new encoder or
// stream (a title change) continues the same audio through the same filter history.
bool PrepareResampler(int sourceRate, bool newRate) {
    EngineState& engine = Engine();
    const std::int64_t outputRate = OutputSampleRate(engine.settings);
    if (engine.encoder.resamplerReady && buffers.resamplerOutputRate == outputRate) return true;
    if (engine.encoder.resamplerReady) res_clear(&engine.encoder.resampler);
    engine.encoder.resamplerReady = 0;
    // A resampler torn down elsewhere (an engine reset) takes its carried frames with it.
    buffers.carriedFrames = 0;
    if (!ResamplerCanConvert(outputRate, sourceRate) ||
        res_init(&engine.encoder.resampler, 2, static_cast<int>(outputRate), sourceRate,
                 kNoResamplerOptions) != 0) {
        ReportUnusableRate(sourceRate, newRate);
        return false;
    }
    engine.encoder.resamplerReady = 1;
    buffers.resamplerOutputRate = outputRate;
    return true;
}

// The resampler drops a pass that cannot complete its history; such frames wait for the next.
bool TooFewToPush(const ResamplerState& resampler, std::uint64_t frameCount) {
    if (resampler.poolfill < 0) return false;
    const auto filled = static_cast<std::uint32_t>(resampler.poolfill);
    return filled < resampler.taps && frameCount <= resampler.taps - filled;
}

// Every pending frame (carried and new) enters the resampler in one pass.
int ResampleAndEncode(std::uint64_t pendingFrames) {
    EngineState& engine = Engine();
    ResamplerState& resampler = engine.encoder.resampler;
    if (pendingFrames == 0) return 1;
    if (TooFewToPush(resampler, pendingFrames)) {
        buffers.carriedFrames = pendingFrames;
        return 1;
    }
    // The most a pass can write: ceil(frames * out' / in') frames, plus one.
    const std::uint64_t capacity =
        (pendingFrames * resampler.outfreq + resampler.infreq - 1) / resampler.infreq + 1;
    if (!EnsureFloats(buffers.resampled, 2 * capacity)) {
        buffers.carriedFrames = 0;
        return DropBlockForMemory(static_cast<int>(pendingFrames));
    }
    const int frames = res_push_interleaved(&resampler, buffers.resampled.data(),
                                            buffers.stereo.data(), pendingFrames);
    buffers.carriedFrames = 0;
    if (frames < 1) return 1;
    if (GetLogLevel() >= LOG_DEBUG) {
        LogMessage(LOG_DEBUG, kLogEngine, __LINE__,
                   "Calling DoEncoding with out_samples %d and out_nch = %d", frames,
                   engine.settings.channels);
    }
    return Encode(buffers.resampled.data(), frames);
}

}  // namespace

void SetEncodeBlockTap(EncodeBlockTap tap) {
    encodeBlockTap = tap;
}

WatchClock::time_point LastRelayableAudio() {
    return WatchClock::time_point(WatchClock::duration(lastRelayableAudio.load()));
}

int RefusedSourceRate() {
    return refusedSourceRate.load(std::memory_order_relaxed);
}

void NoteDecodedAudio(int frameCount, int sourceRate) {
    if (frameCount <= 0 || sourceRate <= 0 || sourceRate == RefusedSourceRate()) return;
    lastRelayableAudio.store(WatchClock::now().time_since_epoch().count());
}

int ProcessSamples(const float* samples, int frameCount, int sourceChannels, int sourceRate) {
    MeterSourceBlock(samples, frameCount, sourceChannels, sourceRate);
    if (!Engine().destination.connected) return 1;
    if (OutputLoopRunning()) return QueueSamples(samples, frameCount, sourceChannels, sourceRate);
    return ConvertAndEncode(samples, frameCount, sourceChannels, sourceRate);
}

int ConvertAndEncode(const float* samples, int frameCount, int sourceChannels, int sourceRate) {
    EngineState& engine = Engine();
    if (!engine.destination.connected) return 1;
    if (sourceRate <= 0) {
        // No rate to convert from; treated like a resampler that cannot be built.
        // lastInputRate 0 means "no block yet", so a rate of 0 is noted under a value of its own.
        ReportUnusableRate(sourceRate, NoteSourceRate(sourceRate == 0 ? kNoRateNoted : sourceRate));
        return 1;
    }
    if (frameCount < 0 || sourceChannels < 1 || (frameCount > 0 && samples == nullptr)) return 1;

    WriteWavBlock(samples, frameCount, sourceChannels, sourceRate);
    const bool newRate = NoteSourceRate(sourceRate);
    const bool sameRate = OutputSampleRate(engine.settings) == sourceRate;
    if (!sameRate && !PrepareResampler(sourceRate, newRate)) return 1;
    if (newRate) refusedSourceRate.store(0, std::memory_order_relaxed);

    // Stereo in, stereo out at the same rate: the block is already what the encoder takes.
    if (sameRate && sourceChannels == 2 && engine.settings.channels != 1)
        return Encode(samples, frameCount);

    const std::uint64_t carried = sameRate ? 0 : buffers.carriedFrames;
    const std::uint64_t pendingFrames = carried + static_cast<std::uint64_t>(frameCount);
    if (!EnsureFloats(buffers.stereo, 2 * pendingFrames)) {
        buffers.carriedFrames = 0;
        return DropBlockForMemory(frameCount);
    }
    ConvertChannels(samples, frameCount, sourceChannels, engine.settings.channels,
                    buffers.stereo.data() + 2 * carried);
    if (sameRate) return Encode(buffers.stereo.data(), frameCount);
    return ResampleAndEncode(pendingFrames);
}
