// The response header as a source sends it: either line by line, as libcurl hands the lines to
// the header handling, or inside the body (a Shoutcast "ICY 200 OK" answer), collected by the
// write callback from chunks cut anywhere.
//
// Input: a mode byte (bit 0 set: the header is inside the body), a chunk seed byte, the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "input/input_state.h"
#include "input/ziravorov.h"

namespace {

// Each line in a buffer of its own, exactly as long as the line: reading past it is caught.
void ParseLine(std::string_view line) {
    const std::unique_ptr<char[]> copy(new char[line.size()]);
    std::copy(line.begin(), line.end(), copy.get());
    parse_header_line(std::string_view(copy.get(), line.size()));
}

// The lines up to the blank one that ends the header, then what the end of the header builds
// from them (the decoder start and the encoder set-up are left out: they parse nothing).
void FeedHeaderLines(std::string_view text) {
    while (!text.empty()) {
        const std::size_t lineEnd = text.find('\n');
        const std::size_t lineBytes = lineEnd == std::string_view::npos ? text.size() : lineEnd + 1;
        const std::string_view line = text.substr(0, lineBytes);
        text.remove_prefix(lineBytes);
        if (line == "\r\n") break;
        ParseLine(line);
    }
    InputState& input = Input();
    CreateRingBuffer(input);
    const std::int32_t interval = input.MetaInterval;
    FuzzCheck(input.ringBuffer.hasStorage() == (interval > 0 && interval <= kMaxMetaInterval),
              "an input buffer exists exactly for a usable block length");
}

// Chunks until one is refused (the header too long) or the text is used up.
void FeedInlineHeader(std::string_view text, ChunkCutter cutter) {
    while (!text.empty()) {
        const std::size_t size = cutter.Next(text.size());
        const std::unique_ptr<char[]> chunk(new char[size]);
        std::copy_n(text.begin(), size, chunk.get());
        text.remove_prefix(size);
        if (write_callback(chunk.get(), 1, size, nullptr) != size) break;
    }
    InputState& input = Input();
    FuzzCheck(input.headerLength < kHeaderBufferBytes, "the in-body header fits its buffer");
    FinishTransfer(input, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputBytes input(data, size);
    const std::uint8_t mode = input.Byte();
    const ChunkCutter cutter(input.Byte());
    if ((mode & 1) != 0) {
        FeedInlineHeader(input.Rest(), cutter);
    } else {
        FeedHeaderLines(input.Rest());
    }
    ResetProcessRecords();
    return 0;
}
