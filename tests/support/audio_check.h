// Checking audio in tests: sine blocks to feed the engine, MP3 bytes decoded with libmpg123, Ogg
// Vorbis bytes decoded with libvorbisfile from memory (link by link, with comments and serial
// numbers), the pages of an Ogg stream, and a tone's frequency measured from decoded samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct DecodedAudio {
    int sampleRate = 0;
    int channelCount = 0;
    std::vector<float> samples;  // interleaved

    std::size_t frameCount() const {
        return channelCount > 0 ? samples.size() / static_cast<std::size_t>(channelCount) : 0;
    }
    std::vector<float> Channel(int channel) const;
};

// Every frame libmpg123 can decode; rate and channel count of the first frame. Empty when no frame
// was found.
DecodedAudio DecodeMp3(const std::string& bytes);

struct OggLink {
    long serial = 0;
    std::vector<std::string> comments;  // "KEY=value" as stored
    DecodedAudio audio;

    // Value of the first comment named `key` (case-insensitive, as Vorbis comments are), or "".
    std::string Comment(const std::string& key) const;
    bool HasComment(const std::string& key) const;
};

// The logical streams of a chained Ogg Vorbis stream in order; empty when libvorbisfile cannot
// open the bytes.
std::vector<OggLink> DecodeOgg(const std::string& bytes);

struct OggPageInfo {
    long serial = 0;
    bool beginsStream = false;
    bool endsStream = false;
    std::int64_t granule = 0;
    std::size_t offset = 0;  // of the page in the bytes
    std::size_t byteCount = 0;
};

// The pages found in the bytes, in order (bytes that are not pages are skipped).
std::vector<OggPageInfo> ParseOggPages(const std::string& bytes);

// Interleaved sine tones, one frequency per channel, continuous across blocks.
class SineGenerator {
  public:
    SineGenerator(int sampleRate, std::vector<double> toneHzPerChannel, float amplitude = 0.5f);
    std::vector<float> Next(int frameCount);
    int channelCount() const { return static_cast<int>(toneHz_.size()); }

  private:
    int sampleRate_;
    std::vector<double> toneHz_;
    float amplitude_;
    std::uint64_t nextFrame_ = 0;
};

// Frequency of a steady tone from its rising zero crossings (interpolated), measured over the
// samples after `skipFrames`. 0 when fewer than two crossings are found.
double EstimateToneHz(const std::vector<float>& monoSamples, int sampleRate,
                      std::size_t skipFrames = 0);

double RootMeanSquare(const std::vector<float>& samples, std::size_t skipFrames = 0);
