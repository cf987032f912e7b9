#include "tests/support/icecast_server.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/wait_until.h"

namespace {

constexpr const char* kServiceUser = "icecast2";

bool PortIsFree(uint16_t port) {
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool free = bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(descriptor);
    return free;
}

// A port P whose neighbour P + 1 is free too (the Shoutcast source port).
uint16_t PickPortPair() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
        close(descriptor);
        const uint16_t port = ntohs(address.sin_port);
        if (port != 0 && port < 65535 && PortIsFree(port) && PortIsFree(port + 1)) return port;
    }
    return 0;
}

std::string Configuration(const std::string& directory, uint16_t port, const IcecastLimits& limits,
                          const std::string& source, const std::string& admin, bool changeOwner,
                          const std::string& user, const std::string& group) {
    std::string xml = "<icecast>\n<location>loopback</location>\n<admin>test@localhost</admin>\n";
    xml += "<limits><clients>" + std::to_string(limits.clients) + "</clients><sources>" +
           std::to_string(limits.sources) +
           "</sources><queue-size>524288</queue-size>"
           "<client-timeout>30</client-timeout><header-timeout>15</header-timeout>"
           "<source-timeout>10</source-timeout><burst-size>65535</burst-size></limits>\n";
    xml += "<authentication><source-password>" + source +
           "</source-password>"
           "<relay-password>" +
           admin +
           "</relay-password><admin-user>admin</admin-user>"
           "<admin-password>" +
           admin + "</admin-password></authentication>\n";
    xml += "<hostname>127.0.0.1</hostname>\n";
    xml += "<listen-socket><port>" + std::to_string(port) +
           "</port><bind-address>127.0.0.1</bind-address><shoutcast-mount>" +
           IcecastServer::kShoutcastMount + "</shoutcast-mount></listen-socket>\n";
    xml += "<fileserve>1</fileserve>\n";
    xml += "<paths><basedir>/usr/share/icecast2</basedir><logdir>" + directory +
           "/log</logdir><webroot>/usr/share/icecast2/web</webroot>"
           "<adminroot>/usr/share/icecast2/admin</adminroot><pidfile>" +
           directory + "/icecast.pid</pidfile></paths>\n";
    xml +=
        "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
        "<loglevel>3</loglevel><logsize>10000</logsize></logging>\n";
    xml += "<security><chroot>0</chroot>";
    if (changeOwner) {
        xml += "<changeowner><user>" + user + "</user><group>" + group + "</group></changeowner>";
    }
    xml += "</security>\n</icecast>\n";
    return xml;
}

size_t AppendBody(char* bytes, size_t size, size_t count, void* target) noexcept {
    static_cast<std::string*>(target)->append(bytes, size * count);
    return size * count;
}

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

IcecastServer::IcecastServer(IcecastLimits limits) : limits_(limits) {
    if (!Available()) return;
    for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
        started_ = Launch(PickPortPair()) && WaitUntilAnswering(15000);
        if (!started_) Terminate();
    }
}

bool IcecastServer::Restart() {
    Terminate();
    started_ = false;
    // The old server's sockets may hold the port for a moment after it has ended.
    for (int attempt = 0; attempt < 5 && !started_; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
        started_ = Launch(port_) && WaitUntilAnswering(15000);
        if (!started_) Terminate();
    }
    return started_;
}

IcecastServer::~IcecastServer() {
    Terminate();
}

bool IcecastServer::Available() {
    return access(kIcecastBinary, X_OK) == 0;
}

std::string IcecastServer::failure() const {
    return "icecast2 did not start on port " + std::to_string(port_) + "; its output:\n" +
           ReadWholeFile(directory_.file("output.txt")) + "\nerror log:\n" +
           ReadWholeFile(directory_.file("log/error.log"));
}

std::string IcecastServer::logs() const {
    return "access log:\n" + ReadWholeFile(directory_.file("log/access.log")) + "\nerror log:\n" +
           ReadWholeFile(directory_.file("log/error.log"));
}

bool IcecastServer::Launch(uint16_t port) {
    port_ = port;
    if (port_ == 0) return false;
    const bool asRoot = geteuid() == 0;
    std::string groupName;
    const passwd* user = getpwnam(kServiceUser);
    if (asRoot) {
        if (user == nullptr) return false;
        const struct group* primary = getgrgid(user->pw_gid);
        if (primary == nullptr) return false;
        groupName = primary->gr_name;
    }
    std::filesystem::create_directories(directory_.file("log"));
    const std::string configPath = directory_.file("icecast.xml");
    WriteWholeFile(configPath, Configuration(directory_.path(), port_, limits_, sourcePassword_,
                                             adminPassword_, asRoot, kServiceUser, groupName));
    if (asRoot) {
        for (const std::string& path : {directory_.path(), directory_.file("log"), configPath}) {
            if (chown(path.c_str(), user->pw_uid, user->pw_gid) != 0) return false;
        }
    }
    ChildStart start({kIcecastBinary, "-c", configPath});
    start.outputFile = directory_.file("output.txt");
    server_ = std::make_unique<ChildProcess>(start);
    return server_->pid() > 0;
}

bool IcecastServer::WaitUntilAnswering(int timeoutMs) {
    bool ended = false;  // by itself (port taken, bad configuration)
    const bool answering = WaitUntil(
        [&] {
            ended = !server_->Running();
            return ended || FetchStatusJson().find("icestats") != std::string::npos;
        },
        std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(100));
    if (ended) server_.reset();
    return answering && !ended;
}

void IcecastServer::Pause() {
    if (server_) server_->Signal(SIGSTOP);
}

void IcecastServer::Resume() {
    if (server_) server_->Signal(SIGCONT);
}

void IcecastServer::Terminate() {
    if (!server_) return;
    server_->Signal(SIGTERM);
    server_->Signal(SIGCONT);  // a paused server takes the SIGTERM only once it runs
    server_->WaitFromNow(5000);
    server_.reset();
}

std::string IcecastServer::HttpGet(const std::string& path, bool asAdmin) const {
    InitCurlOnce();
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return "";
    std::string body;
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) + path;
    const std::string credentials = "admin:" + adminPassword_;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 3000L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    if (asAdmin) curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return result == CURLE_OK ? body : "";
}

bool IcecastServer::WaitForTitle(const std::string& mount, const std::string& title, int timeoutMs,
                                 std::string* lastTitle) const {
    std::string seen;
    return WaitUntil(
        [&] {
            if (FindMountTitle(FetchStatusJson(), mount, seen) && seen == title) return true;
            if (lastTitle != nullptr) *lastTitle = seen;
            return false;
        },
        std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(100));
}

bool IcecastServer::WaitForMount(const std::string& mount, int timeoutMs) const {
    std::string ignored;
    return WaitUntil([&] { return FindMountTitle(FetchStatusJson(), mount, ignored); },
                     std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(100));
}
