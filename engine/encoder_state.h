// Helpers shared by the files that build, end and release the encoders (encoder_setup.cpp,
// ogg_stream_end.cpp) and by the disconnect (connection.cpp).
#pragma once

#include <ogg/ogg.h>
#include <sys/types.h>
#include <vorbis/codec.h>

#include "engine/libzembril.h"

// lame_close, and the handle set to none. Nothing happens when there is no encoder.
void CloseLameEncoder(EngineState& engine);
// Clears the Ogg stream and the Vorbis block, analysis and info state and leaves them all zero,
// so it may run any number of times, and forgets the serial numbers the connection used. A
// running Ogg stream is dropped without its end: this is for a connection that is gone.
void ClearVorbisEncoder(EngineState& engine);
// Sends one Ogg page (header part, then body part) through SendEncoded. Bytes sent, or negative
// when either part failed.
ssize_t SendOggPage(const ogg_page& page);
// Where the pages of an ending Ogg stream go: SendOggPage, or the archive alone.
using OggPageSink = ssize_t (*)(const ogg_page& page);
// EndOggStream with the pages handed to `sink`.
ssize_t EndOggStreamInto(OggPageSink sink);

// Runs the analysis over the audio the Vorbis encoder has been given and hands every Ogg page
// that libogg releases (not a forced flush: a page usually spans several packets) to onPage,
// which returns false to stop taking pages.
template <typename OnPage>
void ForEachReadyOggPage(EngineState& engine, OnPage onPage) {
    ogg_packet packet;
    ogg_page page;
    while (vorbis_analysis_blockout(&engine.encoder.vorbisDsp, &engine.encoder.vorbisBlock) == 1) {
        vorbis_analysis(&engine.encoder.vorbisBlock, nullptr);
        vorbis_bitrate_addblock(&engine.encoder.vorbisBlock);
        while (vorbis_bitrate_flushpacket(&engine.encoder.vorbisDsp, &packet) == 1) {
            ogg_stream_packetin(&engine.encoder.oggStream, &packet);
            while (ogg_stream_pageout(&engine.encoder.oggStream, &page) != 0) {
                if (!onPage(page)) return;
            }
        }
    }
}
