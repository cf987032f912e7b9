// Song titles on their way to the destination: the recorded current title, the admin request
// that announces it for MP3 output, and its split into artist and title for Ogg comments.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/station_metrics.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"
#include "engine/supervisor_notify.h"

namespace {

constexpr std::size_t kTitleCapacity = decltype(CurrentTitle::current)::kCapacity;  // 1023
constexpr std::size_t kEncodedTitleCapacity = 1023;  // characters of the encoded title sent

bool IsUtf8Continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Moves a cut back so that it does not split a UTF-8 sequence (at most three continuation
// bytes; text that is not UTF-8 is cut where it is).
std::size_t AvoidSplitSequence(std::string_view text, std::size_t cut) {
    for (int steps = 0; steps < 3 && cut > 0 && cut < text.size() && IsUtf8Continuation(text[cut]);
         ++steps) {
        --cut;
    }
    return cut;
}

// The title as the engine records it. Comparing in this form matters: a longer title would
// otherwise differ from the stored one every time and announce itself for every metadata block.
std::string_view StoredTitle(std::string_view title) {
    if (title.size() <= kTitleCapacity) return title;
    return title.substr(0, AvoidSplitSequence(title, kTitleCapacity));
}

std::string PercentEncoded(std::string_view text) {
    // Room for the worst case, every byte becoming "%XX", so nothing is cut here.
    std::vector<char> input(text.size() * 3 + 1, '\0');
    std::vector<char> output(input.size(), '\0');
    std::memcpy(input.data(), text.data(), text.size());
    PercentEncode(input.data(), input.size(), output.data(), output.size());
    return std::string(output.data());
}

// An encoded title longer than its field is cut before a UTF-8 sequence it would split, and
// before a "%XX" it would split, so the server still gets a well-formed query. The "%XX" comes
// second: stepping back over continuation bytes can land inside one (a Latin-1 title such as
// "Rock & Roll ©©©" has bytes that look like continuations right after a "%26"), while a cut
// before a '%' can never split a UTF-8 sequence.
std::string CutEncodedTitle(std::string encoded) {
    if (encoded.size() <= kEncodedTitleCapacity) return encoded;
    std::size_t cut = AvoidSplitSequence(encoded, kEncodedTitleCapacity);
    if (cut >= 1 && encoded[cut - 1] == '%') {
        cut -= 1;
    } else if (cut >= 2 && encoded[cut - 2] == '%') {
        cut -= 2;
    }
    encoded.resize(cut);
    return encoded;
}

// Icecast reads a title as Latin-1 unless the request names its charset. A plain ASCII title
// reads the same either way, and a title that is not UTF-8 is most likely Latin-1: both go
// without the parameter, as older stations have always sent them.
std::string CharsetParameter(std::string_view title) {
    return HasNonAsciiByte(title) && IsValidUtf8(title) ? "&charset=UTF-8" : "";
}

// Icecast2's mount interface: the source's credentials, the mount named in the request.
std::string MountTitleRequest(const EngineState& engine, const std::string& password,
                              const std::string& encodedTitle, std::string_view title) {
    const std::string credential =
        Base64Encode(std::string("source:") + engine.settings.serverPassword.c_str());
    return "GET /admin/metadata?pass=" + password + "&mode=updinfo&mount=" +
           engine.settings.serverMountpoint.c_str() + "&song=" + encodedTitle +
           CharsetParameter(title) + " HTTP/1.0\r\nAuthorization: Basic " + credential +
           "\r\nUser-Agent: (Mozilla Compatible)\r\n\r\n";
}

std::string TitleRequest(const EngineState& engine, const std::string& password,
                         const std::string& encodedTitle, std::string_view title) {
    if (engine.settings.isIcecast2) {
        return MountTitleRequest(engine, password, encodedTitle, title);
    }
    if (engine.settings.isIcecast) {
        return "GET /admin.cgi?pass=" + password + "&mode=updinfo&mount=" +
               engine.settings.serverMountpoint.c_str() + "&song=" + encodedTitle +
               CharsetParameter(title) + " HTTP/1.0\r\nUser-Agent: (Mozilla Compatible)\r\n\r\n";
    }
    return "GET /admin.cgi?pass=" + password + "&mode=updinfo&song=" + encodedTitle +
           " HTTP/1.0\r\nUser-Agent: (Mozilla Compatible)\r\n\r\n";
}

std::string CurrentTitleCopy() {
    EngineState& engine = Engine();
    std::lock_guard lock(engine.titles.lock);
    return engine.titles.current.c_str();
}

}  // namespace

std::string TitleUpdateRequest(const std::string& title) {
    const EngineState& engine = Engine();
    return TitleRequest(engine, PercentEncoded(engine.settings.serverPassword.view()),
                        CutEncodedTitle(PercentEncoded(title)), title);
}

std::string MountTitleUpdateRequest(const std::string& title) {
    const EngineState& engine = Engine();
    const bool shoutcastLogin = !engine.settings.isIcecast && !engine.settings.isIcecast2;
    if (!shoutcastLogin || engine.settings.serverMountpoint.empty()) return "";
    return MountTitleRequest(engine, PercentEncoded(engine.settings.serverPassword.view()),
                             CutEncodedTitle(PercentEncoded(title)), title);
}

int SetCurrentTitle(const char* title) {
    EngineState& engine = Engine();
    // Control bytes would reach every listener's player through the server.
    const std::string cleaned = WithoutControlBytes(
        engine.settings.lockMetadataFlag ? engine.settings.lockedMetadata.view()
                                         : std::string_view(title != nullptr ? title : ""));
    const std::string_view candidate = StoredTitle(cleaned);
    {
        std::lock_guard lock(engine.titles.lock);
        if (engine.titles.current.view() == candidate) return 0;
        engine.titles.current.assign(candidate);
    }
    StationMetrics().NoteTitleArrived(candidate);
    NotifyTitle(std::string(candidate).c_str());
    AnnounceCurrentTitle();
    return 1;
}

void AnnounceCurrentTitle() {
    EngineState& engine = Engine();
    if (!engine.destination.connected) return;
    if (engine.settings.isOggVorbis || engine.settings.isOpus) {
        // The encoder starts a new stream whose comments carry the title.
        engine.encoder.vorbisRestartPending = 1;
        return;
    }
    PostMetadataUpdate();
}

void PostMetadataUpdate() {
    EngineState& engine = Engine();
    // A Shoutcast server that answered a plain "OK" takes no title updates.
    if (!engine.destination.shoutcastAccepted && !engine.settings.isIcecast &&
        !engine.settings.isIcecast2)
        return;

    const std::string title = CurrentTitleCopy();
    // The admin interface listens on the configured port for every server type (for Shoutcast
    // one below the port of the stream login).
    const int port = ServerPortNumber();
    if (port < 0) {
        // The stream login refuses such a port too; this is for a port changed since.
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Port %s is not a port number",
                   engine.settings.serverPort.c_str());
        return;
    }
    // Sent on the title sender's thread: a slow admin interface cannot hold the audio back.
    PostAdminRequest(AdminRequest{engine.settings.serverHost.c_str(),
                                  static_cast<std::uint16_t>(port), TitleUpdateRequest(title),
                                  MountTitleUpdateRequest(title), engine.sinks.bytesSent});
}

void SplitArtistTitle(FixedText<1024>& title, FixedText<1024>& artist, FixedText<1024>& full) {
    EngineState& engine = Engine();
    const std::string source = engine.settings.lockMetadataFlag
                                   ? WithoutControlBytes(engine.settings.lockedMetadata.view())
                                   : CurrentTitleCopy();
    full.assign(source);
    const std::string_view text = full.view();
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        artist.clear();
        title.assign(text);
        return;
    }
    // One blank on each side of the dash belongs to the separator.
    const std::size_t artistEnd = dash > 0 && text[dash - 1] == ' ' ? dash - 1 : dash;
    const std::size_t titleStart =
        dash + 1 < text.size() && text[dash + 1] == ' ' ? dash + 2 : dash + 1;
    artist.assign(text.substr(0, artistEnd));
    title.assign(text.substr(titleStart));
}
