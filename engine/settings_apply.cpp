// ApplyConfig: looks up every configuration key into EngineState, hands the log settings to the
// logger, refuses the values and keys the run must not use, derives the output-format and
// server-type flags, corrects source settings the input could not work with, and reports the
// resulting setup on the engine's status slots.
//
// Every key is looked up first, in catalogue order: that is the order in which the keys a file
// lacks join the table, and so the order of a written file. The log settings take over next, so
// that the Error lines about the values land in the log the file names. A configuration with a
// refused value reports no setup: the run does not start.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "common/log.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"

namespace {

// Whether the value of the key is one of the names, spelled exactly; when it is not, an Error that
// lists them (none when the value is refused already).
bool IsOneOfTheNames(const char* key, std::string_view value,
                     std::initializer_list<std::string_view> names) {
    if (ValueRefused(key)) return false;
    std::string list;
    for (const std::string_view name : names) {
        if (value == name) return true;
        list += (list.empty() ? "" : ", ") + std::string(name);
    }
    LogMessage(LOG_ERROR, kLogEngine, __LINE__, "%s \"%s\" is none of %s (exact spelling)", key,
               PrintableText(value).c_str(), list.c_str());
    return false;
}

// Any other Encode would reach the connection without an encoder (or, for any other word
// beginning with "O", as Ogg Vorbis), and fail there for a reason far from the file.
bool DeriveOutputFormat() {
    EngineState& engine = Engine();
    const std::string_view format = engine.settings.encodeFormat.view();
    if (!IsOneOfTheNames("Encode", format, {"LAME", "OGG", "OPUS"})) return false;
    engine.settings.isLame = format == "LAME" ? 1 : 0;
    engine.settings.isOggVorbis = format == "OGG" ? 1 : 0;
    engine.settings.isOpus = format == "OPUS" ? 1 : 0;
    return true;
}

// Opus output is encoded at its own rate; the setting stays as written (and is written back so).
void NoteIgnoredSampleRate() {
    const EngineState& engine = Engine();
    if (!engine.settings.isOpus || engine.settings.sampleRate == kOpusOutputRate) return;
    LogMessage(LOG_INFO, kLogEngine, __LINE__,
               "Samplerate=%lld is ignored for Opus output; it is encoded at %lld Hz",
               static_cast<long long>(engine.settings.sampleRate),
               static_cast<long long>(kOpusOutputRate));
}

void ReportStreamType() {
    const EngineState& engine = Engine();
    if (engine.settings.isOggVorbis) Report(engine.sinks.streamType, "OggVorbis");
    if (engine.settings.isLame) Report(engine.sinks.streamType, "MP3");
    if (engine.settings.isOpus) Report(engine.sinks.streamType, "OggOpus");
}

// As written: the blanks leave Server and Port only after this report.
void ReportDestination() {
    const EngineState& engine = Engine();
    if (engine.sinks.destinationUrl == nullptr) return;
    char url[512];
    std::snprintf(url, sizeof url, "http://%s:%s%s", engine.settings.serverHost.c_str(),
                  engine.settings.serverPort.c_str(), engine.settings.serverMountpoint.c_str());
    Report(engine.sinks.destinationUrl, url);
}

// "B" as in "Bitrate" or "Bitrate Management".
void DeriveOggBitrateManaged() {
    EngineState& engine = Engine();
    engine.settings.oggBitrateManaged =
        engine.settings.oggBitrateQualityText.c_str()[0] == 'B' ? 1 : 0;
}

// Any other ServerType (a misspelt name, blanks around it) would leave the run without a login
// protocol of its own: it would log in the Shoutcast way, on Port + 1.
bool DeriveServerType() {
    EngineState& engine = Engine();
    const std::string_view type = engine.settings.serverType.view();
    if (!IsOneOfTheNames("ServerType", type, {"Shoutcast", "Icecast", "Icecast2"})) return false;
    engine.settings.isShoutcast = type == "Shoutcast" ? 1 : 0;
    engine.settings.isIcecast = type == "Icecast" ? 1 : 0;
    engine.settings.isIcecast2 = type == "Icecast2" ? 1 : 0;
    return true;
}

// The mount goes into the login's request line and into the query string of every title update: a
// blank ends the request's path there, "?", "&" and "#" start a query or a fragment of their own
// (with "/a.mp3&mount=/b.mp3" every title would go to the mount /b.mp3), and ".." leaves the
// mount's folder.
bool CheckMountpoint() {
    if (ValueRefused("ServerMountpoint")) return false;
    const std::string_view mount = Engine().settings.serverMountpoint.view();
    for (const char* forbidden : {" ", "?", "&", "#", ".."}) {
        if (mount.find(forbidden) == std::string_view::npos) continue;
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "ServerMountpoint \"%s\" holds \"%s\": a mount holds no blank, \"?\", \"&\", "
                   "\"#\" or \"..\"",
                   PrintableText(mount).c_str(), forbidden);
        return false;
    }
    return true;
}

const char* ChannelText(int channels) {
    switch (channels) {
        case 2:
            return "Stereo";
        case 1:
            return "Mono";
        default:
            return "";
    }
}

// Constant-rate formats read "kbps/Hz/channels"; managed and variable rates put the channel text
// before the rate. The rate is printed as a 32-bit number.
void ReportBitrateDescriptions() {
    const EngineState& engine = Engine();
    if (engine.sinks.bitrateDescription == nullptr) return;
    const char* channelText = ChannelText(engine.settings.channels);
    const int rate = static_cast<int>(OutputSampleRate(engine.settings));
    char text[256];
    auto rangeDescription = [&] {
        std::snprintf(text, sizeof text, "(%d/%d/%d)/%s/%d", engine.settings.bitrateMin,
                      engine.settings.bitrateNominal, engine.settings.bitrateMax, channelText,
                      rate);
        Report(engine.sinks.bitrateDescription, text);
    };
    auto constantDescription = [&] {
        std::snprintf(text, sizeof text, "%dkbps/%dHz/%s", engine.settings.bitrateNominal, rate,
                      channelText);
        Report(engine.sinks.bitrateDescription, text);
    };
    if (engine.settings.isOggVorbis) {
        if (engine.settings.oggBitrateManaged) {
            rangeDescription();
        } else {
            std::snprintf(text, sizeof text, "Quality %s/%s/%d", engine.settings.oggQuality.c_str(),
                          channelText, rate);
            Report(engine.sinks.bitrateDescription, text);
        }
    }
    if (engine.settings.isOpus) constantDescription();
    if (engine.settings.isLame) {
        if (engine.settings.lameCbrFlag != 0) {
            constantDescription();
        } else {
            rangeDescription();
        }
    }
}

// Under a second, every pause between two reads of a slow source would count as a stall, and a
// source that is down would be tried again in a tight loop.
void RaiseToOneSecond(std::int32_t& seconds, const char* key) {
    if (seconds >= 1) return;
    LogMessage(LOG_ERROR, kLogEngine, __LINE__, "%s=%d is below 1 second; 1 second is used", key,
               static_cast<int>(seconds));
    seconds = 1;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t index = 0; index < prefix.size(); ++index) {
        if (std::tolower(static_cast<unsigned char>(text[index])) != prefix[index]) return false;
    }
    return true;
}

// A backup the input cannot fetch would fail on every outage, when it is needed; refusing it at
// start puts the reason in the log while the operator is still looking.
void CheckBackupUrl() {
    FixedText<1024>& url = Engine().settings.sourceBackupUrl;
    const std::string_view text = url.view();
    if (text.empty() || StartsWithIgnoringCase(text, "http://") ||
        StartsWithIgnoringCase(text, "https://")) {
        return;
    }
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "SourceBackupURL \"%s\" is not an http:// or https:// URL; the run has no backup "
               "source",
               MaskedUrl(text).c_str());
    url.clear();
}

void CheckSourceSettings() {
    EngineState& engine = Engine();
    RaiseToOneSecond(engine.settings.sourceTimeoutSecs, "SourceTimeout");
    RaiseToOneSecond(engine.settings.sourceRetrySecs, "SourceRetrySecs");
    CheckBackupUrl();
}

// From here on the configuration, not "-e" and "-l", decides what is logged and where. A refused
// value leaves its option in force, so that the Error about it is read where the options say.
void TakeOverLogSettings() {
    const EngineState& engine = Engine();
    if (!ValueRefused("LogLevel")) SetLogLevel(engine.settings.logLevel);
    if (!ValueRefused("LogFile")) SetLogPath(engine.settings.logFile.c_str());
}

void ReportSetup() {
    const EngineState& engine = Engine();
    Report(engine.sinks.sourceUrl, MaskedUrl(engine.settings.sourceUrl.view()).c_str());
    ReportStreamType();
    ReportDestination();
    RemoveServerAddressBlanks();
    Report(engine.sinks.serverType, engine.settings.serverType.c_str());
    Report(engine.sinks.streamDescription, engine.settings.serverDescription.c_str());
    ReportBitrateDescriptions();
    Report(engine.sinks.serverStatus, "Disconnected");
}

}  // namespace

int ApplyConfig() {
    if (!LookUpSettings("SourceURL", "SilenceThreshold")) return 0;
    TakeOverLogSettings();

    // Every check runs, so that one start names every value to mend.
    bool usable = ReportRefusedValues() == 0;
    usable = DeriveOutputFormat() && usable;
    usable = DeriveServerType() && usable;
    usable = CheckMountpoint() && usable;
    usable = ReportKeyProblems() && usable;
    DeriveOggBitrateManaged();
    // Flags (SourceReconnect, OutputPacing) are kept as written, like every other flag: any value
    // but 0 counts as set.
    CheckSourceSettings();
    if (!usable) return 0;

    NoteIgnoredSampleRate();
    ReportSetup();
    return 1;
}
