#include "tests/support/opus_links.h"

#include <ogg/ogg.h>

#include <cstring>
#include <map>
#include <memory>

namespace {

constexpr double kOpusGranuleRate = 48000.0;

std::uint32_t LittleEndian(const unsigned char* at, int byteCount) {
    std::uint32_t value = 0;
    for (int i = byteCount - 1; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

bool StartsWith(const ogg_packet& packet, const char* magic) {
    const auto length = static_cast<long>(std::strlen(magic));
    return packet.bytes >= length && std::memcmp(packet.packet, magic, length) == 0;
}

void ReadHead(const ogg_packet& packet, OpusLink& link) {
    link.headValid = packet.bytes >= 19 && StartsWith(packet, "OpusHead");
    if (!link.headValid) return;
    link.channels = packet.packet[9];
    link.preSkip = static_cast<int>(LittleEndian(packet.packet + 10, 2));
    link.inputRate = LittleEndian(packet.packet + 12, 4);
}

// "OpusTags", vendor length and vendor, comment count, then each comment with its length.
void ReadTags(const ogg_packet& packet, OpusLink& link) {
    if (!StartsWith(packet, "OpusTags")) return;
    const unsigned char* at = packet.packet + 8;
    const unsigned char* end = packet.packet + packet.bytes;
    auto fits = [&](std::size_t count) { return static_cast<std::size_t>(end - at) >= count; };
    if (!fits(4)) return;
    const std::uint32_t vendorLength = LittleEndian(at, 4);
    at += 4;
    if (!fits(vendorLength + 4)) return;
    at += vendorLength;
    const std::uint32_t count = LittleEndian(at, 4);
    at += 4;
    for (std::uint32_t i = 0; i < count && fits(4); ++i) {
        const std::uint32_t length = LittleEndian(at, 4);
        at += 4;
        if (!fits(length)) return;
        link.comments.emplace_back(reinterpret_cast<const char*>(at), length);
        at += length;
    }
}

struct StreamReader {
    explicit StreamReader(int serial) { ogg_stream_init(&state, serial); }
    ~StreamReader() { ogg_stream_clear(&state); }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    ogg_stream_state state;
    std::size_t link = 0;  // its index in the result
    long packets = 0;
};

}  // namespace

std::string OpusLink::Comment(const std::string& tag) const {
    for (const std::string& comment : comments) {
        if (comment.rfind(tag + "=", 0) == 0) return comment.substr(tag.size() + 1);
    }
    return "";
}

double OpusLink::Seconds() const {
    return lastGranule < 0 ? 0.0 : static_cast<double>(lastGranule - preSkip) / kOpusGranuleRate;
}

std::vector<OpusLink> OpusLinksOf(const std::string& bytes) {
    std::vector<OpusLink> links;
    std::map<int, std::unique_ptr<StreamReader>> readers;
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(bytes.size()));
    std::memcpy(buffer, bytes.data(), bytes.size());
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        const int serial = ogg_page_serialno(&page);
        auto& reader = readers[serial];
        if (!reader) {
            reader = std::make_unique<StreamReader>(serial);
            reader->link = links.size();
            links.push_back(OpusLink{});
            links.back().serial = serial;
            links.back().begun = ogg_page_bos(&page) != 0;
        }
        OpusLink& link = links[reader->link];
        if (ogg_page_eos(&page)) link.ended = true;
        if (ogg_page_granulepos(&page) >= 0) link.lastGranule = ogg_page_granulepos(&page);
        ogg_stream_pagein(&reader->state, &page);
        ogg_packet packet;
        while (ogg_stream_packetout(&reader->state, &packet) == 1) {
            if (reader->packets == 0) {
                ReadHead(packet, link);
            } else if (reader->packets == 1) {
                ReadTags(packet, link);
            } else {
                ++link.audioPackets;
                link.audioBytes += static_cast<std::size_t>(packet.bytes);
            }
            ++reader->packets;
        }
    }
    ogg_sync_clear(&sync);
    return links;
}
