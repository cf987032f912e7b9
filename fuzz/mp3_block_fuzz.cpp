// The MP3 block handler: audio blocks of any length, with anything in them, decoded as they
// arrive, then the end of the stream (the padded last pass) and the release of the decoder.
//
// Input: a block seed byte, then the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "decoders/mp3decoder.h"
#include "fuzz/fuzz_support.h"
#include "input/ziravorov.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputBytes input(data, size);
    ChunkCutter cutter(input.Byte());
    std::string_view stream = input.Rest();
    Mp3DecoderState& decoder = Mp3Decoder();
    mp3_decoder_init(&decoder);
    while (!stream.empty()) {
        const std::size_t blockBytes = cutter.Next(stream.size());
        const std::unique_ptr<unsigned char[]> block(new unsigned char[blockBytes]);
        std::copy_n(stream.begin(), blockBytes, block.get());
        stream.remove_prefix(blockBytes);
        handle_mp3_block(block.get(), blockBytes);
        // Whatever the bytes, a pass leaves at most an incomplete frame: junk never piles up.
        FuzzCheck(
            decoder.mp3pos >= 0 && static_cast<std::size_t>(decoder.mp3pos) <= kMp3MaxTailBytes,
            "the decoder holds at most the longest tail after a pass");
    }
    mp3_decoder_flush(&decoder);
    mp3_decoder_finish(&decoder);
    ResetProcessRecords();
    return 0;
}
