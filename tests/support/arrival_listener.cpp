#include "tests/support/arrival_listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/loopback.h"

namespace {

constexpr int kPollSliceMs = 50;
constexpr std::size_t kReadBytes = 16384;

bool SendAll(int descriptor, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t done = send(descriptor, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (done <= 0) return false;
        sent += static_cast<std::size_t>(done);
    }
    return true;
}

}  // namespace

ArrivalListener::ArrivalListener(uint16_t port, std::string path, int maxMs)
    : port_(port), path_(std::move(path)), maxMs_(maxMs) {
    thread_ = std::thread([this] { Run(); });
}

ArrivalListener::~ArrivalListener() {
    Stop();
}

void ArrivalListener::Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

void ArrivalListener::Run() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(maxMs_);
    const int descriptor = ConnectToLoopback(port_);
    const std::string request =
        "GET " + path_ + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: arrival-listener\r\n\r\n";
    bool open = descriptor >= 0 && SendAll(descriptor, request);
    char buffer[kReadBytes];
    while (open && !stopping_.load() && Clock::now() < deadline) {
        pollfd readable{descriptor, POLLIN, 0};
        if (poll(&readable, 1, kPollSliceMs) <= 0) continue;
        const ssize_t got = recv(descriptor, buffer, sizeof buffer, 0);
        if (got <= 0) {
            open = false;
            break;
        }
        Take(buffer, static_cast<std::size_t>(got));
    }
    if (!open) dropped_.store(true);
    if (descriptor >= 0) close(descriptor);
    std::lock_guard hold(mutex_);
    endedAt_ = Clock::now();
}

void ArrivalListener::Take(const char* bytes, std::size_t byteCount) {
    std::lock_guard hold(mutex_);
    std::size_t bodyStart = 0;
    if (!headerDone_) {
        header_.append(bytes, byteCount);
        const std::size_t end = header_.find("\r\n\r\n");
        if (end == std::string::npos) return;
        headerDone_ = true;
        const std::size_t bodyInHeader = header_.size() - (end + 4);
        header_.resize(end + 4);
        bodyStart = byteCount - bodyInHeader;
    }
    if (bodyStart >= byteCount) return;
    body_.append(bytes + bodyStart, byteCount - bodyStart);
    arrivals_.push_back({Clock::now(), byteCount - bodyStart});
}

std::string ArrivalListener::StatusLine() const {
    std::lock_guard hold(mutex_);
    return header_.substr(0, header_.find("\r\n"));
}

std::string ArrivalListener::Body() const {
    std::lock_guard hold(mutex_);
    return body_;
}

std::vector<ArrivalListener::Arrival> ArrivalListener::Arrivals() const {
    std::lock_guard hold(mutex_);
    return arrivals_;
}

ArrivalListener::Silence ArrivalListener::LongestSilence() const {
    std::lock_guard hold(mutex_);
    if (arrivals_.empty()) return {Clock::duration::zero(), Clock::duration::max()};
    const Clock::time_point first = arrivals_.front().at;
    Silence longest;
    auto consider = [&](Clock::time_point from, Clock::time_point to) {
        if (to - from > longest.length) longest = {from - first, to - from};
    };
    for (std::size_t i = 1; i < arrivals_.size(); ++i)
        consider(arrivals_[i - 1].at, arrivals_[i].at);
    consider(arrivals_.back().at, endedAt_ == Clock::time_point{} ? Clock::now() : endedAt_);
    return longest;
}

ArrivalListener::Clock::duration ArrivalListener::ListenedTime() const {
    std::lock_guard hold(mutex_);
    if (arrivals_.empty()) return Clock::duration::zero();
    const Clock::time_point end = endedAt_ == Clock::time_point{} ? Clock::now() : endedAt_;
    return end - arrivals_.front().at;
}
