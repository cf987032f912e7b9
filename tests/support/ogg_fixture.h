// Ogg Vorbis test streams, generated with libvorbisenc.
//
// A stream is one or more logical streams (links) one after the other, each with its own rate,
// channel count, comments and serial number, as a station sends them when every song starts a
// new link. The audio is a sine tone on every channel, with optional noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct OggLinkSpec {
    int sampleRate = 44100;
    int channelCount = 2;
    int frameCount = 44100;
    double toneHz = 440.0;
    float amplitude = 0.5f;
    std::vector<std::string> comments;  // each as written, e.g. "ARTIST=Someone"
    float noiseLevel = 0.0f;            // white noise added to the tone: many more bytes per second
    float quality = 0.2f;               // libvorbisenc's VBR quality, -0.1 to 1.0
};

// The encoded bytes of all links, chained, their serial numbers counting up from
// firstSerialNumber. Empty when libvorbisenc refused a link's set-up.
std::string MakeOggVorbis(const std::vector<OggLinkSpec>& links, int firstSerialNumber = 4711);

// A one-link stream of the given comments.
std::string MakeOggVorbisWithComments(const std::vector<std::string>& comments,
                                      int frameCount = 4096);

// Where the identification packet (which opens the first page) holds the channel count (one
// byte) and the sample rate (32 bits, little-endian): after the type byte, "vorbis" and 4 bytes of
// version.
inline constexpr std::size_t kChannelsOffset = 11;
inline constexpr std::size_t kRateOffset = 12;

// Rewrites bytes of the identification packet and recomputes the page's checksum, so that
// libvorbisfile takes the header as a station sent it.
std::string PatchIdentification(std::string ogg, std::size_t offset, const std::string& bytes);

std::string LittleEndian32(std::uint32_t value);

// One link of the given packets as plain pages, for codecs the fixtures do not encode: the first
// packet opens it (a page of its own), the last closes it.
std::string OggLinkOfPackets(int serial, const std::vector<std::string>& packets);

// The first packet of an Ogg FLAC link: a codec the relay does not decode.
inline const std::string kOggFlacFirstPacket("\177FLAC\1\0\0\1fLaC", 13);
