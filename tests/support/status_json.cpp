#include "tests/support/status_json.h"

#include <string>
#include <vector>

namespace {

// Skips a JSON string starting at its opening quote; returns the index after the closing quote.
size_t SkipString(const std::string& json, size_t at) {
    for (size_t index = at + 1; index < json.size(); ++index) {
        if (json[index] == '\\') {
            ++index;
        } else if (json[index] == '"') {
            return index + 1;
        }
    }
    return json.size();
}

void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Icecast's status stylesheet writes every character beyond Latin-1 as a decimal character
// reference ("&#8211;"); these become the character itself.
std::string WithCharacterReferencesDecoded(const std::string& text) {
    std::string decoded;
    for (size_t index = 0; index < text.size(); ++index) {
        const size_t end = text.find(';', index);
        if (text.compare(index, 2, "&#") == 0 && end != std::string::npos && end > index + 2 &&
            end - index <= 9 && text.find_first_not_of("0123456789", index + 2) == end) {
            AppendUtf8(decoded, static_cast<unsigned>(std::stoul(text.substr(index + 2))));
            index = end;
            continue;
        }
        decoded += text[index];
    }
    return decoded;
}

// The value after "key": within [begin, end): a string is unescaped, anything else taken raw.
bool ValueOf(const std::string& json, size_t begin, size_t end, const std::string& key,
             std::string& value) {
    const std::string quoted = "\"" + key + "\"";
    size_t at = json.find(quoted, begin);
    if (at == std::string::npos || at >= end) return false;
    at = json.find(':', at + quoted.size());
    while (at + 1 < end && (json[at + 1] == ' ' || json[at + 1] == ':')) ++at;
    ++at;
    value.clear();
    if (json[at] != '"') {
        while (at < end && json[at] != ',' && json[at] != '}') value += json[at++];
        return true;
    }
    for (size_t index = at + 1; index < end && json[index] != '"'; ++index) {
        if (json[index] != '\\') {
            value += json[index];
            continue;
        }
        const char escaped = json[++index];
        if (escaped == 'u') {
            AppendUtf8(value,
                       static_cast<unsigned>(std::stoul(json.substr(index + 1, 4), nullptr, 16)));
            index += 4;
        } else {
            value += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
        }
    }
    value = WithCharacterReferencesDecoded(value);
    return true;
}

bool ListenUrlIsMount(const std::string& url, const std::string& mount) {
    if (url.size() <= mount.size() ||
        url.compare(url.size() - mount.size(), mount.size(), mount) != 0)
        return false;
    const char before = url[url.size() - mount.size() - 1];
    return before >= '0' && before <= '9';  // the port just before the mount
}

}  // namespace

bool FindMountTitle(const std::string& statusJson, const std::string& mount, std::string& title) {
    // Objects close innermost first, so the first one holding the mount's listenurl is its source.
    std::vector<size_t> openObjects;
    for (size_t index = 0; index < statusJson.size();) {
        const char character = statusJson[index];
        if (character == '"') {
            index = SkipString(statusJson, index);
            continue;
        }
        if (character == '{') openObjects.push_back(index);
        if (character == '}' && !openObjects.empty()) {
            const size_t begin = openObjects.back();
            openObjects.pop_back();
            std::string url;
            if (ValueOf(statusJson, begin, index, "listenurl", url) &&
                ListenUrlIsMount(url, mount)) {
                if (!ValueOf(statusJson, begin, index, "title", title)) title.clear();
                return true;
            }
        }
        ++index;
    }
    return false;
}
