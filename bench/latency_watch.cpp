#include "bench/latency_watch.h"

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "bench/measured_child.h"
#include "common/text_encoding.h"
#include "tests/support/icecast_server.h"
#include "tests/support/loopback.h"
#include "tests/support/status_json.h"

MountWatch::MountWatch(const IcecastServer& server, std::string mount, int pollMs, int maxMs)
    : server_(server), mount_(std::move(mount)), pollMs_(pollMs), maxMs_(maxMs) {
    thread_ = std::thread([this] { Run(); });
}

void MountWatch::Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::vector<SeenTitle> MountWatch::Titles() const {
    std::lock_guard hold(mutex_);
    return titles_;
}

void MountWatch::Run() {
    const double end = MonotonicSeconds() + maxMs_ / 1000.0;
    std::string title;
    while (!stopping_.load() && MonotonicSeconds() < end) {
        const std::string status = server_.FetchStatusJson();
        const double now = MonotonicSeconds();
        if (FindMountTitle(status, mount_, title)) {
            if (mountSeenAt_.load() == 0) mountSeenAt_.store(now);
            std::lock_guard hold(mutex_);
            if (titles_.empty() || titles_.back().title != title) titles_.push_back({now, title});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs_));
    }
}

namespace {

std::size_t TakeListenerBytes(char* bytes, std::size_t size, std::size_t count,
                              void* watch) noexcept {
    auto* self = static_cast<OggCommentWatch*>(watch);
    if (self->stopping()) return 0;
    self->Take(bytes, size * count);
    return size * count;
}

int StopWhenAsked(void* watch, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    return static_cast<OggCommentWatch*>(watch)->stopping() ? 1 : 0;
}

std::uint32_t LittleEndian32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The comment list of a Vorbis comment packet starting at `at` ("\x03vorbis", vendor, list);
// false while the packet is not complete in the bytes.
bool ReadComments(const std::string& bytes, std::size_t at, std::string& artist, std::string& title,
                  std::size_t& end) {
    std::size_t position = at + 7;
    if (position + 4 > bytes.size()) return false;
    position += 4 + LittleEndian32(bytes, position);  // vendor
    if (position + 4 > bytes.size()) return false;
    const std::uint32_t count = LittleEndian32(bytes, position);
    position += 4;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (position + 4 > bytes.size()) return false;
        const std::uint32_t length = LittleEndian32(bytes, position);
        position += 4;
        if (position + length > bytes.size()) return false;
        const std::string comment = bytes.substr(position, length);
        position += length;
        if (comment.rfind("ARTIST=", 0) == 0) artist = comment.substr(7);
        if (comment.rfind("TITLE=", 0) == 0) title = comment.substr(6);
    }
    end = position;
    return true;
}

}  // namespace

OggCommentWatch::OggCommentWatch(std::string url, int maxMs) : url_(std::move(url)), maxMs_(maxMs) {
    thread_ = std::thread([this] { Run(); });
}

void OggCommentWatch::Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::vector<SeenTitle> OggCommentWatch::Titles() const {
    std::lock_guard hold(mutex_);
    return titles_;
}

void OggCommentWatch::Take(const char* bytes, std::size_t byteCount) {
    const double now = MonotonicSeconds();
    pending_.append(bytes, byteCount);
    static constexpr char kCommentStart[] = "\x03vorbis";
    for (;;) {
        const std::size_t at = pending_.find(kCommentStart, 0, 7);
        if (at == std::string::npos) {
            // Keep a tail that may hold the start of a packet cut by this read.
            if (pending_.size() > 6) pending_.erase(0, pending_.size() - 6);
            return;
        }
        std::string artist;
        std::string title;
        std::size_t end = 0;
        if (!ReadComments(pending_, at, artist, title, end)) {
            pending_.erase(0, at);  // wait for the rest of the packet
            return;
        }
        {
            std::lock_guard hold(mutex_);
            titles_.push_back({now, artist.empty() ? title : artist + " - " + title});
        }
        pending_.erase(0, end);
    }
}

void OggCommentWatch::Run() {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return;
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeListenerBytes);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, StopWhenAsked);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(maxMs_));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_perform(curl);  // ends with the stream, the time limit or a stop
    curl_easy_cleanup(curl);
}

BareSourceLogin::BareSourceLogin(const IcecastServer& server, const std::string& mount) {
    startedAt_ = MonotonicSeconds();
    descriptor_ = ConnectToLoopback(server.port());
    if (descriptor_ < 0) return;
    timeval limit{3, 0};
    setsockopt(descriptor_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const std::string request = "PUT " + mount + " HTTP/1.0\r\nAuthorization: Basic " +
                                Base64Encode("source:" + server.sourcePassword()) +
                                "\r\nContent-Type: audio/mpeg\r\n\r\n";
    if (send(descriptor_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return;
    }
    char answer[256];
    const ssize_t got = recv(descriptor_, answer, sizeof answer - 1, 0);
    if (got <= 0) return;
    answer[got] = '\0';
    if (std::strstr(answer, " 200") != nullptr) acceptedAt_ = MonotonicSeconds();
}

BareSourceLogin::~BareSourceLogin() {
    if (descriptor_ >= 0) close(descriptor_);
}
