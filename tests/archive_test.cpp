// The archive: file names from the description and a fixed clock, where and when the file is
// created (the directory, the first byte), the refusals, the WAV file the sample intake writes
// (PCM values, header sizes and rate, a new file per rate and before the size fields would
// overflow), and a full disk (a file-size limit in a child process). The engine is marked
// connected without a server and without an encoder, so only the archive sees the blocks.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "tests/support/audio_check.h"
#include "tests/support/child_process.h"
#include "tests/support/engine_session.h"
#include "tests/support/log_lines.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

std::tm MakeLocalTime(int year, int month, int day, int weekday, int hour, int minute, int second) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_wday = weekday;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

const std::tm kTuesday16December = MakeLocalTime(2025, 12, 16, 2, 9, 5, 7);
const std::tm kMonday8December = MakeLocalTime(2025, 12, 8, 1, 23, 59, 0);

std::tm fixedTime = kTuesday16December;
std::tm FixedClock() {
    return fixedTime;
}

std::uint32_t ReadLittleEndian(const std::string& bytes, std::size_t offset, int byteCount) {
    std::uint32_t value = 0;
    for (int i = byteCount - 1; i >= 0; --i) {
        value =
            value << 8 | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
    }
    return value;
}

std::vector<std::int16_t> PcmOf(const std::string& wav) {
    std::vector<std::int16_t> values;
    for (std::size_t i = 44; i + 1 < wav.size(); i += 2) {
        values.push_back(static_cast<std::int16_t>(ReadLittleEndian(wav, i, 2)));
    }
    return values;
}

class ArchiveTest : public EngineSessionTest {
  protected:
    void SetUp() override {
        EngineSessionTest::SetUp();
        fixedTime = kTuesday16December;
        SetArchiveClock(FixedClock);
        EngineState& engine = Engine();
        engine.settings.serverDescription.assign("Radio One");
        engine.settings.saveDirectory.assign(archiveDir_.path());
        engine.settings.saveArchives = 1;
        engine.settings.isLame = 1;
        engine.settings.sampleRate = 44100;
        engine.settings.channels = 2;
    }
    void TearDown() override {
        SetArchiveClock(nullptr);
        EngineSessionTest::TearDown();
    }

    // WAV archiving with the engine marked connected (no server, no encoder).
    static void StartWavArchive() {
        EngineState& engine = Engine();
        engine.settings.saveAsWav = 1;
        engine.settings.isLame = 0;
        engine.destination.connected = 1;
        WantArchive();
    }

    // What a connection that keeps an archive does with the bytes it sends.
    static void Send(const std::string& bytes) {
        WantArchive();
        AppendToArchive(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }

    // The Error lines of the log that contain the text.
    std::size_t ErrorLinesWith(const std::string& text) const {
        std::size_t count = 0;
        for (const std::string& line : SplitLines(LogText())) {
            if (line.find("Error(") != std::string::npos && line.find(text) != std::string::npos) {
                ++count;
            }
        }
        return count;
    }

    std::vector<std::string> ArchiveNames() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(archiveDir_.path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string Archive(const std::string& name) const {
        return ReadWholeFile(archiveDir_.file(name));
    }

    TempDir archiveDir_;
};

// ---- names ----

struct NameCase {
    const char* name;
    const char* description;
    std::tm localTime;
    int saveAsWav;
    int isOggVorbis;
    int isLame;
    const char* expected;
    int isOpus = 0;
};
void PrintTo(const NameCase& c, std::ostream* out) {
    *out << c.name;
}

class ArchiveNameTest : public ArchiveTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(ArchiveNameTest, FollowsDescriptionTimeAndFormat) {
    const NameCase& c = GetParam();
    EngineState& engine = Engine();
    engine.settings.serverDescription.assign(c.description);
    engine.settings.saveAsWav = c.saveAsWav;
    engine.settings.isOggVorbis = c.isOggVorbis;
    engine.settings.isLame = c.isLame;
    engine.settings.isOpus = c.isOpus;
    fixedTime = c.localTime;
    EXPECT_EQ(ArchiveFileName(c.localTime), c.expected);

    Send("x");
    CloseArchiveFile();
    EXPECT_EQ(ArchiveNames(), std::vector<std::string>{c.expected});
}

INSTANTIATE_TEST_SUITE_P(
    Table, ArchiveNameTest,
    ::testing::Values(NameCase{"Mp3", "Radio One", kTuesday16December, 0, 0, 1,
                               "Radio One_Tue Dec 16 090507 2025.mp3"},
                      NameCase{"Ogg", "Radio One", kTuesday16December, 0, 1, 0,
                               "Radio One_Tue Dec 16 090507 2025.ogg"},
                      NameCase{"Opus", "Radio One", kTuesday16December, 0, 0, 0,
                               "Radio One_Tue Dec 16 090507 2025.opus", 1},
                      NameCase{"WavWinsOverOgg", "Radio One", kTuesday16December, 1, 1, 0,
                               "Radio One_Tue Dec 16 090507 2025.wav"},
                      NameCase{"NoFormatNoExtension", "Radio One", kTuesday16December, 0, 0, 0,
                               "Radio One_Tue Dec 16 090507 2025"},
                      NameCase{"SingleDigitDayKeepsItsPadding", "Radio One", kMonday8December, 0, 0,
                               1, "Radio One_Mon Dec  8 235900 2025.mp3"},
                      NameCase{"SlashAndColonRemoved", "Jazz/Soul: Live", kTuesday16December, 0, 0,
                               1, "JazzSoul Live_Tue Dec 16 090507 2025.mp3"},
                      NameCase{"DoubleQuotesBecomeSingle", "The \"Best\" Radio", kTuesday16December,
                               0, 0, 1, "The 'Best' Radio_Tue Dec 16 090507 2025.mp3"},
                      NameCase{"OtherReservedCharactersRemoved", "a*b?c<d>e|f\\g h",
                               kTuesday16December, 0, 0, 1,
                               "abcdef\\g h_Tue Dec 16 090507 2025.mp3"},
                      NameCase{"ControlBytesRemoved", "Radio\tOne\r\x01\x1b[2J\x7f",
                               kTuesday16December, 0, 0, 1,
                               "RadioOne[2J_Tue Dec 16 090507 2025.mp3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ArchiveTest, ArchiveBegunInTheSameSecondGetsANumberInsteadOfOverwriting) {
    Send("first");
    CloseArchiveFile();
    Send("second");
    CloseArchiveFile();
    EXPECT_EQ(ArchiveNames(), (std::vector<std::string>{"Radio One_Tue Dec 16 090507 2025-2.mp3",
                                                        "Radio One_Tue Dec 16 090507 2025.mp3"}));
    EXPECT_EQ(Archive("Radio One_Tue Dec 16 090507 2025.mp3"), "first");
    EXPECT_EQ(Archive("Radio One_Tue Dec 16 090507 2025-2.mp3"), "second");
}

// ---- where and when ----

TEST_F(ArchiveTest, AConnectionWithoutDataLeavesNoFile) {
    // A login that fails: the login text goes out, no stream bytes follow.
    WantArchive();
    EXPECT_EQ(Engine().archive.file, nullptr);
    CloseArchiveFile();
    EXPECT_TRUE(ArchiveNames().empty());
    Send("data");
    EXPECT_NE(Engine().archive.file, nullptr);
    CloseArchiveFile();
    EXPECT_EQ(ArchiveNames().size(), 1u);
}

TEST_F(ArchiveTest, AnEmptyDirectoryIsTheWorkingDirectory) {
    Engine().settings.saveDirectory.clear();
    const std::string name = "Radio One_Tue Dec 16 090507 2025.mp3";
    // In a child: the working directory is the process's.
    const ChildResult result = RunInChild([&] {
        if (chdir(archiveDir_.path().c_str()) != 0) _exit(3);
        Send("here");
        CloseArchiveFile();
        _exit(0);
    });
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(Archive(name), "here");
    EXPECT_NE(access(("/" + name).c_str(), F_OK), 0);
}

TEST_F(ArchiveTest, AMissingDirectoryIsCreatedWithItsParents) {
    const std::string directory = archiveDir_.file("station/2025/december");
    Engine().settings.saveDirectory.assign(directory);
    Send("kept");
    CloseArchiveFile();
    EXPECT_EQ(ReadWholeFile(directory + "/Radio One_Tue Dec 16 090507 2025.mp3"), "kept");
    const mode_t mask = umask(0);
    umask(mask);
    for (const std::string& made : {archiveDir_.file("station"), directory}) {
        struct stat status {};
        ASSERT_EQ(stat(made.c_str(), &status), 0) << made;
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(status.st_mode & 0777, 0755 & ~mask) << made;
    }
    EXPECT_EQ(ErrorLinesWith("Cannot open"), 0u);
}

// ---- refusals ----

TEST_F(ArchiveTest, ADirectoryThatCannotBeMadeIsOneErrorPerConnection) {
    WriteWholeFile(archiveDir_.file("plain"), "a regular file");
    Engine().settings.saveDirectory.assign(archiveDir_.file("plain/archive"));
    const std::string error = "Cannot open " + archiveDir_.file("plain/archive") +
                              "/Radio One_Tue Dec 16 090507 2025.mp3: Not a directory";
    for (int connection = 1; connection <= 2; ++connection) {
        for (int send = 0; send < 50; ++send) Send("lost");
        EXPECT_EQ(OpenArchiveFile(), 0);  // refused for the rest of the connection
        EXPECT_EQ(Engine().archive.file, nullptr);
        CloseArchiveFile();  // the disconnection
        EXPECT_EQ(ErrorLinesWith(error), static_cast<std::size_t>(connection)) << LogText();
    }
}

// ---- WAV ----

TEST_F(ArchiveTest, WavClosedBeforeAnyAudioLeavesNoFile) {
    StartWavArchive();
    CloseArchiveFile();
    EXPECT_TRUE(ArchiveNames().empty());
}

TEST_F(ArchiveTest, WavHeaderCountsEveryBlock) {
    StartWavArchive();
    SineGenerator tone(44100, {440, 660});
    for (int i = 0; i < 1000; ++i) {
        const std::vector<float> block = tone.Next(1152);
        ProcessSamples(block.data(), 1152, 2, 44100);
    }
    CloseArchiveFile();
    const std::string wav = Archive(ArchiveNames().at(0));
    EXPECT_EQ(wav.size(), 4608044u);
    EXPECT_EQ(ReadLittleEndian(wav, 4, 4), 4608036u);
    EXPECT_EQ(ReadLittleEndian(wav, 16, 4), 16u);
    EXPECT_EQ(ReadLittleEndian(wav, 20, 2), 1u);  // PCM
    EXPECT_EQ(ReadLittleEndian(wav, 22, 2), 2u);
    EXPECT_EQ(ReadLittleEndian(wav, 24, 4), 44100u);
    EXPECT_EQ(ReadLittleEndian(wav, 28, 4), 176400u);
    EXPECT_EQ(ReadLittleEndian(wav, 32, 2), 4u);
    EXPECT_EQ(ReadLittleEndian(wav, 34, 2), 16u);
    EXPECT_EQ(ReadLittleEndian(wav, 40, 4), 4608000u);
    EXPECT_EQ(Engine().archive.dataBytes, 0u);
}

struct PcmCase {
    const char* name;
    int sourceChannels;
    std::vector<float> block;
    std::vector<std::int16_t> expected;  // left/right pairs
};
void PrintTo(const PcmCase& c, std::ostream* out) {
    *out << c.name;
}

class WavPcmTest : public ArchiveTest, public ::testing::WithParamInterface<PcmCase> {};

TEST_P(WavPcmTest, HoldsTheSourceSamplesAsStereo16Bit) {
    const PcmCase& c = GetParam();
    StartWavArchive();
    const int frames = static_cast<int>(c.block.size()) / c.sourceChannels;
    ProcessSamples(c.block.data(), frames, c.sourceChannels, 44100);
    CloseArchiveFile();
    const std::string wav = Archive(ArchiveNames().at(0));
    EXPECT_EQ(PcmOf(wav), c.expected);
    EXPECT_EQ(ReadLittleEndian(wav, 40, 4), 4u * static_cast<std::uint32_t>(frames));
}

INSTANTIATE_TEST_SUITE_P(
    Table, WavPcmTest,
    ::testing::Values(PcmCase{"ScaledTruncatedAndLimited",
                              2,
                              {0.5f, -1.0f, 1.25f, -1.5f, 0.0f, -0.00002f},
                              {16383, -32767, 32767, -32768, 0, 0}},
                      PcmCase{"MonoWrittenTwice", 1, {0.5f, -0.25f}, {16383, 16383, -8191, -8191}},
                      PcmCase{"FirstTwoOfMoreChannels",
                              3,
                              {0.5f, -0.5f, 0.9f, 0.25f, 0.0f, 0.9f},
                              {16383, -16383, 8191, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ArchiveTest, WavHeaderStatesTheSourceRate) {
    StartWavArchive();
    const std::vector<float> block = SineGenerator(22050, {440}).Next(1000);
    ProcessSamples(block.data(), 1000, 1, 22050);
    CloseArchiveFile();
    const std::string wav = Archive(ArchiveNames().at(0));
    EXPECT_EQ(ReadLittleEndian(wav, 24, 4), 22050u);
    EXPECT_EQ(ReadLittleEndian(wav, 28, 4), 88200u);
    EXPECT_EQ(ReadLittleEndian(wav, 40, 4), 4000u);
}

TEST_F(ArchiveTest, NewSourceRateBeginsANewWavFile) {
    StartWavArchive();
    const std::vector<float> first = SineGenerator(44100, {440, 440}).Next(1152);
    const std::vector<float> second = SineGenerator(48000, {440, 440}).Next(1024);
    ProcessSamples(first.data(), 1152, 2, 44100);
    ProcessSamples(first.data(), 1152, 2, 44100);
    ProcessSamples(second.data(), 1024, 2, 48000);
    CloseArchiveFile();

    const std::vector<std::string> names = ArchiveNames();
    ASSERT_EQ(names.size(), 2u);
    // The numbered name is the later file.
    const std::string earlier = Archive(names[1]);
    const std::string later = Archive(names[0]);
    EXPECT_EQ(ReadLittleEndian(earlier, 24, 4), 44100u);
    EXPECT_EQ(ReadLittleEndian(earlier, 40, 4), 2u * 1152 * 4);
    EXPECT_EQ(earlier.size(), 44u + 2 * 1152 * 4);
    EXPECT_EQ(ReadLittleEndian(later, 24, 4), 48000u);
    EXPECT_EQ(ReadLittleEndian(later, 40, 4), 1024u * 4);
    EXPECT_EQ(later.size(), 44u + 1024 * 4);
}

TEST_F(ArchiveTest, WavThatWouldOutgrowItsSizeFieldsContinuesInANewFile) {
    StartWavArchive();
    const std::vector<float> block(2 * 100, 0.5f);
    ProcessSamples(block.data(), 10, 2, 44100);
    // The RIFF size (data + 36) reaches its 32-bit limit after 10 more frames.
    constexpr std::uint64_t kDataLimit = 0xFFFFFFFFull - 36;
    Engine().archive.dataBytes = kDataLimit - 40;
    ProcessSamples(block.data(), 100, 2, 44100);
    CloseArchiveFile();

    const std::vector<std::string> names = ArchiveNames();
    ASSERT_EQ(names.size(), 2u);
    const std::string full = Archive(names[1]);
    const std::string next = Archive(names[0]);
    EXPECT_EQ(full.size(), 44u + 40 + 40);
    EXPECT_EQ(ReadLittleEndian(full, 4, 4), 0xFFFFFFFFu);
    EXPECT_EQ(ReadLittleEndian(full, 40, 4), static_cast<std::uint32_t>(kDataLimit));
    EXPECT_EQ(next.size(), 44u + 90 * 4);
    EXPECT_EQ(ReadLittleEndian(next, 4, 4), 90u * 4 + 36);
    EXPECT_EQ(ReadLittleEndian(next, 40, 4), 90u * 4);
}

// ---- a full disk ----

enum class ArchiveFormat { kMp3, kOgg, kWav };

struct FullDiskCase {
    const char* name;
    ArchiveFormat format;
    std::size_t pieceBytes;  // of the encoded stream handed over at a time
};
void PrintTo(const FullDiskCase& c, std::ostream* out) {
    *out << c.name;
}

class FullDiskTest : public ArchiveTest, public ::testing::WithParamInterface<FullDiskCase> {
  protected:
    // A file may grow to this many bytes; a write beyond fails with EFBIG, as on a full disk.
    static constexpr rlim_t kFileSizeLimit = 20002;  // not a whole number of PCM frames

    // Two connections that each relay three seconds, in a child whose files cannot outgrow the
    // limit.
    ChildResult RelayTwiceInAChild(const std::string& encoded) {
        return RunInChild([&] {
            const rlimit limit{kFileSizeLimit, kFileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
            for (int connection = 0; connection < 2; ++connection) {
                if (GetParam().format == ArchiveFormat::kWav) {
                    WantArchive();  // what the connection does
                    SineGenerator tone(44100, {440, 660});
                    for (int block = 0; block < 115; ++block) {
                        const std::vector<float> samples = tone.Next(1152);
                        ProcessSamples(samples.data(), 1152, 2, 44100);
                    }
                } else {
                    for (std::size_t at = 0; at < encoded.size(); at += GetParam().pieceBytes) {
                        Send(encoded.substr(at, GetParam().pieceBytes));
                    }
                }
                CloseArchiveFile();  // the disconnect
            }
            _exit(0);
        });
    }
};

TEST_P(FullDiskTest, OneErrorPerConnectionAndTheFileEndsWithAWholeUnit) {
    const ArchiveFormat format = GetParam().format;
    EngineState& engine = Engine();
    std::string encoded;
    std::vector<std::size_t> unitEnds;
    if (format == ArchiveFormat::kMp3) {
        Mp3Format mp3;
        mp3.seconds = 3.0;
        encoded = MakeMp3Tone(mp3);
        for (const Mp3Frame& frame : Mp3Frames(encoded)) {
            unitEnds.push_back(frame.offset + frame.byteCount);
        }
    } else if (format == ArchiveFormat::kOgg) {
        engine.settings.isLame = 0;
        engine.settings.isOggVorbis = 1;
        OggLinkSpec link;
        link.frameCount = 3 * 44100;
        link.noiseLevel = 0.3f;
        encoded = MakeOggVorbis({link});
        for (const OggPageInfo& page : ParseOggPages(encoded)) {
            unitEnds.push_back(page.offset + page.byteCount);
        }
    } else {
        StartWavArchive();
    }
    ASSERT_TRUE(format == ArchiveFormat::kWav || encoded.size() > 2 * kFileSizeLimit);

    const ChildResult child = RelayTwiceInAChild(encoded);
    ASSERT_TRUE(child.exited) << child.err;
    EXPECT_EQ(child.exitStatus, 0);

    // One Error for each connection, naming the file and the reason.
    const std::vector<std::string> names = ArchiveNames();
    ASSERT_EQ(names.size(), 2u);
    for (const std::string& name : names) {
        EXPECT_EQ(ErrorLinesWith("Cannot write the archive " + archiveDir_.file(name) +
                                 ": File too large"),
                  1u)
            << LogText();
        const std::string archive = Archive(name);
        EXPECT_LE(archive.size(), kFileSizeLimit);
        EXPECT_GT(archive.size(), kFileSizeLimit / 2);
        if (format == ArchiveFormat::kWav) {
            // The header and whole PCM frames, the header stating what the file holds.
            EXPECT_EQ((archive.size() - 44) % 4, 0u);
            EXPECT_EQ(ReadLittleEndian(archive, 40, 4), archive.size() - 44);
            EXPECT_EQ(ReadLittleEndian(archive, 4, 4), archive.size() - 8);
        } else {
            // What was handed over, up to the end of a frame or page.
            EXPECT_EQ(archive, encoded.substr(0, archive.size()));
            EXPECT_NE(std::find(unitEnds.begin(), unitEnds.end(), archive.size()), unitEnds.end())
                << archive.size() << " bytes end in the middle of a unit";
        }
    }
    EXPECT_EQ(ErrorLinesWith("Cannot write the archive"), 2u) << LogText();
}

INSTANTIATE_TEST_SUITE_P(Formats, FullDiskTest,
                         ::testing::Values(FullDiskCase{"Mp3", ArchiveFormat::kMp3, 417},
                                           FullDiskCase{"Ogg", ArchiveFormat::kOgg, 333},
                                           FullDiskCase{"Wav", ArchiveFormat::kWav, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ArchiveTest, NothingIsWrittenWhileNotConnected) {
    StartWavArchive();
    Engine().destination.connected = 0;
    const std::vector<float> block(2 * 100, 0.5f);
    ProcessSamples(block.data(), 100, 2, 44100);
    CloseArchiveFile();
    EXPECT_TRUE(ArchiveNames().empty());
}

}  // namespace
