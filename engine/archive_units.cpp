#include "engine/archive_units.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kMp3HeaderBytes = 4;
constexpr std::size_t kOggFixedHeaderBytes = 27;
constexpr std::size_t kOggSegmentCountAt = 26;

bool IsOggCapture(const unsigned char* header) {
    return std::memcmp(header, "OggS", 4) == 0;
}

// Bytes of the MPEG Layer III frame (what LAME writes) whose header this is; 0 when it is none.
std::uint64_t Mp3FrameLength(const unsigned char* header) {
    static constexpr int kMpeg1Kbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                           112, 128, 160, 192, 224, 256, 320, 0};
    static constexpr int kMpeg2Kbps[16] = {0,  8,  16, 24,  32,  40,  48,  56,
                                           64, 80, 96, 112, 128, 144, 160, 0};
    static constexpr int kMpeg1Rates[3] = {44100, 48000, 32000};
    if (header[0] != 0xFF || (header[1] & 0xE0) != 0xE0) return 0;
    const int version = (header[1] >> 3) & 3;  // 0: MPEG 2.5, 1: reserved, 2: MPEG 2, 3: MPEG 1
    const int layer = (header[1] >> 1) & 3;    // 1: Layer III
    const int bitrateIndex = header[2] >> 4;
    const int rateIndex = (header[2] >> 2) & 3;
    const int padding = (header[2] >> 1) & 1;
    if (version == 1 || layer != 1 || rateIndex == 3) return 0;
    const bool mpeg1 = version == 3;
    const int kbps = (mpeg1 ? kMpeg1Kbps : kMpeg2Kbps)[bitrateIndex];
    if (kbps == 0) return 0;  // free format or a bad index: no length in the header
    const int rate = kMpeg1Rates[rateIndex] / (mpeg1 ? 1 : version == 2 ? 2 : 4);
    return static_cast<std::uint64_t>((mpeg1 ? 144 : 72) * 1000 * kbps / rate + padding);
}

}  // namespace

std::size_t ArchiveUnits::HeaderBytesNeeded() const {
    // The first byte tells the format: an MPEG sync word begins with 0xFF, an Ogg page with "O".
    if (headerFill_ == 0 || header_[0] != 'O') return kMp3HeaderBytes;
    if (headerFill_ < kOggFixedHeaderBytes) return kOggFixedHeaderBytes;
    return kOggFixedHeaderBytes + header_[kOggSegmentCountAt];
}

std::uint64_t ArchiveUnits::UnitLength() const {
    if (header_[0] != 'O') return Mp3FrameLength(header_.data());
    if (!IsOggCapture(header_.data())) return 0;
    std::uint64_t length = HeaderBytesNeeded();
    for (std::size_t i = kOggFixedHeaderBytes; i < HeaderBytesNeeded(); ++i) length += header_[i];
    return length;
}

void ArchiveUnits::Take(const unsigned char* bytes, std::size_t byteCount) {
    const std::uint64_t end = taken_ + byteCount;
    std::uint64_t at = taken_;  // the next byte of this piece to look at
    while (!lost_) {
        if (unitLength_ == 0) {
            const std::size_t needed = HeaderBytesNeeded();
            if (headerFill_ < needed) {
                const auto copied = static_cast<std::size_t>(
                    std::min<std::uint64_t>(needed - headerFill_, end - at));
                std::memcpy(header_.data() + headerFill_, bytes + (at - taken_), copied);
                headerFill_ += copied;
                at += copied;
            }
            if (headerFill_ < HeaderBytesNeeded()) {
                if (at == end) break;
                continue;  // an Ogg page's segment table follows its fixed part
            }
            unitLength_ = UnitLength();
            lost_ = unitLength_ == 0;
            continue;
        }
        const std::uint64_t unitEnd = unitStart_ + unitLength_;
        if (unitEnd > end) break;
        unitStart_ = unitEnd;
        at = unitEnd;
        unitLength_ = 0;
        headerFill_ = 0;
    }
    taken_ = end;
}
