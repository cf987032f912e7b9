#include "tests/support/ogg_fixture.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

constexpr int kFramesPerWrite = 1024;

// The libvorbis and libogg encoder structs of one link, released together.
class LinkEncoder {
  public:
    LinkEncoder() {
        vorbis_info_init(&info_);
        vorbis_comment_init(&comments_);
    }
    ~LinkEncoder() {
        if (started_) {
            ogg_stream_clear(&stream_);
            vorbis_block_clear(&block_);
            vorbis_dsp_clear(&dsp_);
        }
        vorbis_comment_clear(&comments_);
        vorbis_info_clear(&info_);
    }
    LinkEncoder(const LinkEncoder&) = delete;
    LinkEncoder& operator=(const LinkEncoder&) = delete;

    bool Encode(const OggLinkSpec& format, int serialNumber, std::string& out) {
        if (vorbis_encode_init_vbr(&info_, format.channelCount, format.sampleRate, format.quality) != 0) {
            return false;
        }
        for (const std::string& comment : format.comments) {
            vorbis_comment_add(&comments_, comment.c_str());
        }
        vorbis_analysis_init(&dsp_, &info_);
        vorbis_block_init(&dsp_, &block_);
        ogg_stream_init(&stream_, serialNumber);
        started_ = true;
        WriteHeaders(out);
        WriteTone(format, out);
        vorbis_analysis_wrote(&dsp_, 0);
        Drain(out);
        return true;
    }

  private:
    void WriteHeaders(std::string& out) {
        ogg_packet identification, commentPacket, codebooks;
        vorbis_analysis_headerout(&dsp_, &comments_, &identification, &commentPacket, &codebooks);
        ogg_stream_packetin(&stream_, &identification);
        ogg_stream_packetin(&stream_, &commentPacket);
        ogg_stream_packetin(&stream_, &codebooks);
        ogg_page page;
        while (ogg_stream_flush(&stream_, &page) != 0) Append(page, out);
    }

    void WriteTone(const OggLinkSpec& format, std::string& out) {
        const double step = 2.0 * M_PI * format.toneHz / format.sampleRate;
        std::uint32_t noiseState = 12345;
        for (int done = 0; done < format.frameCount; done += kFramesPerWrite) {
            const int frames = std::min(kFramesPerWrite, format.frameCount - done);
            float** buffer = vorbis_analysis_buffer(&dsp_, frames);
            for (int i = 0; i < frames; ++i) {
                const float tone = format.amplitude * static_cast<float>(std::sin(step * (done + i)));
                for (int channel = 0; channel < format.channelCount; ++channel) {
                    buffer[channel][i] = tone + format.noiseLevel * NextNoise(noiseState);
                }
            }
            vorbis_analysis_wrote(&dsp_, frames);
            Drain(out);
        }
    }

    // A small linear congruential generator: the same noise on every run, from -1 to 1.
    static float NextNoise(std::uint32_t& state) {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / static_cast<float>(1u << 23) - 1.0f;
    }

    void Drain(std::string& out) {
        while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
            vorbis_analysis(&block_, nullptr);
            vorbis_bitrate_addblock(&block_);
            ogg_packet packet;
            while (vorbis_bitrate_flushpacket(&dsp_, &packet) != 0) {
                ogg_stream_packetin(&stream_, &packet);
                ogg_page page;
                while (ogg_stream_pageout(&stream_, &page) != 0) Append(page, out);
            }
        }
    }

    static void Append(const ogg_page& page, std::string& out) {
        out.append(reinterpret_cast<const char*>(page.header), page.header_len);
        out.append(reinterpret_cast<const char*>(page.body), page.body_len);
    }

    vorbis_info info_{};
    vorbis_comment comments_{};
    vorbis_dsp_state dsp_{};
    vorbis_block block_{};
    ogg_stream_state stream_{};
    bool started_ = false;
};

}  // namespace

std::string MakeOggVorbis(const std::vector<OggLinkSpec>& links, int firstSerialNumber) {
    std::string out;
    int serialNumber = firstSerialNumber;
    for (const OggLinkSpec& format : links) {
        LinkEncoder encoder;
        if (!encoder.Encode(format, serialNumber++, out)) return {};
    }
    return out;
}

std::string MakeOggVorbisWithComments(const std::vector<std::string>& comments, int frameCount) {
    OggLinkSpec format;
    format.frameCount = frameCount;
    format.comments = comments;
    return MakeOggVorbis({format});
}

std::string PatchIdentification(std::string ogg, std::size_t offset, const std::string& bytes) {
    auto* header = reinterpret_cast<unsigned char*>(ogg.data());
    const long headerLength = 27 + header[26];
    long bodyLength = 0;
    for (int segment = 0; segment < header[26]; ++segment) bodyLength += header[27 + segment];
    ogg.replace(static_cast<std::size_t>(headerLength) + offset, bytes.size(), bytes);
    header = reinterpret_cast<unsigned char*>(ogg.data());
    ogg_page page{header, headerLength, header + headerLength, bodyLength};
    ogg_page_checksum_set(&page);
    return ogg;
}

std::string LittleEndian32(std::uint32_t value) {
    return {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
            static_cast<char>(value >> 24)};
}

std::string OggLinkOfPackets(int serial, const std::vector<std::string>& packets) {
    ogg_stream_state stream;
    ogg_stream_init(&stream, serial);
    std::string out;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        ogg_packet packet{};
        packet.packet = reinterpret_cast<unsigned char*>(const_cast<char*>(packets[i].data()));
        packet.bytes = static_cast<long>(packets[i].size());
        packet.b_o_s = i == 0 ? 1 : 0;
        packet.e_o_s = i + 1 == packets.size() ? 1 : 0;
        packet.granulepos = static_cast<ogg_int64_t>(i);
        packet.packetno = static_cast<ogg_int64_t>(i);
        ogg_stream_packetin(&stream, &packet);
        ogg_page page;
        while (ogg_stream_flush(&stream, &page) != 0) {
            out.append(reinterpret_cast<const char*>(page.header), page.header_len);
            out.append(reinterpret_cast<const char*>(page.body), page.body_len);
        }
    }
    ogg_stream_clear(&stream);
    return out;
}
