#include "common/config_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/log.h"

namespace {

ConfigTable configTable;

// A line of the file is read into 1024 bytes, at most 1022 characters at a time; a longer line
// arrives in pieces, each treated as a line of its own.
constexpr int kLineBufferBytes = 1024;
constexpr int kLineReadCharacters = 1022;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

ConfigEntry* FindEntry(std::string_view key) {
    for (int index = 0; index < configTable.entryCount; ++index) {
        ConfigEntry& entry = configTable.entries[index];
        if (entry.key == key) return &entry;
    }
    return nullptr;
}

// Reading takes carriage returns at a line's end for the line ending, so the file cannot keep
// them at a value's end; the table never holds one either (a value cut to its field, or a setting
// stored back from a cut field, would otherwise be written as a line that reads as another value).
void AssignValue(FixedText<256>& field, std::string_view value) {
    value = value.substr(0, decltype(ConfigEntry::value)::kCapacity);
    while (!value.empty() && value.back() == '\r') value.remove_suffix(1);
    field.assign(value);
}

// The table holds a fixed number of entries; one more is refused rather than written outside it.
ConfigEntry* AppendEntry(std::string_view key, std::string_view value,
                         std::string_view description) {
    if (configTable.entryCount >= kConfigTableCapacity) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Too many config entries (%d), ignoring %.*s",
                   kConfigTableCapacity, static_cast<int>(key.size()), key.data());
        return nullptr;
    }
    ConfigEntry& entry = configTable.entries[configTable.entryCount++];
    entry.key.assign(key);
    AssignValue(entry.value, value);
    entry.description.assign(description);
    return &entry;
}

// A file edited on Windows ends its lines with "\r\n": the carriage returns at the end fall with
// the value's assignment (AssignValue), so they never reach host names, passwords or the server
// type.
void AddFileLine(char* line) {
    std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    if (line[0] == '#') return;
    const char* equals = std::strchr(line, '=');
    if (equals == nullptr) return;
    AppendEntry(std::string_view(line, equals - line), equals + 1, "");
}

}  // namespace

ConfigTable& Config() {
    return configTable;
}

void ResetConfigTable() {
    for (ConfigEntry& entry : configTable.entries) {
        entry.key.clear();
        entry.value.clear();
        entry.description.clear();
    }
    configTable.entryCount = 0;
}

std::string_view GetConfigValue(const char* key, const char* defaultValue,
                                const char* description) {
    if (ConfigEntry* entry = FindEntry(key)) {
        entry->description.assign(description);
        return entry->value.view();
    }
    if (ConfigEntry* added = AppendEntry(key, defaultValue, description)) {
        return added->value.view();
    }
    return defaultValue;
}

long GetConfigInt(const char* key, std::int32_t defaultValue, const char* description) {
    char defaultText[16];
    std::snprintf(defaultText, sizeof defaultText, "%d", defaultValue);
    FixedText<1024> scratch;
    GetConfigValue(key, defaultText, description, scratch);
    // strtol is what atol does, minus the undefined behaviour on overflow.
    return std::strtol(scratch.c_str(), nullptr, 10);
}

int SetConfigValue(const char* key, const char* value) {
    if (ConfigEntry* entry = FindEntry(key)) {
        AssignValue(entry->value, value);
        return 1;
    }
    return AppendEntry(key, value, "") != nullptr ? 1 : 0;
}

int SetConfigInt(const char* key, std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return SetConfigValue(key, text);
}

int ReadConfigEntries(const char* path) {
    FileHandle file(std::fopen(path, "r"));
    if (!file) return 0;
    char line[kLineBufferBytes];
    while (true) {
        std::memset(line, 0, sizeof line);
        if (std::fgets(line, kLineReadCharacters + 1, file.get()) == nullptr) break;
        AddFileLine(line);
    }
    // A path that opens but cannot be read (a directory, an I/O error) is no configuration.
    return std::ferror(file.get()) ? 0 : 1;
}

int WriteConfigEntries(const char* path) {
    FileHandle file(std::fopen(path, "w"));
    if (!file) return 0;
    for (int index = 0; index < configTable.entryCount; ++index) {
        const ConfigEntry& entry = configTable.entries[index];
        std::fprintf(file.get(), "#\n#%s\n#\n", entry.description.c_str());
        std::fprintf(file.get(), "%s=%s\n\n", entry.key.c_str(), entry.value.c_str());
    }
    // Data still in the stream's buffer can fail on the way out (a full disk): only a clean close
    // means the file is written.
    const bool writeFailed = std::ferror(file.get()) != 0;
    if (std::fclose(file.release()) != 0 || writeFailed) return 0;
    return 1;
}

void DumpConfig() {
    for (int index = 0; index < configTable.entryCount; ++index) {
        const ConfigEntry& entry = configTable.entries[index];
        LogMessage(LOG_DEBUG, kLogEngine, __LINE__, "(%s) = (%s)\n", entry.key.c_str(),
                   entry.value.c_str());
    }
}
