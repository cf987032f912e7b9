// The Ogg Vorbis decoder: titles from comments, chained streams, sample hand-over, clipping, the
// end of the input and the decoder thread's start and join.
#include <gtest/gtest.h>
#include <ogg/ogg.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/status.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "tests/support/audio_check.h"
#include "tests/support/log_lines.h"
#include "tests/support/noise.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/opus_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

// Bytes handed to the decoder as the ring buffer would: a read waits until all the bytes it asks
// for are there, and returns fewer only once the input has ended. A wait is bounded so that a
// decoder that never ends fails the test instead of hanging it.
class TestByteSource final : public OggByteSource {
  public:
    explicit TestByteSource(std::string bytes = {}, bool ended = true)
        : bytes_(std::move(bytes)), ended_(ended) {}

    std::size_t Read(void* dest, std::size_t byteCount) override {
        std::unique_lock<std::mutex> hold(mutex_);
        const bool ready = changed_.wait_for(hold, std::chrono::seconds(30), [&] {
            const bool enough = ended_ || bytes_.size() - position_ >= byteCount;
            waiting_ = !enough;
            sizeSeenWaiting_ = bytes_.size();
            return enough;
        });
        if (!ready) timedOut_ = true;
        waiting_ = false;
        const std::size_t delivered = std::min(byteCount, bytes_.size() - position_);
        std::memcpy(dest, bytes_.data() + position_, delivered);
        position_ += delivered;
        return delivered;
    }

    void Append(const std::string& bytes) {
        std::lock_guard<std::mutex> hold(mutex_);
        bytes_ += bytes;
        changed_.notify_all();
    }
    void End() {
        std::lock_guard<std::mutex> hold(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    bool TimedOut() {
        std::lock_guard<std::mutex> hold(mutex_);
        return timedOut_;
    }
    // True once a read has seen every byte appended so far and waits for more.
    bool WaitUntilReaderBlocked(int timeoutMs) {
        return WaitUntil(
            [&] {
                std::lock_guard<std::mutex> hold(mutex_);
                return waiting_ && sizeSeenWaiting_ == bytes_.size();
            },
            std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(5));
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string bytes_;
    std::size_t position_ = 0;
    bool ended_;
    bool timedOut_ = false;
    bool waiting_ = false;
    std::size_t sizeSeenWaiting_ = 0;
};

// One block as it reached the sample intake, with the engine's view at that moment.
struct DeliveredBlock {
    int frameCount;
    int channelCount;
    int sampleRate;
    std::string titleAtDelivery;
    std::vector<float> samples;
};

std::vector<DeliveredBlock> delivered;
std::vector<std::string> reportedTitles;
std::vector<std::string> reportedFormats;
std::vector<std::string> mainStatusTexts;

int RecordBlock(const float* samples, int frameCount, int channelCount, int sampleRate) {
    delivered.push_back({frameCount, channelCount, sampleRate, Engine().titles.current.c_str(),
                         std::vector<float>(samples, samples + frameCount * channelCount)});
    return 1;
}

// Records the block, then lets the engine's intake convert it (the engine being "connected" with
// no encoder, so nothing is encoded or sent).
std::vector<std::pair<int, int>> intakeAfterBlock;  // lastInputRate, resamplerReady
int RecordAndTakeIn(const float* samples, int frameCount, int channelCount, int sampleRate) {
    RecordBlock(samples, frameCount, channelCount, sampleRate);
    const int result = ProcessSamples(samples, frameCount, channelCount, sampleRate);
    intakeAfterBlock.emplace_back(Engine().encoder.lastInputRate, Engine().encoder.resamplerReady);
    return result;
}

class OggDecoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLogger();
        SetLogPath(logDir_.file("transcoder.log").c_str());
        SetLogLevel(LOG_DEBUG);
        ResetEngineState();
        ResetVorbisDecoderState();
        ClearFrontEndSlots();
        delivered.clear();
        reportedTitles.clear();
        reportedFormats.clear();
        mainStatusTexts.clear();
        intakeAfterBlock.clear();
        FrontEnd().metadata = [](const char* text) { reportedTitles.emplace_back(text); };
        FrontEnd().inputBitrate = [](const char* text) { reportedFormats.emplace_back(text); };
        FrontEnd().mainStatus = [](const char* text) { mainStatusTexts.emplace_back(text); };
        VorbisDecoder().sampleConsumer = RecordBlock;
    }
    void TearDown() override {
        ResetVorbisDecoderState();
        ResetEngineState();
        ClearFrontEndSlots();
        ResetLogger();
    }

    std::string LogText() const { return ReadWholeFile(logDir_.file("transcoder.log")); }

    static void DecodeAll(const std::string& bytes) {
        TestByteSource source(bytes);
        vorbis_decoder_thread(&source);
        EXPECT_FALSE(source.TimedOut());
    }
    // On the decoder thread, the bytes arriving in chunks as from the network.
    static void DecodeOnThreadInChunks(const std::string& bytes) {
        TestByteSource source({}, /*ended=*/false);
        ASSERT_EQ(StartVorbisDecoder(&source), 1);
        std::thread writer([&] {
            for (std::size_t at = 0; at < bytes.size(); at += 1460)
                source.Append(bytes.substr(at, 1460));
            source.End();
        });
        writer.join();
        JoinVorbisDecoder();
        EXPECT_FALSE(source.TimedOut());
    }
    static int FramesAt(int sampleRate) {
        int frames = 0;
        for (const DeliveredBlock& block : delivered) {
            if (block.sampleRate == sampleRate) frames += block.frameCount;
        }
        return frames;
    }

    TempDir logDir_;
};

struct CommentCase {
    const char* name;
    std::vector<std::string> comments;
    const char* expectedTitle;
};

// Vorbis comments and OpusTags carry the title alike.
std::string OpusWithComments(const std::vector<std::string>& comments) {
    OpusLinkSpec link;
    link.frameCount = 4800;
    link.comments = comments;
    return MakeOggOpus({link});
}

TEST_F(OggDecoderTest, TitleComesFromArtistAndTitleComments) {
    const CommentCase cases[] = {
        {"both", {"ARTIST=The Band", "TITLE=A Song"}, "The Band - A Song"},
        {"artist only", {"ARTIST=The Band"}, "The Band"},
        {"title only", {"TITLE=A Song"}, "A Song"},
        {"any letter case", {"aRtIsT=Mixed", "title=Case"}, "Mixed - Case"},
        {"later replaces earlier", {"ARTIST=First", "TITLE=One", "ARTIST=Second"}, "Second - One"},
        {"value with equals signs", {"TITLE=a=b", "ARTIST=x=y"}, "x=y - a=b"},
        {"empty title", {"ARTIST=The Band", "TITLE="}, "The Band"},
        // Without an artist or a title there is no title to send: none is set or reported.
        {"neither", {"ALBUM=Record", "GENRE=Pop"}, ""},
        {"no comments", {}, ""},
        {"name longer than the key", {"ARTISTS=Many", "TITLES=Several"}, ""},
        {"no equals sign", {"ARTIST", "TITLE"}, ""},
        {"empty values", {"ARTIST=", "TITLE="}, ""},
    };
    const std::pair<const char*, std::string (*)(const std::vector<std::string>&)> codecs[] = {
        {"Vorbis",
         [](const std::vector<std::string>& comments) {
             return MakeOggVorbisWithComments(comments);
         }},
        {"Opus", OpusWithComments},
    };
    for (const auto& [codec, make] : codecs) {
        for (const CommentCase& testCase : cases) {
            SCOPED_TRACE(std::string(codec) + ": " + testCase.name);
            const std::string bytes = make(testCase.comments);
            // libopusenc writes no comment without an equals sign.
            if (bytes.empty() && std::string(codec) == "Opus" &&
                std::string(testCase.name) == "no equals sign") {
                continue;
            }
            ASSERT_FALSE(bytes.empty());
            ResetEngineState();
            reportedTitles.clear();
            delivered.clear();
            DecodeAll(bytes);
            const std::string expected = testCase.expectedTitle;
            EXPECT_EQ(Engine().titles.current.c_str(), expected);
            EXPECT_EQ(reportedTitles, expected.empty() ? std::vector<std::string>{}
                                                       : std::vector<std::string>{expected});
            ASSERT_FALSE(delivered.empty());
            EXPECT_EQ(delivered.front().titleAtDelivery, expected);
        }
    }
    const std::string log = LogText();
    EXPECT_NE(log.find("Debug(oggvdecoder:"), std::string::npos);
    EXPECT_NE(log.find("StreamTitle = (The Band - A Song)"), std::string::npos);
    EXPECT_NE(log.find("Going into EOF loop"), std::string::npos);
}

TEST_F(OggDecoderTest, OverlongCommentsAreCutWithoutOverflow) {
    const std::string longArtist(5000, 'a');
    DecodeAll(MakeOggVorbisWithComments({"ARTIST=" + longArtist, "TITLE=t"}));
    // Artist and title are each cut to 1023 characters before they are joined.
    EXPECT_LE(Engine().titles.current.size(), 1023u);
    ASSERT_EQ(reportedTitles.size(), 1u);
    EXPECT_EQ(reportedTitles[0], std::string(1023, 'a') + " - t");
}

TEST_F(OggDecoderTest, ChainedStreamSetsEachTitleBeforeItsSamplesAndFollowsRateAndChannels) {
    OggLinkSpec first{44100, 2, 20000, 440.0, 0.5f, {"ARTIST=One", "TITLE=First"}};
    OggLinkSpec second{22050, 1, 15000, 330.0, 0.5f, {"ARTIST=Two", "TITLE=Second"}};
    OggLinkSpec third{44100, 2, 10000, 550.0, 0.5f, {"TITLE=Third"}};
    const std::string bytes = MakeOggVorbis({first, second, third});
    ASSERT_FALSE(bytes.empty());

    EngineState& engine = Engine();
    engine.destination.connected =
        1;  // no encoder is set up: the intake converts, DoEncoding sends nothing
    engine.settings.sampleRate = 44100;
    engine.settings.channels = 2;
    VorbisDecoder().sampleConsumer = RecordAndTakeIn;
    DecodeAll(bytes);

    EXPECT_EQ(reportedTitles, (std::vector<std::string>{"One - First", "Two - Second", "Third"}));
    EXPECT_EQ(reportedFormats,
              (std::vector<std::string>{"44100Hz/Stereo Vorbis", "22050Hz/Mono Vorbis",
                                        "44100Hz/Stereo Vorbis"}));
    EXPECT_STREQ(engine.titles.sourceDescription.c_str(), "44100Hz/Stereo Vorbis");

    // Every sample of every link arrives, each block under its own link's title and format.
    ASSERT_FALSE(delivered.empty());
    int link = 0;
    const OggLinkSpec* links[] = {&first, &second, &third};
    const char* titles[] = {"One - First", "Two - Second", "Third"};
    int framesInLink = 0;
    for (std::size_t i = 0; i < delivered.size(); ++i) {
        const DeliveredBlock& block = delivered[i];
        if (block.titleAtDelivery != titles[link]) {
            EXPECT_EQ(framesInLink, links[link]->frameCount) << "link " << link;
            ++link;
            framesInLink = 0;
            ASSERT_LT(link, 3);
        }
        SCOPED_TRACE("block " + std::to_string(i) + " of link " + std::to_string(link));
        EXPECT_EQ(block.titleAtDelivery, titles[link]);
        EXPECT_EQ(block.sampleRate, links[link]->sampleRate);
        EXPECT_EQ(block.channelCount, links[link]->channelCount);
        framesInLink += block.frameCount;
        // The intake follows the rate: a resampler for 22050 Hz, none at the output rate.
        EXPECT_EQ(intakeAfterBlock[i].first, block.sampleRate);
        EXPECT_EQ(intakeAfterBlock[i].second, block.sampleRate != 44100 ? 1 : 0);
    }
    EXPECT_EQ(link, 2);
    EXPECT_EQ(framesInLink, third.frameCount);
}

TEST_F(OggDecoderTest, LoudSamplesArriveClippedToFullScale) {
    const std::pair<const char*, std::string> loudStreams[] = {
        {"Vorbis", MakeOggVorbis({{44100, 2, 8192, 440.0, 1.6f, {}}})},
        {"Opus", MakeOggOpus({{48000, 2, 24000, 440.0, 1.6f, {}}})},
    };
    for (const auto& [codec, bytes] : loudStreams) {
        SCOPED_TRACE(codec);
        delivered.clear();
        DecodeAll(bytes);
        ASSERT_FALSE(delivered.empty());
        float highest = 0.0f;
        float lowest = 0.0f;
        for (const DeliveredBlock& block : delivered) {
            for (float value : block.samples) {
                highest = std::max(highest, value);
                lowest = std::min(lowest, value);
            }
        }
        EXPECT_EQ(highest, 1.0f);
        EXPECT_EQ(lowest, -1.0f);
    }
}

struct OutputCase {
    const char* name;
    int channelCount;
    int sampleRate;
    const char* expectedFormat;
    int expectedChannels;
    std::vector<float> expectedSamples;
};

TEST_F(OggDecoderTest, HandleOutputInterleavesClipsAndDescribes) {
    // Three samples per channel; channel c holds values around c + 1 so each channel is visible.
    const float channel0[] = {0.25f, 1.5f, -3.0f};
    const float channel1[] = {-0.5f, 0.75f, 2.0f};
    const float channel2[] = {0.125f, 0.125f, 0.125f};
    const float* channels[] = {channel0, channel1, channel2};
    const OutputCase cases[] = {
        {"stereo", 2, 44100, "44100Hz/Stereo Vorbis", 2, {0.25f, -0.5f, 1.0f, 0.75f, -1.0f, 1.0f}},
        {"mono", 1, 22050, "22050Hz/Mono Vorbis", 1, {0.25f, 1.0f, -1.0f}},
        {"three channels pass the first two as stereo",
         3,
         48000,
         "48000Hz/ Vorbis",
         2,
         {0.25f, -0.5f, 1.0f, 0.75f, -1.0f, 1.0f}},
    };
    for (const OutputCase& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        delivered.clear();
        reportedFormats.clear();
        VorbisDecoder().vorbisChannels = testCase.channelCount;
        VorbisDecoder().vorbisSampleRate = testCase.sampleRate;
        handle_output(channels, 3);
        handle_output(channels, 3);  // the same format is reported once
        ASSERT_EQ(delivered.size(), 2u);
        EXPECT_EQ(delivered[0].frameCount, 3);
        EXPECT_EQ(delivered[0].channelCount, testCase.expectedChannels);
        EXPECT_EQ(delivered[0].sampleRate, testCase.sampleRate);
        EXPECT_EQ(delivered[0].samples, testCase.expectedSamples);
        EXPECT_EQ(reportedFormats, std::vector<std::string>{testCase.expectedFormat});
        EXPECT_STREQ(Engine().titles.sourceDescription.c_str(), testCase.expectedFormat);
    }
}

TEST_F(OggDecoderTest, WideStreamDecodesAsStereo) {
    OggLinkSpec quad{48000, 4, 6000, 440.0, 0.5f, {"TITLE=Wide"}};
    DecodeAll(MakeOggVorbis({quad}));
    ASSERT_FALSE(delivered.empty());
    int frames = 0;
    for (const DeliveredBlock& block : delivered) {
        EXPECT_EQ(block.channelCount, 2);
        EXPECT_EQ(block.samples.size(), static_cast<std::size_t>(block.frameCount) * 2);
        frames += block.frameCount;
    }
    EXPECT_EQ(frames, 6000);
    EXPECT_EQ(reportedFormats, std::vector<std::string>{"48000Hz/ Vorbis"});
}

TEST_F(OggDecoderTest, TruncatedOrDamagedStreamsEndWithoutCrashing) {
    OggLinkSpec first{44100, 2, 100000, 440.0, 0.5f, {"TITLE=One"}};
    OggLinkSpec second{32000, 1, 100000, 440.0, 0.5f, {"TITLE=Two"}};
    const std::string whole = MakeOggVorbis({first, second});
    ASSERT_GT(whole.size(), 12000u);

    std::vector<std::pair<std::string, std::string>> inputs;
    for (std::size_t cut : {std::size_t{30}, std::size_t{3000}, whole.size() / 3, whole.size() / 2,
                            whole.size() - 7}) {
        inputs.emplace_back("cut at " + std::to_string(cut), whole.substr(0, cut));
    }
    std::string scrambled = whole;
    for (std::size_t i = 5000; i < scrambled.size(); i += 997) scrambled[i] ^= 0x5a;
    inputs.emplace_back("bytes flipped", scrambled);
    std::string gap = whole;
    gap.erase(whole.size() / 4, 2000);
    inputs.emplace_back("bytes missing", gap);

    for (const auto& [name, bytes] : inputs) {
        SCOPED_TRACE(name);
        delivered.clear();
        DecodeAll(bytes);
        EXPECT_LE(FramesAt(44100), first.frameCount);
        EXPECT_LE(FramesAt(32000), second.frameCount);
    }
}

// Each refusal is one Error line naming the cause, and the status text; a stream that does not
// even begin with a page is refused at its first four bytes, without waiting for more.
TEST_F(OggDecoderTest, InputThatIsNotOggIsReported) {
    struct NotOggCase {
        const char* name;
        std::string bytes;
        bool moreWillCome;  // the source has not ended: only the first bytes may be read
        const char* error;
    };
    Noise noise(3);
    std::string pagesOfNoise;
    while (pagesOfNoise.size() < 100000) pagesOfNoise += "OggS" + noise.Bytes(noise.Below(300));
    const NotOggCase cases[] = {
        {"letters", std::string(100000, 'x'), true,
         "it does not begin with an Ogg page (its first bytes are \"xxxx\")"},
        {"an error page", "<html>404 Not Found</html>", false,
         "it does not begin with an Ogg page (its first bytes are \"<htm\")"},
        {"control bytes", std::string("\r\n\x1b[") + std::string(100, 'y'), true,
         "it does not begin with an Ogg page (its first bytes are \"???[\")"},
        // Pages in name only: searched for the start of a stream, for a bounded number of bytes.
        {"capture patterns and noise", pagesOfNoise, true, "no Ogg stream begins in its first"},
    };
    for (const NotOggCase& c : cases) {
        SCOPED_TRACE(c.name);
        mainStatusTexts.clear();
        const std::size_t logBefore = LogText().size();
        TestByteSource source(c.bytes, /*ended=*/!c.moreWillCome);
        vorbis_decoder_thread(&source);
        EXPECT_EQ(mainStatusTexts,
                  std::vector<std::string>{"Input does not appear to be an Ogg bitstream."});
        EXPECT_TRUE(delivered.empty());
        const std::vector<std::string> errors = ErrorMessagesOf(LogText().substr(logBefore));
        ASSERT_EQ(errors.size(), 1u) << LogText();
        EXPECT_EQ(errors[0].rfind("Error(oggvdecoder:N): The Ogg source cannot be opened: " +
                                      std::string(c.error),
                                  0),
                  0u)
            << errors[0];
    }
}

TEST_F(OggDecoderTest, InputEndingBeforeAnyByteIsNoError) {
    DecodeAll("");
    EXPECT_TRUE(mainStatusTexts.empty());
    EXPECT_TRUE(delivered.empty());
}

TEST_F(OggDecoderTest, JoinReturnsAtOnceWhenNoThreadRuns) {
    JoinVorbisDecoder();
    EXPECT_EQ(StartVorbisDecoder(nullptr), 0);
    JoinVorbisDecoder();
}

TEST_F(OggDecoderTest, ThreadDecodesWhatIsLeftOnceTheInputEnds) {
    OggLinkSpec link{44100, 2, 40000, 440.0, 0.5f, {"ARTIST=Live"}};
    const std::string bytes = MakeOggVorbis({link});
    TestByteSource source(bytes.substr(0, bytes.size() / 2), /*ended=*/false);
    ASSERT_EQ(StartVorbisDecoder(&source), 1);
    EXPECT_EQ(StartVorbisDecoder(&source), 0);  // one decoder at a time
    ASSERT_TRUE(source.WaitUntilReaderBlocked(10000));

    source.Append(bytes.substr(bytes.size() / 2));  // the reader still waits: the end is not known
    ASSERT_TRUE(source.WaitUntilReaderBlocked(10000));
    source.End();
    JoinVorbisDecoder();
    EXPECT_FALSE(source.TimedOut());
    EXPECT_EQ(FramesAt(44100), link.frameCount);

    // A second transfer may start a new thread.
    delivered.clear();
    TestByteSource again(bytes);
    ASSERT_EQ(StartVorbisDecoder(&again), 1);
    JoinVorbisDecoder();
    EXPECT_EQ(FramesAt(44100), link.frameCount);
}

TEST_F(OggDecoderTest, ThreadEndsWhenTheInputEndsDuringTheOpen) {
    const std::string bytes = MakeOggVorbisWithComments({"TITLE=x"});
    for (std::size_t headerBytes : {std::size_t{0}, std::size_t{40}, std::size_t{2500}}) {
        SCOPED_TRACE(headerBytes);
        TestByteSource source(bytes.substr(0, headerBytes), /*ended=*/false);
        ASSERT_EQ(StartVorbisDecoder(&source), 1);
        ASSERT_TRUE(source.WaitUntilReaderBlocked(10000));
        source.End();
        JoinVorbisDecoder();
        EXPECT_FALSE(source.TimedOut());
        EXPECT_TRUE(delivered.empty());
    }
}

TEST_F(OggDecoderTest, ThreadReadsWhileTheInputArrivesInChunks) {
    OggLinkSpec first{44100, 2, 30000, 440.0, 0.5f, {"ARTIST=A", "TITLE=1"}};
    OggLinkSpec second{48000, 2, 30000, 440.0, 0.5f, {"ARTIST=B", "TITLE=2"}};
    const std::string bytes = MakeOggVorbis({first, second});
    DecodeOnThreadInChunks(bytes);
    EXPECT_EQ(FramesAt(44100), first.frameCount);
    EXPECT_EQ(FramesAt(48000), second.frameCount);
    EXPECT_EQ(reportedTitles, (std::vector<std::string>{"A - 1", "B - 2"}));
}

// ---- Ogg Opus, chains that change codec, links of other codecs ----

// The bodies of the pages from page `firstPage` on replaced by noise under a correct checksum:
// damaged packets that the Ogg layer takes as sound.
std::string WithGarbledPackets(std::string ogg, std::size_t firstPage, Noise& noise) {
    const std::vector<OggPageInfo> pages = ParseOggPages(ogg);
    for (std::size_t i = firstPage; i < pages.size(); ++i) {
        auto* header = reinterpret_cast<unsigned char*>(ogg.data() + pages[i].offset);
        const long headerLength = 27 + header[26];
        const long bodyLength = static_cast<long>(pages[i].byteCount) - headerLength;
        const std::string garbage = noise.Bytes(static_cast<std::size_t>(bodyLength));
        ogg.replace(pages[i].offset + static_cast<std::size_t>(headerLength), garbage.size(),
                    garbage);
        ogg_page page{header, headerLength, header + headerLength, bodyLength};
        ogg_page_checksum_set(&page);
    }
    return ogg;
}

std::vector<float> FirstChannelAt(int sampleRate) {
    std::vector<float> channel;
    for (const DeliveredBlock& block : delivered) {
        if (block.sampleRate != sampleRate) continue;
        for (int i = 0; i < block.frameCount; ++i) {
            channel.push_back(block.samples[static_cast<std::size_t>(i * block.channelCount)]);
        }
    }
    return channel;
}

TEST_F(OggDecoderTest, OpusDecodesAt48kHzInOneOrTwoChannels) {
    struct OpusCase {
        const char* name;
        OpusLinkSpec link;
        const char* expectedFormat;
        int expectedChannels;
        int expectedFrames;
    };
    const OpusCase cases[] = {
        {"stereo", {48000, 2, 24000, 440.0, 0.5f, {"TITLE=Two"}}, "48000Hz/Stereo Opus", 2, 24000},
        {"mono", {48000, 1, 24000, 440.0, 0.5f, {}}, "48000Hz/Mono Opus", 1, 24000},
        // More than two channels are mixed down to stereo.
        {"six channels", {48000, 6, 24000, 440.0, 0.5f, {}}, "48000Hz/ Opus", 2, 24000},
        // libopusenc takes other rates in, but the stream is 48 kHz.
        {"mono from 24 kHz audio",
         {24000, 1, 12000, 440.0, 0.5f, {}},
         "48000Hz/Mono Opus",
         1,
         24000},
    };
    for (const OpusCase& c : cases) {
        SCOPED_TRACE(c.name);
        delivered.clear();
        reportedFormats.clear();
        const std::string bytes = MakeOggOpus({c.link});
        ASSERT_FALSE(bytes.empty());
        DecodeAll(bytes);
        ASSERT_FALSE(delivered.empty());
        for (const DeliveredBlock& block : delivered) {
            EXPECT_EQ(block.sampleRate, 48000);
            EXPECT_EQ(block.channelCount, c.expectedChannels);
        }
        EXPECT_EQ(FramesAt(48000), c.expectedFrames);
        EXPECT_EQ(reportedFormats, std::vector<std::string>{c.expectedFormat});
        EXPECT_NEAR(EstimateToneHz(FirstChannelAt(48000), 48000, 4800), 440.0, 2.0);
    }
}

// Vorbis, then Opus, then Vorbis again, arriving in chunks as from the network: each link plays
// in full under its own title, and the intake follows the rate from link to link.
TEST_F(OggDecoderTest, ChainChangesCodecFromLinkToLink) {
    const OggLinkSpec first{44100, 2, 20000, 440.0, 0.5f, {"ARTIST=One", "TITLE=First"}};
    const OpusLinkSpec second{48000, 1, 30000, 660.0, 0.5f, {"ARTIST=Two", "TITLE=Second"}};
    const OggLinkSpec third{22050, 1, 15000, 550.0, 0.5f, {"TITLE=Third"}};
    const std::string bytes =
        MakeOggVorbis({first}) + MakeOggOpus({second}) + MakeOggVorbis({third}, 4800);

    EngineState& engine = Engine();
    engine.destination.connected = 1;  // no encoder: the intake converts, nothing is sent
    engine.settings.sampleRate = 44100;
    engine.settings.channels = 2;
    VorbisDecoder().sampleConsumer = RecordAndTakeIn;
    DecodeOnThreadInChunks(bytes);

    EXPECT_EQ(reportedTitles, (std::vector<std::string>{"One - First", "Two - Second", "Third"}));
    EXPECT_EQ(reportedFormats,
              (std::vector<std::string>{"44100Hz/Stereo Vorbis", "48000Hz/Mono Opus",
                                        "22050Hz/Mono Vorbis"}));
    struct Expected {
        const char* title;
        int sampleRate;
        int channelCount;
        int frameCount;
    };
    const Expected links[] = {{"One - First", 44100, 2, first.frameCount},
                              {"Two - Second", 48000, 1, second.frameCount},
                              {"Third", 22050, 1, third.frameCount}};
    std::size_t link = 0;
    int framesInLink = 0;
    ASSERT_EQ(intakeAfterBlock.size(), delivered.size());
    for (std::size_t i = 0; i < delivered.size(); ++i) {
        const DeliveredBlock& block = delivered[i];
        if (block.titleAtDelivery != links[link].title) {
            EXPECT_EQ(framesInLink, links[link].frameCount) << "link " << link;
            ++link;
            framesInLink = 0;
            ASSERT_LT(link, std::size(links));
        }
        SCOPED_TRACE("block " + std::to_string(i) + " of link " + std::to_string(link));
        EXPECT_EQ(block.titleAtDelivery, links[link].title);
        EXPECT_EQ(block.sampleRate, links[link].sampleRate);
        EXPECT_EQ(block.channelCount, links[link].channelCount);
        framesInLink += block.frameCount;
        EXPECT_EQ(intakeAfterBlock[i].first, block.sampleRate);
        EXPECT_EQ(intakeAfterBlock[i].second, block.sampleRate != 44100 ? 1 : 0);
    }
    EXPECT_EQ(link, 2u);
    EXPECT_EQ(framesInLink, third.frameCount);
    EXPECT_NEAR(EstimateToneHz(FirstChannelAt(48000), 48000, 4800), 660.0, 2.0);
}

// A link of a codec neither decoder reads ends the stream with one Error line naming it, at once:
// the thread does not wait for the input's end, and nothing after the link is decoded.
TEST_F(OggDecoderTest, LinkOfAnotherCodecIsRefusedByName) {
    struct CodecCase {
        const char* name;
        std::string firstPacket;
        const char* named;
    };
    const CodecCase codecs[] = {
        {"FLAC", kOggFlacFirstPacket, "FLAC"},
        {"Speex", "Speex   1.2rc1" + std::string(66, '\0'), "Speex"},
        {"unknown", "\x05mystery", "an unknown codec (its first bytes are \"?mystery\")"},
    };
    const OggLinkSpec vorbis{44100, 2, 10000, 440.0, 0.5f, {"TITLE=Before"}};
    const std::string vorbisLink = MakeOggVorbis({vorbis});
    for (const bool afterVorbis : {false, true}) {
        for (const CodecCase& c : codecs) {
            SCOPED_TRACE(std::string(c.name) + (afterVorbis ? " after a Vorbis link" : " first"));
            delivered.clear();
            mainStatusTexts.clear();
            const std::string other =
                OggLinkOfPackets(77, {c.firstPacket, std::string(300, 'a'), std::string(300, 'b')});
            const std::string bytes =
                (afterVorbis ? vorbisLink : std::string()) + other + MakeOggVorbis({vorbis}, 99);
            const std::size_t logBefore = LogText().size();
            TestByteSource source(bytes, /*ended=*/false);
            vorbis_decoder_thread(&source);
            EXPECT_FALSE(source.TimedOut());
            EXPECT_EQ(FramesAt(44100), afterVorbis ? vorbis.frameCount : 0);
            const std::vector<std::string> errors = ErrorMessagesOf(LogText().substr(logBefore));
            EXPECT_EQ(errors,
                      std::vector<std::string>{"Error(oggvdecoder:N): The Ogg source carries " +
                                               std::string(c.named) +
                                               ", which is neither Vorbis nor Opus: it "
                                               "cannot be played, the transfer ends"});
        }
    }
}

// Junk, stray pages, links cut short and damaged Opus packets cost what they hit and no more:
// the other links of the chain play in full, and nothing crashes or waits. (A first link that
// cannot be opened refuses the whole source: the hostile input tests hold that.)
TEST_F(OggDecoderTest, DamageInAChainCostsOnlyTheLinkItHits) {
    // Noise makes pages enough to cut the link in its audio.
    const OggLinkSpec vorbisA{44100, 2, 150000, 440.0, 0.5f, {"TITLE=A"}, 0.2f};
    const OpusLinkSpec opusB{48000, 2, 30000, 660.0, 0.5f, {"TITLE=B"}};
    const OggLinkSpec vorbisC{22050, 1, 15000, 550.0, 0.5f, {"TITLE=C"}};
    const std::string a = MakeOggVorbis({vorbisA});
    const std::string b = MakeOggOpus({opusB});
    const std::string c = MakeOggVorbis({vorbisC}, 4800);
    const std::vector<OggPageInfo> vorbisPages = ParseOggPages(a);
    const std::vector<OggPageInfo> opusPages = ParseOggPages(b);
    ASSERT_GT(vorbisPages.size(), 5u);
    ASSERT_GT(opusPages.size(), 4u);
    const OggPageInfo& lateVorbisPage = vorbisPages[vorbisPages.size() - 2];
    Noise noise(5);
    struct DamageCase {
        const char* name;
        std::string bytes;
        bool opusWhole;
        bool firstWhole;
    };
    const DamageCase cases[] = {
        {"junk between links", a + noise.Bytes(3000) + b + noise.Bytes(500) + c, true, true},
        {"stray page between links", a + OggLinkOfPackets(5, {"x", "y"}).substr(28 + 1) + b + c,
         true, true},
        {"first link cut short", a.substr(0, lateVorbisPage.offset + 10) + b + c, true, false},
        {"Opus link cut short", a + b.substr(0, b.size() / 2) + c, false, true},
        {"Opus link cut in its headers",
         a + b.substr(0, opusPages[1].offset + opusPages[1].byteCount / 2) + c, false, true},
        {"Opus packets garbled", a + WithGarbledPackets(b, 3, noise) + c, false, true},
    };
    for (const DamageCase& d : cases) {
        SCOPED_TRACE(d.name);
        delivered.clear();
        DecodeAll(d.bytes);
        if (d.firstWhole) {
            EXPECT_EQ(FramesAt(44100), vorbisA.frameCount);
        } else {
            EXPECT_LT(FramesAt(44100), vorbisA.frameCount);
        }
        if (d.opusWhole) {
            EXPECT_EQ(FramesAt(48000), opusB.frameCount);
        } else {
            EXPECT_LT(FramesAt(48000), opusB.frameCount);
        }
        EXPECT_EQ(FramesAt(22050), vorbisC.frameCount);
        for (const DeliveredBlock& block : delivered) {
            for (float value : block.samples) ASSERT_TRUE(value >= -1.0f && value <= 1.0f);
        }
    }
}

}  // namespace
