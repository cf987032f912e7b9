// An Ogg stream cut into its links for the decoders.
//
// A station's Ogg stream is a chain of links: each begins with the page that opens its logical
// stream (BOS) and ends with the page that closes it (EOS). libvorbisfile and libopusfile each
// want to own the stream they read, and a chain may change codec from one link to the next, so
// the decoder thread opens one decoder per link and hands it that link's pages alone: the end of
// the link is the end of that decoder's input. The splitter belongs to the decoder thread.
#pragma once

#include <ogg/ogg.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "decoders/oggvdecoder.h"

enum class OggCodec { kVorbis, kOpus, kUnknown };

// The codec a link's first packet announces: "\x01vorbis" or "OpusHead".
OggCodec CodecOfFirstPacket(std::string_view packet);
// The start of a page's first packet (all of it, unless it goes on in the next page).
std::string_view FirstPacketOf(const ogg_page& page);
// The codec's name for an Error line: a known one ("FLAC", "Speex", ...) or the packet's first
// bytes as printable text.
std::string CodecNameOfFirstPacket(std::string_view packet);

class OggLinkSplitter {
  public:
    // Bytes of pages outside any link (or of junk) that may go by before a link begins; more
    // means the input is not an Ogg stream a decoder can read.
    static constexpr std::uint64_t kMaxBytesBeforeLink = 64 * 1024;

    explicit OggLinkSplitter(OggByteSource& source);
    ~OggLinkSplitter();
    OggLinkSplitter(const OggLinkSplitter&) = delete;
    OggLinkSplitter& operator=(const OggLinkSplitter&) = delete;

    // The stream's first byteCount bytes (fewer when the input ends), to judge whether it is Ogg
    // at all before anything else is read; valid until the next call.
    std::string_view ReadStart(std::size_t byteCount);

    enum class LinkStart {
        kFound,     // a link begins: FirstPacket names its codec, ReadLink gives its bytes
        kEnded,     // the input ended (or was abandoned) first
        kNotFound,  // kMaxBytesBeforeLink bytes went by without the start of a link
    };
    // Skips what is left of the current link, then goes to the next link's first page.
    LinkStart NextLink();
    // The start of the current link's first packet; valid until the next ReadLink.
    std::string_view FirstPacket() const;
    // Up to byteCount bytes of the current link's pages, at most to the end of a page; 0 once the
    // link has ended. A link ends after its EOS page, at the first page of the next link (a link
    // cut short), or with the input.
    std::size_t ReadLink(void* dest, std::size_t byteCount);

    bool LinkEnded() const { return linkEnded_; }
    std::uint64_t BytesRead() const { return bytesRead_; }
    bool InputEnded() const { return inputEnded_; }

  private:
    enum class Fetch { kPage, kEnded, kLimit };
    // The next page into page_; kLimit once readLimit bytes have been read without one.
    Fetch FetchPage(std::uint64_t readLimit);
    void BeginLink();
    bool StartsNextLink() const;
    // After the current page: the link's next page into page_, or false when the link ends.
    bool NextPageOfLink();
    std::size_t PageBytes() const;

    OggByteSource& source_;
    ogg_sync_state sync_{};
    // The page being handed out. It points into sync_'s buffer, so no other page is fetched
    // until it has been handed out in full.
    ogg_page page_{};
    std::size_t pageOffset_ = 0;
    bool nextLinkWaiting_ = false;  // page_ is the first page of the next link, not yet handed out
    bool linkEnded_ = true;
    bool linkHasDataPages_ = false;
    int linkSerial_ = 0;
    bool skippingJunk_ = false;
    std::uint64_t bytesRead_ = 0;
    bool inputEnded_ = false;
};
