// The AAC block handler: audio blocks of any length, with anything in them, cut into ADTS frames
// and decoded by libfaad2 as they arrive, then the end of the stream and the release of the
// decoder.
//
// Input: a block seed byte, then the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "decoders/aac_decoder.h"
#include "fuzz/fuzz_support.h"
#include "input/ziravorov.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputBytes input(data, size);
    ChunkCutter cutter(input.Byte());
    std::string_view stream = input.Rest();
    AacDecoderState& decoder = AacDecoder();
    aac_decoder_init(&decoder);
    while (!stream.empty()) {
        const std::size_t blockBytes = cutter.Next(stream.size());
        const std::unique_ptr<unsigned char[]> block(new unsigned char[blockBytes]);
        std::copy_n(stream.begin(), blockBytes, block.get());
        stream.remove_prefix(blockBytes);
        handle_aac_block(block.get(), blockBytes);
        FuzzCheck(decoder.heldBytes < kAacBufferBytes,
                  "the decoder holds less than its buffer after each block");
    }
    aac_decoder_flush(&decoder);
    FuzzCheck(decoder.heldBytes == 0, "the end of the stream leaves nothing held");
    aac_decoder_finish(&decoder);
    ResetProcessRecords();
    return 0;
}
