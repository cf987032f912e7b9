#include "input/ring_source.h"

#include <unistd.h>

std::size_t RingByteSource::Read(void* dest, std::size_t byteCount) {
    for (;;) {
        // The state is read before the count: once the writer has finished, the count seen
        // afterwards includes every byte it wrote.
        const int state = state_.load(std::memory_order_acquire);
        if (state == kAbandoned) return 0;
        if (ring_.count() >= byteCount) return ring_.readSome(dest, byteCount);
        if (state == kFinished) return ring_.readSome(dest, byteCount);
        usleep(250);
    }
}
