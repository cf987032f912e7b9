// Ogg Opus test streams, generated with libopusenc.
//
// Like the Vorbis streams of ogg_fixture.h: one or more links one after the other, each with its
// own channel count, tags and serial number; the audio is a sine tone on every channel. A chain
// that changes codec is the links' bytes concatenated (MakeOggVorbis + MakeOggOpus + ...).
#pragma once

#include <string>
#include <vector>

struct OpusLinkSpec {
    int sampleRate = 48000;  // of the audio handed to the encoder; Opus itself is always 48 kHz
    int channelCount = 2;
    int frameCount = 48000;
    double toneHz = 440.0;
    float amplitude = 0.5f;
    std::vector<std::string> comments;  // each as written, e.g. "ARTIST=Someone"
    int bitrate = 64000;
};

// The encoded bytes of all links, chained, their serial numbers counting up from
// firstSerialNumber. Empty when libopusenc refused a link.
std::string MakeOggOpus(const std::vector<OpusLinkSpec>& links, int firstSerialNumber = 8100);
