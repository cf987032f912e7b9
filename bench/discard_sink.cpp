#include "bench/discard_sink.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/loopback.h"

DiscardSink::DiscardSink() {
    listen_ = ListenOnLoopback(0, 8);
    port_ = BoundPort(listen_);
    thread_ = std::thread([this] { Run(); });
}

DiscardSink::~DiscardSink() {
    stopping_.store(true);
    thread_.join();
    for (const pollfd& entry : fds_) close(entry.fd);
}

bool DiscardSink::WaitUntilAllClosed(int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (open_.load() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void DiscardSink::Run() {
    fds_.push_back({listen_, POLLIN, 0});
    char buffer[65536];
    while (!stopping_.load()) {
        if (poll(fds_.data(), fds_.size(), 100) <= 0) continue;
        for (std::size_t i = 0; i < fds_.size(); ++i) {
            if ((fds_[i].revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)) == 0) continue;
            if (i == 0) {
                const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client >= 0) {
                    fds_.push_back({client, POLLIN, 0});
                    open_.fetch_add(1);
                }
                continue;
            }
            const std::size_t before = fds_.size();
            Serve(i, buffer, sizeof buffer);
            if (fds_.size() < before) --i;
        }
    }
}

void DiscardSink::Serve(std::size_t index, char* buffer, std::size_t bufferBytes) {
    pollfd& entry = fds_[index];
    const ssize_t got = recv(entry.fd, buffer, bufferBytes, 0);
    if (got <= 0) {
        close(entry.fd);
        fds_.erase(fds_.begin() + static_cast<long>(index));
        open_.fetch_sub(1);
        return;
    }
    if (entry.events == POLLIN) {
        static constexpr char kAccepted[] = "HTTP/1.0 200 OK\r\n\r\n";
        send(entry.fd, kAccepted, sizeof kAccepted - 1, MSG_NOSIGNAL);
        entry.events = POLLIN | POLLRDHUP;  // marks the connection as answered
    }
    bytes_.fetch_add(static_cast<std::uint64_t>(got));
}
