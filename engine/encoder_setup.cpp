// Building the output encoder for a new stream: LAME for MP3, or libvorbisenc with Ogg framing,
// whose header pages (with the current title in the comments) go out at once. Opus output is
// opus_output.cpp's; the stream comments and serial numbers are shared with it.
#include <lame/lame.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/text_encoding.h"
#include "common/version.h"
#include "engine/encoder_state.h"
#include "engine/libzembril.h"

namespace {

// LAME prints to the console by default; the engine reports through its own log instead.
void DiscardLameMessage(const char*, va_list) {}

void ApplyLameVbrMode(lame_global_flags* lame, const char* mode) {
    // Exact, case-sensitive names: any other text keeps LAME's own mode.
    if (std::strcmp(mode, "vbr_rh") == 0) {
        lame_set_VBR(lame, vbr_rh);
    } else if (std::strcmp(mode, "vbr_mtrh") == 0) {
        lame_set_VBR(lame, vbr_mtrh);
    } else if (std::strcmp(mode, "vbr_abr") == 0) {
        lame_set_VBR(lame, vbr_abr);
    }
}

void ApplyLameSettings(const EngineState& engine, lame_global_flags* lame) {
    lame_set_errorf(lame, DiscardLameMessage);
    lame_set_debugf(lame, DiscardLameMessage);
    lame_set_msgf(lame, DiscardLameMessage);
    lame_set_brate(lame, engine.settings.bitrateNominal);
    lame_set_quality(lame, engine.settings.lameQuality);
    // The encoder is always fed two channels; a mono output only changes the MPEG mode.
    lame_set_num_channels(lame, 2);
    lame_set_mode(lame, engine.settings.channels == 1 ? MONO : STEREO);
    lame_set_in_samplerate(lame, static_cast<int>(engine.settings.sampleRate));
    lame_set_out_samplerate(lame, static_cast<int>(engine.settings.sampleRate));
    lame_set_copyright(lame, engine.settings.lameCopywrite);
    lame_set_original(lame, engine.settings.lameOriginal);
    lame_set_strict_ISO(lame, engine.settings.lameStrictIso);
    lame_set_disable_reservoir(lame, engine.settings.lameDisableReservoir);
    if (engine.settings.lameCbrFlag == 0) {
        ApplyLameVbrMode(lame, engine.settings.lameVbrMode.c_str());
        lame_set_VBR_mean_bitrate_kbps(lame, engine.settings.bitrateNominal);
        lame_set_VBR_min_bitrate_kbps(lame, engine.settings.bitrateMin);
        lame_set_VBR_max_bitrate_kbps(lame, engine.settings.bitrateMax);
    }
    lame_set_lowpassfreq(lame, engine.settings.lameLowpassFreq);
    lame_set_highpassfreq(lame, engine.settings.lameHighpassFreq);
}

// LAME's average-bit-rate mode stops the process on an assertion when the minimum lies above
// the maximum (or the maximum is negative), so such a range is refused here.
bool LameBitrateRangeUsable(const EngineState& engine) {
    if (engine.settings.lameCbrFlag != 0) return true;
    if (engine.settings.bitrateMin >= 0 && engine.settings.bitrateMax >= 0 &&
        (engine.settings.bitrateMax == 0 ||
         engine.settings.bitrateMin <= engine.settings.bitrateMax)) {
        return true;
    }
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "BitrateMin %d and BitrateMax %d are no bit rate range for the MP3 encoder",
               engine.settings.bitrateMin, engine.settings.bitrateMax);
    return false;
}

int SetUpLame(EngineState& engine) {
    CloseLameEncoder(engine);
    if (!LameBitrateRangeUsable(engine)) return 0;
    engine.encoder.lameEncoder = lame_init();
    if (engine.encoder.lameEncoder == nullptr) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot create the MP3 encoder (lame_init)");
        return 0;
    }
    ApplyLameSettings(engine, engine.encoder.lameEncoder);
    const int result = lame_init_params(engine.encoder.lameEncoder);
    if (result < 0) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "The MP3 encoder refused its settings (lame_init_params error %d)", result);
        CloseLameEncoder(engine);
        return 0;
    }
    return 1;
}

// The library's result for the configured mode: 0, or one of its OV_E* codes.
int SetUpVorbisMode(EngineState& engine) {
    const long channels = engine.settings.channels;
    const long rate = static_cast<long>(engine.settings.sampleRate);
    if (engine.settings.oggBitrateManaged) {
        // The library reads a rate that is not above 0 as "no limit".
        const long maximum =
            engine.settings.bitrateMax > 0 ? engine.settings.bitrateMax * 1000L : -1000L;
        const long nominal = engine.settings.bitrateNominal * 1000L;
        const long minimum =
            engine.settings.bitrateMin > 0 ? engine.settings.bitrateMin * 1000L : -1000L;
        return vorbis_encode_setup_managed(&engine.encoder.vorbisInfo, channels, rate, maximum,
                                           nominal, minimum);
    }
    // The setting runs from -1 to 10, the library's quality from -0.1 to 1.0. Quality mode
    // takes no hard bit-rate limits: those belong to managed mode.
    const float quality = static_cast<float>(std::atof(engine.settings.oggQuality.c_str())) * 0.1f;
    return vorbis_encode_setup_vbr(&engine.encoder.vorbisInfo, channels, rate, quality);
}

void LogVorbisSetUpError(int result) {
    if (result == OV_EINVAL) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Sorry, but this is an illegal vorbis mode...");
    } else if (result == OV_EIMPL) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Sorry, but this vorbis mode is not supported currently...");
    } else {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Cannot set up the Vorbis encoder (library error %d)", result);
    }
}

// The encoder and stream state of one stream, released and left all zero; the serial numbers
// used on the connection are kept.
void ReleaseVorbisState(EngineState& engine) {
    ogg_stream_clear(&engine.encoder.oggStream);
    vorbis_block_clear(&engine.encoder.vorbisBlock);
    vorbis_dsp_clear(&engine.encoder.vorbisDsp);
    vorbis_info_clear(&engine.encoder.vorbisInfo);
    std::memset(&engine.encoder.vorbisInfo, 0, sizeof engine.encoder.vorbisInfo);
    engine.encoder.oggStreamOpen = 0;
}

class VorbisComments {
  public:
    VorbisComments() { vorbis_comment_init(&comments_); }
    ~VorbisComments() { vorbis_comment_clear(&comments_); }
    VorbisComments(const VorbisComments&) = delete;
    VorbisComments& operator=(const VorbisComments&) = delete;

    void Add(const std::string& comment) { vorbis_comment_add(&comments_, comment.c_str()); }
    vorbis_comment* get() { return &comments_; }

  private:
    vorbis_comment comments_;
};

// False when a page could not be sent (sendFailure says why); the stream counts as begun all
// the same, so that its end can still complete the archive.
bool SendHeaderPages(EngineState& engine) {
    // These comments carry the current title, so a title change asked for so far is served by
    // this stream. (One that arrives after this point asks again.)
    engine.encoder.vorbisRestartPending = 0;
    VorbisComments comments;
    for (const std::string& comment : StreamComments(engine)) comments.Add(comment);
    ogg_packet identification;
    ogg_packet commentPacket;
    ogg_packet codebooks;
    vorbis_analysis_headerout(&engine.encoder.vorbisDsp, comments.get(), &identification,
                              &commentPacket, &codebooks);
    ogg_stream_packetin(&engine.encoder.oggStream, &identification);
    ogg_stream_packetin(&engine.encoder.oggStream, &commentPacket);
    ogg_stream_packetin(&engine.encoder.oggStream, &codebooks);
    engine.encoder.headersPending = 1;
    // Audio must start on a fresh page, so the headers are flushed rather than paged out.
    ogg_page page;
    bool sent = true;
    while (sent && ogg_stream_flush(&engine.encoder.oggStream, &page) != 0)
        sent = SendOggPage(page) >= 0;
    engine.encoder.oggStreamOpen = 1;
    engine.encoder.oggStreamFrames = 0;
    return sent;
}

// 1, 0 when the encoder could not be set up (logged here), -1 when a send failed.
int SetUpVorbis(EngineState& engine) {
    // A new stream on this connection may begin only once the running one has ended.
    if (engine.encoder.oggStreamOpen && EndOggStream() < 0) return -1;
    ReleaseVorbisState(engine);
    vorbis_info_init(&engine.encoder.vorbisInfo);
    int result = SetUpVorbisMode(engine);
    if (result == 0) result = vorbis_encode_setup_init(&engine.encoder.vorbisInfo);
    if (result != 0) {
        vorbis_info_clear(&engine.encoder.vorbisInfo);
        LogVorbisSetUpError(result);
        return 0;
    }
    if (vorbis_analysis_init(&engine.encoder.vorbisDsp, &engine.encoder.vorbisInfo) != 0) {
        ReleaseVorbisState(engine);
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot start the Vorbis encoder");
        return 0;
    }
    vorbis_block_init(&engine.encoder.vorbisDsp, &engine.encoder.vorbisBlock);
    ogg_stream_init(&engine.encoder.oggStream, NewStreamSerial(engine.encoder.oggSerialsUsed));
    return SendHeaderPages(engine) ? 1 : -1;
}

// Output rates outside this range are no audio format either encoder makes (and beyond 32 bits
// they would be cut when handed to them). An Ogg Vorbis stream holds at most 255 channels; LAME
// makes stereo of anything above 1; the Opus output is mono or stereo.
constexpr std::int64_t kLowestOutputRate = 8000;
constexpr std::int64_t kHighestOutputRate = 768000;
constexpr std::int32_t kHighestChannelCount = 255;
constexpr std::int32_t kHighestOpusChannelCount = 2;

bool OutputFormatUsable(const EngineState& engine) {
    bool usable = true;
    const std::int64_t rate = OutputSampleRate(engine.settings);
    if (rate < kLowestOutputRate || rate > kHighestOutputRate) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Samplerate %lld is not an output rate (%lld to %lld Hz)",
                   static_cast<long long>(rate), static_cast<long long>(kLowestOutputRate),
                   static_cast<long long>(kHighestOutputRate));
        usable = false;
    }
    const std::int32_t mostChannels =
        engine.settings.isOpus ? kHighestOpusChannelCount : kHighestChannelCount;
    if (engine.settings.channels < 1 || engine.settings.channels > mostChannels) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "NumberChannels %d is not an output channel count (1 to %d)",
                   engine.settings.channels, mostChannels);
        usable = false;
    }
    return usable;
}

}  // namespace

int NewStreamSerial(std::vector<int>& serialsUsed) {
    int serial;
    do {
        serial = static_cast<int>(arc4random());
    } while (std::find(serialsUsed.begin(), serialsUsed.end(), serial) != serialsUsed.end());
    serialsUsed.push_back(serial);
    return serial;
}

std::vector<std::string> StreamComments(EngineState& engine) {
    FixedText<1024> title;
    FixedText<1024> artist;
    FixedText<1024> full;
    SplitArtistTitle(title, artist, full);
    // A title like "-" splits into nothing; the listener then sees it whole.
    const bool nothingSplit = title.empty() && artist.empty();
    // Vorbis comments (and Opus tags, which are the same) are UTF-8 by definition; many stations
    // send Latin-1 or Windows-1252.
    std::vector<std::string> comments{
        "TITLE=" + AsUtf8(nothingSplit ? full.view() : title.view()),
        "ARTIST=" + AsUtf8(artist.view()),
        std::string("ENCODEDBY=transcode ") + kTranscodeVersion,
    };
    std::string sourceDescription;
    {
        std::lock_guard lock(engine.titles.lock);
        sourceDescription = engine.titles.sourceDescription.c_str();
    }
    if (!sourceDescription.empty()) comments.push_back("TRANSCODEDFROM=" + sourceDescription);
    return comments;
}

int InitEncoder() {
    EngineState& engine = Engine();
    // The resampler stays: a new stream continues the same audio, and a fresh filter history
    // would cut a phase jump and a few frames into it at every title change.
    if (!engine.settings.isLame && !engine.settings.isOggVorbis && !engine.settings.isOpus) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "No encoder for the output format \"%s\"",
                   engine.settings.encodeFormat.c_str());
        return 0;
    }
    if (!OutputFormatUsable(engine)) return 0;
    if (engine.settings.isLame && SetUpLame(engine) == 0) return 0;
    if (engine.settings.isOggVorbis) return SetUpVorbis(engine);
    if (engine.settings.isOpus) return SetUpOpus(engine);
    return 1;
}

void CloseLameEncoder(EngineState& engine) {
    if (engine.encoder.lameEncoder != nullptr) lame_close(engine.encoder.lameEncoder);
    engine.encoder.lameEncoder = nullptr;
}

void ClearVorbisEncoder(EngineState& engine) {
    ReleaseVorbisState(engine);
    ReleaseOpusEncoder(engine);
    engine.encoder.oggSerialsUsed.clear();
}

ssize_t SendOggPage(const ogg_page& page) {
    const ssize_t headerSent = SendEncoded(page.header, static_cast<std::size_t>(page.header_len));
    const ssize_t bodySent = SendEncoded(page.body, static_cast<std::size_t>(page.body_len));
    if (headerSent < 0 || bodySent < 0) return -1;
    return headerSent + bodySent;
}
