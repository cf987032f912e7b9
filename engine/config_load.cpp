// Loading and writing the configuration file named by configPath: the store (common/config_store)
// does the reading and writing, the settings catalogue (settings_catalogue.cpp) what the keys mean.
#include "common/config_store.h"
#include "common/log.h"
#include "engine/libzembril.h"

namespace {

constexpr const char* kDefaultConfigPath = "transcoder.cfg";

const char* ConfigPathOrDefault() {
    EngineState& engine = Engine();
    if (engine.configPath.empty()) engine.configPath.assign(kDefaultConfigPath);
    return engine.configPath.c_str();
}

}  // namespace

void SetConfigPath(const char* path) {
    // A cut path would name some other file, which create mode would then overwrite; the default
    // name is the lesser surprise.
    if (!Engine().configPath.assign(path != nullptr ? path : "")) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Config file path too long (more than %zu characters), using %s",
                   Engine().configPath.kCapacity, kDefaultConfigPath);
        Engine().configPath.clear();
    }
}

int LoadConfig(int mode) {
    ResetConfigTable();
    const char* path = ConfigPathOrDefault();
    if (!ReadConfigEntries(path)) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Cannot open config file %s - we will create one (%s)\n", path,
                   kDefaultConfigPath);
    }
    ApplyConfig();
    if (mode == kConfigCreate) WriteConfigFile();
    return 1;
}

int WriteConfigFile() {
    StoreConfigValues();
    const char* path = ConfigPathOrDefault();
    if (!WriteConfigEntries(path)) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot open config file %s\n", path);
        return 0;
    }
    return 1;
}
