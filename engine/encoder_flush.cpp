// The end of a transfer: what the encoder still holds goes out before the disconnect, so the
// listeners and the archive get the whole of the source.
#include <lame/lame.h>

#include "engine/encoder_state.h"
#include "engine/libzembril.h"

namespace {

// LAME's documentation asks for at least 7200 bytes for the final frames.
using LameTail = unsigned char[7200];

int TakeLameTail(EngineState& engine, LameTail& tail) {
    return lame_encode_flush(engine.encoder.lameEncoder, tail, sizeof tail);
}

// A lost connection's Ogg archive ends with its stream's last pages, the end-of-stream mark
// included, as a complete file.
ssize_t ArchiveOggPage(const ogg_page& page) {
    AppendToArchive(page.header, static_cast<std::size_t>(page.header_len));
    AppendToArchive(page.body, static_cast<std::size_t>(page.body_len));
    return page.header_len + page.body_len;
}

}  // namespace

ssize_t FlushEncoder() {
    EngineState& engine = Engine();
    if (engine.destination.connected.load() == 0) return 0;
    if (engine.settings.isOggVorbis || engine.settings.isOpus) return EndOggStream();
    if (engine.encoder.lameEncoder == nullptr) return 0;
    LameTail lastFrames;
    const int byteCount = TakeLameTail(engine, lastFrames);
    if (byteCount <= 0) return 0;
    return SendEncoded(lastFrames, static_cast<std::size_t>(byteCount));
}

void FlushEncoderIntoArchive() {
    EngineState& engine = Engine();
    if (!engine.settings.saveArchives || engine.settings.saveAsWav) return;
    if (engine.settings.isOggVorbis) {
        EndOggStreamInto(ArchiveOggPage);
        return;
    }
    if (engine.settings.isOpus) {
        EndOpusStream(engine, ArchiveEncodedBytes);
        return;
    }
    if (engine.encoder.lameEncoder == nullptr) return;
    LameTail lastFrames;
    const int byteCount = TakeLameTail(engine, lastFrames);
    if (byteCount > 0) AppendToArchive(lastFrames, static_cast<std::size_t>(byteCount));
}
