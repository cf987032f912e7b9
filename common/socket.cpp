#include "common/socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

void IgnoreBrokenPipeSignal() {
    // The BSD target also has SO_NOSIGPIPE per socket, but ignoring the signal covers every
    // descriptor (and libcurl's) on both platforms. Set on every call rather than once, so that
    // code which restored the default in between cannot leave a new descriptor unprotected.
    std::signal(SIGPIPE, SIG_IGN);
}

namespace {

// First IPv4 address of the host, resolved in a thread-safe way (the decoder thread may reconnect
// while the main thread opens a title-update connection).
bool ResolveIpv4(const char* host, std::uint16_t port, sockaddr_in& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
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

}  // namespace

int CMySocket::ConnectTo(const char* host, std::uint16_t port) {
    IgnoreBrokenPipeSignal();
    sockaddr_in address{};
    if (!ResolveIpv4(host, port, address)) {
        std::fprintf(stderr, "cannot find host %s", host);
        return -1;
    }
    const int descriptor = socket(address.sin_family, SOCK_STREAM, 0);
    if (descriptor < 0) return -1;
    SetTimeouts(descriptor);
    if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}
