// The Ogg decoder as the source input runs it: reading the station's bytes through the
// ring source over the input's ring buffer. The whole input is buffered and the source finished
// first, and the decoder's thread body then runs on this thread, so no thread is started.
//
// Input: the stream.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DecodeOggThroughRingSource(std::string_view(reinterpret_cast<const char*>(data), size));
    ResetProcessRecords();
    return 0;
}
