// The source metering's own cost: CPU per audio minute of MeterSourceBlock (K-weighted short-term
// loudness, sample peak, the dead-air watch) on music-like 44100 Hz stereo in blocks of 1152
// frames, as the MP3 decoder hands them over, with readings taken as a status page would; and
// the private memory the meter adds to the process. Set beside relay_bench's CPU per audio minute
// of the whole relay, it gives the share the metering adds.
//
//   metering_bench [audio seconds] [readings per second]   (default 600 and 1)
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/music_like.h"
#include "engine/libzembril.h"
#include "engine/source_levels.h"

namespace {

constexpr int kRate = 44100;
constexpr int kBlockFrames = 1152;

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

// Private_Clean + Private_Dirty of this process, in KiB.
long PrivateKiB() {
    std::ifstream rollup("/proc/self/smaps_rollup");
    std::string name;
    long total = 0;
    while (rollup >> name) {
        long kib = 0;
        if ((name == "Private_Clean:" || name == "Private_Dirty:") && rollup >> kib) total += kib;
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const double audioSeconds = argc > 1 ? std::atof(argv[1]) : 600.0;
    const double readingsPerSecond = argc > 2 ? std::atof(argv[2]) : 1.0;
    Engine().settings.silenceSecs = 10;
    Engine().settings.silenceThreshold = -50;

    MusicLikeGenerator music(kRate);
    // One second of blocks, made before the timing, played over and over.
    std::vector<std::vector<float>> second;
    for (int frames = 0; frames < kRate; frames += kBlockFrames) {
        second.push_back(music.Next(kBlockFrames));
    }

    const long privateBefore = PrivateKiB();
    double meterCpu = 0.0;
    double readCpu = 0.0;
    double sink = 0.0;
    const double blocksPerSecond = static_cast<double>(second.size());
    double readingsDue = 0.0;
    for (double played = 0.0; played < audioSeconds; played += 1.0) {
        for (const std::vector<float>& block : second) {
            const double start = ThreadCpuSeconds();
            MeterSourceBlock(block.data(), kBlockFrames, 2, kRate);
            meterCpu += ThreadCpuSeconds() - start;
            readingsDue += readingsPerSecond / blocksPerSecond;
            if (readingsDue < 1.0) continue;
            readingsDue -= 1.0;
            const double readStart = ThreadCpuSeconds();
            sink += CurrentSourceLevels().shortTermLufs;
            readCpu += ThreadCpuSeconds() - readStart;
        }
    }
    const long privateAfter = PrivateKiB();

    const double minutes = audioSeconds / 60.0;
    std::printf("metering %.0f s of music-like 44100 Hz stereo in blocks of %d frames\n",
                audioSeconds, kBlockFrames);
    std::printf("  MeterSourceBlock          %.4f CPU s per audio minute\n", meterCpu / minutes);
    std::printf("  CurrentSourceLevels (%.1f/s) %.4f CPU s per audio minute\n", readingsPerSecond,
                readCpu / minutes);
    std::printf("  private memory added by the meter: %ld KiB\n", privateAfter - privateBefore);
    std::printf("  (last reading %.1f LUFS, %.1f dBFS)\n", CurrentSourceLevels().shortTermLufs,
                CurrentSourceLevels().peakDbfs);
    return sink == 12345.0 ? 1 : 0;
}
