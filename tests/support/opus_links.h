// Reading Ogg Opus bytes back with libogg: the links of a chained stream, each with its serial,
// its OpusHead fields, its OpusTags comments and how much audio its granule positions hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct OpusLink {
    int serial = 0;
    bool begun = false;      // its first page carries the beginning-of-stream mark
    bool ended = false;      // its last page carries the end-of-stream mark
    bool headValid = false;  // the first packet is an OpusHead
    int channels = 0;
    std::uint32_t inputRate = 0;
    int preSkip = 0;
    std::vector<std::string> comments;  // "TAG=value", from the OpusTags packet
    std::int64_t lastGranule = -1;
    std::size_t audioPackets = 0;
    std::size_t audioBytes = 0;  // the audio packets' bytes

    // The value of the first comment with that tag ("" when none).
    std::string Comment(const std::string& tag) const;
    // The audio the link decodes to: its last granule position less the pre-skip.
    double Seconds() const;
};

std::vector<OpusLink> OpusLinksOf(const std::string& bytes);
