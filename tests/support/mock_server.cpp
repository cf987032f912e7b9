#include "tests/support/mock_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "tests/support/loopback.h"

namespace {

// Short enough that Stop() and new connections are served promptly; the thread sleeps in poll().
constexpr int kPollIntervalMs = 20;


void SendAll(int descriptor, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t result =
            send(descriptor, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) return;
        sent += static_cast<size_t>(result);
    }
}

}  // namespace

MockServer::MockServer(uint16_t port) {
    listenDescriptor_ = ListenOnLoopback(port);
    if (listenDescriptor_ < 0) return;
    port_ = BoundPort(listenDescriptor_);
    thread_ = std::thread([this] { Run(); });
}

MockServer::~MockServer() {
    Stop();
}

void MockServer::SetReply(std::string reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
}

void MockServer::SetReplyChooser(ReplyChooser chooser) {
    std::lock_guard lock(mutex_);
    chooser_ = std::move(chooser);
}

void MockServer::SetReplyAfter(std::string marker) {
    std::lock_guard lock(mutex_);
    replyAfter_ = std::move(marker);
}

void MockServer::SetCloseAfterReply(bool close) {
    std::lock_guard lock(mutex_);
    closeAfterReply_ = close;
}

void MockServer::SetReplyPieces(size_t pieceBytes, int pauseMs) {
    std::lock_guard lock(mutex_);
    replyPieceBytes_ = pieceBytes;
    replyPauseMs_ = pauseMs;
}

void MockServer::SetStopReadingAfterReply(bool stop) {
    std::lock_guard lock(mutex_);
    stopReadingAfterReply_ = stop;
}

void MockServer::SetReceiveBufferBytes(int byteCount) {
    // Accepted connections take the listening socket's size, which also sets the window that the
    // handshake announces.
    setsockopt(listenDescriptor_, SOL_SOCKET, SO_RCVBUF, &byteCount, sizeof byteCount);
}

bool MockServer::WaitForConnections(size_t count, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return connections_.size() >= count; });
}

bool MockServer::WaitForBytes(size_t connection, size_t byteCount, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return connection < connections_.size() &&
               connections_[connection].received.size() >= byteCount;
    });
}

bool MockServer::WaitForClosed(size_t connection, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return connection < connections_.size() && connections_[connection].closed;
    });
}

std::string MockServer::Received(size_t connection) const {
    std::lock_guard lock(mutex_);
    return connection < connections_.size() ? connections_[connection].received : std::string();
}

size_t MockServer::ConnectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

void MockServer::CloseAll() {
    // Only the server thread closes descriptors; shutting them down here wakes its poll(), and it
    // closes them when it reads the end of the stream.
    std::lock_guard lock(mutex_);
    for (Connection& connection : connections_) {
        if (connection.descriptor >= 0) shutdown(connection.descriptor, SHUT_RDWR);
    }
}

void MockServer::ResetAll() {
    // A descriptor closed here may be in the server thread's poll() this moment: it then finds
    // the connection closed and leaves it alone.
    std::lock_guard lock(mutex_);
    for (Connection& connection : connections_) {
        if (connection.descriptor < 0) continue;
        const linger abort{1, 0};  // close() sends a reset
        setsockopt(connection.descriptor, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        CloseConnection(connection);
    }
    changed_.notify_all();
}

void MockServer::Stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    for (Connection& connection : connections_) CloseConnection(connection);
    if (listenDescriptor_ >= 0) close(listenDescriptor_);
    listenDescriptor_ = -1;
    changed_.notify_all();
}

std::pair<std::unique_ptr<MockServer>, std::unique_ptr<MockServer>> MockServer::NeighbourPair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        auto base = std::make_unique<MockServer>();
        if (!base->listening() || base->port() == 65535) continue;
        auto next = std::make_unique<MockServer>(static_cast<uint16_t>(base->port() + 1));
        if (next->listening()) return {std::move(base), std::move(next)};
    }
    return {};
}

void MockServer::Run() {
    std::vector<pollfd> watched;
    std::vector<size_t> owners;  // connection index of each watched descriptor after the first
    while (!stopping_) {
        watched.assign(1, pollfd{listenDescriptor_, POLLIN, 0});
        owners.clear();
        {
            std::lock_guard lock(mutex_);
            for (size_t index = 0; index < connections_.size(); ++index) {
                if (connections_[index].descriptor < 0) continue;
                if (stopReadingAfterReply_ && connections_[index].replied) continue;
                watched.push_back(pollfd{connections_[index].descriptor, POLLIN, 0});
                owners.push_back(index);
            }
        }
        if (poll(watched.data(), watched.size(), kPollIntervalMs) <= 0) continue;
        if (watched[0].revents & POLLIN) AcceptPending();
        for (size_t slot = 1; slot < watched.size(); ++slot) {
            if (watched[slot].revents != 0) ServeReadable(owners[slot - 1]);
        }
    }
}

void MockServer::AcceptPending() {
    const int descriptor = accept4(listenDescriptor_, nullptr, nullptr, SOCK_CLOEXEC);
    if (descriptor < 0) return;
    std::lock_guard lock(mutex_);
    connections_.push_back(Connection{descriptor, {}, false, false});
    changed_.notify_all();
}

void MockServer::ServeReadable(size_t index) {
    char buffer[65536];
    std::lock_guard lock(mutex_);
    Connection& connection = connections_[index];
    if (connection.descriptor < 0) return;
    const ssize_t count = recv(connection.descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (count <= 0) {
        CloseConnection(connection);
    } else {
        connection.received.append(buffer, static_cast<size_t>(count));
        if (!connection.replied &&
            connection.received.find(replyAfter_) != std::string::npos) {
            connection.replied = true;
            SendReply(connection.descriptor, chooser_ ? chooser_(connection.received) : reply_);
            if (closeAfterReply_) CloseConnection(connection);
        }
    }
    changed_.notify_all();
}

void MockServer::SendReply(int descriptor, const std::string& reply) {
    if (replyPieceBytes_ == 0) {
        SendAll(descriptor, reply);
        return;
    }
    for (size_t at = 0; at < reply.size(); at += replyPieceBytes_) {
        if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(replyPauseMs_));
        SendAll(descriptor, reply.substr(at, replyPieceBytes_));
    }
}

void MockServer::CloseConnection(Connection& connection) {
    if (connection.descriptor >= 0) close(connection.descriptor);
    connection.descriptor = -1;
    connection.closed = true;
}
