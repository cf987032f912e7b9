// Loading and writing the configuration file named by configPath: the store (common/config_store)
// does the reading and writing, the settings catalogue (settings_catalogue.cpp) what the keys mean.
#include <cerrno>
#include <cstring>

#include "common/config_store.h"
#include "common/log.h"
#include "engine/libzembril.h"

namespace {

constexpr const char* kDefaultConfigPath = "transcoder.cfg";

const char* ConfigPathOrDefault() {
    EngineState& engine = Engine();
    if (engine.settings.configPath.empty()) engine.settings.configPath.assign(kDefaultConfigPath);
    return engine.settings.configPath.c_str();
}

// Create mode makes the file when there is none; any other reason not to read it (no
// permission, a directory) is a failure in both modes: a file that exists but could not be read
// must not be overwritten with the defaults. A file the reader refuses has had its Error lines.
enum class FileRead { kRead, kRefused, kUnreadable };

FileRead ReadOrNew(int mode, const char* path) {
    const int result = ReadConfigEntries(path, CatalogueKeys());
    if (result == 1) return FileRead::kRead;
    if (result < 0) return FileRead::kRefused;
    const int reason = errno;
    const bool noSuchFile = reason == ENOENT || reason == ENOTDIR;
    if (mode == kConfigCreate && noSuchFile) return FileRead::kRead;
    LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot open config file %s: %s", path,
               std::strerror(reason));
    return FileRead::kUnreadable;
}

// Create mode would write back only what the table holds: the entries without room would be
// lost from the file.
bool Writable(int mode) {
    return mode != kConfigCreate || Config().entriesWithoutRoom == 0;
}

int Refuse(int mode, const char* path) {
    LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Config file %s refused: %s", path,
               mode == kConfigCreate ? "it is left as it is" : "the run does not start");
    return 0;
}

}  // namespace

int SetConfigPath(const char* path) {
    const char* text = path != nullptr ? path : "";
    // A cut path would name some other file, one that create mode would then overwrite.
    if (!Engine().settings.configPath.assign(text)) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Config file path too long (%zu characters, at most %zu)", std::strlen(text),
                   Engine().settings.configPath.kCapacity);
        Engine().settings.configPath.clear();
        return 0;
    }
    return 1;
}

int LoadConfig(int mode) {
    ResetConfigTable();
    const char* path = ConfigPathOrDefault();
    // Without its configuration the run would log in to the built-in server with the built-in
    // password, so a file that cannot be read, or not as it was written, ends it before any
    // connection.
    switch (ReadOrNew(mode, path)) {
        case FileRead::kUnreadable:
            return 0;
        case FileRead::kRefused:
            return Refuse(mode, path);
        case FileRead::kRead:
            break;
    }
    if (!ApplyConfig() || !Writable(mode)) return Refuse(mode, path);
    if (mode == kConfigCreate) return WriteConfigFile();
    return 1;
}

int WriteConfigFile() {
    StoreConfigValues();
    const char* path = ConfigPathOrDefault();
    if (!WriteConfigEntries(path)) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot write config file %s: %s", path,
                   std::strerror(errno));
        return 0;
    }
    return 1;
}
