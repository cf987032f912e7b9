// The settings catalogue: the configuration keys, their defaults and descriptions, and the
// EngineSettings field each one sets; the lookups into those fields, the values that do not fit
// them, and the store-back before the file is written. What the values mean beyond their fields is
// ApplyConfig's (settings_apply.cpp).
//
// The rows are in lookup order. Keys missing from the file are appended to the store in that order,
// so it is also the order of the keys in a newly written configuration file. The descriptions are
// the texts users see in that file; keep them as they are, spelling included.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/config_store.h"
#include "common/log.h"
#include "engine/libzembril.h"

namespace {

struct Setting;
using SettingAction = void (*)(const Setting&);

struct Setting {
    const char* key;
    const char* defaultText;     // text keys, and the numeric keys whose default is a text
    std::int32_t defaultNumber;  // integer keys
    const char* description;
    SettingAction lookUp;     // store lookup into the field
    SettingAction storeBack;  // field back into the store
    std::size_t textRoom;     // characters the field of a text key holds; 0 for numbers
};

template <auto Field>
auto& FieldOf() {
    return Engine().settings.*Field;
}

// Text fields are often narrower than the 255 characters a value may have. A value that does not
// fit is cut here, and refused by ReportRefusedValues before the run uses it.
template <auto Field>
void LookUpText(const Setting& setting) {
    FieldOf<Field>().assign(GetConfigValue(setting.key, setting.defaultText, setting.description));
}

template <auto Field>
void StoreText(const Setting& setting) {
    SetConfigValue(setting.key, FieldOf<Field>().c_str());
}

template <auto Field>
void LookUpInteger(const Setting& setting) {
    using Value = std::remove_reference_t<decltype(FieldOf<Field>())>;
    FieldOf<Field>() =
        static_cast<Value>(GetConfigInt(setting.key, setting.defaultNumber, setting.description));
}

// A text default converted the way atoi does (strtol: atoi minus the overflow trap).
template <auto Field>
void LookUpNumericText(const Setting& setting) {
    using Value = std::remove_reference_t<decltype(FieldOf<Field>())>;
    FixedText<256> scratch;
    GetConfigValue(setting.key, setting.defaultText, setting.description, scratch);
    const auto number = static_cast<std::int32_t>(std::strtol(scratch.c_str(), nullptr, 10));
    FieldOf<Field>() = static_cast<Value>(number);
}

// 64-bit fields go back as 32-bit numbers, like every integer key.
template <auto Field>
void StoreInteger(const Setting& setting) {
    SetConfigInt(setting.key, static_cast<std::int32_t>(FieldOf<Field>()));
}

template <auto Field>
constexpr Setting TextSetting(const char* key, const char* defaultText, const char* description) {
    using Text = std::remove_reference_t<decltype(Engine().settings.*Field)>;
    return {
        key, defaultText, 0, description, &LookUpText<Field>, &StoreText<Field>, Text::kCapacity};
}

template <auto Field>
constexpr Setting IntegerSetting(const char* key, std::int32_t defaultNumber,
                                 const char* description) {
    return {key, "", defaultNumber, description, &LookUpInteger<Field>, &StoreInteger<Field>, 0};
}

template <auto Field>
constexpr Setting NumericTextSetting(const char* key, const char* defaultText,
                                     const char* description) {
    return {key, defaultText, 0, description, &LookUpNumericText<Field>, &StoreInteger<Field>, 0};
}

// One layout for every row: field, then key and default, then the description.
// clang-format off
constexpr Setting kCatalogue[] = {
    TextSetting<&EngineSettings::sourceUrl>(
        "SourceURL", "http://localhost/",
        "The source URL for the broadcast. It must be in the form "
        "http://server:port/mountpoint.  For those servers without a mountpoint (Shoutcast) "
        "use http://server:port. To record from line in, use 'linein' for this entry"),
    TextSetting<&EngineSettings::serverHost>(
        "Server", "localhost",
        "The server to which the stream is sent. It can be a hostname  or IP (example: "
        "stream.example.com, 192.168.1.100)"),
    TextSetting<&EngineSettings::serverPort>(
        "Port", "8000",
        "The port to which the stream is sent. Must be a number (example: 8000)"),
    TextSetting<&EngineSettings::serverPassword>(
        "ServerPassword", "defaultpass",
        "This is the encoder password for the destination server (example: sesame)"),
    IntegerSetting<&EngineSettings::serverPublic>(
        "ServerPublic", 1,
        "This setting tells the destination server to list on any available YP listings. Not "
        "all servers support this (Shoutcast does, Icecast2 doesn't) (example: 1 for YES, 0 "
        "for NO)"),
    TextSetting<&EngineSettings::serverIrc>(
        "ServerIRC", "",
        "This is used in the YP listing, I think only Shoutcast supports this (example: "
        "#mystream)"),
    TextSetting<&EngineSettings::serverAim>(
        "ServerAIM", "",
        "This is used in the YP listing, I think only Shoutcast supports this (example: "
        "myAIMaccount)"),
    TextSetting<&EngineSettings::serverIcq>(
        "ServerICQ", "",
        "This is used in the YP listing, I think only Shoutcast supports this (example: "
        "123456789)"),
    TextSetting<&EngineSettings::serverStreamUrl>(
        "ServerStreamURL", "http://www.example.org",
        "The URL that is associated with your stream. (example: http://www.example.org)"),
    TextSetting<&EngineSettings::serverDescription>(
        "ServerDescription", "This is my server desription",
        "A short description of the stream (example: Stream House on Fire!)"),
    TextSetting<&EngineSettings::serverGenre>(
        "ServerGenre", "Rock",
        "Genre of music, can be anything you want... (example: Rock)"),
    TextSetting<&EngineSettings::serverMountpoint>(
        "ServerMountpoint", "",
        "Used for Icecast/Icecast2 servers, The mountpoint must end in .ogg for Vorbis streams "
        "and have NO extention for MP3 streams.  If you are sending to a Shoutcast server, "
        "this MUST be blank. (example: /mp3, /myvorbis.ogg)"),
    IntegerSetting<&EngineSettings::autoReconnect>(
        "AutomaticReconnect", 0,
        "Wether or not zembril will reconnect if it is disconnected from the destination "
        "server (example: 1 for YES, 0 for NO)"),
    IntegerSetting<&EngineSettings::reconnectSecs>(
        "AutomaticReconnectSecs", 10,
        "How long it will wait (in seconds) between reconnect attempts. (example: 10)"),
    TextSetting<&EngineSettings::encodeFormat>(
        "Encode", "LAME",
        "What format to encode to. Valid values are (OGG, LAME, OPUS) (example: OGG, LAME, OPUS)"),
    NumericTextSetting<&EngineSettings::wmaPort>(
        "WMAPort", "8200",
        "The port used for WMA stream (example: 8200)"),
    NumericTextSetting<&EngineSettings::wmaClients>(
        "WMAClients", "5",
        "Number of clients to support WMA encoding. (example: 1, 10)"),
    TextSetting<&EngineSettings::wmaMode>(
        "WMAMode", "Stereo",
        "The channel mode of the WMA stream (example: Stereo, Mono)"),
    IntegerSetting<&EngineSettings::bitrateNominal>(
        "BitrateNominal", 128,
        "Bitrate. This is the mean bitrate if using VBR."),
    IntegerSetting<&EngineSettings::bitrateMin>(
        "BitrateMin", 128,
        "Minimum Bitrate. Used only if using Bitrate Management (not recommended) or LAME "
        "VBR(example: 64, 128)"),
    IntegerSetting<&EngineSettings::bitrateMax>(
        "BitrateMax", 128,
        "Maximum Bitrate. Used only if using Bitrate Management (not recommended) or LAME VBR "
        "(example: 64, 128)"),
    IntegerSetting<&EngineSettings::channels>(
        "NumberChannels", 2,
        "Number of channels. Valid values are (1, 2). 1 means Mono, 2 means Stereo (example: "
        "2,1)"),
    TextSetting<&EngineSettings::oggQuality>(
        "OggQuality", "0",
        "Vorbis Quality Level. Valid values are between -1 (lowest quality) and 10 (highest).  "
        "The lower the quality the lower the output bitrate. (example: -1, 3)"),
    IntegerSetting<&EngineSettings::sampleRate>(
        "Samplerate", 44100,
        "Sample rate for the stream. Valid values depend on wether using lame or vorbis. "
        "Vorbis supports odd samplerates such as 32kHz and 48kHz, but lame appears to not.feel "
        "free to experiment (example: 44100, 22050, 11025)"),
    TextSetting<&EngineSettings::oggBitrateQualityText>(
        "OggBitrateQualityFlag", "Quality",
        "This flag specifies if you want Vorbis Quality or Bitrate Management.  Quality is "
        "always recommended. Valid values are (Bitrate, Quality). (example: Quality, Bitrate "
        "Management)"),
    IntegerSetting<&EngineSettings::lameCbrFlag>(
        "LameCBRFlag", 1,
        "This LAME flag indicates that CBR encoding is desired. If this flag is set then LAME "
        "with use CBR, if not set then it will use VBR (and you must then specify a VBR mode). "
        "Valid values are (1 for SET, 0 for NOT SET) (example: 1)"),
    IntegerSetting<&EngineSettings::lameQuality>(
        "LameQuality", 1,
        "A number between 1 and 10 which indicates the desired quality level of the stream.  "
        "The higher the number, the higher the quality.  Also, the higher the number, the "
        "higher the CPU utilization. So for slower CPUs, try a low quality number (example: 5)"),
    IntegerSetting<&EngineSettings::lameCopywrite>(
        "LameCopywrite", 0,
        "Copywrite flag. Not used for much. Valid values (1 for YES, 0 for NO)"),
    IntegerSetting<&EngineSettings::lameOriginal>(
        "LameOriginal", 0,
        "Original flag. Not used for much. Valid values (1 for YES, 0 for NO)"),
    IntegerSetting<&EngineSettings::lameStrictIso>(
        "LameStrictISO", 0,
        "Strict ISO flag. Not used for much. Valid values (1 for YES, 0 for NO)"),
    IntegerSetting<&EngineSettings::lameDisableReservoir>(
        "LameDisableReservior", 0,
        "Disable Reservior flag. Not used for much. Valid values (1 for YES, 0 for NO)"),
    TextSetting<&EngineSettings::lameVbrMode>(
        "LameVBRMode", "vbr_abr",
        "This specifies the type of VBR encoding LAME will perform if VBR encoding is set "
        "(CBRFlag is NOT SET). See the LAME documention for more on what these mean. Valid "
        "values are (vbr_rh, vbr_mt, vbr_mtrh, vbr_abr)"),
    IntegerSetting<&EngineSettings::lameLowpassFreq>(
        "LameLowpassfreq", 0,
        "Use LAMEs lowpass filter. If you set this to 0, then no filtering is done."),
    IntegerSetting<&EngineSettings::lameHighpassFreq>(
        "LameHighpassfreq", 0,
        "Use LAMEs highpass filter. If you set this to 0, then no filtering is done."),
    TextSetting<&EngineSettings::serverType>(
        "ServerType", "Shoutcast",
        "The destination server type.  You must set this correctly otherwise you will get "
        "problems connecting the encoder.  Please make sure you are using the correct one. "
        "Valid values are (Shoutcast, Icecast, Icecast2) (example: Icecast2)"),
    TextSetting<&EngineSettings::lineInDevice>(
        "AdvRecDevice", "/dev/dsp",
        "If recording from linein, what device to use (not needed for win32) (example: "
        "/dev/dsp)"),
    NumericTextSetting<&EngineSettings::lineInSampleRate>(
        "LiveInSamplerate", "44100",
        "If recording from linein, what sample rate to open the device with. (example: 44100, "
        "48000)"),
    IntegerSetting<&EngineSettings::lastX>(
        "lastX", 0,
        "Used for any window positions (X value)"),
    IntegerSetting<&EngineSettings::lastY>(
        "lastY", 0,
        "Used for any window positions (Y value)"),
    IntegerSetting<&EngineSettings::showVu>(
        "showVU", 0,
        "Used for plugins that show the VU meter"),
    IntegerSetting<&EngineSettings::lineInFlag>(
        "LineInFlag", 0,
        "Flag which indicates we are recording from line in"),
    TextSetting<&EngineSettings::lockedMetadata>(
        "LockMetadata", "",
        "Locked Metadata"),
    IntegerSetting<&EngineSettings::lockMetadataFlag>(
        "LockMetadataFlag", 0,
        "Flag which indicates if we are using locked metadata"),
    TextSetting<&EngineSettings::saveDirectory>(
        "SaveDirectory", "",
        "Save directory for archive streams"),
    IntegerSetting<&EngineSettings::saveArchives>(
        "SaveDirectoryFlag", 0,
        "Flag which indicates if we are saving archives"),
    IntegerSetting<&EngineSettings::logLevel>(
        "LogLevel", 1,
        "Log Level 1 = LOG_ERROR, 2 = LOG_ERROR+LOG_WARNING, 3 = "
        "LOG_ERROR+LOG_WARNING+LOG_DEBUG"),
    TextSetting<&EngineSettings::logFile>(
        "LogFile", "zembrilv2.log",
        "Log File"),
    IntegerSetting<&EngineSettings::saveAsWav>(
        "SaveAsWAV", 0,
        "Save Archives in WAV format"),
    TextSetting<&EngineSettings::aacQuality>(
        "AACQuality", "100",
        "AAC Quality Level. Valid values are between 10 (lowest quality) and 500 (highest)."),
    TextSetting<&EngineSettings::aacCutoff>(
        "AACCutoff", "",
        "AAC Cutoff Frequency."),
    IntegerSetting<&EngineSettings::sourceReconnect>(
        "SourceReconnect", 0,
        "1 keeps the destination connected when the source ends, fails or stalls: silence is "
        "sent and the source is opened again. 0 ends the run with the source."),
    IntegerSetting<&EngineSettings::sourceTimeoutSecs>(
        "SourceTimeout", 10,
        "Seconds without audio bytes from the source before it counts as stalled (example: 10)"),
    IntegerSetting<&EngineSettings::sourceRetrySecs>(
        "SourceRetrySecs", 5,
        "The longest wait in seconds between attempts to open the source again; the waits grow "
        "1, 2, 4 ... up to this (example: 5)"),
    TextSetting<&EngineSettings::sourceBackupUrl>(
        "SourceBackupURL", "",
        "A second station, http:// or https://, relayed while SourceURL fails (empty: none)"),
    TextSetting<&EngineSettings::fallbackTitle>(
        "FallbackTitle", "",
        "The title sent while silence is relayed (empty: the last title stays)"),
    IntegerSetting<&EngineSettings::outputPacing>(
        "OutputPacing", 1,
        "1 sends at most about 2 s ahead of real time; 0 passes audio on as fast as the source "
        "delivers it (for files and benchmarks)"),
    IntegerSetting<&EngineSettings::statusPort>(
        "StatusPort", 0,
        "TCP port of the status listener: /metrics (Prometheus), /healthz and /status.json over "
        "HTTP (0: no listener)"),
    TextSetting<&EngineSettings::statusAddress>(
        "StatusAddress", "127.0.0.1",
        "The IPv4 address the status listener serves on (0.0.0.0: every interface)"),
    IntegerSetting<&EngineSettings::levelLogSecs>(
        "LevelLogSecs", 0,
        "Seconds between Info lines with the source's short-term loudness and peak (0: none)"),
    IntegerSetting<&EngineSettings::silenceSecs>(
        "SilenceSecs", 0,
        "Seconds the source may stay below SilenceThreshold before it counts as dead air; with "
        "SourceReconnect=1 dead air counts as a failed source (0: not watched)"),
    IntegerSetting<&EngineSettings::silenceThreshold>(
        "SilenceThreshold", -50,
        "The sample peak in dBFS below which the source counts as silent (example: -50)"),
};
// clang-format on

// Only the blank itself: a tab, like any control byte, has refused the value before.
template <std::size_t N>
void RemoveBlanks(FixedText<N>& text) {
    std::string kept;
    for (const char c : text.view()) {
        if (c != ' ') kept.push_back(c);
    }
    text.assign(kept);
}

const Setting* FindSetting(std::string_view key) {
    for (const Setting& setting : kCatalogue) {
        if (key == setting.key) return &setting;
    }
    return nullptr;
}

// The catalogue row of a key the code names; nullptr, with an Error line, when it has none (the
// lookup or store-back that asked for it would otherwise leave its settings out without a word).
const Setting* CatalogueRow(const char* key, const char* purpose) {
    const Setting* setting = FindSetting(key);
    if (setting == nullptr) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "%s: \"%s\" is no key of the settings catalogue", purpose, key);
    }
    return setting;
}

bool IsControlCharacter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// Why the run must not use the value the table holds for this key; empty when it may. A value cut
// to fit would name another host, password or mount; a control byte would reach the server's
// login (a carriage return ends a line of it) or the log as it is. The value itself is not
// shown: it may be a password.
std::string RefusalOf(const Setting& setting) {
    const ConfigEntry* entry = FindConfigEntry(setting.key);
    if (entry == nullptr) return "";
    const std::string_view value = entry->value.view();
    const auto control = std::find_if(value.begin(), value.end(), IsControlCharacter);
    if (control != value.end()) {
        char reason[160];
        std::snprintf(reason, sizeof reason,
                      "Value of %s holds a control byte (0x%02X at character %zu)", setting.key,
                      static_cast<unsigned>(static_cast<unsigned char>(*control)),
                      static_cast<std::size_t>(control - value.begin()) + 1);
        return reason;
    }
    std::size_t room = decltype(ConfigEntry::value)::kCapacity;
    if (setting.textRoom != 0) room = std::min(room, setting.textRoom);
    const auto length = static_cast<std::size_t>(entry->valueLength);
    if (length > room) {
        char reason[160];
        std::snprintf(reason, sizeof reason, "Value of %s too long: %zu characters, at most %zu",
                      setting.key, length, room);
        return reason;
    }
    return "";
}

// The order in which the settings go back into the store. It differs from the lookup order in two
// places (LineInFlag, SaveAsWAV), which only matters for keys the store does not hold yet.
constexpr const char* kStoreBackOrder[] = {
    "SourceURL",
    "Server",
    "Port",
    "ServerPassword",
    "ServerPublic",
    "ServerIRC",
    "ServerAIM",
    "ServerICQ",
    "ServerStreamURL",
    "ServerDescription",
    "ServerGenre",
    "ServerMountpoint",
    "AutomaticReconnect",
    "AutomaticReconnectSecs",
    "Encode",
    "WMAPort",
    "WMAClients",
    "WMAMode",
    "BitrateNominal",
    "BitrateMin",
    "BitrateMax",
    "NumberChannels",
    "OggQuality",
    "Samplerate",
    "OggBitrateQualityFlag",
    "LameCBRFlag",
    "LameQuality",
    "LameCopywrite",
    "LameOriginal",
    "LameStrictISO",
    "LameDisableReservior",
    "LameVBRMode",
    "LameLowpassfreq",
    "LameHighpassfreq",
    "ServerType",
    "AdvRecDevice",
    "LiveInSamplerate",
    "LineInFlag",
    "lastX",
    "lastY",
    "showVU",
    "LockMetadata",
    "LockMetadataFlag",
    "SaveDirectory",
    "SaveDirectoryFlag",
    "LogLevel",
    "SaveAsWAV",
    "LogFile",
    "AACQuality",
    "AACCutoff",
    "SourceReconnect",
    "SourceTimeout",
    "SourceRetrySecs",
    "SourceBackupURL",
    "FallbackTitle",
    "OutputPacing",
    "StatusPort",
    "StatusAddress",
    "LevelLogSecs",
    "SilenceSecs",
    "SilenceThreshold",
};
static_assert(std::size(kStoreBackOrder) == std::size(kCatalogue));

}  // namespace

int LookUpSettings(const char* firstKey, const char* lastKey) {
    const Setting* setting = CatalogueRow(firstKey, "Settings look-up");
    const Setting* last = CatalogueRow(lastKey, "Settings look-up");
    if (setting == nullptr || last == nullptr) return 0;
    if (last < setting) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Settings look-up: \"%s\" comes after \"%s\" in the settings catalogue",
                   firstKey, lastKey);
        return 0;
    }
    for (; setting <= last; ++setting) setting->lookUp(*setting);
    return 1;
}

int ReportRefusedValues() {
    int refused = 0;
    for (const Setting& setting : kCatalogue) {
        const std::string reason = RefusalOf(setting);
        if (reason.empty()) continue;
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "%s", reason.c_str());
        ++refused;
    }
    return refused;
}

bool ValueRefused(const char* key) {
    const Setting* setting = FindSetting(key);
    return setting != nullptr && !RefusalOf(*setting).empty();
}

std::span<const char* const> CatalogueKeys() {
    return kStoreBackOrder;
}

void RemoveServerAddressBlanks() {
    RemoveBlanks(Engine().settings.serverHost);
    RemoveBlanks(Engine().settings.serverPort);
}

void StoreConfigValues() {
    RemoveServerAddressBlanks();
    for (const char* key : kStoreBackOrder) {
        if (const Setting* setting = CatalogueRow(key, "Settings store-back")) {
            setting->storeBack(*setting);
        }
    }
}
