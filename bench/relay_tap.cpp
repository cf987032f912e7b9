#include "bench/relay_tap.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>

#include "bench/measured_child.h"
#include "tests/support/loopback.h"

namespace {


// A stalled peer must not hold the relay forever.
void BoundSends(int descriptor) {
    timeval limit{2, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// The index NN of "Song NN" at `at` ("Song", then a space as ' ', '+' or "%20", then two digits),
// or -1.
int SongIndexAt(const std::string& text, std::size_t at) {
    std::size_t position = at + 4;
    if (text.compare(position, 3, "%20") == 0) {
        position += 3;
    } else if (position < text.size() && (text[position] == ' ' || text[position] == '+')) {
        position += 1;
    } else {
        return -1;
    }
    if (position + 2 > text.size() || !std::isdigit(static_cast<unsigned char>(text[position])) ||
        !std::isdigit(static_cast<unsigned char>(text[position + 1]))) {
        return -1;
    }
    return (text[position] - '0') * 10 + (text[position + 1] - '0');
}

}  // namespace

RelayTap::RelayTap(uint16_t serverPort) : serverPort_(serverPort) {
    listen_ = ListenOnLoopback(0, 8);
    port_ = BoundPort(listen_);
    thread_ = std::thread([this] { Run(); });
}

RelayTap::~RelayTap() {
    stopping_.store(true);
    thread_.join();
    for (const Link& link : links_) {
        close(link.client);
        close(link.server);
    }
    close(listen_);
}

double RelayTap::AnsweredAt(const std::string& method) const {
    std::lock_guard hold(mutex_);
    const auto found = answeredAt_.find(method);
    return found == answeredAt_.end() ? 0 : found->second;
}

double RelayTap::TitleSentAt(int index) const {
    std::lock_guard hold(mutex_);
    const auto found = titleSentAt_.find(index);
    return found == titleSentAt_.end() ? 0 : found->second;
}

void RelayTap::Run() {
    std::vector<pollfd> watched;
    while (!stopping_.load()) {
        watched.assign(1, pollfd{listen_, POLLIN, 0});
        for (const Link& link : links_) {
            watched.push_back({link.client, POLLIN, 0});
            watched.push_back({link.server, POLLIN, 0});
        }
        if (poll(watched.data(), watched.size(), 50) <= 0) continue;
        if (watched[0].revents & POLLIN) Accept();
        for (std::size_t i = 0, link = 0; link < links_.size() && 1 + 2 * i < watched.size(); ++i) {
            const bool clientReady = watched[1 + 2 * i].revents != 0;
            const bool serverReady = watched[2 + 2 * i].revents != 0;
            const bool open = (!clientReady || Forward(links_[link], true)) &&
                              (!serverReady || Forward(links_[link], false));
            if (open) {
                ++link;
                continue;
            }
            close(links_[link].client);
            close(links_[link].server);
            links_.erase(links_.begin() + static_cast<long>(link));
        }
    }
}

void RelayTap::Accept() {
    const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    const int server = ConnectToLoopback(serverPort_);
    if (server < 0) {
        close(client);
        return;
    }
    BoundSends(client);
    BoundSends(server);
    Link link;
    link.client = client;
    link.server = server;
    links_.push_back(std::move(link));
}

bool RelayTap::Forward(Link& link, bool fromClient) {
    char buffer[16384];
    const ssize_t got = recv(fromClient ? link.client : link.server, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    const double now = MonotonicSeconds();
    const std::size_t byteCount = static_cast<std::size_t>(got);
    if (fromClient) {
        if (link.requestStart.size() < 64) link.requestStart.append(buffer, byteCount);
        ScanForTitles(link, buffer, byteCount, now);
    } else if (!link.answered) {
        link.answered = true;
        const std::string method = link.requestStart.substr(0, link.requestStart.find(' '));
        std::lock_guard hold(mutex_);
        answeredAt_.emplace(method, now);
    }
    const int target = fromClient ? link.server : link.client;
    for (std::size_t sent = 0; sent < byteCount;) {
        const ssize_t done = send(target, buffer + sent, byteCount - sent, MSG_NOSIGNAL);
        if (done <= 0) return false;
        sent += static_cast<std::size_t>(done);
    }
    return true;
}

void RelayTap::ScanForTitles(Link& link, const char* bytes, std::size_t byteCount, double now) {
    std::string text = link.tail;
    text.append(bytes, byteCount);
    for (std::size_t at = text.find("Song"); at != std::string::npos;
         at = text.find("Song", at + 1)) {
        const int index = SongIndexAt(text, at);
        if (index < 0) continue;
        std::lock_guard hold(mutex_);
        titleSentAt_.emplace(index, now);
    }
    link.tail = text.substr(text.size() > 12 ? text.size() - 12 : 0);
}
