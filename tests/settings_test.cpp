// The settings catalogue and configuration loading: defaults, derived flags, the reports on the
// engine's slots, conversions, the values written back, and the log settings taking over.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/config_store.h"
#include "common/log.h"
#include "common/status.h"
#include "engine/libzembril.h"
#include "frontend/commandline.h"
#include "tests/support/child_process.h"
#include "tests/support/fresh_records.h"

namespace {

std::vector<std::string> reports;

template <const char* Slot>
void Record(const char* text) {
    reports.push_back(std::string(Slot) + ":" + text);
}
constexpr char kUrl[] = "url";
constexpr char kDestination[] = "destination";
constexpr char kStatus[] = "status";
constexpr char kError[] = "error";
constexpr char kServerType[] = "server";
constexpr char kDescription[] = "description";
constexpr char kStreamType[] = "type";
constexpr char kBitrate[] = "bitrate";

class SettingsTest : public FreshRecordsTest {
  protected:
    void SetUp() override {
        FreshRecordsTest::SetUp();
        reports.clear();
    }
    void TearDown() override {
        FreshRecordsTest::TearDown();
        reports.clear();
    }

    static void RecordEverySlot() {
        SetSourceUrlSink(&Record<kUrl>);
        SetDestinationUrlSink(&Record<kDestination>);
        SetServerStatusSink(&Record<kStatus>);
        SetErrorSink(&Record<kError>);
        SetServerTypeSink(&Record<kServerType>);
        SetStreamDescriptionSink(&Record<kDescription>);
        SetStreamTypeSink(&Record<kStreamType>);
        SetBitrateDescriptionSink(&Record<kBitrate>);
    }

    std::string configPath() const { return file("test.cfg"); }

    // Loads the content as the configuration file. The log stays in the test directory unless the
    // content names a log file of its own.
    void Load(const std::string& content, int mode = kConfigNormal) {
        WriteWholeFile(configPath(), content + "\nLogFile=" + logPath() + "\n");
        SetConfigPath(configPath().c_str());
        ASSERT_EQ(LoadConfig(mode), 1);
    }

    std::string Written() const { return ReadWholeFile(configPath()); }
};

TEST_F(SettingsTest, AnEmptyFileGivesTheDefaults) {
    RecordEverySlot();
    Load("");
    const EngineState& engine = Engine();
    EXPECT_EQ(engine.sourceUrl.view(), "http://localhost/");
    EXPECT_EQ(engine.serverHost.view(), "localhost");
    EXPECT_EQ(engine.serverPort.view(), "8000");
    EXPECT_EQ(engine.serverPassword.view(), "defaultpass");
    EXPECT_EQ(engine.serverPublic, 1);
    EXPECT_EQ(engine.reconnectSecs, 10);
    EXPECT_EQ(engine.encodeFormat.view(), "LAME");
    EXPECT_EQ(engine.wmaPort, 8200);
    EXPECT_EQ(engine.wmaClients, 5);
    EXPECT_EQ(engine.wmaMode.view(), "Stereo");
    EXPECT_EQ(engine.bitrateNominal, 128);
    EXPECT_EQ(engine.bitrateMin, 128);
    EXPECT_EQ(engine.bitrateMax, 128);
    EXPECT_EQ(engine.channels, 2);
    EXPECT_EQ(engine.oggQuality.view(), "0");
    EXPECT_EQ(engine.sampleRate, 44100);
    EXPECT_EQ(engine.lameCbrFlag, 1);
    EXPECT_EQ(engine.lameQuality, 1);
    EXPECT_EQ(engine.lameVbrMode.view(), "vbr_abr");
    EXPECT_EQ(engine.lineInDevice.view(), "/dev/dsp");
    EXPECT_EQ(engine.lineInSampleRate, 44100);
    EXPECT_EQ(engine.logLevel, 1);
    EXPECT_EQ(engine.aacQuality.view(), "100");
    EXPECT_EQ(engine.isLame, 1);
    EXPECT_EQ(engine.isOggVorbis + engine.isAac, 0);
    EXPECT_EQ(engine.isShoutcast, 1);
    EXPECT_EQ(engine.isIcecast + engine.isIcecast2 + engine.isWma, 0);
    EXPECT_EQ(engine.oggBitrateManaged, 0);
    EXPECT_EQ(reports, (std::vector<std::string>{
                           "url:http://localhost/",
                           "type:MP3",
                           "destination:http://localhost:8000",
                           "server:Shoutcast",
                           "description:This is my server desription",
                           "bitrate:128kbps/44100Hz/Stereo",
                           "status:Disconnected",
                       }));
}

TEST_F(SettingsTest, TheConsoleShowsTheSetupOfAnEmptyFile) {
    SetUpStatusSinks();
    DescriptorCapture out(1);
    Load("");
    EXPECT_EQ(out.Finish(),
              "Input Stream URL : (http://localhost/)\n"
              "Output Stream Type : (MP3)\n"
              "Output Server Type : (Shoutcast)\n"
              "Output Bitrate : (128kbps/44100Hz/Stereo)\n"
              "Output status : (Disconnected)\n");
}

TEST_F(SettingsTest, CreateModeWritesTheCatalogueInOrder) {
    SetConfigPath(configPath().c_str());
    ASSERT_EQ(LoadConfig(kConfigCreate), 1);
    SetLogPath(logPath().c_str());  // the default LogFile would log into the working directory
    EXPECT_EQ(Config().entryCount, 56);
    EXPECT_EQ(Written(),
              ReadWholeFile(std::string(TRANSCODE_SOURCE_DIR) + "/tests/data/default_config.cfg"));
}

struct Flags {
    int ogg, lame, aac, shoutcast, icecast, icecast2, wma, managed;
    bool operator==(const Flags&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Flags& f) {
    return out << "ogg " << f.ogg << " lame " << f.lame << " aac " << f.aac << " shoutcast "
               << f.shoutcast << " icecast " << f.icecast << " icecast2 " << f.icecast2 << " wma "
               << f.wma << " managed " << f.managed;
}

struct ApplyCase {
    const char* name;
    std::string content;
    Flags flags;
    std::vector<std::string> reports;  // stream type, destination, server type, bitrate
};

void PrintTo(const ApplyCase& test, std::ostream* out) {
    *out << test.name;
}

class AppliedSettings : public SettingsTest, public testing::WithParamInterface<ApplyCase> {};

TEST_P(AppliedSettings, SetTheFlagsAndReportTheSetup) {
    SetStreamTypeSink(&Record<kStreamType>);
    SetDestinationUrlSink(&Record<kDestination>);
    SetServerTypeSink(&Record<kServerType>);
    SetBitrateDescriptionSink(&Record<kBitrate>);
    Load(GetParam().content);
    const EngineState& e = Engine();
    EXPECT_EQ((Flags{e.isOggVorbis, e.isLame, e.isAac, e.isShoutcast, e.isIcecast, e.isIcecast2,
                     e.isWma, e.oggBitrateManaged}),
              GetParam().flags);
    EXPECT_EQ(reports, GetParam().reports);
}

const std::string kDefaultDestination = "destination:http://localhost:8000";

INSTANTIATE_TEST_SUITE_P(
    Catalogue, AppliedSettings,
    testing::Values(
        ApplyCase{"Defaults",
                  "",
                  {0, 1, 0, 1, 0, 0, 0, 0},
                  {"type:MP3", kDefaultDestination, "server:Shoutcast",
                   "bitrate:128kbps/44100Hz/Stereo"}},
        ApplyCase{"OggWithBitrateManagement",
                  "Encode=OGG\nOggBitrateQualityFlag=Bitrate",
                  {1, 0, 0, 1, 0, 0, 0, 1},
                  {"type:OggVorbis", kDefaultDestination, "server:Shoutcast",
                   "bitrate:(128/128/128)/Stereo/44100"}},
        ApplyCase{"OggQuality",
                  "Encode=OGG\nOggQuality=3",
                  {1, 0, 0, 1, 0, 0, 0, 0},
                  {"type:OggVorbis", kDefaultDestination, "server:Shoutcast",
                   "bitrate:Quality 3/Stereo/44100"}},
        ApplyCase{"OggManagedMonoAt22050",
                  "Encode=OGG\nOggBitrateQualityFlag=Bitrate Management\nNumberChannels=1\n"
                  "Samplerate=22050\nBitrateMin=32\nBitrateMax=96",
                  {1, 0, 0, 1, 0, 0, 0, 1},
                  {"type:OggVorbis", kDefaultDestination, "server:Shoutcast",
                   "bitrate:(32/128/96)/Mono/22050"}},
        ApplyCase{"LowerCaseBitrateFlagMeansQuality",
                  "Encode=OGG\nOggBitrateQualityFlag=bitrate",
                  {1, 0, 0, 1, 0, 0, 0, 0},
                  {"type:OggVorbis", kDefaultDestination, "server:Shoutcast",
                   "bitrate:Quality 0/Stereo/44100"}},
        ApplyCase{"LowerCaseOggSelectsNothing",
                  "Encode=ogg",
                  {0, 0, 0, 1, 0, 0, 0, 0},
                  {kDefaultDestination, "server:Shoutcast"}},
        ApplyCase{"AnyCapitalOSelectsVorbis",
                  "Encode=Opus",
                  {1, 0, 0, 1, 0, 0, 0, 0},
                  {"type:OggVorbis", kDefaultDestination, "server:Shoutcast",
                   "bitrate:Quality 0/Stereo/44100"}},
        ApplyCase{
            "Aac",
            "Encode=AAC\nBitrateNominal=64",
            {0, 0, 1, 1, 0, 0, 0, 0},
            {"type:AAC", kDefaultDestination, "server:Shoutcast", "bitrate:64kbps/44100Hz/Stereo"}},
        ApplyCase{"WmaEncodingSelectsNothing",
                  "Encode=WMA",
                  {0, 0, 0, 1, 0, 0, 0, 0},
                  {kDefaultDestination, "server:Shoutcast"}},
        ApplyCase{"LameVariableRate",
                  "LameCBRFlag=0\nBitrateMin=64\nBitrateMax=192",
                  {0, 1, 0, 1, 0, 0, 0, 0},
                  {"type:MP3", kDefaultDestination, "server:Shoutcast",
                   "bitrate:(64/128/192)/Stereo/44100"}},
        ApplyCase{
            "LameMono",
            "NumberChannels=1",
            {0, 1, 0, 1, 0, 0, 0, 0},
            {"type:MP3", kDefaultDestination, "server:Shoutcast", "bitrate:128kbps/44100Hz/Mono"}},
        ApplyCase{
            "SixChannelsHaveNoChannelText",
            "NumberChannels=6",
            {0, 1, 0, 1, 0, 0, 0, 0},
            {"type:MP3", kDefaultDestination, "server:Shoutcast", "bitrate:128kbps/44100Hz/"}},
        ApplyCase{"RatePrintedAs32Bits",
                  "Samplerate=5000000000",
                  {0, 1, 0, 1, 0, 0, 0, 0},
                  {"type:MP3", kDefaultDestination, "server:Shoutcast",
                   "bitrate:128kbps/705032704Hz/Stereo"}},
        ApplyCase{"Icecast2",
                  "ServerType=Icecast2\nServerMountpoint=/live",
                  {0, 1, 0, 0, 0, 1, 0, 0},
                  {"type:MP3", "destination:http://localhost:8000/live", "server:Icecast2",
                   "bitrate:128kbps/44100Hz/Stereo"}},
        ApplyCase{"Icecast",
                  "ServerType=Icecast\nServer=radio.example.org\nPort=8001",
                  {0, 1, 0, 0, 1, 0, 0, 0},
                  {"type:MP3", "destination:http://radio.example.org:8001", "server:Icecast",
                   "bitrate:128kbps/44100Hz/Stereo"}},
        ApplyCase{
            "LowerCaseServerTypeSetsNoServerFlag",
            "ServerType=icecast2",
            {0, 1, 0, 0, 0, 0, 0, 0},
            {"type:MP3", kDefaultDestination, "server:icecast2", "bitrate:128kbps/44100Hz/Stereo"}},
        ApplyCase{"KasterBlasterIsShoutcast",
                  "ServerType=KasterBlaster",
                  {0, 1, 0, 1, 0, 0, 0, 0},
                  {"type:MP3", kDefaultDestination, "server:KasterBlaster",
                   "bitrate:128kbps/44100Hz/Stereo"}},
        // WMA is derived after the stream type and the destination have been reported.
        ApplyCase{"WmaServer",
                  "ServerType=WMA\nWMAPort=8300",
                  {0, 1, 0, 0, 0, 0, 1, 0},
                  {"type:MP3", kDefaultDestination, "server:WMA", "bitrate:128kbps/44100Hz/Stereo",
                   "bitrate:128kbps/44100Hz/Stereo"}},
        // The destination is reported before the blanks are removed.
        ApplyCase{"DestinationBeforeBlanksAreRemoved",
                  "Server= my host\nPort=80 00",
                  {0, 1, 0, 1, 0, 0, 0, 0},
                  {"type:MP3", "destination:http:// my host:80 00", "server:Shoutcast",
                   "bitrate:128kbps/44100Hz/Stereo"}}),
    [](const testing::TestParamInfo<ApplyCase>& info) { return info.param.name; });

TEST_F(SettingsTest, WmaEncodingIsAnError) {
    Load("Encode=WMA");
    EXPECT_NE(log().find("Error(libzembril:"), std::string::npos);
    EXPECT_NE(log().find("): WMA encoding not supported on non-win32 platforms\n"),
              std::string::npos);
}

// The settings that keep a station on the air, as the engine reads them after the checks.
struct SourceSettings {
    int reconnect, timeoutSecs, retrySecs;
    std::string backupUrl, fallbackTitle;
    int pacing;
    bool operator==(const SourceSettings&) const = default;
};

std::ostream& operator<<(std::ostream& out, const SourceSettings& s) {
    return out << "reconnect " << s.reconnect << " timeout " << s.timeoutSecs << " retry "
               << s.retrySecs << " backup \"" << s.backupUrl << "\" fallback \"" << s.fallbackTitle
               << "\" pacing " << s.pacing;
}

SourceSettings SourceSettingsOf(const EngineState& e) {
    return {e.sourceReconnect,
            e.sourceTimeoutSecs,
            e.sourceRetrySecs,
            std::string(e.sourceBackupUrl.view()),
            std::string(e.fallbackTitle.view()),
            e.outputPacing};
}

struct SourceCase {
    const char* name;
    std::string content;
    SourceSettings expected;
    std::string errorLine;  // the one Error line expected; empty: none at all
};

void PrintTo(const SourceCase& test, std::ostream* out) {
    *out << test.name;
}

class CheckedSourceSettings : public SettingsTest,
                              public testing::WithParamInterface<SourceCase> {};

TEST_P(CheckedSourceSettings, AreReadAndCorrected) {
    Load(GetParam().content);
    EXPECT_EQ(SourceSettingsOf(Engine()), GetParam().expected);
    const std::string text = log();
    if (GetParam().errorLine.empty()) {
        EXPECT_EQ(text.find("Error("), std::string::npos) << text;
    } else {
        EXPECT_NE(text.find("): " + GetParam().errorLine + "\n"), std::string::npos) << text;
    }
}

const SourceSettings kSourceDefaults{0, 10, 5, "", "", 1};

INSTANTIATE_TEST_SUITE_P(
    Catalogue, CheckedSourceSettings,
    testing::Values(
        SourceCase{"Defaults", "", kSourceDefaults, ""},
        SourceCase{"EverySettingChanged",
                   "SourceReconnect=1\nSourceTimeout=30\nSourceRetrySecs=60\n"
                   "SourceBackupURL=http://127.0.0.1:8001/backup\nFallbackTitle=Back soon\n"
                   "OutputPacing=0",
                   {1, 30, 60, "http://127.0.0.1:8001/backup", "Back soon", 0},
                   ""},
        // Flags keep their value, as every other flag does: the engine reads any value but 0 as 1.
        SourceCase{"FlagsKeepTheirValue",
                   "SourceReconnect=2\nOutputPacing=-1",
                   {2, 10, 5, "", "", -1},
                   ""},
        SourceCase{"OneSecondIsTheShortestAllowed",
                   "SourceTimeout=1\nSourceRetrySecs=1",
                   {0, 1, 1, "", "", 1},
                   ""},
        SourceCase{"ZeroTimeoutIsRaised",
                   "SourceTimeout=0",
                   {0, 1, 5, "", "", 1},
                   "SourceTimeout=0 is below 1 second; 1 second is used"},
        SourceCase{"TimeoutWithoutDigitsIsRaised",
                   "SourceTimeout=soon",
                   {0, 1, 5, "", "", 1},
                   "SourceTimeout=0 is below 1 second; 1 second is used"},
        SourceCase{"NegativeRetryWaitIsRaised",
                   "SourceRetrySecs=-3",
                   {0, 10, 1, "", "", 1},
                   "SourceRetrySecs=-3 is below 1 second; 1 second is used"},
        SourceCase{"HttpsBackupInCapitals",
                   "SourceBackupURL=HTTPS://backup.example.org/live",
                   {0, 10, 5, "HTTPS://backup.example.org/live", "", 1},
                   ""},
        SourceCase{"FtpBackupIsDropped", "SourceBackupURL=ftp://backup.example.org/live",
                   kSourceDefaults,
                   "SourceBackupURL \"ftp://backup.example.org/live\" is not an http:// or "
                   "https:// URL; the run has no backup source"},
        SourceCase{"BackupWithoutSchemeIsDropped", "SourceBackupURL=127.0.0.1:8001/backup",
                   kSourceDefaults,
                   "SourceBackupURL \"127.0.0.1:8001/backup\" is not an http:// or https:// "
                   "URL; the run has no backup source"},
        SourceCase{"SchemeThatOnlyStartsLikeHttpIsDropped",
                   "SourceBackupURL=httpx://backup.example.org/", kSourceDefaults,
                   "SourceBackupURL \"httpx://backup.example.org/\" is not an http:// or "
                   "https:// URL; the run has no backup source"},
        SourceCase{"LineInIsNoBackup", "SourceBackupURL=linein", kSourceDefaults,
                   "SourceBackupURL \"linein\" is not an http:// or https:// URL; the run has "
                   "no backup source"}),
    [](const testing::TestParamInfo<SourceCase>& info) { return info.param.name; });

// -C writes what the run uses (the corrected values), and that file reads back to the same settings
// without a complaint.
TEST_F(SettingsTest, CreateModeWritesTheCheckedSourceSettingsBackAndReadsThemAgain) {
    Load(
        "SourceTimeout=0\nSourceBackupURL=ftp://x/\nFallbackTitle=Back soon\nSourceReconnect=1\n"
        "SourceRetrySecs=30",
        kConfigCreate);
    const SourceSettings applied = SourceSettingsOf(Engine());
    EXPECT_EQ(applied, (SourceSettings{1, 1, 30, "", "Back soon", 1}));
    const std::string first = Written();
    for (const char* line :
         {"\nSourceReconnect=1\n", "\nSourceTimeout=1\n", "\nSourceRetrySecs=30\n",
          "\nSourceBackupURL=\n", "\nFallbackTitle=Back soon\n", "\nOutputPacing=1\n"}) {
        EXPECT_NE(first.find(line), std::string::npos) << line;
    }

    ResetConfigTable();
    ResetEngineState();
    SetConfigPath(configPath().c_str());
    const std::size_t errorsBefore = log().size();
    ASSERT_EQ(LoadConfig(kConfigCreate), 1);
    EXPECT_EQ(SourceSettingsOf(Engine()), applied);
    EXPECT_EQ(log().find("Error(", errorsBefore), std::string::npos) << log();
    EXPECT_EQ(Written(), first);
}

TEST_F(SettingsTest, BlanksLeaveServerAndPortButTabsStay) {
    Load("Server=a\tb c \nPort= 80 00");
    EXPECT_EQ(Engine().serverHost.view(), "a\tbc");
    EXPECT_EQ(Engine().serverPort.view(), "8000");
    ASSERT_EQ(WriteConfigFile(), 1);
    EXPECT_NE(Written().find("\nServer=a\tbc\n"), std::string::npos);
    EXPECT_NE(Written().find("\nPort=8000\n"), std::string::npos);
}

TEST_F(SettingsTest, ConvertedNumbersAreWrittenBack) {
    Load(
        "BitrateNominal=0128abc\nSamplerate=x44100\nWMAClients=7 clients\n"
        "LiveInSamplerate=48000Hz\nServerPublic= -1\nlastX=5000000000\nWMAPort=08200");
    const EngineState& engine = Engine();
    EXPECT_EQ(engine.bitrateNominal, 128);
    EXPECT_EQ(engine.sampleRate, 0);
    EXPECT_EQ(engine.wmaClients, 7);
    EXPECT_EQ(engine.lineInSampleRate, 48000);
    EXPECT_EQ(engine.serverPublic, -1);
    EXPECT_EQ(engine.lastX, 5000000000LL);
    EXPECT_EQ(engine.wmaPort, 8200);
    ASSERT_EQ(WriteConfigFile(), 1);
    const std::string written = Written();
    for (const char* line : {"\nBitrateNominal=128\n", "\nSamplerate=0\n", "\nWMAClients=7\n",
                             "\nLiveInSamplerate=48000\n", "\nServerPublic=-1\n",
                             "\nlastX=705032704\n", "\nWMAPort=8200\n"}) {
        EXPECT_NE(written.find(line), std::string::npos) << line;
    }
}

TEST_F(SettingsTest, UnknownKeysStayFirstWithEmptyDescriptions) {
    Load("Custom=1\nPort=9000");
    ASSERT_EQ(WriteConfigFile(), 1);
    const std::string written = Written();
    EXPECT_EQ(written.rfind("#\n#\n#\nCustom=1\n\n#\n#The port to which the stream is sent.", 0),
              0u)
        << written.substr(0, 200);
    EXPECT_EQ(Config().entryCount, 57);
}

TEST_F(SettingsTest, AWrittenFileLoadsToTheSameTable) {
    Load("Custom=x=y\nServer=a b\nBitrateNominal=96k\nEncode=OGG\nDup=1\nDup=2", kConfigCreate);
    const std::string first = Written();
    std::vector<std::string> before;
    for (int index = 0; index < Config().entryCount; ++index) {
        before.push_back(std::string(Config().entries[index].key.view()) + "=" +
                         std::string(Config().entries[index].value.view()));
    }
    ResetConfigTable();
    ASSERT_EQ(ReadConfigEntries(configPath().c_str()), 1);
    std::vector<std::string> after;
    for (int index = 0; index < Config().entryCount; ++index) {
        after.push_back(std::string(Config().entries[index].key.view()) + "=" +
                        std::string(Config().entries[index].value.view()));
    }
    EXPECT_EQ(after, before);

    ResetEngineState();
    SetConfigPath(configPath().c_str());
    ASSERT_EQ(LoadConfig(kConfigCreate), 1);
    EXPECT_EQ(Written(), first);
}

TEST_F(SettingsTest, LogSettingsTakeOverFromTheOptions) {
    SetLogLevel(LOG_DEBUG);
    const std::string early = file("early.log");
    const std::string late = file("late.log");
    SetLogPath(early.c_str());
    WriteWholeFile(configPath(), "LogLevel=2\nLogFile=" + late + "\n");
    SetConfigPath(configPath().c_str());
    LoadConfig(kConfigNormal);
    EXPECT_EQ(GetLogLevel(), 2);
    EXPECT_EQ(std::string(GetLogPath()), late);
    LogMessage(LOG_INFO, kLogEngine, __LINE__, "after loading");
    LogMessage(LOG_DEBUG, kLogEngine, __LINE__, "hidden");
    EXPECT_NE(ReadWholeFile(late).find("after loading"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(late).find("hidden"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(early).find("after loading"), std::string::npos);
}

TEST_F(SettingsTest, WithoutLogKeysTheDefaultsReplaceTheOptions) {
    SetLogLevel(LOG_DEBUG);
    WriteWholeFile(configPath(), "Server=x\n");
    SetConfigPath(configPath().c_str());
    LoadConfig(kConfigNormal);
    const int level = GetLogLevel();
    const std::string path = GetLogPath();
    SetLogPath(logPath().c_str());
    EXPECT_EQ(level, 1);
    EXPECT_EQ(path, "zembrilv2.log");
}

// Every text key at 300 characters: each field keeps what fits, nothing is written outside it
// (the sanitizer build checks the second half of that).
TEST_F(SettingsTest, OverlongValuesAreCutToTheirFields) {
    struct TextField {
        const char* key;
        std::function<std::string_view()> field;
        std::size_t capacity;
    };
    const EngineState& e = Engine();
    const std::vector<TextField> fields = {
        {"SourceURL", [&] { return e.sourceUrl.view(); }, 255},
        {"Server", [&] { return e.serverHost.view(); }, 255},
        {"Port", [&] { return e.serverPort.view(); }, 9},
        {"ServerPassword", [&] { return e.serverPassword.view(); }, 255},
        {"ServerIRC", [&] { return e.serverIrc.view(); }, 19},
        {"ServerAIM", [&] { return e.serverAim.view(); }, 19},
        {"ServerICQ", [&] { return e.serverIcq.view(); }, 19},
        {"ServerStreamURL", [&] { return e.serverStreamUrl.view(); }, 255},
        {"ServerDescription", [&] { return e.serverDescription.view(); }, 255},
        {"ServerGenre", [&] { return e.serverGenre.view(); }, 99},
        {"ServerMountpoint", [&] { return e.serverMountpoint.view(); }, 99},
        {"Encode", [&] { return e.encodeFormat.view(); }, 255},
        {"WMAMode", [&] { return e.wmaMode.view(); }, 24},
        {"OggQuality", [&] { return e.oggQuality.view(); }, 27},
        {"OggBitrateQualityFlag", [&] { return e.oggBitrateQualityText.view(); }, 39},
        {"LameVBRMode", [&] { return e.lameVbrMode.view(); }, 39},
        {"ServerType", [&] { return e.serverType.view(); }, 26},
        {"AdvRecDevice", [&] { return e.lineInDevice.view(); }, 255},
        {"LockMetadata", [&] { return e.lockedMetadata.view(); }, 255},
        {"SaveDirectory", [&] { return e.saveDirectory.view(); }, 255},
        {"AACQuality", [&] { return e.aacQuality.view(); }, 24},
        {"AACCutoff", [&] { return e.aacCutoff.view(); }, 34},
        {"FallbackTitle", [&] { return e.fallbackTitle.view(); }, 255},
    };
    std::string content;
    for (const TextField& field : fields) {
        content += std::string(field.key) + "=" + std::string(300, 'x') + "\n";
    }
    content += "BitrateNominal=" + std::string(300, '9') + "\n";
    Load(content);
    for (const TextField& field : fields) {
        EXPECT_EQ(field.field(), std::string(field.capacity, 'x')) << field.key;
    }
    EXPECT_EQ(Engine().bitrateNominal, static_cast<std::int32_t>(LONG_MAX));
    EXPECT_NE(log().find("Value of Port too long, cut to 9 characters"), std::string::npos);
    ASSERT_EQ(WriteConfigFile(), 1);
    EXPECT_NE(Written().find("\nPort=xxxxxxxxx\n"), std::string::npos);
}

// Each key reaches its own field and comes back from it: text keys carry their own name, integer
// keys a number of their own.
TEST_F(SettingsTest, EveryKeySetsItsOwnFieldAndIsWrittenBackFromIt) {
    const EngineState& e = Engine();
    struct KeyField {
        std::string key;
        bool isText;
        std::function<std::string()> field;
        std::string textValue;  // the key itself unless the key checks its value
    };
    auto text = [](const char* key, const auto& field, std::string value = "") {
        return KeyField{key, true, [&field] { return std::string(field.view()); },
                        value.empty() ? std::string(key) : value};
    };
    auto number = [](const char* key, const auto& field) {
        return KeyField{key, false, [&field] { return std::to_string(field); }, ""};
    };
    const std::vector<KeyField> keys = {
        text("SourceURL", e.sourceUrl),
        text("Server", e.serverHost),
        text("Port", e.serverPort),
        text("ServerPassword", e.serverPassword),
        number("ServerPublic", e.serverPublic),
        text("ServerIRC", e.serverIrc),
        text("ServerAIM", e.serverAim),
        text("ServerICQ", e.serverIcq),
        text("ServerStreamURL", e.serverStreamUrl),
        text("ServerDescription", e.serverDescription),
        text("ServerGenre", e.serverGenre),
        text("ServerMountpoint", e.serverMountpoint),
        number("AutomaticReconnect", e.autoReconnect),
        number("AutomaticReconnectSecs", e.reconnectSecs),
        text("Encode", e.encodeFormat),
        number("WMAPort", e.wmaPort),
        number("WMAClients", e.wmaClients),
        text("WMAMode", e.wmaMode),
        number("BitrateNominal", e.bitrateNominal),
        number("BitrateMin", e.bitrateMin),
        number("BitrateMax", e.bitrateMax),
        number("NumberChannels", e.channels),
        text("OggQuality", e.oggQuality),
        number("Samplerate", e.sampleRate),
        text("OggBitrateQualityFlag", e.oggBitrateQualityText),
        number("LameCBRFlag", e.lameCbrFlag),
        number("LameQuality", e.lameQuality),
        number("LameCopywrite", e.lameCopywrite),
        number("LameOriginal", e.lameOriginal),
        number("LameStrictISO", e.lameStrictIso),
        number("LameDisableReservior", e.lameDisableReservoir),
        text("LameVBRMode", e.lameVbrMode),
        number("LameLowpassfreq", e.lameLowpassFreq),
        number("LameHighpassfreq", e.lameHighpassFreq),
        text("ServerType", e.serverType),
        text("AdvRecDevice", e.lineInDevice),
        number("LiveInSamplerate", e.lineInSampleRate),
        number("lastX", e.lastX),
        number("lastY", e.lastY),
        number("showVU", e.showVu),
        number("LineInFlag", e.lineInFlag),
        text("LockMetadata", e.lockedMetadata),
        number("LockMetadataFlag", e.lockMetadataFlag),
        text("SaveDirectory", e.saveDirectory),
        number("SaveDirectoryFlag", e.saveArchives),
        number("LogLevel", e.logLevel),
        number("SaveAsWAV", e.saveAsWav),
        text("AACQuality", e.aacQuality),
        text("AACCutoff", e.aacCutoff),
        number("SourceReconnect", e.sourceReconnect),
        number("SourceTimeout", e.sourceTimeoutSecs),
        number("SourceRetrySecs", e.sourceRetrySecs),
        text("SourceBackupURL", e.sourceBackupUrl, "http://SourceBackupURL/"),
        text("FallbackTitle", e.fallbackTitle),
        number("OutputPacing", e.outputPacing),
    };
    std::string content;
    std::vector<std::string> values;
    for (std::size_t index = 0; index < keys.size(); ++index) {
        const std::string& key = keys[index].key;
        values.push_back(keys[index].isText ? keys[index].textValue : std::to_string(1000 + index));
        content += key + "=" + values.back() + "\n";
    }
    Load(content);
    SetLogLevel(LOG_INFO);
    for (std::size_t index = 0; index < keys.size(); ++index) {
        EXPECT_EQ(keys[index].field(), values[index]) << keys[index].key;
    }
    EXPECT_EQ(Engine().logFile.view(), logPath());
    ASSERT_EQ(WriteConfigFile(), 1);
    for (std::size_t index = 0; index < keys.size(); ++index) {
        EXPECT_NE(Written().find("\n" + keys[index].key + "=" + values[index] + "\n"),
                  std::string::npos)
            << keys[index].key;
    }
}

// Without the lookups, the store-back appends the keys in its own order.
TEST_F(SettingsTest, StoreBackOrderForKeysNotYetInTheTable) {
    SetConfigPath(configPath().c_str());
    ASSERT_EQ(WriteConfigFile(), 1);
    ASSERT_EQ(Config().entryCount, 56);
    std::vector<std::string> keys;
    for (int index = 36; index < 41; ++index) keys.emplace_back(Config().entries[index].key.view());
    for (int index = 45; index < 48; ++index) keys.emplace_back(Config().entries[index].key.view());
    for (int index = 49; index < 56; ++index) keys.emplace_back(Config().entries[index].key.view());
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "LiveInSamplerate", "LineInFlag", "lastX", "lastY", "showVU", "LogLevel",
                        "SaveAsWAV", "LogFile", "AACCutoff", "SourceReconnect", "SourceTimeout",
                        "SourceRetrySecs", "SourceBackupURL", "FallbackTitle", "OutputPacing"}));
}

TEST_F(SettingsTest, AFullTableStillGivesEveryKeyItsDefault) {
    std::string content;
    for (int index = 0; index < 60; ++index) content += "Extra" + std::to_string(index) + "=1\n";
    // 60 + LogFile from Load + 39 more catalogue keys fill the table; the rest are refused.
    Load(content, kConfigCreate);
    EXPECT_EQ(Config().entryCount, kConfigTableCapacity);
    EXPECT_EQ(Engine().aacQuality.view(), "100");
    EXPECT_EQ(Engine().logLevel, 1);
    EXPECT_EQ(Engine().saveAsWav, 0);
    EXPECT_EQ(Engine().lineInDevice.view(), "/dev/dsp");
    EXPECT_NE(log().find("Error(libzembril:"), std::string::npos);
    std::size_t written = 0;
    for (std::size_t at = Written().find("\n\n"); at != std::string::npos;
         at = Written().find("\n\n", at + 2)) {
        ++written;
    }
    EXPECT_EQ(written, static_cast<std::size_t>(kConfigTableCapacity));
}

TEST_F(SettingsTest, AMissingFileFailsTheLoadInNormalModeAndCreatesNothing) {
    const std::string missing = file("missing.cfg");
    RecordEverySlot();
    SetLogLevel(LOG_ERROR);
    SetConfigPath(missing.c_str());
    EXPECT_EQ(LoadConfig(kConfigNormal), 0);
    EXPECT_NE(access(missing.c_str(), F_OK), 0);
    // Nothing was applied: no status line, the log still where the options put it.
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(Engine().bitrateNominal, 0);
    EXPECT_NE(log().find("): Cannot open config file " + missing + ": No such file or directory\n"),
              std::string::npos);
}

TEST_F(SettingsTest, CreateModeMakesAMissingFileWithoutAnError) {
    // In a child in the test directory: the defaults move the log to "zembrilv2.log" there.
    const ChildResult result = RunInChild([&] {
        if (chdir(file("").c_str()) != 0) _exit(3);
        SetConfigPath("new.cfg");
        _exit(LoadConfig(kConfigCreate) == 1 ? 0 : 4);
    });
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(access(file("new.cfg").c_str(), F_OK), 0);
    EXPECT_EQ(log().find("Error("), std::string::npos) << log();
}

TEST_F(SettingsTest, AFileThatCannotBeReadIsNeverOverwritten) {
    // A directory stands for any file that exists but cannot be read (root reads every file).
    const std::string unreadable = file("dir.cfg");
    ASSERT_EQ(mkdir(unreadable.c_str(), 0755), 0);
    for (const int mode : {kConfigNormal, kConfigCreate}) {
        SetConfigPath(unreadable.c_str());
        EXPECT_EQ(LoadConfig(mode), 0);
    }
    const std::string line = "): Cannot open config file " + unreadable + ": Is a directory\n";
    const std::size_t first = log().find(line);
    ASSERT_NE(first, std::string::npos) << log();
    EXPECT_NE(log().find(line, first + 1), std::string::npos) << log();
}

TEST_F(SettingsTest, UnknownKeysAreNamedWithTheKeyTheyResemble) {
    Load(
        "ServerPasword=secret\nServerType = Icecast2\nservertype=x\nlogfile=y\nNoSuchThing=1\n"
        "Port=8000\nPort=8001\n");
    const std::string text = log();
    for (const std::string line :
         {"Unknown key \"ServerPasword\" (did you mean \"ServerPassword\"?)",
          "Unknown key \"ServerType \" (did you mean \"ServerType\"?)",
          "Unknown key \"servertype\" (did you mean \"ServerType\"?)",
          "Unknown key \"logfile\" (did you mean \"LogFile\"?)"}) {
        EXPECT_NE(text.find("): " + line + "\n"), std::string::npos) << line << "\n" << text;
    }
    EXPECT_NE(text.find("): Unknown key \"NoSuchThing\"\n"), std::string::npos) << text;
    // A known key given twice is no unknown key; every entry is still written back.
    EXPECT_EQ(text.find("Unknown key \"Port\""), std::string::npos);
    ASSERT_EQ(WriteConfigFile(), 1);
    EXPECT_NE(Written().find("\nServerPasword=secret\n"), std::string::npos);
    EXPECT_NE(Written().find("\nServerType = Icecast2\n"), std::string::npos);
}

TEST_F(SettingsTest, AnEmptyPathMeansTranscoderCfg) {
    const ChildResult result = RunInChild([&] {
        if (chdir(file("").c_str()) != 0) _exit(3);
        SetConfigPath("");
        LoadConfig(kConfigCreate);
        _exit(Engine().configPath == "transcoder.cfg" ? 0 : 4);
    });
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(access(file("transcoder.cfg").c_str(), F_OK), 0);
}

TEST_F(SettingsTest, AnOverlongPathIsRefused) {
    EXPECT_EQ(SetConfigPath(std::string(254, 'a').c_str()), 1);
    EXPECT_EQ(SetConfigPath(std::string(300, 'a').c_str()), 0);
    EXPECT_TRUE(Engine().configPath.empty());
    EXPECT_NE(log().find("Config file path too long (300 characters, at most 254)"),
              std::string::npos);
}

TEST_F(SettingsTest, WritingToAnUnwritablePathFails) {
    Load("");
    SetConfigPath(file("no-such-dir/x.cfg").c_str());
    EXPECT_EQ(WriteConfigFile(), 0);
    EXPECT_NE(log().find("): Cannot write config file " + file("no-such-dir/x.cfg") +
                         ": No such file or directory\n"),
              std::string::npos);
}

}  // namespace
