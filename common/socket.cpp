#include "common/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

void IgnoreBrokenPipeSignal() {
    // The BSD target also has SO_NOSIGPIPE per socket, but ignoring the signal covers every
    // descriptor (and libcurl's) on both platforms. Set on every call rather than once, so that
    // code which restored the default in between cannot leave a new descriptor unprotected.
    std::signal(SIGPIPE, SIG_IGN);
}

SocketWait WaitForSocket(int descriptor, short events,
                         std::chrono::steady_clock::time_point deadline, GiveUpCheck giveUp) {
    using std::chrono::milliseconds;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd watched{descriptor, events, 0};
        const int ready = poll(
            &watched, 1,
            static_cast<int>(std::clamp<milliseconds::rep>(left.count(), 0, kSocketWaitSliceMs)));
        // An error or a hang-up counts as ready: the call that follows reports it. Whatever is
        // ready is taken even after a stop request (the end of a stream still goes out).
        if (ready > 0) return SocketWait::kReady;
        // A signal (the stop request's) ends the poll early: the check below sees it.
        if (ready < 0 && errno != EINTR) return SocketWait::kFailed;
        if (giveUp != nullptr && giveUp()) return SocketWait::kGivenUp;
        if (std::chrono::steady_clock::now() >= deadline) return SocketWait::kTimedOut;
    }
}

namespace {

// First IPv4 address of the host, resolved in a thread-safe way (the output loop's thread may
// reconnect while the title sender's thread opens a title-update connection).
bool ResolveIpv4(const char* host, std::uint16_t port, sockaddr_in& address, std::string& failure) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host, nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
        failure = std::string("cannot find host ") + host + " (" +
                  (result != 0 ? gai_strerror(result) : "no address") + ")";
        return false;
    }
    std::memcpy(&address, found->ai_addr, sizeof address);
    address.sin_port = htons(port);
    freeaddrinfo(found);
    return true;
}

void SetTimeouts(int descriptor) {
    timeval timeout{};
    timeout.tv_sec = kSocketTimeoutSeconds;
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// Connects without blocking for longer than a wait slice at a time; false with the reason.
bool ConnectWithin(int descriptor, const sockaddr_in& address, GiveUpCheck giveUp,
                   std::string& failure) {
    const int flags = fcntl(descriptor, F_GETFL, 0);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) != 0) {
        failure = std::strerror(errno);
        return false;
    }
    int error = 0;
    if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
    }
    if (error == EINPROGRESS) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(kSocketTimeoutSeconds);
        switch (WaitForSocket(descriptor, POLLOUT, deadline, giveUp)) {
            case SocketWait::kReady: {
                socklen_t length = sizeof error;
                if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                    error = errno;
                }
                break;
            }
            case SocketWait::kTimedOut:
                failure = "no answer within " + std::to_string(kSocketTimeoutSeconds) + " seconds";
                return false;
            case SocketWait::kGivenUp:
                failure = "stop requested";
                return false;
            case SocketWait::kFailed:
                error = errno;
                break;
        }
    }
    if (error != 0) {
        failure = std::strerror(error);
        return false;
    }
    // The engine's calls on the descriptor expect a blocking socket.
    fcntl(descriptor, F_SETFL, flags);
    return true;
}

}  // namespace

int CMySocket::ConnectTo(const char* host, std::uint16_t port, GiveUpCheck giveUp,
                         std::string* failure) {
    IgnoreBrokenPipeSignal();
    std::string reason;
    sockaddr_in address{};
    int descriptor = -1;
    if (ResolveIpv4(host, port, address, reason)) {
        descriptor = socket(address.sin_family, SOCK_STREAM, 0);
        if (descriptor < 0) reason = std::strerror(errno);
    }
    if (descriptor >= 0) {
        SetTimeouts(descriptor);
        if (!ConnectWithin(descriptor, address, giveUp, reason)) {
            close(descriptor);
            descriptor = -1;
        }
    }
    if (descriptor < 0 && failure != nullptr) *failure = reason;
    return descriptor;
}
