// The keys of the configuration file as the store holds them: keys that no setting reads, keys
// given twice, entries without room. A misspelt key is otherwise silent: the setting it was meant
// for takes its default (a password, a server type) and the run goes somewhere else. Each one is
// named, with the known key it most resembles; a known key written with blanks around it or in
// other letter case ends the run, since what was meant is plain and its default is not it.
#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

#include "common/config_store.h"
#include "common/log.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"

namespace {

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Edits (insert, delete, replace one character) between two keys, ignoring case.
std::size_t EditDistance(std::string_view from, std::string_view to) {
    std::vector<std::size_t> previous(to.size() + 1);
    std::vector<std::size_t> current(to.size() + 1);
    for (std::size_t j = 0; j <= to.size(); ++j) previous[j] = j;
    for (std::size_t i = 1; i <= from.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= to.size(); ++j) {
            const std::size_t replace =
                previous[j - 1] + (Lower(from[i - 1]) == Lower(to[j - 1]) ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, replace});
        }
        std::swap(previous, current);
    }
    return previous[to.size()];
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsKnownKey(std::string_view key) {
    const auto keys = CatalogueKeys();
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// The known key nearest to this one, when it is near enough to be a slip: blanks around the key
// (as in "ServerType = Icecast2") and letter case cost nothing, then a few typing errors, more for
// longer keys. nullptr when none is that near.
const char* ClosestKnownKey(std::string_view key) {
    const std::string_view trimmed = TrimBlanks(key);
    if (trimmed.empty()) return nullptr;
    const std::size_t allowed = std::min<std::size_t>(3, 1 + trimmed.size() / 6);
    const char* closest = nullptr;
    std::size_t closestDistance = allowed + 1;
    for (const char* known : CatalogueKeys()) {
        const std::size_t distance = EditDistance(trimmed, known);
        if (distance < closestDistance) {
            closest = known;
            closestDistance = distance;
        }
    }
    return closest;
}

// The known key this one is apart from blanks around it or letter case; nullptr when none.
const char* KnownKeyMisWritten(std::string_view key) {
    const std::string_view trimmed = TrimBlanks(key);
    for (const char* known : CatalogueKeys()) {
        if (SameIgnoringCase(trimmed, known)) return known;
    }
    return nullptr;
}

// The entry before this one with the same key; nullptr when this is the first.
const ConfigEntry* EarlierEntryWithKey(const ConfigTable& table, int index) {
    for (int earlier = 0; earlier < index; ++earlier) {
        if (table.entries[earlier].key == table.entries[index].key.view()) {
            return &table.entries[earlier];
        }
    }
    return nullptr;
}

void ReportUnknownKey(std::string_view key) {
    const std::string shown = PrintableText(key);
    if (const char* closest = ClosestKnownKey(key)) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Unknown key \"%s\" (did you mean \"%s\"?)",
                   shown.c_str(), closest);
    } else {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Unknown key \"%s\"", shown.c_str());
    }
}

// False when the key is a known key written otherwise.
bool ReportKey(const ConfigTable& table, int index) {
    const ConfigEntry& entry = table.entries[index];
    const std::string_view key = entry.key.view();
    if (const ConfigEntry* first = EarlierEntryWithKey(table, index)) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Key \"%s\" given twice, on lines %d and %d; the value of line %d is used",
                   PrintableText(key).c_str(), first->line, entry.line, first->line);
        return true;
    }
    if (IsKnownKey(key)) return true;
    const char* meant = KnownKeyMisWritten(key);
    if (meant == nullptr) {
        ReportUnknownKey(key);
        return true;
    }
    const std::string shown = PrintableText(key);
    if (TrimBlanks(key) == meant) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Key \"%s\" on line %d is %s with blanks around it: write %s=value, without "
                   "blanks around \"=\"",
                   shown.c_str(), entry.line, meant, meant);
    } else {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Key \"%s\" on line %d is %s in other letters: keys are case-sensitive",
                   shown.c_str(), entry.line, meant);
    }
    return false;
}

}  // namespace

int ReportKeyProblems() {
    const ConfigTable& table = Config();
    bool everyKeyRead = true;
    for (int index = 0; index < table.entryCount; ++index) {
        everyKeyRead = ReportKey(table, index) && everyKeyRead;
    }
    if (table.entriesWithoutRoom > 0) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Too many config entries: %d more, from line %d on, are not read (the table "
                   "holds %d, with room kept for every key this program reads)",
                   table.entriesWithoutRoom, table.firstLineWithoutRoom, kConfigTableCapacity);
    }
    return everyKeyRead ? 1 : 0;
}
