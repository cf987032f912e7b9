// Keys of the configuration file that no setting reads. A misspelt key is otherwise silent: the
// setting it was meant for takes its default (a password, a server type) and the run goes
// somewhere else. Each one is named, with the known key it most resembles.
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

std::string_view WithoutOuterBlanks(std::string_view key) {
    const std::size_t first = key.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return key.substr(first, key.find_last_not_of(" \t") - first + 1);
}

bool IsKnownKey(std::string_view key) {
    const auto keys = CatalogueKeys();
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// The known key nearest to this one, when it is near enough to be a slip: blanks around the key
// (as in "ServerType = Icecast2") and letter case cost nothing, then a few typing errors, more for
// longer keys. nullptr when none is that near.
const char* ClosestKnownKey(std::string_view key) {
    const std::string_view trimmed = WithoutOuterBlanks(key);
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

}  // namespace

void ReportUnknownKeys() {
    const ConfigTable& table = Config();
    for (int index = 0; index < table.entryCount; ++index) {
        const std::string_view key = table.entries[index].key.view();
        if (IsKnownKey(key)) continue;
        const std::string shown = PrintableText(key);
        if (const char* closest = ClosestKnownKey(key)) {
            LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Unknown key \"%s\" (did you mean \"%s\"?)",
                       shown.c_str(), closest);
        } else {
            LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Unknown key \"%s\"", shown.c_str());
        }
    }
}
