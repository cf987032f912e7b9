// Song titles from a source on their way to the destination: recorded as the current title,
// split into artist and title for Ogg comments, and put into the admin request that announces
// them (built here without sending it: the engine is not connected).
//
// Input: a byte choosing the server type (Shoutcast, Icecast, Icecast2), the password up to the
// first line feed, then the title (up to its first zero byte, as a C string).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/text_encoding.h"
#include "engine/libzembril.h"
#include "fuzz/fuzz_support.h"

namespace {

// The bytes a stored title must not hold (a zero byte ends it anyway).
const std::string kControlBytes = [] {
    std::string bytes;
    for (char byte = 1; byte < 32; ++byte) bytes.push_back(byte);
    bytes.push_back('\x7f');
    return bytes;
}();

void ConfigureServer(std::uint8_t choice, std::string_view password) {
    EngineState& engine = Engine();
    engine.settings.isShoutcast = choice % 3 == 0;
    engine.destination.shoutcastAccepted = engine.settings.isShoutcast;
    engine.settings.isIcecast = choice % 3 == 1;
    engine.settings.isIcecast2 = choice % 3 == 2;
    engine.settings.serverMountpoint.assign("/stream");
    engine.settings.serverPassword.assign(password);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(std::string_view encoded) {
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            decoded += encoded[i];
            continue;
        }
        FuzzCheck(i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 &&
                      HexValue(encoded[i + 2]) >= 0,
                  "the request holds no cut %XX");
        decoded += static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2]));
        i += 2;
    }
    return decoded;
}

// The text between the marker and the next `end`.
std::string_view Field(std::string_view text, std::string_view marker, std::string_view end) {
    const std::size_t at = text.find(marker);
    FuzzCheck(at != std::string_view::npos, "the request holds every field");
    const std::string_view rest = text.substr(at + marker.size());
    return rest.substr(0, rest.find(end));
}

void CheckSplit(std::string_view stored) {
    FixedText<1024> title;
    FixedText<1024> artist;
    FixedText<1024> full;
    SplitArtistTitle(title, artist, full);
    FuzzCheck(full.view() == stored, "the split starts from the current title");
    const std::string_view text = full.view();
    if (text.find('-') == std::string_view::npos) {
        FuzzCheck(artist.empty() && title.view() == text, "without a dash all is title");
        return;
    }
    FuzzCheck(artist.size() + title.size() < text.size() && text.starts_with(artist.view()) &&
                  text.ends_with(title.view()),
              "artist and title are the ends of the text");
    const std::string_view separator =
        text.substr(artist.size(), text.size() - artist.size() - title.size());
    FuzzCheck(separator == "-" || separator == " -" || separator == "- " || separator == " - ",
              "the separator is the first dash with at most one blank on each side");
    FuzzCheck(artist.view().find('-') == std::string_view::npos, "the first dash separates");
}

void CheckRequest(std::string_view stored, std::string_view password) {
    const std::string request = TitleUpdateRequest(std::string(stored));
    FuzzCheck(request.find("\r\n\r\n") == request.size() - 4, "one request, ended once");
    const std::string_view requestLine = std::string_view(request).substr(0, request.find("\r\n"));
    int blanks = 0;
    for (const char c : requestLine) {
        const auto byte = static_cast<unsigned char>(c);
        FuzzCheck(byte >= 32 && byte != 127, "no control byte in the request line");
        blanks += c == ' ';
    }
    FuzzCheck(blanks == 2, "the request line has its two blanks only");
    std::string_view song = Field(requestLine, "&song=", " HTTP/1.0");
    // A UTF-8 title names its charset after the title; an "&" of the title itself is encoded.
    constexpr std::string_view kCharset = "&charset=UTF-8";
    if (song.ends_with(kCharset)) song.remove_suffix(kCharset.size());
    FuzzCheck(song.size() <= 1023, "the encoded title fits its field");
    const std::string decodedSong = PercentDecode(song);
    FuzzCheck(stored.starts_with(decodedSong), "the request carries the title or its start");
    if (3 * stored.size() <= 1023) FuzzCheck(decodedSong == stored, "a short title is whole");
    FuzzCheck(PercentDecode(Field(requestLine, "pass=", "&")) == password,
              "the request carries the password");
    if (Engine().settings.isIcecast2) {
        const std::string credential = Base64Encode("source:" + std::string(password));
        FuzzCheck(Field(request, "Authorization: Basic ", "\r\n") == credential,
                  "the credential is the password's");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputBytes input(data, size);
    const std::uint8_t serverChoice = input.Byte();
    std::string_view rest = input.Rest();
    const std::size_t lineEnd = rest.find('\n');
    std::string_view password = rest.substr(0, lineEnd);
    rest.remove_prefix(lineEnd == std::string_view::npos ? rest.size() : lineEnd + 1);
    // As the password field holds it: cut to the field, up to a zero byte.
    password = password.substr(0, decltype(EngineSettings::serverPassword)::kCapacity);
    password = password.substr(0, strnlen(password.data(), password.size()));
    ConfigureServer(serverChoice, password);

    const std::string title(rest.substr(0, strnlen(rest.data(), rest.size())));
    SetCurrentTitle(title.c_str());
    const std::string stored = Engine().titles.current.c_str();
    // Control bytes never reach the server: the title is stored without them.
    const std::string cleaned = WithoutControlBytes(title);
    FuzzCheck(std::string_view(cleaned).starts_with(stored) && stored.size() <= 1023,
              "the current title is the cleaned title or its start");
    FuzzCheck(stored.find_first_of(kControlBytes) == std::string::npos,
              "the current title holds no control bytes");
    FuzzCheck(stored.size() == cleaned.size() || cleaned.size() > 1023,
              "a title that fits is whole");
    FuzzCheck(SetCurrentTitle(title.c_str()) == 0, "the same title is not announced again");
    CheckSplit(stored);
    CheckRequest(stored, password);
    ResetProcessRecords();
    return 0;
}
