// Ogg decoding (Vorbis and Opus) on a thread of its own.
//
// The source input starts the decoder thread at the end of the response header and hands it an
// OggByteSource over its ring buffer. The thread cuts the stream into its links (ogg_links.h),
// opens each with the decoder its first packet names (libvorbisfile for Vorbis, libopusfile for
// Opus), takes the title from the link's comments and passes the decoded audio to the engine
// (ProcessSamples); a link of any other codec ends the stream. It ends when the source reports
// that no more bytes will come; the input joins it before the engine disconnects.
#pragma once

// vorbisfile.h otherwise defines unused static callback tables in every file that includes it.
#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include <cstddef>
#include <cstdint>

#include "common/fixed_text.h"

// Where the decoder thread takes its bytes from.
struct OggByteSource {
    virtual ~OggByteSource() = default;
    // Copies byteCount bytes into dest, waiting until that many are buffered. Returns fewer
    // (possibly 0) only once the input has ended and no more bytes will arrive.
    virtual std::size_t Read(void* dest, std::size_t byteCount) = 0;
    // The decoder thread calls this as it returns: nothing more will be read.
    virtual void ReaderEnded() {}
    // True once the audio still held is not wanted (the run is being stopped, or the source gave
    // nothing usable): the thread then passes no more blocks on, decoded or not.
    virtual bool Abandoned() const { return false; }
};

// Starts vorbis_decoder_thread on the given source (which must outlive the thread). 1 on success.
int StartVorbisDecoder(OggByteSource* source);
// Waits until the decoder thread has ended; returns at once when none runs.
void JoinVorbisDecoder();
// True once the thread last started has returned (it reads nothing more). Any thread.
bool VorbisDecoderEnded();

// Where decoded blocks go: ProcessSamples, unless a test put its own receiver in place.
using VorbisSampleConsumer = int (*)(const float* samples, int frameCount, int channelCount,
                                     int sampleRate);

// The decoder's state. Between StartVorbisDecoder and JoinVorbisDecoder only the decoder thread
// touches it; before and after, the thread that starts and joins it.
struct VorbisDecoderState {
    OggVorbis_File vorbisFile{};
    std::int32_t vorbisSampleRate = 0;  // of the current link (Opus: always 48000)
    std::int32_t vorbisChannels = 0;    // of the current link
    const char* codecName = "Vorbis";   // of the current link, for the input's description
    FixedText<256> lastVorbisDescription;
    VorbisSampleConsumer sampleConsumer = nullptr;  // null: ProcessSamples
};

// The process-wide record.
VorbisDecoderState& VorbisDecoder();
// Back to the start-up state (joins a decoder thread first). For tests.
void ResetVorbisDecoderState();

// Thread body: follows the stream link by link, decodes until the source ends.
void vorbis_decoder_thread(OggByteSource* source);
// Takes the title, rate and channel count from the current Vorbis link.
void read_vorbis_comments();
// Reports the input format and passes sampleCount samples of every channel of a Vorbis link on,
// interleaved and clipped to ±1.0. Streams with more than two channels pass their first two on as
// stereo.
void handle_output(const float* const* channelSamples, int sampleCount);
