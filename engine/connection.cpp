// The stream connection to the destination server: connecting, the three logins and the
// judgement of their replies, disconnecting.
//
// A login that does not succeed says why in its status: "Password Failed" only for a refused
// password (an HTTP 401, a reply that names the password), "Login refused: " with the server's own
// words for any other refusal (Icecast's "Mountpoint in use"), "No login reply" when none came,
// "Login failed" when the login could not be sent. A connect or login called off by a stop request
// or by the end of the transfer is "Stopped", with an Info line: no failure of the server's.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>

#include "common/log.h"
#include "common/socket.h"
#include "common/station_metrics.h"
#include "common/text_encoding.h"
#include "engine/encoder_state.h"
#include "engine/libzembril.h"
#include "engine/server_io.h"

namespace {

constexpr int kHighestPort = 65535;
// How long a Shoutcast-style login waits for the password's answer before it sends the header
// block unasked (see LogInShoutcast).
constexpr auto kPasswordReplyWait = std::chrono::milliseconds(1000);

void ReportStatus(const char* text) {
    Report(Engine().sinks.serverStatus, text);
}

void ReportStatus(const std::string& text) {
    ReportStatus(text.c_str());
}

void CloseStreamSocket() {
    EngineState& engine = Engine();
    if (engine.destination.streamSocket >= 0) close(engine.destination.streamSocket);
    engine.destination.streamSocket = -1;
}

// The port the stream login goes to; -1 when there is none (the value would otherwise be cut to
// 16 bits and the login could reach some other service).
int StreamPort() {
    const EngineState& engine = Engine();
    const int port = ServerPortNumber();
    if (port < 0) return -1;
    const bool shoutcastProtocol = !engine.settings.isIcecast && !engine.settings.isIcecast2;
    // Shoutcast servers take their sources one port above the listeners' port.
    const int streamPort = port + (shoutcastProtocol ? 1 : 0);
    return streamPort <= kHighestPort ? streamPort : -1;
}

bool IsHttpReply(std::string_view reply) {
    return reply.substr(0, 7) == "HTTP/1." && reply.size() >= 12 && reply[8] == ' ';
}

// The status code of an "HTTP/1.x nnn ..." reply; -1 when it has none.
int HttpStatusCode(std::string_view reply) {
    if (!IsHttpReply(reply)) return -1;
    const std::string_view code = reply.substr(9, 3);
    if (!std::all_of(code.begin(), code.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        return -1;
    }
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

bool IsHttpSuccessStatus(std::string_view reply) {
    const int code = HttpStatusCode(reply);
    return code >= 200 && code <= 299;
}

bool MentionsPassword(std::string_view text) {
    std::string lower(text.substr(0, text.find_first_of("\r\n")));
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("password") != std::string::npos;
}

bool MountLacksSlash() {
    const EngineState& engine = Engine();
    const std::string_view mount = engine.settings.serverMountpoint.view();
    if (!engine.settings.isIcecast && !engine.settings.isIcecast2) return false;
    return mount.empty() || mount.front() != '/';
}

// Icecast2 drops a source login whose mount lacks its leading "/" without a word.
std::string MountHint() {
    if (!MountLacksSlash()) return "";
    return " (the mount \"" + PrintableText(Engine().settings.serverMountpoint.view()) +
           "\" does not begin with \"/\")";
}

// The status of a login the server did not accept: see the top of the file.
std::string RefusalStatus(const LoginReply& reply, const std::string& reason) {
    if (reply.bytes.empty()) {
        if (MountLacksSlash()) return "Login refused: mount without \"/\"";
        return reply.end == ReplyEnd::kClosed ? "Login refused: connection closed"
                                              : "No login reply";
    }
    const bool passwordRefused = IsHttpReply(reply.bytes) ? HttpStatusCode(reply.bytes) == 401
                                                          : MentionsPassword(reply.bytes);
    if (passwordRefused) return "Password Failed";
    return "Login refused: " + (reason.empty() ? QuotedReply(reply) : reason);
}

// The connect or the login was called off by a stop request or by the end of the transfer: the
// connection is dropped without a word against the server.
int CallOffConnection(const char* step) {
    CloseStreamSocket();
    ReportStatus("Stopped");
    LogMessage(LOG_INFO, kLogEngine, __LINE__, "%s while %s %s",
               StopRequested() ? "Stop requested" : "The transfer ended", step,
               StreamAddress().c_str());
    return 0;
}

// The connection is dropped, with a status that says why (RefusalStatus) and the server's words
// in the log; a wait that was called off is no refusal.
int RefuseLogin(LoginReply reply) {
    if (reply.end == ReplyEnd::kCalledOff) {
        return CallOffConnection("waiting for the login reply of");
    }
    std::string reason;
    if (IsHttpReply(reply.bytes) && !IsHttpSuccessStatus(reply.bytes)) {
        // Icecast gives the reason of a refusal after its headers ("Mountpoint in use").
        ReceiveRestOfRefusal(Engine().destination.streamSocket, reply);
        reason = RefusalReason(reply);
    }
    CloseStreamSocket();
    ReportStatus(RefusalStatus(reply, reason));
    const std::string quoted = QuotedReply(reply);
    const std::string told =
        reason.empty() || quoted.find(reason) != std::string::npos ? "" : " (" + reason + ")";
    if (reply.bytes.empty() && reply.end != ReplyEnd::kClosed) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "No login reply from %s: %s%s",
                   StreamAddress().c_str(), quoted.c_str(), MountHint().c_str());
    } else {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Login refused by %s: %s%s%s",
                   StreamAddress().c_str(), quoted.c_str(), told.c_str(), MountHint().c_str());
    }
    return 0;
}

// A part of the login could not be sent: the login fails, unless the send was called off.
int FailLoginSend(int error) {
    if (error == ECANCELED) return CallOffConnection("sending the login to");
    CloseStreamSocket();
    ReportStatus("Login failed");
    LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot send the login to %s: %s",
               StreamAddress().c_str(), SendFailureText(error).c_str());
    return 0;
}

// Sends a part of the login; 0, or the errno of the failed send (ECANCELED: called off).
int SendLoginText(const std::string& text) {
    return SendRequest(Engine().destination.streamSocket, text.c_str()) < 0 ? errno : 0;
}

// Judges an "OK"/"OK2" reply of a Shoutcast-style login; 1 when accepted.
int AcceptOkReply(const LoginReply& reply) {
    const std::string& bytes = reply.bytes;
    if (reply.end == ReplyEnd::kCalledOff || bytes.size() < 2 || bytes[0] != 'O' ||
        bytes[1] != 'K') {
        return RefuseLogin(reply);
    }
    Engine().destination.shoutcastAccepted = bytes.size() > 2 && bytes[2] == '2';
    ReportStatus("Password OK");
    return 1;
}

int ReadOkReply() {
    return AcceptOkReply(ReceiveLoginReply(Engine().destination.streamSocket));
}

const char* OutputContentType() {
    if (Engine().settings.isOpus) return "audio/ogg";
    return Engine().settings.isOggVorbis ? "application/ogg" : "audio/mpeg";
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

std::string ShoutcastHeaderBlock(const std::string& bitrateNumber) {
    EngineSettings& settings = Engine().settings;
    FillEmptyContact(settings.serverIrc);
    FillEmptyContact(settings.serverIcq);
    FillEmptyContact(settings.serverAim);
    return HeaderBlock(
        {
            "icy-name:" + Text(settings.serverDescription),
            "icy-genre:" + Text(settings.serverGenre),
            "icy-url:" + Text(settings.serverStreamUrl),
            "icy-pub:" + std::to_string(settings.serverPublic),
            "icy-irc:" + Text(settings.serverIrc),
            "icy-icq:" + Text(settings.serverIcq),
            "icy-aim:" + Text(settings.serverAim),
            "icy-br:" + bitrateNumber,
            std::string("content-type:") + OutputContentType(),
        },
        "\r\n");
}

// A classic server answers the password at once and reads the header block after its "OK";
// Icecast's Shoutcast port answers only once the header block is in. So the login waits a
// moment for the answer, and without one sends the header block first.
int LogInShoutcast(const std::string& bitrateNumber) {
    const int descriptor = Engine().destination.streamSocket;
    int error = SendLoginText(Text(Engine().settings.serverPassword));
    if (error == 0) error = SendLoginText("\r\n");
    if (error != 0) return FailLoginSend(error);
    LoginReply reply;
    ReceiveMoreLoginReply(descriptor, reply, kPasswordReplyWait);
    bool headerBlockSent = false;
    if (reply.end == ReplyEnd::kTimedOut) {
        if (reply.bytes.empty()) {
            error = SendLoginText(ShoutcastHeaderBlock(bitrateNumber));
            if (error != 0) return FailLoginSend(error);
            headerBlockSent = true;
        }
        ReceiveMoreLoginReply(descriptor, reply, std::chrono::seconds(kSocketTimeoutSeconds));
    }
    if (!AcceptOkReply(reply)) return 0;
    if (headerBlockSent) return 1;
    error = SendLoginText(ShoutcastHeaderBlock(bitrateNumber));
    return error == 0 ? 1 : FailLoginSend(error);
}

// The Icecast login has always named MP3, whatever the format; Opus output names its own.
const char* IcecastContentType() {
    return Engine().settings.isOpus ? OutputContentType() : "audio/mpeg";
}

int LogInIcecast(const std::string& bitrateNumber) {
    const EngineState& engine = Engine();
    const int error = SendLoginText(HeaderBlock(
        {
            "SOURCE " + Text(engine.settings.serverPassword) + " " +
                Text(engine.settings.serverMountpoint),
            std::string("content-type: ") + IcecastContentType(),
            "x-audiocast-name: " + Text(engine.settings.serverDescription),
            "x-audiocast-url: " + Text(engine.settings.serverStreamUrl),
            "x-audiocast-genre: " + Text(engine.settings.serverGenre),
            "x-audiocast-bitrate: " + bitrateNumber,
            "x-audiocast-public: " + std::to_string(engine.settings.serverPublic),
            "x-audiocast-description: " + Text(engine.settings.serverDescription),
        },
        "\r\n"));
    return error == 0 ? ReadOkReply() : FailLoginSend(error);
}

int LogInIcecast2(const std::string& bitrateText) {
    const EngineState& engine = Engine();
    const std::string credential = Base64Encode("source:" + Text(engine.settings.serverPassword));
    const std::string audioInfo =
        "ice-samplerate=" + std::to_string(OutputSampleRate(engine.settings)) +
        ";ice-bitrate=" + bitrateText + ";ice-channels=" + std::to_string(engine.settings.channels);
    // This protocol's lines end in a bare line feed.
    const int error = SendLoginText(HeaderBlock(
        {
            "SOURCE " + Text(engine.settings.serverMountpoint) + " ICE/1.0",
            std::string("content-type: ") + OutputContentType(),
            "Authorization: Basic " + credential,
            "ice-name: " + Text(engine.settings.serverDescription),
            "ice-url: " + Text(engine.settings.serverStreamUrl),
            "ice-genre: " + Text(engine.settings.serverGenre),
            "ice-bitrate: " + bitrateText,
            std::string("ice-private: ") + (engine.settings.serverPublic == 0 ? "1" : "0"),
            "ice-public: " + std::to_string(engine.settings.serverPublic),
            "ice-description: " + Text(engine.settings.serverDescription),
            "ice-audio-info: " + audioInfo,
        },
        "\n"));
    if (error != 0) return FailLoginSend(error);
    // Icecast2 answers a source with an HTTP status line: 200 when it takes the stream, 401 for
    // a wrong password, 403 for a mount already in use.
    const LoginReply reply = ReceiveLoginReply(engine.destination.streamSocket);
    if (reply.end == ReplyEnd::kCalledOff || !IsHttpSuccessStatus(reply.bytes)) {
        return RefuseLogin(reply);
    }
    return 1;
}

int LogIn(const std::string& bitrateNumber, const std::string& bitrateText) {
    const EngineState& engine = Engine();
    if (engine.settings.isIcecast2) return LogInIcecast2(bitrateText);
    if (engine.settings.isIcecast) return LogInIcecast(bitrateNumber);
    return LogInShoutcast(bitrateNumber);
}

// The encoder of the new connection: 1 when it runs and (for Ogg output) its header pages went
// out; otherwise the connection is closed again and the status says why.
int StartEncoder() {
    EngineState& engine = Engine();
    const int started = InitEncoder();
    if (started == 1) return 1;
    const int error = engine.destination.sendFailure.load();
    // The header pages went to the archive as well; their stream is completed there.
    if (started < 0) FlushEncoderIntoArchive();
    DisconnectFromServer();
    if (started == 0) {
        ReportStatus("Encoder init failed");
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Encoder init failed: the connection to %s is closed", StreamAddress().c_str());
    } else if (error == ECANCELED) {
        CallOffConnection("sending the stream's header pages to");
    } else {
        ReportStatus("Login failed");
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot send the Ogg header pages to %s: %s",
                   StreamAddress().c_str(), SendFailureText(error).c_str());
    }
    return 0;
}

}  // namespace

std::string StreamAddress() {
    return std::string(Engine().settings.serverHost.view()) + ":" + std::to_string(StreamPort());
}

int ServerPortNumber() {
    // Read the way atoi reads it (a number may be followed by other text), without its overflow.
    const long port = std::strtol(Engine().settings.serverPort.c_str(), nullptr, 10);
    return port >= 1 && port <= kHighestPort ? static_cast<int>(port) : -1;
}

int ConnectToServer() {
    EngineState& engine = Engine();
    const std::string bitrateNumber = std::to_string(engine.settings.bitrateNominal);
    const std::string bitrateText =
        engine.settings.isOggVorbis && !engine.settings.oggBitrateManaged
            ? std::string("Quality ") + engine.settings.oggQuality.c_str()
            : bitrateNumber;
    engine.destination.shoutcastAccepted = 0;
    engine.destination.reconnectWaiting = false;
    Control().destinationLost = false;
    ReportStatus("Connecting");

    // A new connection starts a new physical stream: nothing of an earlier connection (its
    // descriptor, its unfinished Ogg stream) carries over.
    CloseStreamSocket();
    engine.encoder.oggStreamOpen = 0;
    const int streamPort = StreamPort();
    if (streamPort < 0) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__,
                   "Port %s is not a port number the stream can use (1 to %d%s)",
                   engine.settings.serverPort.c_str(), kHighestPort,
                   engine.settings.isIcecast || engine.settings.isIcecast2
                       ? ""
                       : ", plus 1 for a Shoutcast source");
        ReportStatus("Unable to connect to socket");
        return 0;
    }
    std::string failure;
    engine.destination.streamSocket = engine.destination.streamConnection.ConnectTo(
        engine.settings.serverHost.c_str(), static_cast<uint16_t>(streamPort),
        ConnectionWaitCalledOff, &failure);
    if (engine.destination.streamSocket < 0) {
        engine.destination.streamSocket = -1;
        if (ConnectionWaitCalledOff()) return CallOffConnection("connecting to");
        ReportStatus("Unable to connect to socket");
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Unable to connect to socket %s: %s",
                   StreamAddress().c_str(), failure.c_str());
        return 0;
    }
    engine.destination.streamProgress.Restart();
    if (engine.settings.saveArchives) WantArchive();
    ReportStatus("Socket connected");
    if (!LogIn(bitrateNumber, bitrateText) || !StartEncoder()) return 0;
    engine.destination.connected = 1;
    StationMetrics().NoteDestinationState(DestinationState::kConnected);
    ReportStatus("Success");
    ReportStatus("Connected");
    return 1;
}

int DisconnectFromServer() {
    EngineState& engine = Engine();
    engine.destination.connected = 0;
    StationMetrics().NoteDestinationState(DestinationState::kNotConnected);
    ReportStatus("Disconnecting");
    // The last title goes out while the mount still exists.
    FinishAdminRequests();
    CloseStreamSocket();
    ClearVorbisEncoder(engine);
    CloseLameEncoder(engine);
    ReportStatus("Disconnected");
    CloseArchiveFile();
    return 1;
}
