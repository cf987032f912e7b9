// Throughput of the polyphase resampler next to libsamplerate's fastest sinc converter and libsoxr,
// all in this process on the same stereo signal, fed in the intake's block size.
//
// Figures are audio seconds converted per CPU second (CLOCK_PROCESS_CPUTIME_ID, so helper threads
// would count too; soxr is asked for one thread). Each converter runs several trials in turn and
// keeps its best, which filters out noise from other load on the machine.
//
// soxr quality: SOXR_LQ is the comparable setting. It promises 16 bits (about 96 dB) with a
// passband to 0.68 of the Nyquist frequency; our default filter is flat to about 0.7 of the lower
// rate's Nyquist frequency and is 90 dB or more down from that frequency on. SOXR_MQ (passband to
// 0.92) is printed as the next step up. libsamplerate's SRC_SINC_FASTEST (passband about 0.8,
// about 97 dB) is the cheapest of its band-limited converters.
#include <samplerate.h>
#include <soxr.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "resample/resample.h"

namespace {

constexpr int kChannels = 2;
constexpr size_t kBlockFrames = 1152;  // one MP3 frame of input per call, as the intake does
constexpr double kSignalSeconds = 10.0;
constexpr int kTrials = 5;
constexpr double kTrialCpuSeconds = 0.3;

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

// A tone mixed with noise, so that no converter sees only silence or a trivial signal.
std::vector<float> TestSignal(int rate) {
    const size_t frames = static_cast<size_t>(rate * kSignalSeconds);
    std::mt19937 generator(1);
    std::uniform_real_distribution<float> noise(-0.2f, 0.2f);
    std::vector<float> samples(frames * kChannels);
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < kChannels; ++c)
            samples[i * kChannels + c] = static_cast<float>(
                0.5 * std::sin(2 * std::numbers::pi * 997.0 * i / rate) + noise(generator));
    return samples;
}

// Converts one block; returns the output frames (only to keep the work observable).
using BlockConverter = std::function<long(const float* input, size_t frames, float* output)>;

struct Converter {
    const char* name;
    std::function<BlockConverter(int inrate, int outrate)> create;
};

struct OwnedResampler {
    ResamplerState state{};
    ~OwnedResampler() {
        if (state.table) res_clear(&state);
    }
};

BlockConverter Ours(int inrate, int outrate) {
    auto owner = std::make_shared<OwnedResampler>();
    if (res_init(&owner->state, kChannels, outrate, inrate, kNoResamplerOptions) != 0) return {};
    return [owner](const float* input, size_t frames, float* output) -> long {
        return res_push_interleaved(&owner->state, output, input, frames);
    };
}

BlockConverter SamplerateFastest(int inrate, int outrate) {
    int error = 0;
    std::shared_ptr<SRC_STATE> src(src_new(SRC_SINC_FASTEST, kChannels, &error), src_delete);
    if (!src) return {};
    const double ratio = static_cast<double>(outrate) / inrate;
    return [src, ratio](const float* input, size_t frames, float* output) -> long {
        SRC_DATA data{};
        data.data_in = input;
        data.input_frames = static_cast<long>(frames);
        data.data_out = output;
        data.output_frames = static_cast<long>(frames * ratio) + 64;
        data.src_ratio = ratio;
        long produced = 0;
        while (data.input_frames > 0 && src_process(src.get(), &data) == 0) {
            data.data_in += data.input_frames_used * kChannels;
            data.input_frames -= data.input_frames_used;
            produced += data.output_frames_gen;
            if (data.input_frames_used == 0 && data.output_frames_gen == 0) break;
        }
        return produced;
    };
}

BlockConverter Soxr(int inrate, int outrate, unsigned long recipe) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    std::shared_ptr<soxr> converter(
        soxr_create(inrate, outrate, kChannels, &error, &io, &quality, &runtime), soxr_delete);
    if (error || !converter) return {};
    const double ratio = static_cast<double>(outrate) / inrate;
    return [converter, ratio](const float* input, size_t frames, float* output) -> long {
        size_t used = 0, produced = 0;
        soxr_process(converter.get(), input, frames, &used, output,
                     static_cast<size_t>(frames * ratio) + 64, &produced);
        return static_cast<long>(produced);
    };
}

// Audio seconds per CPU second for one trial of at least kTrialCpuSeconds.
double TrialThroughput(const BlockConverter& convert, int inrate, const std::vector<float>& signal,
                       std::vector<float>& output) {
    const size_t frames = signal.size() / kChannels;
    const double start = CpuSeconds();
    double elapsed = 0.0, audio = 0.0;
    long produced = 0;
    while (elapsed < kTrialCpuSeconds) {
        for (size_t at = 0; at + kBlockFrames <= frames; at += kBlockFrames)
            produced += convert(signal.data() + at * kChannels, kBlockFrames, output.data());
        audio += static_cast<double>(frames - frames % kBlockFrames) / inrate;
        elapsed = CpuSeconds() - start;
    }
    if (produced <= 0) return 0.0;  // a converter that produced nothing has no meaningful speed
    return audio / elapsed;
}

// Best figure per converter; the trials take turns so that background load hits all alike.
std::vector<double> Throughputs(const std::vector<Converter>& converters, int inrate, int outrate) {
    const std::vector<float> signal = TestSignal(inrate);
    std::vector<float> output((kBlockFrames * outrate / inrate + 128) * kChannels);
    std::vector<BlockConverter> instances;
    for (const Converter& converter : converters)
        instances.push_back(converter.create(inrate, outrate));
    std::vector<double> best(converters.size(), 0.0);
    for (int trial = 0; trial < kTrials; ++trial)
        for (size_t i = 0; i < instances.size(); ++i)
            if (instances[i])
                best[i] = std::max(best[i], TrialThroughput(instances[i], inrate, signal, output));
    return best;
}

void PrintSoxrQuality(const char* name, unsigned long recipe) {
    const soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
    std::printf("%s: precision %.0f bits, passband end %.3f, stopband begin %.3f (of Nyquist)\n",
                name, q.precision, q.passband_end, q.stopband_begin);
}

}  // namespace

int main() {
    const std::vector<Converter> converters = {
        {"ours (polyphase)", Ours},
        {"libsamplerate SINC_FASTEST", SamplerateFastest},
        {"soxr LQ", [](int in, int out) { return Soxr(in, out, SOXR_LQ); }},
        {"soxr MQ", [](int in, int out) { return Soxr(in, out, SOXR_MQ); }},
    };
    const int rates[][2] = {{48000, 44100}, {22050, 44100}};

    PrintSoxrQuality("soxr LQ", SOXR_LQ);
    PrintSoxrQuality("soxr MQ", SOXR_MQ);
    std::printf("stereo float, blocks of %zu input frames, best of %d trials of %.1f CPU s\n\n",
                kBlockFrames, kTrials, kTrialCpuSeconds);
    std::printf("%-14s %-28s %16s %12s\n", "rates", "converter", "audio s/CPU s", "ours/this");
    for (const auto& pair : rates) {
        const std::vector<double> speeds = Throughputs(converters, pair[0], pair[1]);
        char label[32];
        std::snprintf(label, sizeof label, "%d->%d", pair[0], pair[1]);
        for (size_t i = 0; i < converters.size(); ++i)
            std::printf("%-14s %-28s %16.1f %12.2f\n", label, converters[i].name, speeds[i],
                        speeds[i] > 0 ? speeds[0] / speeds[i] : 0.0);
        std::printf("\n");
    }
    return 0;
}
