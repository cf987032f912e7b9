// Where an archive's whole units end: MP3 frames of every MPEG version LAME writes and chained Ogg
// pages, handed over in pieces of every size (a header split across pieces included), and bytes
// that are neither format.
#include "engine/archive_units.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/audio_check.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/ogg_fixture.h"

namespace {

// The offsets at which the stream's units end.
std::vector<std::uint64_t> Mp3UnitEnds(const std::string& bytes) {
    std::vector<std::uint64_t> ends;
    for (const Mp3Frame& frame : Mp3Frames(bytes)) {
        if (frame.offset + frame.byteCount <= bytes.size()) {
            ends.push_back(frame.offset + frame.byteCount);
        }
    }
    return ends;
}

std::vector<std::uint64_t> OggUnitEnds(const std::string& bytes) {
    std::vector<std::uint64_t> ends;
    for (const OggPageInfo& page : ParseOggPages(bytes)) {
        ends.push_back(page.offset + page.byteCount);
    }
    return ends;
}

// The end of the last whole unit within the first `taken` bytes.
std::uint64_t LastEndWithin(const std::vector<std::uint64_t>& ends, std::uint64_t taken) {
    std::uint64_t last = 0;
    for (const std::uint64_t end : ends) {
        if (end <= taken) last = end;
    }
    return last;
}

struct StreamCase {
    const char* name;
    std::string bytes;
    bool ogg;
};

void PrintTo(const StreamCase& c, std::ostream* out) {
    *out << c.name;
}

Mp3Format Mp3Of(int sampleRate, int channelCount, int bitrateKbps) {
    Mp3Format format;
    format.sampleRate = sampleRate;
    format.channelCount = channelCount;
    format.bitrateKbps = bitrateKbps;
    return format;
}

std::vector<StreamCase> Streams() {
    OggLinkSpec first;
    first.noiseLevel = 0.3f;  // pages of many sizes
    OggLinkSpec second;
    second.sampleRate = 22050;
    second.channelCount = 1;
    return {
        {"Mpeg1", MakeMp3Tone(Mp3Of(44100, 2, 128)), false},
        {"Mpeg1Mono48k", MakeMp3Tone(Mp3Of(48000, 1, 64)), false},
        {"Mpeg2", MakeMp3Tone(Mp3Of(22050, 2, 64)), false},
        {"Mpeg25", MakeMp3Tone(Mp3Of(11025, 1, 32)), false},
        {"ChainedOgg", MakeOggVorbis({first, second}), true},
    };
}

class ArchiveUnitsTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ArchiveUnitsTest, WholeBytesEndAtTheLastCompleteUnitWhateverThePieces) {
    const StreamCase& c = GetParam();
    ASSERT_GT(c.bytes.size(), 1000u);
    const std::vector<std::uint64_t> ends = c.ogg ? OggUnitEnds(c.bytes) : Mp3UnitEnds(c.bytes);
    ASSERT_GT(ends.size(), 5u);
    ASSERT_EQ(ends.back(), c.bytes.size());
    // Pieces of 1 byte (every header split), then sizes that wander across unit boundaries.
    for (const std::size_t largest :
         {std::size_t{1}, std::size_t{7}, std::size_t{333}, std::size_t{5000}}) {
        SCOPED_TRACE("pieces up to " + std::to_string(largest));
        ArchiveUnits units;
        std::uint64_t taken = 0;
        std::uint32_t wander = 12345;
        while (taken < c.bytes.size()) {
            wander = wander * 1103515245u + 12345u;
            const std::size_t piece =
                std::min<std::size_t>(1 + (wander >> 8) % largest, c.bytes.size() - taken);
            units.Take(reinterpret_cast<const unsigned char*>(c.bytes.data()) + taken, piece);
            taken += piece;
            ASSERT_EQ(units.WholeBytes(), LastEndWithin(ends, taken)) << "after " << taken;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, ArchiveUnitsTest, ::testing::ValuesIn(Streams()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ArchiveUnitsBytes, BytesOfNeitherFormatEndTheCountWhereTheyBegin) {
    const std::string mp3 = MakeMp3Tone(Mp3Of(44100, 2, 128));
    const std::vector<std::uint64_t> ends = Mp3UnitEnds(mp3);
    ASSERT_GT(ends.size(), 3u);
    for (const std::string& stray : {std::string("ID3\x03", 4), std::string(64, '\0'),
                                     std::string("OggX") + std::string(60, 'x')}) {
        ArchiveUnits units;
        const std::string bytes = mp3.substr(0, ends[2]) + stray + mp3.substr(ends[2]);
        units.Take(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        EXPECT_EQ(units.WholeBytes(), ends[2]);
    }
    ArchiveUnits nothing;
    nothing.Take(reinterpret_cast<const unsigned char*>("plain text"), 10);
    EXPECT_EQ(nothing.WholeBytes(), 0u);
}

}  // namespace
