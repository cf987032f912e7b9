#include "common/text_encoding.h"

#include <cstring>

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";

// The characters that have a meaning in a URL or an HTTP request line, plus control bytes.
bool NeedsPercentEncoding(unsigned char c) {
    if (c < 32 || c == 127) return true;
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
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte == 127) c = '?';
    }
    return printable;
}
