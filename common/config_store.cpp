#include "common/config_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/log.h"
#include "common/text_encoding.h"

namespace {

ConfigTable configTable;

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

std::string_view WithoutTrailingCarriageReturns(std::string_view text) {
    while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    return text;
}

// Reading takes carriage returns at a line's end for the line ending, so the file cannot keep
// them at a value's end; the table never holds one either (a value cut to its field, or a setting
// stored back from a cut field, would otherwise be written as a line that reads as another value).
void AssignValue(ConfigEntry& entry, std::string_view value) {
    value = WithoutTrailingCarriageReturns(value);
    entry.valueLength = static_cast<std::int32_t>(value.size());
    entry.value.assign(
        WithoutTrailingCarriageReturns(value.substr(0, decltype(ConfigEntry::value)::kCapacity)));
}

// The table holds a fixed number of entries; one more is refused rather than written outside it.
ConfigEntry* AppendEntry(std::string_view key, std::string_view value, std::string_view description,
                         std::int32_t line = 0) {
    if (configTable.entryCount >= kConfigTableCapacity) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Too many config entries (%d), ignoring %s",
                   kConfigTableCapacity, PrintableText(key).c_str());
        return nullptr;
    }
    ConfigEntry& entry = configTable.entries[configTable.entryCount++];
    entry.key.assign(key);
    AssignValue(entry, value);
    entry.description.assign(description);
    entry.line = line;
    return &entry;
}

void ClearEntry(ConfigEntry& entry) {
    entry.key.clear();
    entry.value.clear();
    entry.description.clear();
    entry.line = 0;
    entry.valueLength = 0;
}

// One line of the file, its line end left out. Of a line longer than the reader takes only the
// first kConfigLineCharacters characters are kept, and the mark that there was more.
struct FileLine {
    std::string text;
    bool tooLong = false;
};

// False at the end of the file, when no character was left to read.
bool ReadLine(std::FILE* file, FileLine& line) {
    line.text.clear();
    line.tooLong = false;
    int c = std::getc(file);
    if (c == EOF) return false;
    // Carriage returns beyond the limit may still belong to the line end; anything after them
    // makes the line too long.
    for (; c != EOF && c != '\n'; c = std::getc(file)) {
        if (line.text.size() < static_cast<std::size_t>(kConfigLineCharacters)) {
            line.text.push_back(static_cast<char>(c));
        } else if (c != '\r') {
            line.tooLong = true;
        }
    }
    line.text.resize(WithoutTrailingCarriageReturns(line.text).size());
    return true;
}

// Places the table keeps for the keys that must always be read: one for each it does not hold.
struct ReservedPlaces {
    std::span<const char* const> keys;
    int count = 0;

    bool IsReservedFor(std::string_view key) const {
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    }
};

ReservedPlaces ReservePlaces(std::span<const char* const> keys) {
    ReservedPlaces reserved{keys, 0};
    for (const char* key : keys) {
        if (FindEntry(key) == nullptr) ++reserved.count;
    }
    return reserved;
}

void AddFileEntry(std::string_view key, std::string_view value, std::int32_t line,
                  ReservedPlaces& reserved) {
    if (reserved.IsReservedFor(key) && FindEntry(key) == nullptr) {
        if (AppendEntry(key, value, "", line) != nullptr) --reserved.count;
        return;
    }
    if (configTable.entryCount + reserved.count < kConfigTableCapacity) {
        AppendEntry(key, value, "", line);
        return;
    }
    if (configTable.entriesWithoutRoom++ == 0) configTable.firstLineWithoutRoom = line;
}

// Why the line cannot be read as it is; false when it can.
bool RefuseLine(const char* path, int lineNumber, const FileLine& line) {
    if (line.tooLong) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Line %d of %s is longer than %d characters",
                   lineNumber, path, kConfigLineCharacters);
        return true;
    }
    const std::size_t nul = line.text.find('\0');
    if (nul == std::string::npos) return false;
    const std::size_t equals = line.text.find('=');
    if (line.text[0] != '#' && equals < nul) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Line %d of %s: the value of %s holds a NUL byte", lineNumber, path,
                   PrintableText(std::string_view(line.text).substr(0, equals)).c_str());
    } else {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Line %d of %s holds a NUL byte", lineNumber,
                   path);
    }
    return true;
}

// Back to the first `count` entries: what the table held before a refused file.
void DropEntriesFrom(int count) {
    while (configTable.entryCount > count)
        ClearEntry(configTable.entries[--configTable.entryCount]);
}

}  // namespace

ConfigTable& Config() {
    return configTable;
}

void ResetConfigTable() {
    for (ConfigEntry& entry : configTable.entries) ClearEntry(entry);
    configTable.entryCount = 0;
    configTable.entriesWithoutRoom = 0;
    configTable.firstLineWithoutRoom = 0;
}

const ConfigEntry* FindConfigEntry(std::string_view key) {
    return FindEntry(key);
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
        AssignValue(*entry, value);
        return 1;
    }
    return AppendEntry(key, value, "") != nullptr ? 1 : 0;
}

int SetConfigInt(const char* key, std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return SetConfigValue(key, text);
}

int ReadConfigEntries(const char* path, std::span<const char* const> keysAlwaysRead) {
    FileHandle file(std::fopen(path, "r"));
    if (!file) return 0;
    const int entriesBefore = configTable.entryCount;
    const std::int32_t withoutRoomBefore = configTable.entriesWithoutRoom;
    const std::int32_t firstLineWithoutRoomBefore = configTable.firstLineWithoutRoom;
    ReservedPlaces reserved = ReservePlaces(keysAlwaysRead);
    FileLine line;
    for (int lineNumber = 1; ReadLine(file.get(), line); ++lineNumber) {
        if (RefuseLine(path, lineNumber, line)) {
            DropEntriesFrom(entriesBefore);
            configTable.entriesWithoutRoom = withoutRoomBefore;
            configTable.firstLineWithoutRoom = firstLineWithoutRoomBefore;
            return -1;
        }
        if (line.text.empty() || line.text[0] == '#') continue;
        const std::size_t equals = line.text.find('=');
        if (equals == std::string::npos) continue;
        const std::string_view text = line.text;
        AddFileEntry(text.substr(0, equals), text.substr(equals + 1), lineNumber, reserved);
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

namespace {

// A log at Debug level is no place for the destination's password or a source's credentials.
std::string ShownValue(std::string_view key, std::string_view value) {
    if (key == "ServerPassword") return value.empty() ? "" : "***";
    if (key == "SourceURL" || key == "SourceBackupURL") return PrintableText(MaskedUrl(value));
    return PrintableText(value);
}

}  // namespace

void DumpConfig() {
    for (int index = 0; index < configTable.entryCount; ++index) {
        const ConfigEntry& entry = configTable.entries[index];
        LogMessage(LOG_DEBUG, kLogEngine, __LINE__, "(%s) = (%s)\n",
                   PrintableText(entry.key.view()).c_str(),
                   ShownValue(entry.key.view(), entry.value.view()).c_str());
    }
}
