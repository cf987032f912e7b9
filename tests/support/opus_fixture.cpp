#include "tests/support/opus_fixture.h"

#include <opusenc.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kFramesPerWrite = 960;
// A page every 100 ms at most, as stations send them (libopusenc's own default is a second).
constexpr int kMuxingDelay = 4800;

int AppendBytes(void* out, const unsigned char* bytes, opus_int32 length) {
    static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(bytes),
                                           static_cast<std::size_t>(length));
    return 0;
}
int CloseNothing(void*) {
    return 0;
}
constexpr OpusEncCallbacks kAppendToString = {AppendBytes, CloseNothing};

struct CommentsCloser {
    void operator()(OggOpusComments* comments) const { ope_comments_destroy(comments); }
};
struct EncoderCloser {
    void operator()(OggOpusEnc* encoder) const { ope_encoder_destroy(encoder); }
};

bool EncodeLink(const OpusLinkSpec& link, int serialNumber, std::string& out) {
    const std::unique_ptr<OggOpusComments, CommentsCloser> comments(ope_comments_create());
    if (comments == nullptr) return false;
    for (const std::string& comment : link.comments) {
        if (ope_comments_add_string(comments.get(), comment.c_str()) != OPE_OK) return false;
    }
    int error = OPE_OK;
    const std::unique_ptr<OggOpusEnc, EncoderCloser> encoder(
        ope_encoder_create_callbacks(&kAppendToString, &out, comments.get(), link.sampleRate,
                                     link.channelCount, link.channelCount > 2 ? 1 : 0, &error));
    if (encoder == nullptr) return false;
    if (ope_encoder_ctl(encoder.get(), OPE_SET_SERIALNO(serialNumber)) != OPE_OK ||
        ope_encoder_ctl(encoder.get(), OPE_SET_MUXING_DELAY(kMuxingDelay)) != OPE_OK ||
        ope_encoder_ctl(encoder.get(), OPUS_SET_BITRATE(link.bitrate)) != OPE_OK) {
        return false;
    }
    const double step = 2.0 * M_PI * link.toneHz / link.sampleRate;
    std::vector<float> frames(static_cast<std::size_t>(kFramesPerWrite) * link.channelCount);
    for (int done = 0; done < link.frameCount; done += kFramesPerWrite) {
        const int count = std::min(kFramesPerWrite, link.frameCount - done);
        for (int i = 0; i < count; ++i) {
            const float tone = link.amplitude * static_cast<float>(std::sin(step * (done + i)));
            for (int channel = 0; channel < link.channelCount; ++channel) {
                frames[static_cast<std::size_t>(i) * link.channelCount + channel] = tone;
            }
        }
        if (ope_encoder_write_float(encoder.get(), frames.data(), count) != OPE_OK) return false;
    }
    return ope_encoder_drain(encoder.get()) == OPE_OK;
}

}  // namespace

std::string MakeOggOpus(const std::vector<OpusLinkSpec>& links, int firstSerialNumber) {
    std::string out;
    int serialNumber = firstSerialNumber;
    for (const OpusLinkSpec& link : links) {
        if (!EncodeLink(link, serialNumber++, out)) return {};
    }
    return out;
}
