#include "tests/support/audio_check.h"

#include <mpg123.h>
#include <ogg/ogg.h>
#include <strings.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "decoders/mp3decoder.h"

namespace {

// ---- MP3 ----

// The whole stream fed at once to a libmpg123 handle set up as the program's decoder sets up its
// own (float output, every frame whole, the info frame decoded as audio), so that both give the
// same samples.
DecodedAudio DecodeWithMpg123(const std::string& bytes) {
    DecodedAudio audio;
    Mpg123Feed decoder;
    if (!decoder.Open()) return audio;
    mpg123_handle* handle = decoder.get();
    if (mpg123_feed(handle, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) !=
        MPG123_OK) {
        return audio;
    }
    int channels = 0;
    for (;;) {
        off_t frameNumber = 0;
        unsigned char* output = nullptr;
        std::size_t byteCount = 0;
        const int result = mpg123_decode_frame(handle, &frameNumber, &output, &byteCount);
        if (result == MPG123_NEW_FORMAT) {
            long rate = 0;
            int encoding = 0;
            mpg123_getformat(handle, &rate, &channels, &encoding);
            if (audio.channelCount == 0) {
                audio.sampleRate = static_cast<int>(rate);
                audio.channelCount = channels;
            }
            continue;
        }
        if (result != MPG123_OK) break;  // MPG123_NEED_MORE: the end
        const auto* samples = reinterpret_cast<const float*>(output);
        const std::size_t frameCount = byteCount / sizeof(float) / static_cast<std::size_t>(channels);
        for (std::size_t i = 0; i < frameCount; ++i) {
            for (int c = 0; c < audio.channelCount; ++c) {
                const int from = c < channels ? c : 0;
                audio.samples.push_back(samples[i * static_cast<std::size_t>(channels) +
                                                static_cast<std::size_t>(from)]);
            }
        }
    }
    return audio;
}

// ---- Ogg Vorbis from memory ----

struct MemorySource {
    const std::string* bytes;
    std::size_t position = 0;
};

size_t ReadMemory(void* destination, size_t size, size_t count, void* source) {
    auto* memory = static_cast<MemorySource*>(source);
    const std::size_t wanted = size * count;
    const std::size_t left = memory->bytes->size() - memory->position;
    const std::size_t taken = std::min(wanted, left);
    std::memcpy(destination, memory->bytes->data() + memory->position, taken);
    memory->position += taken;
    return size > 0 ? taken / size : 0;
}

int SeekMemory(void* source, ogg_int64_t offset, int whence) {
    auto* memory = static_cast<MemorySource*>(source);
    const auto size = static_cast<ogg_int64_t>(memory->bytes->size());
    ogg_int64_t target = offset;
    if (whence == SEEK_CUR) target += static_cast<ogg_int64_t>(memory->position);
    if (whence == SEEK_END) target += size;
    if (target < 0 || target > size) return -1;
    memory->position = static_cast<std::size_t>(target);
    return 0;
}

long TellMemory(void* source) {
    return static_cast<long>(static_cast<MemorySource*>(source)->position);
}

class VorbisFile {
  public:
    explicit VorbisFile(const std::string& bytes) : source_{&bytes} {
        const ov_callbacks callbacks{ReadMemory, SeekMemory, nullptr, TellMemory};
        open_ = ov_open_callbacks(&source_, &file_, nullptr, 0, callbacks) == 0;
    }
    ~VorbisFile() {
        if (open_) ov_clear(&file_);
    }
    VorbisFile(const VorbisFile&) = delete;
    VorbisFile& operator=(const VorbisFile&) = delete;

    std::vector<OggLink> DecodeLinks() {
        std::vector<OggLink> links;
        if (!open_) return links;
        for (long i = 0; i < ov_streams(&file_); ++i) links.push_back(DescribeLink(i));
        float** pcm = nullptr;
        int link = 0;
        for (;;) {
            const long frames = ov_read_float(&file_, &pcm, 4096, &link);
            if (frames == OV_HOLE) continue;
            if (frames <= 0 || link < 0 || static_cast<std::size_t>(link) >= links.size()) break;
            DecodedAudio& audio = links[static_cast<std::size_t>(link)].audio;
            for (long i = 0; i < frames; ++i) {
                for (int c = 0; c < audio.channelCount; ++c) audio.samples.push_back(pcm[c][i]);
            }
        }
        return links;
    }

  private:
    OggLink DescribeLink(long index) {
        OggLink link;
        link.serial = ov_serialnumber(&file_, static_cast<int>(index));
        if (const vorbis_info* info = ov_info(&file_, static_cast<int>(index))) {
            link.audio.sampleRate = static_cast<int>(info->rate);
            link.audio.channelCount = info->channels;
        }
        if (const vorbis_comment* comments = ov_comment(&file_, static_cast<int>(index))) {
            for (int i = 0; i < comments->comments; ++i) {
                link.comments.emplace_back(comments->user_comments[i],
                                           static_cast<std::size_t>(comments->comment_lengths[i]));
            }
        }
        return link;
    }

    MemorySource source_;
    OggVorbis_File file_{};
    bool open_ = false;
};

}  // namespace

std::vector<float> DecodedAudio::Channel(int channel) const {
    std::vector<float> values;
    if (channel < 0 || channel >= channelCount) return values;
    values.reserve(frameCount());
    for (std::size_t i = static_cast<std::size_t>(channel); i < samples.size();
         i += static_cast<std::size_t>(channelCount)) {
        values.push_back(samples[i]);
    }
    return values;
}

DecodedAudio DecodeMp3(const std::string& bytes) {
    return DecodeWithMpg123(bytes);
}

std::string OggLink::Comment(const std::string& key) const {
    for (const std::string& comment : comments) {
        if (comment.size() > key.size() && comment[key.size()] == '=' &&
            strncasecmp(comment.c_str(), key.c_str(), key.size()) == 0) {
            return comment.substr(key.size() + 1);
        }
    }
    return "";
}

bool OggLink::HasComment(const std::string& key) const {
    return std::any_of(comments.begin(), comments.end(), [&](const std::string& comment) {
        return comment.size() >= key.size() + 1 && comment[key.size()] == '=' &&
               strncasecmp(comment.c_str(), key.c_str(), key.size()) == 0;
    });
}

std::vector<OggLink> DecodeOgg(const std::string& bytes) {
    return VorbisFile(bytes).DecodeLinks();
}

std::vector<OggPageInfo> ParseOggPages(const std::string& bytes) {
    std::vector<OggPageInfo> pages;
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    // libogg hands out no buffer for 0 bytes.
    if (char* buffer = ogg_sync_buffer(&sync, static_cast<long>(bytes.size())); buffer != nullptr) {
        std::memcpy(buffer, bytes.data(), bytes.size());
        ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    }
    std::size_t offset = 0;
    ogg_page page;
    for (;;) {
        // Positive: a page (checksum verified) of that many bytes; negative: bytes skipped.
        const long step = ogg_sync_pageseek(&sync, &page);
        if (step == 0) break;
        if (step > 0) {
            OggPageInfo info;
            info.serial = ogg_page_serialno(&page);
            info.beginsStream = ogg_page_bos(&page) != 0;
            info.endsStream = ogg_page_eos(&page) != 0;
            info.granule = ogg_page_granulepos(&page);
            info.offset = offset;
            info.byteCount = static_cast<std::size_t>(step);
            pages.push_back(info);
        }
        offset += static_cast<std::size_t>(step > 0 ? step : -step);
    }
    ogg_sync_clear(&sync);
    return pages;
}

SineGenerator::SineGenerator(int sampleRate, std::vector<double> toneHzPerChannel, float amplitude)
    : sampleRate_(sampleRate), toneHz_(std::move(toneHzPerChannel)), amplitude_(amplitude) {}

std::vector<float> SineGenerator::Next(int frameCount) {
    std::vector<float> block;
    block.reserve(static_cast<std::size_t>(frameCount) * toneHz_.size());
    for (int i = 0; i < frameCount; ++i, ++nextFrame_) {
        const double seconds = static_cast<double>(nextFrame_) / sampleRate_;
        for (const double hz : toneHz_) {
            block.push_back(amplitude_ *
                            static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * seconds)));
        }
    }
    return block;
}

double EstimateToneHz(const std::vector<float>& monoSamples, int sampleRate,
                      std::size_t skipFrames) {
    double first = -1.0;
    double last = -1.0;
    std::size_t crossings = 0;
    for (std::size_t i = std::max<std::size_t>(skipFrames, 1); i < monoSamples.size(); ++i) {
        const float before = monoSamples[i - 1];
        const float now = monoSamples[i];
        if (before < 0.0f && now >= 0.0f) {
            const double at = static_cast<double>(i - 1) + before / (before - now);
            if (first < 0.0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2 || last <= first) return 0.0;
    return static_cast<double>(crossings - 1) * sampleRate / (last - first);
}

double RootMeanSquare(const std::vector<float>& samples, std::size_t skipFrames) {
    if (skipFrames >= samples.size()) return 0.0;
    double sum = 0.0;
    for (std::size_t i = skipFrames; i < samples.size(); ++i) sum += samples[i] * samples[i];
    return std::sqrt(sum / static_cast<double>(samples.size() - skipFrames));
}
