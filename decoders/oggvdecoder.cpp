#include "decoders/oggvdecoder.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "common/log.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"

namespace {

VorbisDecoderState decoderState;
// Owned by the thread that starts and joins the decoder (the source input's main thread).
std::thread decoderThread;
// Set by the decoder thread as it returns, read by the input's writer on the main thread.
std::atomic<bool> decoderEnded{false};

void RunDecoderThread(OggByteSource* source) {
    vorbis_decoder_thread(source);
    decoderEnded.store(true, std::memory_order_release);
    source->ReaderEnded();
}

constexpr int kMaxSamplesPerRead = 1024;
// The first bytes of every Ogg page.
constexpr std::string_view kCapturePattern = "OggS";
// After the input has ended, libvorbisfile only works through what it has buffered; a run of
// failures that long means nothing decodable is left, and the thread must not spin forever.
constexpr int kMaxFailuresAfterEnd = 64;

// What the reader callbacks read from: the input's source plus what the decoder needs to know
// about it (whether it has ended, whether anything came at all).
struct DecoderInput {
    OggByteSource* source = nullptr;
    std::uint64_t bytesDelivered = 0;
    bool ended = false;

    std::size_t Read(void* dest, std::size_t byteCount) {
        const std::size_t delivered = source->Read(dest, byteCount);
        bytesDelivered += delivered;
        if (delivered < byteCount) ended = true;
        return delivered;
    }
};

std::size_t ogg_read_callback(void* dest, std::size_t itemSize, std::size_t itemCount,
                              void* input) noexcept {
    if (itemSize == 0 || itemCount > SIZE_MAX / itemSize) return 0;
    const std::size_t delivered =
        static_cast<DecoderInput*>(input)->Read(dest, itemSize * itemCount);
    // libvorbisfile takes a 0 with errno set as a read error, and a clean 0 as the end of stream.
    if (delivered == 0) errno = 0;
    return delivered / itemSize;
}

// The source cannot seek: libvorbisfile then reads it as a live stream, link after link.
int ogg_seek_callback(void*, ogg_int64_t, int) noexcept {
    return -1;
}
int ogg_close_callback(void*) noexcept {
    return 1;
}
long ogg_tell_callback(void*) noexcept {
    return -1;
}

constexpr ov_callbacks kReaderCallbacks = {ogg_read_callback, ogg_seek_callback, ogg_close_callback,
                                           ogg_tell_callback};

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) ==
               std::toupper(static_cast<unsigned char>(b));
    });
}

// "Artist - Title", or whichever of the two the link has; empty without both.
std::string StreamTitle(std::string_view artist, std::string_view title) {
    if (artist.empty()) return std::string(title);
    if (title.empty()) return std::string(artist);
    return std::string(artist) + " - " + std::string(title);
}

const char* ModeText(int channelCount) {
    if (channelCount == 2) return "Stereo";
    if (channelCount == 1) return "Mono";
    return "";
}

void ReportInputDescription(int sampleRate, int channelCount) {
    char description[256];
    std::snprintf(description, sizeof description, "%dHz/%s Vorbis", sampleRate,
                  ModeText(channelCount));
    VorbisDecoderState& decoder = VorbisDecoder();
    if (decoder.lastVorbisDescription == description) return;
    decoder.lastVorbisDescription.assign(description);
    Report(FrontEnd().inputBitrate, description);
    SetSourceDescription(description);
}

// Interleaves one or two channels into frames, each value clipped to ±1.0.
void InterleaveClipped(const float* const* channelSamples, int sampleCount, int outputChannels,
                       float* frames) {
    for (int i = 0; i < sampleCount; ++i) {
        for (int channel = 0; channel < outputChannels; ++channel) {
            frames[i * outputChannels + channel] =
                std::clamp(channelSamples[channel][i], -1.0f, 1.0f);
        }
    }
}

// libvorbisfile's reasons for a stream it cannot open or read on, in words for the Error line.
const char* VorbisFailureText(int result) {
    switch (result) {
        case OV_EREAD:
            return "the source could not be read";
        case OV_ENOTVORBIS:
            return "the data is not Ogg Vorbis audio";
        case OV_EVERSION:
            return "the Vorbis version is not supported";
        case OV_EBADHEADER:
            return "the Vorbis headers are damaged";
        case OV_EFAULT:
            return "the decoder failed inside libvorbis";
        case OV_EINVAL:
            return "the decoder was not set up";
        case OV_EIMPL:
            return "the stream uses a feature libvorbis lacks";
        default:
            return "libvorbisfile refused it";
    }
}

// The open failed: the source ends here, and the Error says why at once (the input sees the
// thread end and ends the transfer). Reported only when bytes were there to judge: an input that
// ended before its first byte (a run stopped right after the header) is not a stream of the wrong
// kind.
void ReportOpenFailure(const DecoderInput& input, int openResult) {
    if (input.ended && input.bytesDelivered == 0) return;
    LogMessage(LOG_ERROR, kLogVorbis, __LINE__,
               "The Ogg Vorbis source cannot be opened: %s (libvorbisfile error %d after %llu "
               "bytes)",
               VorbisFailureText(openResult), openResult,
               static_cast<unsigned long long>(input.bytesDelivered));
    Report(FrontEnd().mainStatus, "Input does not appear to be an Ogg bitstream.");
}

// libvorbisfile reports the end of the input as 0. Negative results are gaps or damaged data and
// are skipped, except a failed read (the input is gone) and, once the input has ended, a long run
// of failures.
bool DecodeNextBlock(VorbisDecoderState& decoder, const DecoderInput& input, int& previousLink,
                     int& failuresAfterEnd) {
    float** channelSamples = nullptr;
    int link = previousLink < 0 ? 0 : previousLink;
    const long samplesRead =
        ov_read_float(&decoder.vorbisFile, &channelSamples, kMaxSamplesPerRead, &link);
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Read %ld ret from ov_read", samplesRead);
    if (link != previousLink && previousLink != -1) read_vorbis_comments();
    previousLink = link;
    if (samplesRead > 0) {
        failuresAfterEnd = 0;
        handle_output(channelSamples, static_cast<int>(samplesRead));
        return true;
    }
    if (samplesRead == 0) return false;
    if (samplesRead == OV_EREAD || samplesRead == OV_EINVAL) {
        // Not the end of the input: the stream stops here, and the input ends with it.
        if (!input.ended) {
            LogMessage(LOG_ERROR, kLogVorbis, __LINE__, "The Ogg Vorbis decoder stopped: %s",
                       VorbisFailureText(static_cast<int>(samplesRead)));
        }
        return false;
    }
    if (input.ended && ++failuresAfterEnd >= kMaxFailuresAfterEnd) return false;
    return true;
}

}  // namespace

VorbisDecoderState& VorbisDecoder() {
    return decoderState;
}

void ResetVorbisDecoderState() {
    JoinVorbisDecoder();
    ov_clear(&decoderState.vorbisFile);
    decoderState.vorbisSampleRate = 0;
    decoderState.vorbisChannels = 0;
    decoderState.lastVorbisDescription.clear();
    decoderState.sampleConsumer = nullptr;
}

void vorbis_decoder_thread(OggByteSource* source) {
    VorbisDecoderState& decoder = VorbisDecoder();
    DecoderInput input;
    input.source = source;
    // A station's Ogg stream begins with a page. Anything else (an error page, MP3 under an Ogg
    // type) is refused at its first bytes rather than after the 64 KiB libvorbisfile searches.
    char start[kCapturePattern.size()];
    const std::size_t startBytes = input.Read(start, sizeof start);
    const std::string_view begins(start, startBytes);
    if (startBytes == sizeof start && begins != kCapturePattern) {
        LogMessage(LOG_ERROR, kLogVorbis, __LINE__,
                   "The Ogg Vorbis source cannot be opened: it does not begin with an Ogg page "
                   "(its first bytes are \"%s\")",
                   PrintableText(begins).c_str());
        Report(FrontEnd().mainStatus, "Input does not appear to be an Ogg bitstream.");
        return;
    }
    // The input is the data source (libvorbisfile reads nothing from a null one); the bytes read
    // so far come first.
    const int openResult = ov_open_callbacks(&input, &decoder.vorbisFile, start,
                                             static_cast<long>(startBytes), kReaderCallbacks);
    if (openResult < 0) {
        ReportOpenFailure(input, openResult);
        LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Going into EOF loop");
        return;
    }
    read_vorbis_comments();
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Going into EOF loop");
    int previousLink = -1;
    int failuresAfterEnd = 0;
    while (!source->Abandoned() &&
           DecodeNextBlock(decoder, input, previousLink, failuresAfterEnd)) {
    }
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "End of the Ogg stream after %llu bytes",
               static_cast<unsigned long long>(input.bytesDelivered));
    ov_clear(&decoder.vorbisFile);
}

void read_vorbis_comments() {
    VorbisDecoderState& decoder = VorbisDecoder();
    const vorbis_comment* comments = ov_comment(&decoder.vorbisFile, -1);
    const vorbis_info* info = ov_info(&decoder.vorbisFile, -1);
    FixedText<1024> artist;
    FixedText<1024> title;
    const int commentCount = comments != nullptr ? comments->comments : 0;
    for (int i = 0; i < commentCount; ++i) {
        const std::string_view comment(comments->user_comments[i],
                                       static_cast<std::size_t>(comments->comment_lengths[i]));
        LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "%s", PrintableText(comment).c_str());
        if (StartsWithIgnoringCase(comment, "ARTIST=")) artist.assign(comment.substr(7));
        if (StartsWithIgnoringCase(comment, "TITLE=")) title.assign(comment.substr(6));
    }
    if (info != nullptr) {
        decoder.vorbisSampleRate = static_cast<std::int32_t>(info->rate);
        decoder.vorbisChannels = info->channels;
    }
    const char* vendor = comments != nullptr && comments->vendor != nullptr ? comments->vendor : "";
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Encoded by: %s", PrintableText(vendor).c_str());
    const std::string fullTitle = StreamTitle(artist.view(), title.view());
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "StreamTitle = (%s)",
               PrintableText(fullTitle).c_str());
    // A link without either comment has no title to send; the one before stays.
    if (fullTitle.empty()) return;
    if (SetCurrentTitle(fullTitle.c_str()) != 0) Report(FrontEnd().metadata, fullTitle.c_str());
}

void handle_output(const float* const* channelSamples, int sampleCount) {
    const VorbisDecoderState& decoder = VorbisDecoder();
    const int channelCount = decoder.vorbisChannels;
    const int sampleRate = decoder.vorbisSampleRate;
    if (sampleCount <= 0 || channelCount <= 0) return;
    ReportInputDescription(sampleRate, channelCount);
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Sending it to zembril");
    // The engine takes one or two channels: wider streams pass their first two on as stereo.
    const int outputChannels = std::min(channelCount, 2);
    const std::unique_ptr<float[]> frames(
        new (std::nothrow) float[static_cast<std::size_t>(sampleCount) * 2]);
    if (!frames) {
        LogMessage(LOG_ERROR, kLogVorbis, __LINE__, "No memory for %d samples", sampleCount);
        return;
    }
    InterleaveClipped(channelSamples, sampleCount, outputChannels, frames.get());
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__,
               "handle_output - nsamples = %d, nchannels = %d, in_samplerate = %d, in_nch = %d",
               sampleCount, outputChannels, sampleRate, channelCount);
    NoteDecodedAudio(sampleCount, sampleRate);
    const VorbisSampleConsumer consume =
        decoder.sampleConsumer != nullptr ? decoder.sampleConsumer : ProcessSamples;
    consume(frames.get(), sampleCount, outputChannels, sampleRate);
}

int StartVorbisDecoder(OggByteSource* source) {
    if (source == nullptr) return 0;
    if (decoderThread.joinable()) {
        LogMessage(LOG_ERROR, kLogVorbis, __LINE__, "The decoder thread is already running");
        return 0;
    }
    // Called from a libcurl callback: nothing may be thrown from here.
    try {
        decoderEnded.store(false, std::memory_order_release);
        decoderThread = std::thread(RunDecoderThread, source);
    } catch (const std::system_error& failure) {
        LogMessage(LOG_ERROR, kLogVorbis, __LINE__, "Cannot start the decoder thread: %s",
                   failure.what());
        return 0;
    }
    return 1;
}

bool VorbisDecoderEnded() {
    return decoderEnded.load(std::memory_order_acquire);
}

void JoinVorbisDecoder() {
    if (!decoderThread.joinable()) return;
    // The thread may be waiting to reconnect to the destination; that wait must not outlast the
    // input, or the join would wait for a server that may never return.
    Control().transferEnding = true;
    decoderThread.join();
    Control().transferEnding = false;
}
