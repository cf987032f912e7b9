#include "decoders/aac_decoder.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "common/log.h"
#include "engine/libzembril.h"

namespace {

// The buffer and libfaad2's handle: kept out of the stack and made once.
AacDecoderState aacDecoderState;

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);
// ADTS sampling_frequency_index 0 to 12; 13 and 14 are reserved, 15 needs an explicit rate that
// ADTS cannot carry.
constexpr int kRateIndexCount = 13;
// profile 2 is AAC SSR, which libfaad2 does not decode.
constexpr int kSsrProfile = 2;

// The bytes of a pass not yet taken: a pass moves its front on and moves the rest to the start of
// the buffer once, at its end (moving it at every skipped byte would make junk cost its length
// squared).
using HeldBytes = std::span<unsigned char>;

void SkipJunk(AacDecoderState& state, HeldBytes& held, std::size_t byteCount) {
    state.skippedBytes += byteCount;
    held = held.subspan(byteCount);
}

// One Debug line for each run of skipped bytes, said when the run ends.
void ReportSkipped(AacDecoderState& state, const char* what) {
    if (state.skippedBytes == 0) return;
    LogMessage(LOG_DEBUG, kLogAac, __LINE__, "Skipped %llu bytes that are no ADTS frame %s",
               static_cast<unsigned long long>(state.skippedBytes), what);
    state.skippedBytes = 0;
}

bool HeaderAt(HeldBytes held, std::size_t at, AdtsHeader& header) {
    return at < held.size() && ReadAdtsHeader(held.data() + at, held.size() - at, header);
}

std::size_t FindHeader(HeldBytes held, AdtsHeader& header) {
    for (std::size_t at = 0; at + kAdtsHeaderBytes <= held.size(); ++at) {
        if (HeaderAt(held, at, header)) return at;
    }
    return kNotFound;
}

// libfaad2 set up from the frame's header: float samples, SBR at its full rate, more than two
// channels mixed down to two.
bool OpenFor(AacDecoderState& state, unsigned char* frame, const AdtsHeader& header) {
    if (state.faad && state.layout == header.layout) return true;
    state.faad.reset();
    FaadHandle faad(NeAACDecOpen());
    if (!faad) {
        LogMessage(LOG_ERROR, kLogAac, __LINE__, "Cannot open the AAC decoder (libfaad2)");
        return false;
    }
    NeAACDecConfigurationPtr config = NeAACDecGetCurrentConfiguration(faad.get());
    config->outputFormat = FAAD_FMT_FLOAT;
    config->downMatrix = 1;
    config->dontUpSampleImplicitSBR = 0;
    NeAACDecSetConfiguration(faad.get(), config);
    unsigned long rate = 0;
    unsigned char channels = 0;
    if (NeAACDecInit(faad.get(), frame, header.frameBytes, &rate, &channels) < 0) {
        LogMessage(LOG_DEBUG, kLogAac, __LINE__,
                   "AAC decoder refused the ADTS header (profile %d, rate index %d, channel "
                   "configuration %d): frame skipped",
                   header.layout.profile, header.layout.rateIndex, header.layout.channelConfig);
        return false;
    }
    LogMessage(LOG_DEBUG, kLogAac, __LINE__, "AAC decoder set up for %lu Hz, %d channels", rate,
               static_cast<int>(channels));
    state.faad = std::move(faad);
    state.layout = header.layout;
    return true;
}

// libfaad2 puts a mono stream out on two channels (parametric stereo may turn up in any frame);
// without it, the engine gets the one channel the stream has.
const float* OneChannelOfMono(AacDecoderState& state, const float* samples, int frameCount) {
    for (int i = 0; i < frameCount; ++i) state.monoSamples[i] = samples[2 * i];
    return state.monoSamples;
}

int OutputFrame(AacDecoderState& state, const float* samples, const NeAACDecFrameInfo& info) {
    int channelCount = info.channels;
    const int frameCount = static_cast<int>(info.samples / info.channels);
    if (channelCount == 2 && info.ps == 0 && state.layout.channelConfig == 1) {
        samples = OneChannelOfMono(state, samples, frameCount);
        channelCount = 1;
    }
    const int sampleRate = static_cast<int>(info.samplerate);
    state.frameSampleRate = sampleRate;
    state.frameChannels = channelCount;
    state.frameSbr = info.sbr == SBR_UPSAMPLED || info.sbr == SBR_DOWNSAMPLED;
    state.framePs = info.ps != 0;
    LogMessage(LOG_DEBUG, kLogAac, __LINE__, "Read %d/%d%s%s - Sending %d/%d/%d", sampleRate,
               channelCount, state.frameSbr ? "/SBR" : "", state.framePs ? "/PS" : "",
               GetBitrateNominal(), static_cast<int>(GetSampleRate()), GetChannels());
    NoteDecodedAudio(frameCount, sampleRate);
    const AacSampleConsumer consumer =
        state.sampleConsumer != nullptr ? state.sampleConsumer : ProcessSamples;
    return consumer(samples, frameCount, channelCount, sampleRate);
}

// The frame at the front of the bytes. A frame libfaad2 cannot decode is skipped; its samples,
// if any, would be noise.
void DecodeFrame(AacDecoderState& state, HeldBytes held, const AdtsHeader& header) {
    if (!OpenFor(state, held.data(), header)) return;
    NeAACDecFrameInfo info{};
    void* samples = NeAACDecDecode(state.faad.get(), &info, held.data(), header.frameBytes);
    if (info.error != 0 || samples == nullptr) {
        LogMessage(LOG_DEBUG, kLogAac, __LINE__, "AAC frame of %zu bytes skipped: %s",
                   header.frameBytes,
                   info.error != 0 ? NeAACDecGetErrorMessage(info.error) : "no samples");
        return;
    }
    if (info.samples == 0) return;
    if (info.channels < 1 || info.channels > 2 || info.samplerate == 0 ||
        info.samples / info.channels > static_cast<unsigned long>(kAacMaxFrameSamples)) {
        LogMessage(LOG_DEBUG, kLogAac, __LINE__,
                   "AAC frame skipped: %lu samples in %d channels at %lu Hz", info.samples,
                   static_cast<int>(info.channels), info.samplerate);
        return;
    }
    OutputFrame(state, static_cast<const float*>(samples), info);
}

enum class FrameCheck { kWhole, kFalse, kWait };

// A header at `at` whose frame is followed by another header: a frame, not payload bytes that
// happen to look like a header. kWait when the bytes that tell have not arrived.
FrameCheck CheckFrameAt(HeldBytes held, std::size_t at, bool endOfStream) {
    AdtsHeader header;
    if (!HeaderAt(held, at, header)) return FrameCheck::kFalse;
    const std::size_t next = at + header.frameBytes;
    if (next + kAdtsHeaderBytes > held.size()) {
        return endOfStream ? FrameCheck::kFalse : FrameCheck::kWait;
    }
    AdtsHeader nextHeader;
    return HeaderAt(held, next, nextHeader) ? FrameCheck::kWhole : FrameCheck::kFalse;
}

// Whether the frame at the front may be decoded. Where its header says it ends, the next header
// confirms it. In step (the last frame ended right here) a frame may also be followed by junk,
// unless a confirmed frame begins inside it: then it was cut short and is skipped. Out of step,
// only a following header tells a frame from junk that looks like a header.
FrameCheck CheckFrontFrame(const AacDecoderState& state, HeldBytes held, const AdtsHeader& header,
                           bool endOfStream) {
    const std::size_t frameBytes = header.frameBytes;
    if (held.size() < frameBytes + kAdtsHeaderBytes) {
        if (!endOfStream) return FrameCheck::kWait;
        if (held.size() < frameBytes) return FrameCheck::kFalse;  // cut off by the end
        return FrameCheck::kWhole;
    }
    AdtsHeader next;
    if (HeaderAt(held, frameBytes, next)) return FrameCheck::kWhole;
    if (!state.inStep) return FrameCheck::kFalse;
    for (std::size_t at = 1; at < frameBytes; ++at) {
        const FrameCheck inner = CheckFrameAt(held, at, endOfStream);
        if (inner == FrameCheck::kWait) return FrameCheck::kWait;
        if (inner == FrameCheck::kWhole) return FrameCheck::kFalse;
    }
    return FrameCheck::kWhole;
}

// Decodes every frame at the front that CheckFrontFrame lets through; a header that does not
// begin a frame is skipped by one byte and the search goes on.
void DecodeFrames(AacDecoderState& state, HeldBytes& held, bool endOfStream) {
    for (;;) {
        AdtsHeader header;
        const std::size_t at = FindHeader(held, header);
        if (at == kNotFound) {
            // A header may begin in the last few bytes.
            const std::size_t keep = endOfStream ? 0 : kAdtsHeaderBytes - 1;
            if (held.size() > keep) {
                SkipJunk(state, held, held.size() - keep);
                state.inStep = false;
            }
            return;
        }
        if (at > 0) {
            SkipJunk(state, held, at);
            state.inStep = false;
        }
        const FrameCheck check = CheckFrontFrame(state, held, header, endOfStream);
        if (check == FrameCheck::kWait) return;
        if (check == FrameCheck::kFalse) {
            SkipJunk(state, held, 1);
            state.inStep = false;
            continue;
        }
        ReportSkipped(state, "before the next frame");
        DecodeFrame(state, held, header);
        held = held.subspan(header.frameBytes);
        state.inStep = true;
    }
}

// One pass over the buffer; what it leaves moves to the front.
void DecodeHeld(AacDecoderState& state, bool endOfStream) {
    HeldBytes held(state.inputBuffer, state.heldBytes);
    DecodeFrames(state, held, endOfStream);
    if (!held.empty() && held.data() != state.inputBuffer) {
        std::memmove(state.inputBuffer, held.data(), held.size());
    }
    state.heldBytes = held.size();
}

}  // namespace

bool ReadAdtsHeader(const unsigned char* bytes, std::size_t byteCount, AdtsHeader& header) {
    if (byteCount < kAdtsHeaderBytes) return false;
    if (bytes[0] != 0xFF || (bytes[1] & 0xF6) != 0xF0) return false;  // sync word, layer 0
    const bool crcPresent = (bytes[1] & 0x01) == 0;
    const int profile = bytes[2] >> 6;
    const int rateIndex = (bytes[2] >> 2) & 0x0F;
    const int channelConfig = ((bytes[2] & 0x01) << 2) | (bytes[3] >> 6);
    const std::size_t frameBytes = (static_cast<std::size_t>(bytes[3] & 0x03) << 11) |
                                   (static_cast<std::size_t>(bytes[4]) << 3) | (bytes[5] >> 5);
    const std::size_t headerBytes = crcPresent ? kAdtsHeaderBytes + 2 : kAdtsHeaderBytes;
    if (profile == kSsrProfile || rateIndex >= kRateIndexCount || channelConfig == 0 ||
        frameBytes <= headerBytes) {
        return false;
    }
    header.layout = {profile, rateIndex, channelConfig};
    header.frameBytes = frameBytes;
    return true;
}

AacDecoderState& AacDecoder() {
    return aacDecoderState;
}

void ResetAacDecoder() {
    AacDecoderState& state = aacDecoderState;
    aac_decoder_finish(&state);
    state.frameSampleRate = 0;
    state.frameChannels = 0;
    state.frameSbr = false;
    state.framePs = false;
    state.sampleConsumer = nullptr;
}

void aac_decoder_init(AacDecoderState* state) {
    if (state == nullptr) return;
    aac_decoder_finish(state);
    state->ready = true;
}

void aac_decoder_finish(AacDecoderState* state) {
    if (state == nullptr) return;
    state->faad.reset();
    state->layout = {};
    state->heldBytes = 0;
    state->skippedBytes = 0;
    state->inStep = false;
    state->ready = false;
}

int aac_decode_block(AacDecoderState* state, const unsigned char* bytes, std::size_t byteCount) {
    if (state == nullptr || !state->ready) return 1;
    while (byteCount > 0) {
        // A pass leaves at most one frame and a header's worth: there is always room.
        const std::size_t piece = std::min(byteCount, kAacBufferBytes - state->heldBytes);
        std::memcpy(state->inputBuffer + state->heldBytes, bytes, piece);
        state->heldBytes += piece;
        bytes += piece;
        byteCount -= piece;
        DecodeHeld(*state, false);
    }
    return 1;
}

int aac_decoder_flush(AacDecoderState* state) {
    if (state == nullptr || !state->ready) return 1;
    DecodeHeld(*state, true);
    ReportSkipped(*state, "at the end of the stream");
    return 1;
}
