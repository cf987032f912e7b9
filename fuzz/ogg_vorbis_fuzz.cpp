// The Ogg Vorbis decoder as the source input runs it: reading the station's bytes through the
// ring source over the input's ring buffer. The whole input is buffered and the source finished
// first, and the decoder's thread body then runs on this thread, so no thread is started.
//
// Input: the stream.
#include <cstddef>
#include <cstdint>

#include "decoders/oggvdecoder.h"
#include "fuzz/fuzz_support.h"
#include "input/input_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputState& input = Input();
    input.inputIsVorbis = true;
    input.ringBuffer.create(size + 1);
    input.ringBuffer.write(data, size);
    input.oggSource.Rearm();
    input.oggSource.Finish();
    vorbis_decoder_thread(&input.oggSource);
    ResetProcessRecords();
    return 0;
}
