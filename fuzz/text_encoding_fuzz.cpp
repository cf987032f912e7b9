// The encoders of the texts sent to a destination (Base64 for the credential, percent-encoding
// for the password and the title) and the printable form of network text.
//
// Input: a byte choosing the output buffer's size (from 1 byte to three times the text), the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "common/text_encoding.h"
#include "fuzz/fuzz_support.h"

namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

void CheckBase64(std::string_view text) {
    const std::string encoded = Base64Encode(text);
    FuzzCheck(encoded.size() == (text.size() + 2) / 3 * 4, "Base64 length is 4 per 3 bytes");
    std::string decoded;
    for (std::size_t at = 0; at < encoded.size(); at += 4) {
        unsigned bits = 0;
        int padding = 0;
        for (std::size_t i = at; i < at + 4; ++i) {
            const int value = Base64Value(encoded[i]);
            if (encoded[i] == '=') {
                FuzzCheck(at + 4 == encoded.size(), "Base64 padding only at the end");
                ++padding;
            } else {
                FuzzCheck(value >= 0 && padding == 0, "Base64 alphabet, padding last");
            }
            bits = bits << 6 | static_cast<unsigned>(value < 0 ? 0 : value);
        }
        decoded += static_cast<char>(bits >> 16 & 255);
        if (padding < 2) decoded += static_cast<char>(bits >> 8 & 255);
        if (padding < 1) decoded += static_cast<char>(bits & 255);
    }
    FuzzCheck(decoded == text, "Base64 decodes to the text");
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool MustBeEncoded(unsigned char c) {
    return c < 32 || c == 127 || std::strchr("%;/?:@&=+ \"#<>!*'(),", c) != nullptr;
}

// Decodes a result of PercentEncode, checking its form on the way.
std::string PercentDecode(std::string_view encoded) {
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const auto c = static_cast<unsigned char>(encoded[i]);
        if (c != '%') {
            FuzzCheck(!MustBeEncoded(c), "no byte that must be encoded passes plain");
            decoded += encoded[i];
            continue;
        }
        FuzzCheck(i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 &&
                      HexValue(encoded[i + 2]) >= 0,
                  "every % starts a whole %XX");
        const auto byte =
            static_cast<unsigned char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2]));
        FuzzCheck(MustBeEncoded(byte), "only bytes that must be encoded are encoded");
        decoded += static_cast<char>(byte);
        i += 2;
    }
    return decoded;
}

bool ZeroFrom(const char* buffer, std::size_t from, std::size_t size) {
    for (std::size_t i = from; i < size; ++i) {
        if (buffer[i] != '\0') return false;
    }
    return true;
}

// Buffers exactly as large as their sizes say: a write or read past either is caught.
void CheckPercentEncode(std::string_view text, std::uint8_t sizeChoice) {
    const std::size_t inputSize = text.size();
    const std::size_t outputSize = 1 + sizeChoice * (3 * text.size()) / 255;
    const std::unique_ptr<char[]> input(new char[inputSize + (inputSize == 0)]);
    const std::unique_ptr<char[]> output(new char[outputSize]);
    std::memcpy(input.get(), text.data(), inputSize);
    const int whole = PercentEncode(input.get(), inputSize, output.get(), outputSize);

    const std::string_view original = text.substr(0, strnlen(text.data(), text.size()));
    const std::size_t room = std::min(inputSize, outputSize);
    const std::string_view result(output.get(), strnlen(output.get(), outputSize));
    FuzzCheck(room == 0 ? result.empty() : result.size() <= room - 1,
              "the result fits both buffers with its terminating zero");
    FuzzCheck(ZeroFrom(output.get(), result.size(), outputSize), "the output is zero-filled");
    FuzzCheck(std::memcmp(input.get(), output.get(), result.size()) == 0 &&
                  ZeroFrom(input.get(), result.size(), inputSize),
              "the input buffer holds the result too");
    const std::string decoded = PercentDecode(result);
    FuzzCheck(original.substr(0, decoded.size()) == decoded, "the result encodes a prefix");
    FuzzCheck((whole == 1) == (decoded.size() == original.size()),
              "1 exactly when the whole text was encoded");
}

void CheckPrintable(std::string_view text) {
    const std::string printable = PrintableText(text);
    FuzzCheck(printable.size() == text.size(), "printable text keeps its length");
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool control = c < 32 || c == 127;
        FuzzCheck(printable[i] == (control ? '?' : text[i]), "only control bytes are masked");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputBytes input(data, size);
    const std::uint8_t sizeChoice = input.Byte();
    const std::string_view text = input.Rest();
    CheckBase64(text);
    CheckPercentEncode(text, sizeChoice);
    CheckPrintable(text);
    return 0;
}
