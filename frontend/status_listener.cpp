#include "frontend/status_listener.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/log.h"
#include "common/text_encoding.h"
#include "common/version.h"
#include "engine/libzembril.h"
#include "engine/source_levels.h"

namespace {

constexpr int kListenBacklog = 16;

struct Page {
    unsigned status = MHD_HTTP_OK;  // libmicrohttpd takes it unsigned
    std::string contentType;
    std::string body;
};

Page PageFor(std::string_view path, const StationFacts& facts) {
    const StationMetricsRecord::Snapshot shot = StationMetrics().Read();
    if (path == "/metrics") {
        return {MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8",
                MetricsPage(shot, facts, ReadProcessFigures())};
    }
    if (path == "/healthz") {
        const Health health = HealthOf(shot);
        return {health.ok ? unsigned{MHD_HTTP_OK} : unsigned{MHD_HTTP_SERVICE_UNAVAILABLE},
                "text/plain; charset=utf-8", health.text + "\n"};
    }
    if (path == "/status.json") {
        return {MHD_HTTP_OK, "application/json", StatusJson(shot, facts)};
    }
    return {MHD_HTTP_NOT_FOUND, "text/plain; charset=utf-8",
            "not found: /metrics, /healthz and /status.json are served\n"};
}

MHD_Result Queue(MHD_Connection* connection, const Page& page) {
    MHD_Response* response = MHD_create_response_from_buffer(
        page.body.size(), const_cast<char*>(page.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, page.contentType.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (page.status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, page.status, response);
    MHD_destroy_response(response);
    return queued;
}

// libmicrohttpd's request handler, on the listener's thread. Requests have no body worth
// reading: a GET is answered at its first call, anything else is refused.
MHD_Result AnswerRequest(void* listener, MHD_Connection* connection, const char* url,
                         const char* method, const char*, const char*, size_t* uploadBytes,
                         void**) noexcept {
    try {
        const std::string_view verb = method != nullptr ? method : "";
        if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
            *uploadBytes = 0;  // a body is dropped unread
            return Queue(connection, {MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain; charset=utf-8",
                                      "only GET and HEAD are served\n"});
        }
        const auto& facts = static_cast<const StatusListener*>(listener)->Facts();
        return Queue(connection, PageFor(url != nullptr ? url : "", facts));
    } catch (...) {
        return MHD_NO;  // the connection is closed; nothing escapes into libmicrohttpd
    }
}

// libmicrohttpd's own complaints (a refused request, a dropped client) are no failure of the
// station: Debug lines.
void LogDaemonMessage(void*, const char* format, va_list arguments) noexcept {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line = PrintableText(text);
    while (!line.empty() && (line.back() == '?' || line.back() == ' ')) line.pop_back();
    LogMessage(LOG_DEBUG, kLogFrontEnd, __LINE__, "Status listener: %s", line.c_str());
}

std::string OutputSettingsText(const EngineState& engine) {
    const std::string nominal = std::to_string(engine.settings.bitrateNominal) + " kbit/s";
    const std::string range = std::to_string(engine.settings.bitrateMin) + "-" +
                              std::to_string(engine.settings.bitrateMax) + " kbit/s";
    if (engine.settings.isOpus) return "VBR " + nominal;
    if (engine.settings.isOggVorbis) {
        return engine.settings.oggBitrateManaged ? "managed " + nominal + " (" + range + ")"
                                        : "quality " + std::string(engine.settings.oggQuality.view());
    }
    if (engine.settings.lameCbrFlag != 0) return "CBR " + nominal;
    return "VBR " + std::string(engine.settings.lameVbrMode.view()) + " " + nominal + " (" + range + ")";
}

const char* OutputFormatName(const EngineState& engine) {
    if (engine.settings.isOpus) return "Ogg Opus";
    return engine.settings.isOggVorbis ? "Ogg Vorbis" : "MP3";
}

}  // namespace

StatusListener::StatusListener(const std::string& address, int port, StationFacts facts)
    : facts_(std::move(facts)) {
    if (port == 0) return;
    if (port < 1 || port > 65535) {
        LogMessage(LOG_ERROR, kLogFrontEnd, __LINE__,
                   "StatusPort=%d is no port number (1 to 65535); the run goes on without the "
                   "status listener",
                   port);
        return;
    }
    Start(address, port);
}

std::unique_ptr<StatusListener> StatusListener::OnFreePort(const std::string& address,
                                                           StationFacts facts) {
    std::unique_ptr<StatusListener> listener(new StatusListener(std::move(facts)));
    listener->Start(address, 0);
    return listener;
}

void StatusListener::Start(const std::string& address, int port) {
    const int listenSocket = OpenListenSocket(address, port);
    if (listenSocket < 0) return;
    daemon_ = MHD_start_daemon(
        MHD_USE_POLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG, 0, nullptr, nullptr, &AnswerRequest,
        this, MHD_OPTION_LISTEN_SOCKET, listenSocket, MHD_OPTION_CONNECTION_LIMIT,
        kMostConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMostPerAddress,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(kConnectionMemoryBytes),
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_EXTERNAL_LOGGER,
        &LogDaemonMessage, nullptr, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        close(listenSocket);
        port_ = 0;
        LogMessage(LOG_ERROR, kLogFrontEnd, __LINE__,
                   "Cannot start the status listener on %s:%d; the run goes on without it",
                   PrintableText(address).c_str(), port);
        return;
    }
    LogMessage(LOG_INFO, kLogFrontEnd, __LINE__,
               "Status listener on http://%s:%d/ (/metrics, /healthz, /status.json)",
               PrintableText(address).c_str(), port_);
    // The pages show the source's levels: they are measured from now on.
    KeepSourceLevels();
}

StatusListener::~StatusListener() {
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);  // joins its thread, closes the socket
}

// Bound here rather than by libmicrohttpd, so that a port in use is reported with the system's
// reason. -1 after an Error line.
int StatusListener::OpenListenSocket(const std::string& address, int port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
        LogMessage(LOG_ERROR, kLogFrontEnd, __LINE__,
                   "StatusAddress \"%s\" is no IPv4 address; the run goes on without the status "
                   "listener",
                   PrintableText(address).c_str());
        return -1;
    }
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    if (descriptor >= 0) setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (descriptor < 0 || bind(descriptor, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        listen(descriptor, kListenBacklog) != 0) {
        const int error = errno;
        if (descriptor >= 0) close(descriptor);
        LogMessage(LOG_ERROR, kLogFrontEnd, __LINE__,
                   "Cannot open the status listener on %s:%d: %s; the run goes on without it",
                   PrintableText(address).c_str(), port, std::strerror(error));
        return -1;
    }
    socklen_t length = sizeof where;
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&where), &length);
    port_ = ntohs(where.sin_port);
    return descriptor;
}

StationFacts StationFactsOfConfiguration() {
    const EngineState& engine = Engine();
    StationFacts facts;
    facts.sourceUrl = MaskedUrl(engine.settings.sourceUrl.view());
    facts.destination = PrintableText(std::string(engine.settings.serverHost.view()) + ":" +
                                      std::string(engine.settings.serverPort.view()) +
                                      std::string(engine.settings.serverMountpoint.view()));
    facts.serverType = engine.settings.serverType.c_str();
    facts.format = OutputFormatName(engine);
    facts.settings = OutputSettingsText(engine);
    facts.sampleRate = static_cast<int>(OutputSampleRate(engine.settings));
    facts.channels = engine.settings.channels;
    facts.version = kTranscodeVersion;
    return facts;
}
