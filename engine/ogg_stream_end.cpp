// Ending the running Ogg stream of a connection, so that the next stream (a title change, a new
// encoder set-up) follows a complete one, and the end of a transfer leaves a complete file.
#include <vorbis/codec.h>

#include "engine/encoder_state.h"
#include "engine/libzembril.h"

namespace {

// Sends one page and adds it to the total. After a failed send the connection is lost: the rest
// is only drained from the encoder (each further send could wait out the send time-out).
void SendCounted(OggPageSink sink, const ogg_page& page, ssize_t& total) {
    if (total < 0) return;
    const ssize_t sent = sink(page);
    total = sent < 0 ? -1 : total + sent;
}

}  // namespace

ssize_t EndOggStream() {
    EngineState& engine = Engine();
    if (engine.settings.isOpus) return EndOpusStream(engine, SendEncoded);
    return EndOggStreamInto(SendOggPage);
}

ssize_t EndOggStreamInto(OggPageSink sink) {
    EngineState& engine = Engine();
    if (!engine.encoder.oggStreamOpen) return 0;
    engine.encoder.oggStreamOpen = 0;

    vorbis_analysis_wrote(&engine.encoder.vorbisDsp, 0);
    ssize_t total = 0;
    ogg_page page;
    ForEachReadyOggPage(engine, [sink, &total](const ogg_page& ready) {
        SendCounted(sink, ready, total);
        return true;  // after a failure the rest is still drained from the encoder
    });
    // Whatever libogg still holds, down to the end-of-stream page.
    while (ogg_stream_flush(&engine.encoder.oggStream, &page) != 0) SendCounted(sink, page, total);
    return total;
}
