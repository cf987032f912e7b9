#include "decoders/ogg_links.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/log.h"
#include "common/text_encoding.h"

namespace {

// What the source is asked for at a time: the size libvorbisfile reads in.
constexpr std::size_t kReadBytes = 2048;
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

struct CodecMark {
    std::string_view start;
    const char* name;
};

// The first packets of the codecs a station may put in Ogg.
constexpr CodecMark kCodecMarks[] = {
    {"\1vorbis", "Vorbis"},
    {"OpusHead", "Opus"},
    {"\177FLAC", "FLAC"},
    {"fLaC", "FLAC"},
    {"Speex   ", "Speex"},
    {"\200theora", "Theora"},
    {{"fishead\0", 8}, "Skeleton"},
    {"CELT    ", "CELT"},
    {"PCM     ", "PCM"},
};

}  // namespace

OggCodec CodecOfFirstPacket(std::string_view packet) {
    const std::string name = CodecNameOfFirstPacket(packet);
    if (name == "Vorbis") return OggCodec::kVorbis;
    if (name == "Opus") return OggCodec::kOpus;
    return OggCodec::kUnknown;
}

std::string CodecNameOfFirstPacket(std::string_view packet) {
    for (const CodecMark& mark : kCodecMarks) {
        if (packet.starts_with(mark.start)) return mark.name;
    }
    return "an unknown codec (its first bytes are \"" + PrintableText(packet.substr(0, 8)) + "\")";
}

OggLinkSplitter::OggLinkSplitter(OggByteSource& source) : source_(source) {
    ogg_sync_init(&sync_);
}

OggLinkSplitter::~OggLinkSplitter() {
    ogg_sync_clear(&sync_);
}

std::string_view OggLinkSplitter::ReadStart(std::size_t byteCount) {
    char* buffer = ogg_sync_buffer(&sync_, static_cast<long>(byteCount));
    if (buffer == nullptr) return {};
    const std::size_t got = source_.Read(buffer, byteCount);
    ogg_sync_wrote(&sync_, static_cast<long>(got));
    bytesRead_ += got;
    if (got < byteCount) inputEnded_ = true;
    return {buffer, got};
}

OggLinkSplitter::Fetch OggLinkSplitter::FetchPage(std::uint64_t readLimit) {
    for (;;) {
        const int result = ogg_sync_pageout(&sync_, &page_);
        if (result == 1) {
            skippingJunk_ = false;
            return Fetch::kPage;
        }
        if (result < 0) {
            // One line for a run of junk, however many capture patterns libogg tries in it.
            if (!skippingJunk_) {
                LogMessage(LOG_DEBUG, kLogVorbis, __LINE__,
                           "Bytes that are no Ogg page skipped (%llu bytes read)",
                           static_cast<unsigned long long>(bytesRead_));
            }
            skippingJunk_ = true;
            continue;
        }
        if (inputEnded_ || source_.Abandoned()) return Fetch::kEnded;
        if (bytesRead_ >= readLimit) return Fetch::kLimit;
        char* buffer = ogg_sync_buffer(&sync_, kReadBytes);
        if (buffer == nullptr) return Fetch::kEnded;
        const std::size_t got = source_.Read(buffer, kReadBytes);
        ogg_sync_wrote(&sync_, static_cast<long>(got));
        bytesRead_ += got;
        if (got < kReadBytes) inputEnded_ = true;
    }
}

void OggLinkSplitter::BeginLink() {
    pageOffset_ = 0;
    linkEnded_ = false;
    linkHasDataPages_ = false;
    linkSerial_ = ogg_page_serialno(&page_);
}

OggLinkSplitter::LinkStart OggLinkSplitter::NextLink() {
    unsigned char rest[kReadBytes];
    while (ReadLink(rest, sizeof rest) > 0) {
    }
    if (nextLinkWaiting_) {
        nextLinkWaiting_ = false;
        BeginLink();
        return LinkStart::kFound;
    }
    const std::uint64_t readLimit = bytesRead_ + kMaxBytesBeforeLink;
    for (;;) {
        const Fetch fetched = FetchPage(readLimit);
        if (fetched == Fetch::kEnded) return LinkStart::kEnded;
        if (fetched == Fetch::kLimit) return LinkStart::kNotFound;
        if (ogg_page_bos(&page_) != 0) {
            BeginLink();
            return LinkStart::kFound;
        }
        LogMessage(LOG_DEBUG, kLogVorbis, __LINE__,
                   "An Ogg page outside any link skipped (serial number %d)",
                   ogg_page_serialno(&page_));
    }
}

std::string_view FirstPacketOf(const ogg_page& page) {
    if (page.header_len < 27) return {};
    // The lacing values after the 27 bytes of the page header: the first packet ends at the first
    // value below 255.
    const int segments = page.header[26];
    std::size_t packetBytes = 0;
    for (int i = 0; i < segments && 27 + i < page.header_len; ++i) {
        packetBytes += page.header[27 + i];
        if (page.header[27 + i] < 255) break;
    }
    packetBytes = std::min(packetBytes, static_cast<std::size_t>(page.body_len));
    return {reinterpret_cast<const char*>(page.body), packetBytes};
}

std::string_view OggLinkSplitter::FirstPacket() const {
    if (linkEnded_ || pageOffset_ != 0) return {};
    return FirstPacketOf(page_);
}

// A BOS page right after the link's own belongs to it (a multiplexed stream opens all its
// logical streams first) unless it opens audio a decoder reads: then the link was cut short
// after its first page, and this is the next one.
bool OggLinkSplitter::StartsNextLink() const {
    if (ogg_page_bos(&page_) == 0) return false;
    return linkHasDataPages_ || CodecOfFirstPacket(FirstPacketOf(page_)) != OggCodec::kUnknown;
}

std::size_t OggLinkSplitter::PageBytes() const {
    return static_cast<std::size_t>(page_.header_len) + static_cast<std::size_t>(page_.body_len);
}

bool OggLinkSplitter::NextPageOfLink() {
    if (ogg_page_eos(&page_) != 0 && ogg_page_serialno(&page_) == linkSerial_) {
        linkEnded_ = true;
        return false;
    }
    if (ogg_page_bos(&page_) == 0) linkHasDataPages_ = true;
    if (FetchPage(kNoLimit) != Fetch::kPage) {
        linkEnded_ = true;
        return false;
    }
    pageOffset_ = 0;
    if (StartsNextLink()) {
        LogMessage(LOG_DEBUG, kLogVorbis, __LINE__,
                   "A link ends without its last page: the next one begins (serial number %d)",
                   ogg_page_serialno(&page_));
        nextLinkWaiting_ = true;
        linkEnded_ = true;
        return false;
    }
    return true;
}

std::size_t OggLinkSplitter::ReadLink(void* dest, std::size_t byteCount) {
    auto* out = static_cast<unsigned char*>(dest);
    std::size_t copied = 0;
    while (copied < byteCount && !linkEnded_) {
        if (pageOffset_ == PageBytes()) {
            // The decoder gets the page it has in full before the next one is waited for: on a
            // slow station that may take seconds.
            if (copied > 0 || !NextPageOfLink()) break;
            continue;
        }
        const auto headerBytes = static_cast<std::size_t>(page_.header_len);
        const bool inHeader = pageOffset_ < headerBytes;
        const unsigned char* from =
            inHeader ? page_.header + pageOffset_ : page_.body + (pageOffset_ - headerBytes);
        const std::size_t available =
            inHeader ? headerBytes - pageOffset_ : PageBytes() - pageOffset_;
        const std::size_t piece = std::min(available, byteCount - copied);
        std::memcpy(out + copied, from, piece);
        copied += piece;
        pageOffset_ += piece;
    }
    return copied;
}
