#include "common/text_encoding.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsControlByte(unsigned char byte) {
    return byte < 32 || byte == 127;
}

// The characters that have a meaning in a URL or an HTTP request line, plus control bytes.
bool NeedsPercentEncoding(unsigned char c) {
    if (IsControlByte(c)) return true;
    return c != '\0' && std::strchr("%;/?:@&=+ \"#<>!*'(),", c) != nullptr;
}

}  // namespace

std::string Base64Encode(std::string_view text) {
    std::string encoded;
    encoded.reserve((text.size() + 2) / 3 * 4);
    std::size_t index = 0;
    for (; index + 3 <= text.size(); index += 3) {
        const unsigned bits = static_cast<unsigned char>(text[index]) << 16 |
                              static_cast<unsigned char>(text[index + 1]) << 8 |
                              static_cast<unsigned char>(text[index + 2]);
        encoded += kBase64Alphabet[(bits >> 18) & 63];
        encoded += kBase64Alphabet[(bits >> 12) & 63];
        encoded += kBase64Alphabet[(bits >> 6) & 63];
        encoded += kBase64Alphabet[bits & 63];
    }
    const std::size_t remaining = text.size() - index;
    if (remaining > 0) {
        unsigned bits = static_cast<unsigned char>(text[index]) << 16;
        if (remaining == 2) bits |= static_cast<unsigned char>(text[index + 1]) << 8;
        encoded += kBase64Alphabet[(bits >> 18) & 63];
        encoded += kBase64Alphabet[(bits >> 12) & 63];
        encoded += remaining == 2 ? kBase64Alphabet[(bits >> 6) & 63] : '=';
        encoded += '=';
    }
    return encoded;
}

int PercentEncode(char* input, std::size_t inputSize, char* output, std::size_t outputSize) {
    const std::size_t bufferSize = inputSize < outputSize ? inputSize : outputSize;
    // Characters, without the terminating zero, that fit into both buffers.
    const std::size_t capacity = bufferSize > 0 ? bufferSize - 1 : 0;

    // The whole encoding is built in `output` first, then copied over the input it was read from.
    const std::size_t textLength = strnlen(input, inputSize);
    std::memset(output, 0, outputSize);
    std::size_t used = 0;
    std::size_t consumed = 0;
    for (; consumed < textLength; ++consumed) {
        const auto c = static_cast<unsigned char>(input[consumed]);
        const std::size_t width = NeedsPercentEncoding(c) ? 3 : 1;
        if (used + width > capacity) break;
        if (width == 1) {
            output[used++] = static_cast<char>(c);
        } else {
            output[used++] = '%';
            output[used++] = kHexDigits[c >> 4];
            output[used++] = kHexDigits[c & 15];
        }
    }
    std::memset(input, 0, inputSize);
    std::memcpy(input, output, used);
    return consumed == textLength ? 1 : 0;
}

std::string PrintableText(std::string_view text) {
    std::string printable(text);
    for (char& c : printable) {
        if (IsControlByte(static_cast<unsigned char>(c))) c = '?';
    }
    return printable;
}

std::string MaskedUrl(std::string_view url) {
    // The authority follows "scheme://" (libcurl takes a URL without a scheme too) and ends at the
    // path, the query or the fragment; its credentials end at its last '@'.
    const std::size_t schemeEnd = url.find("://");
    const std::size_t authorityStart = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
    const std::size_t authorityEnd = std::min(url.find_first_of("/?#", authorityStart), url.size());
    const std::size_t at = url.substr(authorityStart, authorityEnd - authorityStart).rfind('@');
    if (at == std::string_view::npos) return PrintableText(url);
    std::string masked(url.substr(0, authorityStart));
    masked += "***";
    masked += url.substr(authorityStart + at);
    return PrintableText(masked);
}

namespace {

// Length of the UTF-8 sequence that starts at text[index], 0 when none starts there.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t index) {
    const auto lead = static_cast<unsigned char>(text[index]);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, narrowed where forms are illegal
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // over-long
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // over-long
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (index + length > text.size()) return 0;
    const auto second = static_cast<unsigned char>(text[index + 1]);
    if (second < low || second > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((static_cast<unsigned char>(text[index + k]) & 0xC0) != 0x80) return 0;
    }
    return length;
}

// Code points of the bytes 0x80 to 0x9F in Windows-1252; 0 where the charset defines none.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, char16_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    for (std::size_t index = 0; index < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, index);
        if (length == 0) return false;
        index += length;
    }
    return true;
}

bool HasNonAsciiByte(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) > 127) return true;
    }
    return false;
}

std::string Windows1252ToUtf8(std::string_view text) {
    std::string converted;
    converted.reserve(text.size() * 2);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 && byte <= 0x9F) {
            const char16_t codePoint = kWindows1252High[byte - 0x80];
            if (codePoint != 0) AppendUtf8(converted, codePoint);
        } else {
            AppendUtf8(converted, byte);
        }
    }
    return converted;
}

std::string AsUtf8(std::string_view text) {
    if (IsValidUtf8(text)) return std::string(text);
    return Windows1252ToUtf8(text);
}

std::string WithoutControlBytes(std::string_view text) {
    std::string cleaned;
    cleaned.reserve(text.size());
    bool inRun = false;
    for (const char c : text) {
        if (IsControlByte(static_cast<unsigned char>(c))) {
            if (!inRun) cleaned += ' ';
            inRun = true;
            continue;
        }
        cleaned += c;
        inRun = false;
    }
    return cleaned;
}

std::string_view TrimBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}
