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

// Offsets at which MPEG audio frames begin (sync word and a valid header), for tests that cut
// streams at or between frames.
std::vector<std::size_t> Mp3FrameOffsets(const std::string& bytes);
