// The end of a transfer: what the encoder still holds goes out before the disconnect, so the
// listeners and the archive get the whole of the source.
#include <lame/lame.h>

#include "engine/libzembril.h"

ssize_t FlushEncoder() {
    EngineState& engine = Engine();
    if (engine.connected.load() == 0) return 0;
    if (engine.isOggVorbis) return EndOggStream();
    if (engine.lameEncoder == nullptr) return 0;
    // LAME's documentation asks for at least 7200 bytes for the final frames.
    unsigned char lastFrames[7200];
    const int byteCount = lame_encode_flush(engine.lameEncoder, lastFrames, sizeof lastFrames);
    if (byteCount <= 0) return 0;
    return SendEncoded(lastFrames, static_cast<std::size_t>(byteCount));
}

void FlushEncoderIntoArchive() {
    EngineState& engine = Engine();
    if (!engine.saveArchives || engine.saveAsWav || engine.lameEncoder == nullptr) return;
    unsigned char lastFrames[7200];
    const int byteCount = lame_encode_flush(engine.lameEncoder, lastFrames, sizeof lastFrames);
    if (byteCount > 0) AppendToArchive(lastFrames, static_cast<std::size_t>(byteCount));
}
