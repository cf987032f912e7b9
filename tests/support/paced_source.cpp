#include "tests/support/paced_source.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "tests/support/loopback.h"
#include "tests/support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequestTimeoutMs = 5000;
constexpr std::size_t kMaxRequestBytes = 8192;

bool AskedForMetadata(std::string request) {
    std::transform(request.begin(), request.end(), request.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t at = request.find("icy-metadata:");
    if (at == std::string::npos) return false;
    const std::size_t value = request.find_first_not_of(' ', at + 13);
    return value != std::string::npos && request[value] == '1';
}

const std::string* TitleAt(const std::vector<TitleCue>& titles, std::size_t offset) {
    const std::string* current = nullptr;
    for (const TitleCue& cue : titles) {
        if (cue.audioByteOffset <= offset) current = &cue.title;
    }
    return current;
}

std::string Header(const PacedSourceOptions& options, bool withMetadata) {
    std::string header = options.statusLine + "\r\n";
    header += "icy-name:" + options.stationName + "\r\n";
    if (withMetadata) header += "icy-metaint:" + std::to_string(options.metaInterval) + "\r\n";
    if (!options.contentType.empty()) header += "Content-Type: " + options.contentType + "\r\n";
    return header + "\r\n";
}

std::string Looped(const std::string& audio, int loopCount) {
    std::string all;
    for (int i = 0; i < std::max(loopCount, 1); ++i) all += audio;
    return all;
}

}  // namespace

std::vector<TitleCue> TitlesEvery(double secondsEach, double bytesPerSecond,
                                  const std::vector<std::string>& titles) {
    const auto step = static_cast<std::size_t>(secondsEach * bytesPerSecond);
    std::vector<TitleCue> cues;
    for (std::size_t i = 0; i < titles.size(); ++i) cues.push_back({i * step, titles[i]});
    return cues;
}

std::string PacedSource::MetadataBlock(const std::string& title, const std::string& fieldsBefore) {
    std::string text = fieldsBefore + "StreamTitle='" + title + "';";
    const std::size_t blocks = std::min<std::size_t>((text.size() + 15) / 16, 127);
    text.resize(blocks * 16, '\0');
    return std::string(1, static_cast<char>(blocks)) + text;
}

std::string PacedSource::IcyBody(const std::string& audio, const PacedSourceOptions& options) {
    const std::string all = Looped(audio, options.loopCount);
    if (options.metaInterval <= 0 || audio.empty()) return all;
    const std::size_t interval = static_cast<std::size_t>(options.metaInterval);
    std::string body;
    body.reserve(all.size() + all.size() / interval * 64);
    const std::string* lastSent = nullptr;
    for (std::size_t at = 0; at < all.size(); at += interval) {
        body.append(all, at, interval);
        if (at + interval > all.size()) break;  // the stream ends inside an audio block
        const std::string* title = TitleAt(options.titles, (at + interval) % audio.size());
        const bool send = title != nullptr && (options.repeatTitles || title != lastSent);
        body += send ? MetadataBlock(*title, options.fieldsBeforeTitle) : std::string(1, '\0');
        if (send) lastSent = title;
    }
    return body;
}

PacedSource::PacedSource(std::string audio, PacedSourceOptions options)
    : audio_(std::move(audio)), options_(std::move(options)) {
    listenDescriptor_ = ListenOnLoopback(options_.port, 4);
    if (listenDescriptor_ < 0) return;
    port_ = BoundPort(listenDescriptor_);
    // Both bodies are made before the first client comes, so serving allocates nothing.
    plainBody_ = Looped(audio_, options_.loopCount);
    if (options_.metaInterval > 0) icyBody_ = IcyBody(audio_, options_);
    thread_ = std::thread([this] { Run(); });
}

PacedSource::~PacedSource() {
    Stop();
    if (thread_.joinable()) thread_.join();
    if (listenDescriptor_ >= 0) close(listenDescriptor_);
}

void PacedSource::Stop() {
    stopping_.store(true);
}

std::string PacedSource::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> PacedSource::Requests() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
}

void PacedSource::Run() {
    while (!stopping_.load()) {
        pollfd waiting{listenDescriptor_, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0) continue;
        const int descriptor = accept4(listenDescriptor_, nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor < 0) continue;
        timeval sendTimeout{5, 0};
        setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
        Serve(descriptor);
        close(descriptor);
    }
}

bool PacedSource::ReadRequest(int descriptor, std::string& request) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable{descriptor, POLLIN, 0};
        if (left.count() <= 0 || stopping_.load()) return false;
        if (poll(&readable, 1, static_cast<int>(std::min<long>(left.count(), 100))) <= 0) continue;
        const ssize_t got = recv(descriptor, buffer, sizeof buffer, 0);
        if (got <= 0) return false;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

bool PacedSource::Refusing() const {
    return options_.streamLimit > 0 && served_ >= options_.streamLimit;
}

void PacedSource::Serve(int descriptor) {
    std::string request;
    if (!ReadRequest(descriptor, request)) return;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        requests_.push_back(request);
    }
    if (Refusing()) {
        const std::string refusal = "HTTP/1.0 503 Service Unavailable\r\n\r\n";
        send(descriptor, refusal.data(), refusal.size(), MSG_NOSIGNAL);
        return;
    }
    ++served_;
    if (options_.holdAnswer) {
        WaitUntil([this] { return released_.load() || stopping_.load(); }, options_.maxStreamMs);
    }
    const bool withMetadata = options_.metaInterval > 0 && AskedForMetadata(request);
    const std::string header = Header(options_, withMetadata);
    if (send(descriptor, header.data(), header.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(header.size())) {
        return;
    }
    if (!SendPaced(descriptor, withMetadata ? icyBody_ : plainBody_)) return;
    completed_.fetch_add(1);
    HoldSilently(descriptor);
}

void PacedSource::HoldSilently(int descriptor) {
    const auto end = Clock::now() + std::chrono::milliseconds(options_.silentHoldMs);
    char ignored[1024];
    while (!stopping_.load() && Clock::now() < end) {
        pollfd readable{descriptor, POLLIN, 0};
        if (poll(&readable, 1, 50) <= 0) continue;
        if (recv(descriptor, ignored, sizeof ignored, 0) <= 0) return;  // the client hung up
    }
}

bool PacedSource::SendPaced(int descriptor, const std::string& body) {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(options_.maxStreamMs);
    const double audioBytes =
        static_cast<double>(audio_.size()) * static_cast<double>(std::max(options_.loopCount, 1));
    // Pace the body so that its audio part flows at bytesPerSecond.
    const double bodyRate =
        options_.bytesPerSecond * (audioBytes > 0 ? body.size() / audioBytes : 1);
    std::size_t sent = 0;
    while (sent < body.size()) {
        if (stopping_.load() || Clock::now() >= deadline) return false;
        if (bodyRate > 0 && sent >= options_.burstBytes) {
            const auto due = start + std::chrono::microseconds(static_cast<long long>(
                                         (sent - options_.burstBytes) / bodyRate * 1e6));
            if (due > Clock::now()) {
                std::this_thread::sleep_for(
                    std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(50)));
                continue;
            }
        }
        const std::size_t piece = std::min(options_.chunkBytes, body.size() - sent);
        const ssize_t done = send(descriptor, body.data() + sent, piece, MSG_NOSIGNAL);
        if (done <= 0) return false;
        sent += static_cast<std::size_t>(done);
    }
    return true;
}
