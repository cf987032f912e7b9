// Helpers shared by the files that build, end and release the encoders (encoder_setup.cpp,
// ogg_stream_end.cpp, opus_output.cpp) and by the disconnect (connection.cpp).
#pragma once

#include <ogg/ogg.h>
#include <sys/types.h>
#include <vorbis/codec.h>

#include <string>
#include <vector>

#include "engine/libzembril.h"

// lame_close, and the handle set to none. Nothing happens when there is no encoder.
void CloseLameEncoder(EngineState& engine);
// Clears the Ogg stream and the Vorbis block, analysis and info state and leaves them all zero,
// releases the Opus encoder (ReleaseOpusEncoder), so it may run any number of times, and forgets
// the serial numbers the connection used. A running Ogg stream is dropped without its end: this
// is for a connection that is gone.
void ClearVorbisEncoder(EngineState& engine);
// Every stream of a connection (and so of its archive file) needs a serial number of its own: a
// later stream with an earlier one's serial reads as that ended stream going on. Drawn from the
// system's random source, never one this connection has used (which it joins).
int NewStreamSerial(std::vector<int>& serialsUsed);
// The comments of a new Ogg stream ("TAG=value", UTF-8): the current title split into TITLE and
// ARTIST, the encoder, and the source's description when there is one.
std::vector<std::string> StreamComments(EngineState& engine);

// ---- Opus output (opus_output.cpp) ----
// A new Ogg Opus stream with the current title in its OpusTags. The connection's first stream
// gets a new encoder, whose header pages go out at once; later ones (a title change) are chained
// after the running stream, which ends with the audio given so far; the new one's pages follow
// with its first packet, from the encoder reset to a fresh start. 1; 0 when the encoder cannot be
// set up (an Error line gives the reason); -1 when a send failed (sendFailure says why).
int SetUpOpus(EngineState& engine);
// Encodes a block (interleaved left/right; mono output takes the left channel) and sends the
// pages it completes. Bytes sent, negative when a send failed.
ssize_t EncodeOpusBlock(EngineState& engine, const float* frames, int frameCount);
// Ends the running Opus stream: the audio still held is encoded, and its pages, down to the one
// with the end-of-stream mark, go to `sink`. The encoder is released. Bytes taken, 0 when no
// stream was running, negative when a send failed.
ssize_t EndOpusStream(EngineState& engine, OpusPageSink sink);
// Releases the Opus encoder without ending its stream (a connection that is gone).
void ReleaseOpusEncoder(EngineState& engine);
// Encoded bytes that only the archive takes (when it keeps the encoded stream), as if sent:
// byteCount.
ssize_t ArchiveEncodedBytes(const unsigned char* bytes, std::size_t byteCount);
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
