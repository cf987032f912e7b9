// Where the whole units of an encoded archive end: MP3 frames or Ogg pages, read from their
// headers as the bytes go by.
//
// The encoder hands its output over in pieces that need not end with a unit (LAME's bit reservoir
// puts the end of a block's data in the middle of a frame). When a write of the archive fails
// (a full disk, a file-size limit), the file is cut back to the end of its last whole unit, so
// that it still plays to its end. Which of the two formats the bytes are is read from the first
// unit: "OggS" or an MPEG audio sync word.
//
// The archive's thread only (archive.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class ArchiveUnits {
  public:
    // The bytes that follow those taken before.
    void Take(const unsigned char* bytes, std::size_t byteCount);
    // Bytes from the first one taken up to the end of the last whole unit. Bytes that are neither
    // format end the count where they begin.
    std::uint64_t WholeBytes() const { return unitStart_; }

  private:
    // The header bytes the unit being read needs before its length is known: 4 for an MP3 frame,
    // 27 and then the segment table for an Ogg page.
    std::size_t HeaderBytesNeeded() const;
    // The length of the unit from its complete header; 0 when these are no unit's header.
    std::uint64_t UnitLength() const;

    static constexpr std::size_t kLongestHeader = 27 + 255;  // an Ogg page with 255 segments

    std::uint64_t taken_ = 0;      // bytes taken in all
    std::uint64_t unitStart_ = 0;  // where the unit being read begins
    std::array<unsigned char, kLongestHeader> header_{};
    std::size_t headerFill_ = 0;
    std::uint64_t unitLength_ = 0;  // 0 while its header is incomplete
    bool lost_ = false;             // bytes that are no unit: nothing after unitStart_ counts
};
