#include "decoders/oggvdecoder.h"

#include <opusfile.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
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
#include "decoders/ogg_links.h"
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
// Once its link has ended, a decoder only works through what it has buffered; a run of failures
// that long means nothing decodable is left, and the thread must not spin forever.
constexpr int kMaxFailuresAfterEnd = 64;
// libopusfile decodes every Opus stream at 48 kHz.
constexpr int kOpusSampleRate = 48000;

// ---- the decoders' reads from the current link ----

std::size_t vorbis_read_callback(void* dest, std::size_t itemSize, std::size_t itemCount,
                                 void* links) noexcept {
    if (itemSize == 0 || itemCount > SIZE_MAX / itemSize) return 0;
    const std::size_t delivered =
        static_cast<OggLinkSplitter*>(links)->ReadLink(dest, itemSize * itemCount);
    // libvorbisfile takes a 0 with errno set as a read error, and a clean 0 as the end of stream.
    if (delivered == 0) errno = 0;
    return delivered / itemSize;
}

// The source cannot seek: libvorbisfile then reads it as a live stream.
int vorbis_seek_callback(void*, ogg_int64_t, int) noexcept {
    return -1;
}
int vorbis_close_callback(void*) noexcept {
    return 1;
}
long vorbis_tell_callback(void*) noexcept {
    return -1;
}

constexpr ov_callbacks kVorbisCallbacks = {vorbis_read_callback, vorbis_seek_callback,
                                           vorbis_close_callback, vorbis_tell_callback};

int opus_read_callback(void* links, unsigned char* dest, int byteCount) noexcept {
    if (byteCount <= 0) return 0;
    return static_cast<int>(
        static_cast<OggLinkSplitter*>(links)->ReadLink(dest, static_cast<std::size_t>(byteCount)));
}

// Without seek and tell libopusfile reads the source as a live stream.
constexpr OpusFileCallbacks kOpusCallbacks = {opus_read_callback, nullptr, nullptr, nullptr};

struct OpusFileCloser {
    void operator()(OggOpusFile* file) const { op_free(file); }
};
using OpusFileOwner = std::unique_ptr<OggOpusFile, OpusFileCloser>;

// ---- titles and formats ----

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

// Vorbis comments and OpusTags have the same shape: "KEY=value" texts with their lengths.
void TakeTitleFromComments(const char* const* comments, const int* lengths, int commentCount,
                           const char* vendor) {
    FixedText<1024> artist;
    FixedText<1024> title;
    for (int i = 0; i < commentCount; ++i) {
        if (comments[i] == nullptr || lengths[i] < 0) continue;
        const std::string_view comment(comments[i], static_cast<std::size_t>(lengths[i]));
        LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "%s", PrintableText(comment).c_str());
        if (StartsWithIgnoringCase(comment, "ARTIST=")) artist.assign(comment.substr(7));
        if (StartsWithIgnoringCase(comment, "TITLE=")) title.assign(comment.substr(6));
    }
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Encoded by: %s",
               PrintableText(vendor != nullptr ? vendor : "").c_str());
    const std::string fullTitle = StreamTitle(artist.view(), title.view());
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "StreamTitle = (%s)",
               PrintableText(fullTitle).c_str());
    // A link without either comment has no title to send; the one before stays.
    if (fullTitle.empty()) return;
    if (SetCurrentTitle(fullTitle.c_str()) != 0) Report(FrontEnd().metadata, fullTitle.c_str());
}

const char* ModeText(int channelCount) {
    if (channelCount == 2) return "Stereo";
    if (channelCount == 1) return "Mono";
    return "";
}

void ReportInputDescription(int sampleRate, int channelCount) {
    VorbisDecoderState& decoder = VorbisDecoder();
    char description[256];
    std::snprintf(description, sizeof description, "%dHz/%s %s", sampleRate, ModeText(channelCount),
                  decoder.codecName);
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

// Reports the link's format and hands frameCount interleaved frames of outputChannels on.
void PassOnFrames(const float* frames, int frameCount, int outputChannels) {
    const VorbisDecoderState& decoder = VorbisDecoder();
    const int sampleRate = decoder.vorbisSampleRate;
    ReportInputDescription(sampleRate, decoder.vorbisChannels);
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Sending it to zembril");
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__,
               "handle_output - nsamples = %d, nchannels = %d, in_samplerate = %d, in_nch = %d",
               frameCount, outputChannels, sampleRate, decoder.vorbisChannels);
    NoteDecodedAudio(frameCount, sampleRate);
    const VorbisSampleConsumer consume =
        decoder.sampleConsumer != nullptr ? decoder.sampleConsumer : ProcessSamples;
    consume(frames, frameCount, outputChannels, sampleRate);
}

// The header reported an Ogg source as "Vorbis"; a link of the other codec says so.
void NoteLinkCodec(const char* codecName) {
    VorbisDecoderState& decoder = VorbisDecoder();
    if (std::string_view(decoder.codecName) != codecName) {
        Report(FrontEnd().inputStreamType, codecName);
    }
    decoder.codecName = codecName;
}

// ---- opening a link ----

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

// libopusfile's reasons, likewise.
const char* OpusFailureText(int result) {
    switch (result) {
        case OP_EREAD:
            return "the source could not be read";
        case OP_ENOTFORMAT:
            return "the data is not Ogg Opus audio";
        case OP_EVERSION:
            return "the Opus version is not supported";
        case OP_EBADHEADER:
            return "the Opus headers are damaged";
        case OP_EFAULT:
            return "the decoder failed inside libopus";
        case OP_EIMPL:
            return "the stream uses a feature libopusfile lacks";
        case OP_EBADLINK:
        case OP_EBADPACKET:
            return "the Opus data is damaged";
        case OP_HOLE:
            return "pages are missing";
        default:
            return "libopusfile refused it";
    }
}

void ReportNotOgg() {
    Report(FrontEnd().mainStatus, "Input does not appear to be an Ogg bitstream.");
}

// A link's decoder cannot open it. The first link: the source ends here, and the Error says why
// at once (the input sees the thread end and ends the transfer). A later one (a link cut short in
// its headers) is skipped: the stream has shown it is Ogg the decoders read.
void ReportOpenFailure(const OggLinkSplitter& links, bool firstLink, const char* codec,
                       const char* reason, const char* library, int openResult) {
    if (!firstLink) {
        LogMessage(LOG_ERROR, kLogVorbis, __LINE__,
                   "An Ogg %s link cannot be opened and is skipped: %s (%s error %d after %llu "
                   "bytes)",
                   codec, reason, library, openResult,
                   static_cast<unsigned long long>(links.BytesRead()));
        return;
    }
    LogMessage(LOG_ERROR, kLogVorbis, __LINE__,
               "The Ogg %s source cannot be opened: %s (%s error %d after %llu bytes)", codec,
               reason, library, openResult, static_cast<unsigned long long>(links.BytesRead()));
    ReportNotOgg();
}

// No link began: junk, or pages that open no stream. Reported only when bytes were there to
// judge: an input that ended before its first byte (a run stopped right after the header) is not
// a stream of the wrong kind.
void ReportNoLink(const OggLinkSplitter& links) {
    if (links.BytesRead() == 0) return;
    LogMessage(LOG_ERROR, kLogVorbis, __LINE__,
               "The Ogg source cannot be opened: no Ogg stream begins in its first %llu bytes",
               static_cast<unsigned long long>(links.BytesRead()));
    ReportNotOgg();
}

// ---- decoding a link ----

// libvorbisfile reports the end of the link as 0. Negative results are gaps or damaged data and
// are skipped, except a failed read and, once the link has ended, a long run of failures.
bool DecodeNextVorbisBlock(VorbisDecoderState& decoder, const OggLinkSplitter& links,
                           int& failuresAfterEnd) {
    float** channelSamples = nullptr;
    int link = 0;
    const long samplesRead =
        ov_read_float(&decoder.vorbisFile, &channelSamples, kMaxSamplesPerRead, &link);
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Read %ld ret from ov_read", samplesRead);
    if (samplesRead > 0) {
        failuresAfterEnd = 0;
        handle_output(channelSamples, static_cast<int>(samplesRead));
        return true;
    }
    if (samplesRead == 0) return false;
    if (samplesRead == OV_EREAD || samplesRead == OV_EINVAL) {
        LogMessage(LOG_ERROR, kLogVorbis, __LINE__, "The Ogg Vorbis decoder stopped: %s",
                   VorbisFailureText(static_cast<int>(samplesRead)));
        return false;
    }
    return !(links.LinkEnded() && ++failuresAfterEnd >= kMaxFailuresAfterEnd);
}

// False (after an Error line) when the stream cannot go on: its first link cannot be opened.
bool DecodeVorbisLink(OggLinkSplitter& links, const OggByteSource& source, bool firstLink) {
    VorbisDecoderState& decoder = VorbisDecoder();
    const int openResult =
        ov_open_callbacks(&links, &decoder.vorbisFile, nullptr, 0, kVorbisCallbacks);
    if (openResult < 0) {
        ReportOpenFailure(links, firstLink, "Vorbis", VorbisFailureText(openResult),
                          "libvorbisfile", openResult);
        LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Going into EOF loop");
        return !firstLink;
    }
    NoteLinkCodec("Vorbis");
    read_vorbis_comments();
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Going into EOF loop");
    int failuresAfterEnd = 0;
    while (!source.Abandoned() && DecodeNextVorbisBlock(decoder, links, failuresAfterEnd)) {
    }
    ov_clear(&decoder.vorbisFile);
    return true;
}

void ClipInPlace(float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) samples[i] = std::clamp(samples[i], -1.0f, 1.0f);
}

// One block of an Opus link; false at the link's end or when decoding cannot go on. Holes and
// damaged packets are skipped (libopusfile goes on after them).
bool DecodeNextOpusBlock(OggOpusFile* file, const OggLinkSplitter& links, int& failuresAfterEnd) {
    float frames[kMaxSamplesPerRead * 2];
    const int outputChannels = std::min(VorbisDecoder().vorbisChannels, 2);
    // Wider streams are mixed down to stereo by libopusfile.
    const int result =
        VorbisDecoder().vorbisChannels > 2
            ? op_read_float_stereo(file, frames, kMaxSamplesPerRead * 2)
            : op_read_float(file, frames, kMaxSamplesPerRead * outputChannels, nullptr);
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Read %d ret from op_read", result);
    if (result > 0) {
        failuresAfterEnd = 0;
        ClipInPlace(frames, static_cast<std::size_t>(result) * outputChannels);
        PassOnFrames(frames, result, outputChannels);
        return true;
    }
    if (result == 0) return false;
    if (result != OP_HOLE && result != OP_EBADPACKET && result != OP_EBADTIMESTAMP) {
        LogMessage(LOG_ERROR, kLogVorbis, __LINE__, "The Ogg Opus decoder stopped: %s (error %d)",
                   OpusFailureText(result), result);
        return false;
    }
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "Opus data skipped: %s", OpusFailureText(result));
    return !(links.LinkEnded() && ++failuresAfterEnd >= kMaxFailuresAfterEnd);
}

// Title, rate and channel count of the Opus link just opened.
void ReadOpusHeaders(const OggOpusFile* file) {
    VorbisDecoderState& decoder = VorbisDecoder();
    NoteLinkCodec("Opus");
    decoder.vorbisSampleRate = kOpusSampleRate;
    decoder.vorbisChannels = op_channel_count(file, -1);
    const OpusTags* tags = op_tags(file, -1);
    if (tags == nullptr) return;
    TakeTitleFromComments(tags->user_comments, tags->comment_lengths, tags->comments, tags->vendor);
}

bool DecodeOpusLink(OggLinkSplitter& links, const OggByteSource& source, bool firstLink) {
    int openResult = 0;
    const OpusFileOwner file(op_open_callbacks(&links, &kOpusCallbacks, nullptr, 0, &openResult));
    if (file == nullptr) {
        ReportOpenFailure(links, firstLink, "Opus", OpusFailureText(openResult), "libopusfile",
                          openResult);
        return !firstLink;
    }
    ReadOpusHeaders(file.get());
    int failuresAfterEnd = 0;
    while (!source.Abandoned() && DecodeNextOpusBlock(file.get(), links, failuresAfterEnd)) {
    }
    return true;
}

// Hands the link that has just begun to the decoder its first packet names. False (after an
// Error line) when the stream cannot go on.
bool DecodeLink(OggLinkSplitter& links, const OggByteSource& source, bool firstLink) {
    const std::string_view firstPacket = links.FirstPacket();
    switch (CodecOfFirstPacket(firstPacket)) {
        case OggCodec::kVorbis:
            return DecodeVorbisLink(links, source, firstLink);
        case OggCodec::kOpus:
            return DecodeOpusLink(links, source, firstLink);
        case OggCodec::kUnknown:
            break;
    }
    LogMessage(LOG_ERROR, kLogVorbis, __LINE__,
               "The Ogg source carries %s, which is neither Vorbis nor Opus: it cannot be played, "
               "the transfer ends",
               CodecNameOfFirstPacket(firstPacket).c_str());
    return false;
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
    decoderState.codecName = "Vorbis";
    decoderState.sampleConsumer = nullptr;
}

void vorbis_decoder_thread(OggByteSource* source) {
    VorbisDecoder().codecName = "Vorbis";
    OggLinkSplitter links(*source);
    // A station's Ogg stream begins with a page. Anything else (an error page, MP3 under an Ogg
    // type) is refused at its first bytes rather than after a search through many more.
    const std::string_view begins = links.ReadStart(kCapturePattern.size());
    if (begins.size() == kCapturePattern.size() && begins != kCapturePattern) {
        LogMessage(LOG_ERROR, kLogVorbis, __LINE__,
                   "The Ogg source cannot be opened: it does not begin with an Ogg page (its "
                   "first bytes are \"%s\")",
                   PrintableText(begins).c_str());
        ReportNotOgg();
        return;
    }
    bool linkFound = false;
    while (!source->Abandoned()) {
        const OggLinkSplitter::LinkStart start = links.NextLink();
        if (start == OggLinkSplitter::LinkStart::kNotFound ||
            (start == OggLinkSplitter::LinkStart::kEnded && !linkFound)) {
            ReportNoLink(links);
        }
        if (start != OggLinkSplitter::LinkStart::kFound) break;
        const bool firstLink = !linkFound;
        linkFound = true;
        if (!DecodeLink(links, *source, firstLink)) break;
    }
    LogMessage(LOG_DEBUG, kLogVorbis, __LINE__, "End of the Ogg stream after %llu bytes",
               static_cast<unsigned long long>(links.BytesRead()));
}

void read_vorbis_comments() {
    VorbisDecoderState& decoder = VorbisDecoder();
    const vorbis_comment* comments = ov_comment(&decoder.vorbisFile, -1);
    const vorbis_info* info = ov_info(&decoder.vorbisFile, -1);
    if (info != nullptr) {
        decoder.vorbisSampleRate = static_cast<std::int32_t>(info->rate);
        decoder.vorbisChannels = info->channels;
    }
    if (comments == nullptr) return;
    TakeTitleFromComments(comments->user_comments, comments->comment_lengths, comments->comments,
                          comments->vendor);
}

void handle_output(const float* const* channelSamples, int sampleCount) {
    const VorbisDecoderState& decoder = VorbisDecoder();
    const int channelCount = decoder.vorbisChannels;
    if (sampleCount <= 0 || channelCount <= 0) return;
    // The engine takes one or two channels: wider streams pass their first two on as stereo.
    const int outputChannels = std::min(channelCount, 2);
    const std::unique_ptr<float[]> frames(
        new (std::nothrow) float[static_cast<std::size_t>(sampleCount) * 2]);
    if (!frames) {
        LogMessage(LOG_ERROR, kLogVorbis, __LINE__, "No memory for %d samples", sampleCount);
        return;
    }
    InterleaveClipped(channelSamples, sampleCount, outputChannels, frames.get());
    PassOnFrames(frames.get(), sampleCount, outputChannels);
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
