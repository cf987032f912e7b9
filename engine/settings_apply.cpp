// ApplyConfig: looks up every configuration key into EngineState, derives the output-format and
// server-type flags, hands the log settings to the logger, corrects source settings the input
// could not work with, and reports the resulting setup on the engine's status slots.
//
// The steps are interleaved with the lookups on purpose: the stream type is reported before
// ServerType is read (so "WMA" is never reported at start-up), and the destination before the
// blanks are removed from Server and Port.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "common/log.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"

namespace {

// First character of Encode, case-sensitive: "OGG", "LAME", "AAC"; other values select nothing.
void DeriveOutputFormat() {
    EngineState& engine = Engine();
    switch (engine.encodeFormat.c_str()[0]) {
        case 'O':
            engine.isOggVorbis = 1;
            engine.isLame = engine.isAac = 0;
            break;
        case 'L':
            engine.isLame = 1;
            engine.isOggVorbis = engine.isAac = 0;
            break;
        case 'A':
            engine.isAac = 1;
            engine.isOggVorbis = engine.isLame = 0;
            break;
        case 'W':
            engine.isOggVorbis = engine.isLame = engine.isAac = 0;
            LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                       "WMA encoding not supported on non-win32 platforms");
            break;
        default:
            break;
    }
}

void ReportStreamTypes() {
    const EngineState& engine = Engine();
    if (engine.isOggVorbis) Report(engine.streamTypeSink, "OggVorbis");
    if (engine.isLame) Report(engine.streamTypeSink, "MP3");
    if (engine.isWma) Report(engine.streamTypeSink, "WMA");
    if (engine.isAac) Report(engine.streamTypeSink, "AAC");
}

void ReportDestination() {
    const EngineState& engine = Engine();
    if (engine.destinationUrlSink == nullptr) return;
    char url[512];
    if (engine.isWma) {
        std::snprintf(url, sizeof url, "http://localhost:%d", engine.wmaPort);
    } else {
        std::snprintf(url, sizeof url, "http://%s:%s%s", engine.serverHost.c_str(),
                      engine.serverPort.c_str(), engine.serverMountpoint.c_str());
    }
    Report(engine.destinationUrlSink, url);
}

// "B" as in "Bitrate" or "Bitrate Management".
void DeriveOggBitrateManaged() {
    EngineState& engine = Engine();
    engine.oggBitrateManaged = engine.oggBitrateQualityText.c_str()[0] == 'B' ? 1 : 0;
}

// Exact, case-sensitive names; an unknown name leaves the flags as they are.
void DeriveServerType() {
    EngineState& engine = Engine();
    const std::string_view type = engine.serverType.view();
    if (type == "KasterBlaster" || type == "Shoutcast") {
        engine.isShoutcast = 1;
        engine.isIcecast = engine.isIcecast2 = 0;
    } else if (type == "Icecast") {
        engine.isIcecast = 1;
        engine.isShoutcast = engine.isIcecast2 = 0;
    } else if (type == "Icecast2") {
        engine.isIcecast2 = 1;
        engine.isShoutcast = engine.isIcecast = 0;
    } else if (type == "WMA") {
        engine.isWma = 1;
        engine.isShoutcast = engine.isIcecast = engine.isIcecast2 = 0;
    } else {
        // Otherwise a misspelt name (or a stray carriage return from a file edited elsewhere)
        // would only show as a failed login, made the Shoutcast way.
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "ServerType \"%s\" is none of Shoutcast, Icecast, Icecast2 (exact spelling)",
                   PrintableText(type).c_str());
    }
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
    if (engine.bitrateDescriptionSink == nullptr) return;
    const char* channelText = ChannelText(engine.channels);
    const int rate = static_cast<int>(engine.sampleRate);
    char text[256];
    auto rangeDescription = [&] {
        std::snprintf(text, sizeof text, "(%d/%d/%d)/%s/%d", engine.bitrateMin,
                      engine.bitrateNominal, engine.bitrateMax, channelText, rate);
        Report(engine.bitrateDescriptionSink, text);
    };
    auto constantDescription = [&] {
        std::snprintf(text, sizeof text, "%dkbps/%dHz/%s", engine.bitrateNominal, rate,
                      channelText);
        Report(engine.bitrateDescriptionSink, text);
    };
    if (engine.isOggVorbis) {
        if (engine.oggBitrateManaged) {
            rangeDescription();
        } else {
            std::snprintf(text, sizeof text, "Quality %s/%s/%d", engine.oggQuality.c_str(),
                          channelText, rate);
            Report(engine.bitrateDescriptionSink, text);
        }
    }
    if (engine.isLame) {
        if (engine.lameCbrFlag != 0) {
            constantDescription();
        } else {
            rangeDescription();
        }
    }
    if (engine.isAac) constantDescription();
    if (engine.isWma) constantDescription();
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
    FixedText<1024>& url = Engine().sourceBackupUrl;
    const std::string_view text = url.view();
    if (text.empty() || StartsWithIgnoringCase(text, "http://") ||
        StartsWithIgnoringCase(text, "https://")) {
        return;
    }
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "SourceBackupURL \"%s\" is not an http:// or https:// URL; the run has no backup "
               "source",
               PrintableText(text).c_str());
    url.clear();
}

void CheckSourceSettings() {
    EngineState& engine = Engine();
    RaiseToOneSecond(engine.sourceTimeoutSecs, "SourceTimeout");
    RaiseToOneSecond(engine.sourceRetrySecs, "SourceRetrySecs");
    CheckBackupUrl();
}

}  // namespace

void ApplyConfig() {
    EngineState& engine = Engine();

    LookUpSettings("SourceURL", "SourceURL");
    Report(engine.sourceUrlSink, engine.sourceUrl.c_str());

    LookUpSettings("Server", "Encode");
    DeriveOutputFormat();
    ReportStreamTypes();

    LookUpSettings("WMAPort", "WMAMode");
    ReportDestination();

    LookUpSettings("BitrateNominal", "OggBitrateQualityFlag");
    DeriveOggBitrateManaged();
    RemoveServerAddressBlanks();

    LookUpSettings("LameCBRFlag", "ServerType");
    DeriveServerType();
    Report(engine.serverTypeSink, engine.serverType.c_str());
    Report(engine.streamDescriptionSink, engine.serverDescription.c_str());

    LookUpSettings("AdvRecDevice", "SaveDirectoryFlag");

    // From here on the configuration, not "-e" and "-l", decides what is logged and where.
    LookUpSettings("LogLevel", "LogLevel");
    SetLogLevel(engine.logLevel);
    LookUpSettings("LogFile", "LogFile");
    SetLogPath(engine.logFile.c_str());

    LookUpSettings("SaveAsWAV", "AACCutoff");

    // Flags (SourceReconnect, OutputPacing) are kept as written, like every other flag: any value
    // but 0 counts as set.
    LookUpSettings("SourceReconnect", "OutputPacing");
    CheckSourceSettings();

    ReportBitrateDescriptions();
    Report(engine.serverStatusSink, "Disconnected");
}
