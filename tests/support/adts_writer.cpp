#include "tests/support/adts_writer.h"

#include <cmath>
#include <cstdint>

namespace {

// Most significant bit first, as every AAC syntax element.
class BitWriter {
  public:
    void Put(std::uint32_t value, int bitCount) {
        for (int bit = bitCount - 1; bit >= 0; --bit) {
            if (bitCount_ % 8 == 0) bytes_.push_back(0);
            if ((value >> bit) & 1u) bytes_.back() |= static_cast<char>(0x80u >> (bitCount_ % 8));
            ++bitCount_;
        }
    }
    void Append(const BitWriter& other) {
        for (std::size_t at = 0; at < other.bitCount_; ++at) {
            Put((static_cast<unsigned char>(other.bytes_[at / 8]) >> (7 - at % 8)) & 1u, 1);
        }
    }
    void PadTo(std::size_t bitCount) {
        while (bitCount_ < bitCount) Put(0, 1);
    }
    void AlignToByte() { PadTo((bitCount_ + 7) / 8 * 8); }
    std::size_t bitCount() const { return bitCount_; }
    const std::string& bytes() const { return bytes_; }

  private:
    std::string bytes_;
    std::size_t bitCount_ = 0;
};

enum ElementId : std::uint32_t { kSce = 0, kFil = 6, kEnd = 7 };
constexpr std::uint32_t kExtensionSbrData = 13;
constexpr std::uint32_t kSbrExtensionPs = 2;
constexpr std::uint32_t kLcProfile = 1;  // object type 2 (AAC LC) - 1
constexpr int kCoreFrameSamples = 1024;

// Start and stop frequency, linear scale with pairs of QMF bands, and the crossover band that
// leaves one high band: found with libfaad2 for core rates 22050 and 24000 Hz.
void PutSbrHeader(BitWriter& bits) {
    bits.Put(1, 1);   // bs_amp_res (FIXFIX with one envelope uses 1.5 dB steps anyway)
    bits.Put(0, 4);   // bs_start_freq
    bits.Put(14, 4);  // bs_stop_freq: twice the start band
    bits.Put(3, 3);   // bs_xover_band
    bits.Put(0, 2);   // bs_reserved
    bits.Put(1, 1);   // bs_header_extra_1
    bits.Put(0, 1);   // bs_header_extra_2
    bits.Put(0, 2);   // bs_freq_scale: linear
    bits.Put(1, 1);   // bs_alter_scale
    bits.Put(0, 2);   // bs_noise_bands: one noise floor band
}

// Parametric stereo with its header and no parameters: the channels come out alike.
void PutPsExtension(BitWriter& bits) {
    BitWriter ps;
    ps.Put(kSbrExtensionPs, 2);
    ps.Put(1, 1);  // enable_ps_header
    ps.Put(0, 1);  // enable_iid
    ps.Put(0, 1);  // enable_icc
    ps.Put(0, 1);  // enable_ext
    ps.Put(0, 1);  // frame_class
    ps.Put(0, 2);  // num_env_idx
    const std::size_t byteCount = (ps.bitCount() + 7) / 8;
    bits.Put(1, 1);  // bs_extended_data
    bits.Put(static_cast<std::uint32_t>(byteCount), 4);
    ps.PadTo(8 * byteCount);
    bits.Append(ps);
}

void PutSbrChannel(BitWriter& bits, const AdtsSynthFormat& format) {
    bits.Put(0, 1);  // bs_data_extra
    bits.Put(0, 2);  // bs_frame_class: FIXFIX
    bits.Put(0, 2);  // one envelope
    bits.Put(0, 1);  // bs_freq_res: low
    bits.Put(0, 1);  // bs_df_env: in frequency
    bits.Put(0, 1);  // bs_df_noise: in frequency
    bits.Put(0, 2);  // bs_invf_mode
    bits.Put(static_cast<std::uint32_t>(format.envelopeLevel), 7);
    bits.Put(0, 5);  // noise floor start value: the noise as loud as the envelope allows
    bits.Put(1, 1);  // bs_add_harmonic_flag
    bits.Put(1, 1);  // a sinusoid in the one high band
    if (format.parametricStereo) {
        PutPsExtension(bits);
    } else {
        bits.Put(0, 1);  // bs_extended_data
    }
}

void PutSbrFill(BitWriter& block, const AdtsSynthFormat& format) {
    BitWriter payload;
    payload.Put(kExtensionSbrData, 4);
    payload.Put(1, 1);  // bs_header_flag
    PutSbrHeader(payload);
    PutSbrChannel(payload, format);
    payload.AlignToByte();
    const std::size_t byteCount = payload.bitCount() / 8;
    block.Put(kFil, 3);
    if (byteCount < 15) {
        block.Put(static_cast<std::uint32_t>(byteCount), 4);
    } else {
        block.Put(15, 4);
        block.Put(static_cast<std::uint32_t>(byteCount - 14), 8);
    }
    block.Append(payload);
}

// A single channel element without spectral data.
void PutSilentCore(BitWriter& block) {
    block.Put(kSce, 3);
    block.Put(0, 4);    // element_instance_tag
    block.Put(100, 8);  // global_gain
    block.Put(0, 1);    // ics_reserved_bit
    block.Put(0, 2);    // window_sequence: ONLY_LONG
    block.Put(0, 1);    // window_shape
    block.Put(0, 6);    // max_sfb
    block.Put(0, 1);    // predictor_data_present
    block.Put(0, 1);    // pulse_data_present
    block.Put(0, 1);    // tns_data_present
    block.Put(0, 1);    // gain_control_data_present
}

std::string MakeFrame(const AdtsSynthFormat& format) {
    BitWriter block;
    PutSilentCore(block);
    if (format.sbr) PutSbrFill(block, format);
    block.Put(kEnd, 3);
    block.AlignToByte();

    const std::size_t frameBytes = 7 + block.bytes().size();
    BitWriter header;
    header.Put(0xFFF, 12);  // syncword
    header.Put(0, 1);       // ID: MPEG-4
    header.Put(0, 2);       // layer
    header.Put(1, 1);       // protection_absent
    header.Put(kLcProfile, 2);
    header.Put(static_cast<std::uint32_t>(format.coreRateIndex), 4);
    header.Put(0, 1);  // private_bit
    header.Put(1, 3);  // channel_configuration: mono
    header.Put(0, 4);  // original_copy, home, copyright bits
    header.Put(static_cast<std::uint32_t>(frameBytes), 13);
    header.Put(0x7FF, 11);  // buffer fullness: variable rate
    header.Put(0, 2);       // one raw data block
    return header.bytes() + block.bytes();
}

constexpr int kAdtsRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                              22050, 16000, 12000, 11025, 8000,  7350};

}  // namespace

std::string MakeSynthAdts(const AdtsSynthFormat& format) {
    const std::string frame = MakeFrame(format);
    const double coreRate = kAdtsRates[format.coreRateIndex];
    const auto frameCount =
        static_cast<std::size_t>(std::ceil(format.seconds * coreRate / kCoreFrameSamples));
    std::string stream;
    stream.reserve(frame.size() * frameCount);
    for (std::size_t i = 0; i < frameCount; ++i) stream += frame;
    return stream;
}

std::vector<AdtsFrameSpan> AdtsFrameSpans(const std::string& bytes) {
    std::vector<AdtsFrameSpan> frames;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t at = 0;
    while (at + 7 <= bytes.size() && data[at] == 0xFF && (data[at + 1] & 0xF6) == 0xF0) {
        const std::size_t length = (static_cast<std::size_t>(data[at + 3] & 0x03) << 11) |
                                   (static_cast<std::size_t>(data[at + 4]) << 3) |
                                   (data[at + 5] >> 5);
        if (length < 7) break;
        frames.push_back({at, length});
        at += length;
    }
    return frames;
}
