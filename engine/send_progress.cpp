#include "engine/send_progress.h"

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#if defined(__linux__)
#include <linux/sockios.h>
#include <linux/tcp.h>  // the kernel's tcp_info, with the peer's window
#endif

#include <algorithm>
#include <cstddef>

#include "common/socket.h"

bool SendProgress::PeerKeepsUp(std::uint64_t windowEdge, Clock::time_point now) {
    const std::uint64_t handedSince = handedBytes_ - handedKeptUp_;
    const std::uint64_t gained = windowEdge > edgeKeptUp_ ? windowEdge - edgeKeptUp_ : 0;
    if (!looked_ || gained * 4 >= handedSince * 3) {
        looked_ = true;
        edgeKeptUp_ = windowEdge;
        handedKeptUp_ = handedBytes_;
        keptUpAt_ = now;
        return true;
    }
    return now - keptUpAt_ < std::chrono::seconds(kSocketTimeoutSeconds);
}

namespace {

std::optional<std::uint64_t> AcknowledgedBytes(int descriptor, std::uint64_t handedBytes) {
    int queued = 0;
#if defined(SIOCOUTQ)
    // Linux TCP: the bytes not yet acknowledged by the peer (sent or not).
    if (ioctl(descriptor, SIOCOUTQ, &queued) != 0) return std::nullopt;
#elif defined(FIONWRITE)
    // The BSDs: the bytes in the send buffer, which holds them until they are acknowledged.
    if (ioctl(descriptor, FIONWRITE, &queued) != 0) return std::nullopt;
#else
    (void)descriptor;
    return std::nullopt;
#endif
    return handedBytes - std::min<std::uint64_t>(static_cast<std::uint64_t>(queued), handedBytes);
}

}  // namespace

std::optional<std::uint64_t> PeerWindowEdge(int descriptor, std::uint64_t handedBytes) {
#if defined(__linux__) && defined(TCP_INFO)
    tcp_info info{};
    socklen_t length = sizeof info;
    const std::size_t windowEnd = offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd;
    if (getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && length >= windowEnd) {
        return info.tcpi_bytes_acked + info.tcpi_snd_wnd;
    }
#endif
    return AcknowledgedBytes(descriptor, handedBytes);
}
