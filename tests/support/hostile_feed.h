// Feeding hostile bodies to the input's write callback in chunks of random sizes, and telling
// whether a refused chunk came with one of the logged reasons that end a transfer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>

#include "input/ziravorov.h"
#include "tests/support/noise.h"

// Any of these ends a transfer; a refused chunk without one of them would be an unexplained end.
inline constexpr const char* kTransferEndReasons[] = {
    "Unusable block length",  "circular buffer is full", "Metadata ERROR!",
    "does not end within",    "Source request refused",  "Unknown content type",
    "source cannot be opened"};

inline bool LogsATransferEndReason(const std::string& log) {
    return std::any_of(std::begin(kTransferEndReasons), std::end(kTransferEndReasons),
                       [&](const char* reason) { return log.find(reason) != log.npos; });
}

struct FeedResult {
    std::size_t accepted = 0;    // bytes of the chunks accepted before the first refused one
    std::size_t refusedEnd = 0;  // where the refused chunk ended; 0 when none was refused
};

// Chunks of the sizes `chunkSize` draws (a member of Noise), until one is refused. Each chunk is
// a private copy without a terminating zero, as libcurl's are.
inline FeedResult FeedChunks(const std::string& body, Noise& noise,
                             std::size_t (Noise::*chunkSize)() = &Noise::ChunkSize) {
    FeedResult result;
    while (result.accepted < body.size()) {
        const std::size_t size = std::min((noise.*chunkSize)(), body.size() - result.accepted);
        std::string chunk = body.substr(result.accepted, size);
        if (write_callback(chunk.data(), 1, size, nullptr) != size) {
            result.refusedEnd = result.accepted + size;
            return result;
        }
        result.accepted += size;
    }
    return result;
}
