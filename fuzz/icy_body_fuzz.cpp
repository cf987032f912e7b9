// An MP3 station's body with ICY metadata: audio blocks of the announced length, each followed by
// a length byte and a metadata text, arriving in chunks cut anywhere (inside length bytes, texts
// and blocks). The header announcing the block length comes as response lines or inside the body.
//
// Input: a mode byte (bit 0: the header inside the body; bit 1: the run is stopped, so the
// buffered rest is dropped instead of drained), the block length (16 bits, little-endian; 0: no
// icy-metaint line), a chunk seed byte, then the body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "input/input_state.h"
#include "input/ziravorov.h"

namespace {

bool SendHeaderLine(std::string line) {
    return header_callback(line.data(), 1, line.size(), nullptr) == line.size();
}

void SendResponseHeader(std::uint16_t interval) {
    SendHeaderLine("HTTP/1.0 200 OK\r\n");
    SendHeaderLine("Content-Type: audio/mpeg\r\n");
    SendHeaderLine("icy-name:Fuzz FM\r\n");
    if (interval > 0) SendHeaderLine("icy-metaint:" + std::to_string(interval) + "\r\n");
    SendHeaderLine("\r\n");
}

std::string InlineHeader(std::uint16_t interval) {
    std::string header = "ICY 200 OK\r\nicy-name:Fuzz FM\r\n";
    if (interval > 0) header += "icy-metaint:" + std::to_string(interval) + "\r\n";
    return header + "\r\n";
}

// Chunks, each a private copy as libcurl's are, until one is refused.
void FeedBody(std::string_view body, ChunkCutter& cutter) {
    while (!body.empty()) {
        const std::size_t size = cutter.Next(body.size());
        const std::unique_ptr<char[]> chunk(new char[size]);
        std::copy_n(body.begin(), size, chunk.get());
        body.remove_prefix(size);
        if (write_callback(chunk.get(), 1, size, nullptr) != size) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputBytes input(data, size);
    const std::uint8_t mode = input.Byte();
    const std::uint16_t interval = input.Word();
    ChunkCutter cutter(input.Byte());
    if ((mode & 1) != 0) {
        FeedBody(InlineHeader(interval) + std::string(input.Rest()), cutter);
    } else {
        SendResponseHeader(interval);
        FeedBody(input.Rest(), cutter);
    }
    FinishTransfer(Input(), (mode & 2) != 0);
    ResetProcessRecords();
    return 0;
}
