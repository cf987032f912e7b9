// Shared by the fuzz targets: the process-wide records put back to their start-up state between
// inputs, decoded-sample receivers that check what the decoders hand on, and a deterministic
// cutter that turns one seed byte into a sequence of chunk sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Every process-wide record (input, decoders, engine, front-end slots, configuration table,
// logger) back to its start-up state, with the log going to /dev/null at Debug level, so that
// every log line is formatted but nothing reaches the disk. Called once at start and after every
// input.
void ResetProcessRecords();

// Sample receivers for the decoders in place of the engine. Each aborts when a block breaks what
// the engine relies on (a rate above 0, one or two channels, finite samples; the Ogg Vorbis
// decoder also clips to ±1.0).
int CheckMp3Samples(const float* samples, int frameCount, int channelCount, int sampleRate);
int CheckAacSamples(const float* samples, int frameCount, int channelCount, int sampleRate);
int CheckVorbisSamples(const float* samples, int frameCount, int channelCount, int sampleRate);

// The Ogg decoder thread's body run on this thread over the whole stream, as the source input
// runs it: the stream buffered in the input's ring buffer, the ring source finished first.
void DecodeOggThroughRingSource(std::string_view stream);

// Stops the process with a message when a property does not hold: libFuzzer keeps the input.
[[noreturn]] void FuzzFailure(const char* what);
inline void FuzzCheck(bool holds, const char* what) {
    if (!holds) FuzzFailure(what);
}

// Chunk sizes drawn from a seed: mostly small (1 to 64 bytes, where the cuts fall inside length
// bytes, metadata texts and header lines), sometimes up to 16 KiB as libcurl delivers them.
class ChunkCutter {
  public:
    explicit ChunkCutter(std::uint8_t seed) : state_(0x9E3779B9u ^ (seed * 0x01000193u)) {}
    std::size_t Next(std::size_t remaining);

  private:
    std::uint32_t state_;
};

// Reads the leading control bytes of an input; 0 when the input is used up.
class InputBytes {
  public:
    InputBytes(const std::uint8_t* data, std::size_t size)
        : rest_(reinterpret_cast<const char*>(data), size) {}
    std::uint8_t Byte();
    std::uint16_t Word();  // little-endian
    std::string_view Rest() const { return rest_; }

  private:
    std::string_view rest_;
};
