// The body of the source: every chunk goes into the ring buffer. An MP3 body is cut right here
// into audio blocks of MetaInterval bytes and ICY metadata blocks (a length byte L, then 16 × L
// bytes of text); an Ogg body waits in the ring buffer for the decoder thread.
#include <cstdio>
#include <string_view>

#include "common/log.h"
#include "common/status.h"
#include "decoders/mp3decoder.h"
#include "engine/libzembril.h"
#include "input/icy_metadata.h"
#include "input/input_state.h"
#include "input/ziravorov.h"

namespace {

enum class BlockStep { kTaken, kWaiting, kBadLength };

// Stop request or lost destination: an MP3 source ends the encoder and the connection here; an
// Ogg source leaves that to the teardown, after its decoder thread (which may be encoding) has
// been joined.
void StopFromBody(const InputState& input) {
    LogMessage(LOG_INFO, kLogInput, __LINE__,
               FrontEnd().stopRequested.load() != 0
                   ? "Stop requested: ending the transfer"
                   : "The output server is gone and not reconnected: ending the transfer");
    if (input.inputIsVorbis) return;
    FlushEncoder();
    DisconnectFromServer();
}

// While the destination is gone, the Ogg decoder thread may sit in the reconnection wait and
// stop reading; the source's bytes are then dropped rather than ending the run.
bool DropDuringOutage(InputState& input, std::size_t byteCount) {
    if (!input.inputIsVorbis || !input.ringBuffer.hasStorage()) return false;
    if (Engine().connected.load() != 0) {
        input.droppingForOutage = false;
        return false;
    }
    const RingBuffer& ring = input.ringBuffer;
    if (ring.capacity() - ring.count() >= byteCount) return false;
    if (!input.droppingForOutage) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Output server not connected and the input buffer is full: dropping source "
                   "data until it is back");
        input.droppingForOutage = true;
    }
    return true;
}

// Reads the length byte and the metadata text after an audio block. False for a bad length.
bool TakeMetadata(RingBuffer& ring) {
    unsigned char lengthByte = 0;
    ring.read(&lengthByte, 1);
    const int length = static_cast<signed char>(lengthByte);
    LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Metadata size %d\n", 16 * length);
    if (length < 0) {
        LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Metadata ERROR!\n");
        return false;
    }
    if (length == 0) return true;
    char text[16 * 127];
    const std::size_t textBytes = 16 * static_cast<std::size_t>(length);
    ring.read(text, textBytes);
    HandleIcyMetadata(std::string_view(text, textBytes));
    return true;
}

// One audio block and its metadata, as soon as the block and, when metadata follows, its length
// byte and whole text are buffered: taking a block without its text would lose the alignment,
// and waiting for more than that would only hold back the title and the audio.
BlockStep TakeMp3Block(InputState& input) {
    RingBuffer& ring = input.ringBuffer;
    const std::uint64_t blockBytes = static_cast<std::uint64_t>(input.MetaInterval);
    const std::uint64_t held = ring.count();
    if (input.audioBlock == nullptr || held < blockBytes) return BlockStep::kWaiting;
    if (input.MetadataFlag) {
        unsigned char lengthByte = 0;
        if (!ring.peek(blockBytes, lengthByte)) return BlockStep::kWaiting;
        const int length = static_cast<signed char>(lengthByte);
        if (length > 0 && held < blockBytes + 1 + 16 * static_cast<std::uint64_t>(length)) {
            return BlockStep::kWaiting;
        }
    }
    ring.read(input.audioBlock.get(), blockBytes);
    if (input.MetadataFlag && !TakeMetadata(ring)) {
        // The stream is out of step from here: without its audio block nothing more is taken,
        // neither by this transfer nor by the drain at its end, which would read text as audio
        // and audio as titles.
        input.audioBlock.reset();
        return BlockStep::kBadLength;
    }
    handle_mp3_block(input.audioBlock.get(), blockBytes);
    return BlockStep::kTaken;
}

// Everything a body chunk does once the header is behind it. False ends the transfer.
bool TakeBody(InputState& input, std::string_view body) {
    if (DropDuringOutage(input, body.size())) {
        ReportBytes(FrontEnd().inputBytes, 0);
        return true;
    }
    if (input.ringBuffer.write(body.data(), body.size()) == kRingFull) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Hey, but circular buffer is full...perhaps your machine isn't fast enough...");
        return false;
    }
    if (input.inputIsVorbis) {
        ReportBytes(FrontEnd().inputBytes, body.size());
        return true;
    }
    return TakeMp3Blocks(input);
}

std::size_t ReceiveChunk(InputState& input, std::string_view chunk) {
    const std::size_t accepted = chunk.size();
    if (TransferEndRequested()) {
        StopFromBody(input);
        return 0;
    }
    std::string_view body = chunk;
    if (!input.headerDone) {
        const InlineHeaderStep step = CollectInlineHeader(input, chunk);
        if (step.outcome == InlineHeaderStep::kTooLong) return 0;
        body.remove_prefix(step.headerBytes);
        if (body.empty()) return accepted;
    }
    if (!TakeBody(input, body)) return 0;
    // The whole chunk counts, header bytes included.
    if (!input.inputIsVorbis) ReportBytes(FrontEnd().inputBytes, chunk.size());
    return accepted;
}

}  // namespace

bool TakeMp3Blocks(InputState& input) {
    for (;;) {
        switch (TakeMp3Block(input)) {
            case BlockStep::kTaken:
                continue;
            case BlockStep::kWaiting:
                return true;
            case BlockStep::kBadLength:
                return false;
        }
    }
}

void DrainMp3Blocks(InputState& input) {
    if (!TakeMp3Blocks(input) || input.audioBlock == nullptr) return;
    // The audio after the last whole block; a metadata text cut off by the end is dropped.
    const std::uint64_t oneBlock = static_cast<std::uint64_t>(input.MetaInterval);
    const std::size_t rest = input.ringBuffer.readSome(input.audioBlock.get(), oneBlock);
    if (rest > 0) handle_mp3_block(input.audioBlock.get(), rest);
}

std::size_t write_callback(char* bytes, std::size_t itemSize, std::size_t itemCount,
                           void*) noexcept {
    const std::size_t byteCount = itemSize * itemCount;
    return ReceiveChunk(Input(), std::string_view(bytes, byteCount)) == byteCount ? itemCount : 0;
}

int handle_mp3_block(const unsigned char* block, std::size_t byteCount) {
    Mp3DecoderState& decoder = Mp3Decoder();
    feed_stream(&decoder, block, byteCount);  // a block that does not fit is lost
    if (decoder.mp3pos >= 2) mp3_decode_buffer(&decoder);
    if (decoder.frameSampleRate <= 0) return 1;

    const char* mode = decoder.frameChannels == 2   ? "Stereo"
                       : decoder.frameChannels == 1 ? "Mono"
                                                    : "";
    char description[256];
    std::snprintf(description, sizeof description, "%dHz/%s MP3", decoder.frameSampleRate, mode);
    InputState& input = Input();
    if (input.lastMp3Description == description) return 1;
    input.lastMp3Description.assign(description);
    Report(FrontEnd().inputBitrate, description);
    SetSourceDescription(description);
    return 1;
}
