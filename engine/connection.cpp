// The stream connection to the destination server: connecting, the three logins and the
// judgement of their replies, disconnecting.
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "common/log.h"
#include "common/text_encoding.h"
#include "engine/encoder_state.h"
#include "engine/libzembril.h"
#include "engine/server_io.h"

namespace {

constexpr int kHighestPort = 65535;

void ReportStatus(const char* text) {
    Report(Engine().serverStatusSink, text);
}

void CloseStreamSocket() {
    EngineState& engine = Engine();
    if (engine.streamSocket >= 0) close(engine.streamSocket);
    engine.streamSocket = -1;
}

// The port the stream login goes to; -1 when there is none (the value would otherwise be cut to
// 16 bits and the login could reach some other service).
int StreamPort() {
    const EngineState& engine = Engine();
    const int port = ServerPortNumber();
    if (port < 0) return -1;
    const bool shoutcastProtocol = !engine.isIcecast && !engine.isIcecast2;
    // Shoutcast servers take their sources one port above the listeners' port.
    const int streamPort = port + (shoutcastProtocol ? 1 : 0);
    return streamPort <= kHighestPort ? streamPort : -1;
}

bool IsHttpSuccessStatus(std::string_view reply) {
    // "HTTP/1.x 2xx ..."
    if (reply.size() < 12 || reply.substr(0, 7) != "HTTP/1." || reply[8] != ' ') return false;
    return reply[9] == '2' && std::isdigit(static_cast<unsigned char>(reply[10])) &&
           std::isdigit(static_cast<unsigned char>(reply[11]));
}

// Icecast2 drops a source login whose mount lacks its leading "/" without a word.
std::string MountHint() {
    const EngineState& engine = Engine();
    const std::string_view mount = engine.serverMountpoint.view();
    if (!engine.isIcecast && !engine.isIcecast2) return "";
    if (!mount.empty() && mount.front() == '/') return "";
    return " (the mount \"" + PrintableText(mount) + "\" does not begin with \"/\")";
}

// The connection is dropped. A refusal is "Password Failed", with the server's own words in the
// log, so that a wrong password, a mount in use and a malformed mount can be told apart; a stop
// request during the wait is no refusal.
int RefuseLogin(const LoginReply& reply) {
    CloseStreamSocket();
    if (reply.end == ReplyEnd::kStopped) {
        LogMessage(LOG_INFO, kLogEngine, __LINE__,
                   "Stop requested while waiting for the login reply of %s",
                   StreamAddress().c_str());
        return 0;
    }
    ReportStatus("Password Failed");
    LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Login refused by %s: %s%s",
               StreamAddress().c_str(), QuotedReply(reply).c_str(), MountHint().c_str());
    return 0;
}

// Reads an "OK"/"OK2" reply of a Shoutcast-style login; 1 when accepted.
int ReadOkReply() {
    const LoginReply reply = ReceiveLoginReply(Engine().streamSocket);
    const std::string& bytes = reply.bytes;
    if (reply.end == ReplyEnd::kStopped || bytes.size() < 2 || bytes[0] != 'O' || bytes[1] != 'K') {
        return RefuseLogin(reply);
    }
    Engine().shoutcastAccepted = bytes.size() > 2 && bytes[2] == '2';
    ReportStatus("Password OK");
    return 1;
}

void SendText(const std::string& text) {
    SendRequest(Engine().streamSocket, text.c_str());
}

template <std::size_t N>
std::string Text(const FixedText<N>& field) {
    return std::string(field.view());
}

// A header block: every line ended by the protocol's line end, then an empty line.
std::string HeaderBlock(std::initializer_list<std::string> lines, const char* lineEnd) {
    std::string block;
    for (const std::string& line : lines) block += line + lineEnd;
    return block + lineEnd;
}

void FillEmptyContact(FixedText<20>& field) {
    if (field.empty()) field.assign("N/A");
}

int LogInShoutcast(const std::string& bitrateNumber) {
    EngineState& engine = Engine();
    SendRequest(engine.streamSocket, engine.serverPassword.c_str());
    SendRequest(engine.streamSocket, "\r\n");
    if (!ReadOkReply()) return 0;
    FillEmptyContact(engine.serverIrc);
    FillEmptyContact(engine.serverIcq);
    FillEmptyContact(engine.serverAim);
    SendText(HeaderBlock(
        {
            "icy-name:" + Text(engine.serverDescription),
            "icy-genre:" + Text(engine.serverGenre),
            "icy-url:" + Text(engine.serverStreamUrl),
            "icy-pub:" + std::to_string(engine.serverPublic),
            "icy-irc:" + Text(engine.serverIrc),
            "icy-icq:" + Text(engine.serverIcq),
            "icy-aim:" + Text(engine.serverAim),
            "icy-br:" + bitrateNumber,
        },
        "\r\n"));
    return 1;
}

int LogInIcecast(const std::string& bitrateNumber) {
    const EngineState& engine = Engine();
    SendText(HeaderBlock(
        {
            "SOURCE " + Text(engine.serverPassword) + " " + Text(engine.serverMountpoint),
            "content-type: audio/mpeg",
            "x-audiocast-name: " + Text(engine.serverDescription),
            "x-audiocast-url: " + Text(engine.serverStreamUrl),
            "x-audiocast-genre: " + Text(engine.serverGenre),
            "x-audiocast-bitrate: " + bitrateNumber,
            "x-audiocast-public: " + std::to_string(engine.serverPublic),
            "x-audiocast-description: " + Text(engine.serverDescription),
        },
        "\r\n"));
    return ReadOkReply();
}

const char* Icecast2ContentType() {
    const EngineState& engine = Engine();
    if (engine.isOggVorbis) return "application/ogg";
    return engine.isAac ? "audio/aac" : "audio/mpeg";
}

int LogInIcecast2(const std::string& bitrateText) {
    const EngineState& engine = Engine();
    const std::string credential = Base64Encode("source:" + Text(engine.serverPassword));
    const std::string audioInfo = "ice-samplerate=" + std::to_string(engine.sampleRate) +
                                  ";ice-bitrate=" + bitrateText +
                                  ";ice-channels=" + std::to_string(engine.channels);
    // This protocol's lines end in a bare line feed.
    SendText(HeaderBlock(
        {
            "SOURCE " + Text(engine.serverMountpoint) + " ICE/1.0",
            std::string("content-type: ") + Icecast2ContentType(),
            "Authorization: Basic " + credential,
            "ice-name: " + Text(engine.serverDescription),
            "ice-url: " + Text(engine.serverStreamUrl),
            "ice-genre: " + Text(engine.serverGenre),
            "ice-bitrate: " + bitrateText,
            std::string("ice-private: ") + (engine.serverPublic == 0 ? "1" : "0"),
            "ice-public: " + std::to_string(engine.serverPublic),
            "ice-description: " + Text(engine.serverDescription),
            "ice-audio-info: " + audioInfo,
        },
        "\n"));
    // Icecast2 answers a source with an HTTP status line: 200 when it takes the stream, 401 for
    // a wrong password, 403 for a mount already in use.
    const LoginReply reply = ReceiveLoginReply(engine.streamSocket);
    if (reply.end == ReplyEnd::kStopped || !IsHttpSuccessStatus(reply.bytes)) {
        return RefuseLogin(reply);
    }
    return 1;
}

int LogIn(const std::string& bitrateNumber, const std::string& bitrateText) {
    const EngineState& engine = Engine();
    if (engine.isIcecast2) return LogInIcecast2(bitrateText);
    if (engine.isIcecast) return LogInIcecast(bitrateNumber);
    return LogInShoutcast(bitrateNumber);
}

}  // namespace

std::string StreamAddress() {
    return std::string(Engine().serverHost.view()) + ":" + std::to_string(StreamPort());
}

int ServerPortNumber() {
    // Read the way atoi reads it (a number may be followed by other text), without its overflow.
    const long port = std::strtol(Engine().serverPort.c_str(), nullptr, 10);
    return port >= 1 && port <= kHighestPort ? static_cast<int>(port) : -1;
}

int ConnectToServer() {
    EngineState& engine = Engine();
    const std::string bitrateNumber = std::to_string(engine.bitrateNominal);
    const std::string bitrateText = engine.isOggVorbis && !engine.oggBitrateManaged
                                        ? std::string("Quality ") + engine.oggQuality.c_str()
                                        : bitrateNumber;
    engine.shoutcastAccepted = 0;
    engine.reconnectWaiting = false;
    engine.destinationLost = false;
    ReportStatus("Connecting");

    // A new connection starts a new physical stream: nothing of an earlier connection (its
    // descriptor, its unfinished Ogg stream) carries over.
    CloseStreamSocket();
    engine.oggStreamOpen = 0;
    const int streamPort = StreamPort();
    if (streamPort < 0) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Port %s is not a port number the stream can use (1 to %d%s)",
                   engine.serverPort.c_str(), kHighestPort,
                   engine.isIcecast || engine.isIcecast2 ? "" : ", plus 1 for a Shoutcast source");
        ReportStatus("Unable to connect to socket");
        return 0;
    }
    std::string failure;
    engine.streamSocket = engine.streamConnection.ConnectTo(
        engine.serverHost.c_str(), static_cast<uint16_t>(streamPort), StopRequested, &failure);
    if (engine.streamSocket < 0) {
        engine.streamSocket = -1;
        ReportStatus("Unable to connect to socket");
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Unable to connect to socket %s: %s",
                   StreamAddress().c_str(), failure.c_str());
        return 0;
    }
    engine.streamProgress.Restart();
    ReportStatus("Socket connected");
    if (!LogIn(bitrateNumber, bitrateText)) return 0;

    if (InitEncoder() == 0) {
        DisconnectFromServer();
        ReportStatus("Encoder init failed");
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Encoder init failed: the connection to %s is closed", StreamAddress().c_str());
        return 0;
    }
    engine.connected = 1;
    ReportStatus("Success");
    ReportStatus("Connected");
    return 1;
}

int DisconnectFromServer() {
    EngineState& engine = Engine();
    engine.connected = 0;
    ReportStatus("Disconnecting");
    // The last title goes out while the mount still exists.
    FinishAdminRequests();
    CloseStreamSocket();
    if (engine.metadataSocket >= 0) close(engine.metadataSocket);
    engine.metadataSocket = -1;
    ClearVorbisEncoder(engine);
    CloseLameEncoder(engine);
    ReportStatus("Disconnected");
    CloseArchiveFile();
    return 1;
}
