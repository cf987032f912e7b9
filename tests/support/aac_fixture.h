// AAC-LC test streams in ADTS, made by FFmpeg's native AAC encoder from its sine source.
#pragma once

#include <string>

struct AacFormat {
    int sampleRate = 44100;
    int channelCount = 2;
    double seconds = 1.0;
    int toneHz = 440;
    int bitrateKbps = 96;
};

// The encoded bytes; empty when FFmpeg failed.
std::string MakeAacTone(const AacFormat& format);
