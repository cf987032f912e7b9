// The Ogg framing of one link of an Ogg Opus stream (RFC 7845): its OpusHead on the beginning
// page alone, its OpusTags on pages of their own, then the audio packets with their granule
// positions, down to the page with the end-of-stream mark. The encoding is the caller's.
#pragma once

#include <ogg/ogg.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class OggOpusLinkWriter {
  public:
    OggOpusLinkWriter() = default;
    ~OggOpusLinkWriter();
    OggOpusLinkWriter(const OggOpusLinkWriter&) = delete;
    OggOpusLinkWriter& operator=(const OggOpusLinkWriter&) = delete;

    // A new link with this serial: its OpusHead (version 1, 48 kHz input, no gain, mapping
    // family 0). Any earlier link's state is dropped. Its page comes from NextPage, which must be
    // drained before AddTags. False when libogg has no memory for it.
    bool Begin(int serial, int channels, int preSkip);
    // The OpusTags packet: the vendor string, then each comment ("TAG=value").
    void AddTags(const char* vendor, const std::vector<std::string>& comments);
    // One audio packet, whose last sample is at `granule` (pre-skip included). The last packet
    // of the link carries the end-of-stream mark, and its granule position may stop short of
    // the packet's end: the decoder then drops the rest (the end trim).
    void AddAudio(const unsigned char* packet, std::size_t byteCount, std::int64_t granule,
                  bool last);
    // The next page that is ready, valid until the writer is used again; false when there is
    // none for now. Header pages and the last pages are flushed; audio pages are libogg's usual
    // ones, but never cover more than kLongestPageSamples.
    bool NextPage(ogg_page& page);
    // Drops the link's state (a link that is not ended).
    void Clear();

    // Half a second at 48 kHz: a stream is listened to live, so a page at a low bit rate must
    // not wait for libogg's usual page size.
    static constexpr std::int64_t kLongestPageSamples = 24000;

  private:
    void PacketIn(const unsigned char* bytes, std::size_t byteCount, std::int64_t granule,
                  bool first, bool last);

    ogg_stream_state stream_{};
    std::int64_t packetNumber_ = 0;
    std::int64_t lastPageGranule_ = 0;  // of the last page handed out
    bool flushPending_ = false;         // what libogg holds goes out on NextPage
};
