// The Ogg framing of one Ogg Opus link. The header packets are laid out as RFC 7845 section 5
// gives them (little-endian fields); libogg does the paging.
#include "engine/ogg_opus_writer.h"

#include <cstring>

namespace {

constexpr std::uint32_t kOpusInputRate = 48000;
constexpr unsigned char kOpusHeadVersion = 1;
constexpr unsigned char kMonoOrStereoMapping = 0;

void AppendLittleEndian(std::vector<unsigned char>& out, std::uint32_t value, int byteCount) {
    for (int i = 0; i < byteCount; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void AppendText(std::vector<unsigned char>& out, const char* text, std::size_t length) {
    out.insert(out.end(), text, text + length);
}

// A text preceded by its length, as OpusTags holds the vendor and each comment.
void AppendCountedText(std::vector<unsigned char>& out, const char* text, std::size_t length) {
    AppendLittleEndian(out, static_cast<std::uint32_t>(length), 4);
    AppendText(out, text, length);
}

std::vector<unsigned char> OpusHeadPacket(int channels, int preSkip) {
    std::vector<unsigned char> head;
    AppendText(head, "OpusHead", 8);
    head.push_back(kOpusHeadVersion);
    head.push_back(static_cast<unsigned char>(channels));
    AppendLittleEndian(head, static_cast<std::uint32_t>(preSkip), 2);
    AppendLittleEndian(head, kOpusInputRate, 4);
    AppendLittleEndian(head, 0, 2);  // output gain
    head.push_back(kMonoOrStereoMapping);
    return head;
}

std::vector<unsigned char> OpusTagsPacket(const char* vendor,
                                          const std::vector<std::string>& comments) {
    std::vector<unsigned char> tags;
    AppendText(tags, "OpusTags", 8);
    AppendCountedText(tags, vendor, std::strlen(vendor));
    AppendLittleEndian(tags, static_cast<std::uint32_t>(comments.size()), 4);
    for (const std::string& comment : comments)
        AppendCountedText(tags, comment.data(), comment.size());
    return tags;
}

}  // namespace

OggOpusLinkWriter::~OggOpusLinkWriter() {
    Clear();
}

void OggOpusLinkWriter::Clear() {
    // ogg_stream_clear leaves the state zeroed, and takes a zeroed one as well.
    ogg_stream_clear(&stream_);
    packetNumber_ = 0;
    lastPageGranule_ = 0;
    flushPending_ = false;
}

bool OggOpusLinkWriter::Begin(int serial, int channels, int preSkip) {
    Clear();
    if (ogg_stream_init(&stream_, serial) != 0) return false;
    const std::vector<unsigned char> head = OpusHeadPacket(channels, preSkip);
    PacketIn(head.data(), head.size(), 0, true, false);
    return ogg_stream_check(&stream_) == 0;
}

void OggOpusLinkWriter::AddTags(const char* vendor, const std::vector<std::string>& comments) {
    const std::vector<unsigned char> tags = OpusTagsPacket(vendor, comments);
    PacketIn(tags.data(), tags.size(), 0, false, false);
}

void OggOpusLinkWriter::AddAudio(const unsigned char* packet, std::size_t byteCount,
                                 std::int64_t granule, bool last) {
    PacketIn(packet, byteCount, granule, false, last);
    if (granule - lastPageGranule_ >= kLongestPageSamples) flushPending_ = true;
}

void OggOpusLinkWriter::PacketIn(const unsigned char* bytes, std::size_t byteCount,
                                 std::int64_t granule, bool first, bool last) {
    ogg_packet packet{};
    // libogg only reads the packet.
    packet.packet = const_cast<unsigned char*>(bytes);
    packet.bytes = static_cast<long>(byteCount);
    packet.b_o_s = first ? 1 : 0;
    packet.e_o_s = last ? 1 : 0;
    packet.granulepos = granule;
    packet.packetno = packetNumber_++;
    ogg_stream_packetin(&stream_, &packet);
    // Header packets end their pages, and so does the last one.
    const bool header = packet.packetno < 2;
    if (header || last) flushPending_ = true;
}

bool OggOpusLinkWriter::NextPage(ogg_page& page) {
    const int ready =
        flushPending_ ? ogg_stream_flush(&stream_, &page) : ogg_stream_pageout(&stream_, &page);
    if (ready == 0) {
        flushPending_ = false;
        return false;
    }
    const std::int64_t granule = ogg_page_granulepos(&page);
    if (granule >= 0) lastPageGranule_ = granule;
    return true;
}
