// MP3 test streams, generated with LAME from a sine tone.
//
// CBR without the Xing/LAME information frame, so every frame in the bytes is audio and the byte
// rate is exactly bitrate / 8 (a station's stream looks the same).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct Mp3Format {
    int sampleRate = 44100;
    int channelCount = 2;
    double seconds = 1.0;
    double toneHz = 440.0;
    float amplitude = 0.5f;
    int bitrateKbps = 128;
};

// The encoded bytes; empty when LAME refused the settings.
std::string MakeMp3Tone(const Mp3Format& format);

// Bytes per second of a CBR stream.
inline double Mp3BytesPerSecond(const Mp3Format& format) {
    return format.bitrateKbps * 1000.0 / 8.0;
}

struct Mp3Frame {
    std::size_t offset = 0;
    std::size_t byteCount = 0;  // as its header gives it; the last may run past the bytes
};

// The MPEG audio frames (sync word and a valid header) met by walking the bytes: from a frame to
// the bytes right after it, and past bytes that are not a frame to the next sync word.
std::vector<Mp3Frame> Mp3Frames(const std::string& bytes);

// Offsets at which MPEG audio frames begin, for tests that cut streams at or between frames.
std::vector<std::size_t> Mp3FrameOffsets(const std::string& bytes);
