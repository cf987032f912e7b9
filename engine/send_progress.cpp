#include "engine/send_progress.h"

#include <sys/ioctl.h>
#if defined(__linux__)
#include <linux/sockios.h>
#endif

#include <algorithm>

#include "common/socket.h"

bool SendProgress::PeerKeepsUp(std::uint64_t queuedBytes, Clock::time_point now) {
    const std::uint64_t taken = handedBytes_ - std::min(queuedBytes, handedBytes_);
    if (queuedBytes == 0) {
        // Everything acknowledged: a later wait starts afresh, however long the sender was idle.
        waiting_ = false;
        takenBytes_ = taken;
        return true;
    }
    if (!waiting_ || taken > takenBytes_) {
        waiting_ = true;
        waitingSince_ = now;
        takenBytes_ = taken;
        return true;
    }
    return now - waitingSince_ < std::chrono::seconds(kSocketTimeoutSeconds);
}

long UnacknowledgedBytes(int descriptor) {
    int queued = 0;
#if defined(SIOCOUTQ)
    // Linux TCP: the bytes not yet acknowledged by the peer (sent or not).
    if (ioctl(descriptor, SIOCOUTQ, &queued) != 0) return -1;
#elif defined(FIONWRITE)
    // The BSDs: the bytes in the send buffer, which holds them until they are acknowledged.
    if (ioctl(descriptor, FIONWRITE, &queued) != 0) return -1;
#else
    (void)descriptor;
    return -1;
#endif
    return queued;
}
