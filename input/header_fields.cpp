#include "input/header_fields.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

namespace {

bool SameLetters(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameLetters);
}

}  // namespace

std::string_view WithoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool IsStatusLine(std::string_view line) {
    return line.starts_with("HTTP/") || line.starts_with("ICY ");
}

int StatusCode(std::string_view line) {
    if (!IsStatusLine(line)) return -1;
    const std::size_t blank = line.find(' ');
    std::string_view rest = WithoutLineEnd(line.substr(blank + 1));
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (rest.size() < 3) return -1;
    int code = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return -1;
        code = code * 10 + (rest[i] - '0');
    }
    if (rest.size() > 3 && rest[3] != ' ') return -1;
    return code;
}

bool FieldText(std::string_view line, std::string_view name, std::string_view& text) {
    line = WithoutLineEnd(line);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !EqualIgnoringCase(line.substr(0, colon), name)) {
        return false;
    }
    text = line.substr(colon + 1);
    return true;
}

bool FieldValue(std::string_view line, std::string_view name, HeaderValue& value) {
    std::string_view text;
    if (!FieldText(line, name, text)) return false;
    value.assign(text);
    return true;
}

bool FindFieldValue(std::string_view header, std::string_view name, HeaderValue& value) {
    while (!header.empty()) {
        const std::size_t lineEnd = header.find('\n');
        const std::size_t lineBytes =
            lineEnd == std::string_view::npos ? header.size() : lineEnd + 1;
        if (FieldValue(header.substr(0, lineBytes), name, value)) return true;
        header.remove_prefix(lineBytes);
    }
    return false;
}

SourceFormat FormatOfContentType(std::string_view type) {
    type = TrimBlanks(type.substr(0, type.find(';')));
    // Ogg of any codec: the decoder thread tells Vorbis from Opus by each link's first packet.
    for (const std::string_view vorbis :
         {"application/ogg", "audio/ogg", "audio/vorbis", "audio/opus"}) {
        if (EqualIgnoringCase(type, vorbis)) return SourceFormat::kVorbis;
    }
    for (const std::string_view mp3 : {"audio/mpeg", "audio/mp3", "audio/x-mpeg"}) {
        if (EqualIgnoringCase(type, mp3)) return SourceFormat::kMp3;
    }
    for (const std::string_view aac : {"audio/aac", "audio/aacp", "audio/x-aac"}) {
        if (EqualIgnoringCase(type, aac)) return SourceFormat::kAac;
    }
    return SourceFormat::kUnknown;
}
