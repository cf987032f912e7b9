// The body of the source: every chunk goes into the ring buffer. An MP3 or AAC body is cut right
// here into audio blocks of MetaInterval bytes and ICY metadata blocks (a length byte L, then
// 16 × L bytes of text); the audio of a block goes to the decoder as it arrives. An Ogg body waits in
// the ring buffer for the decoder thread.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>

#include "common/log.h"
#include "common/station_metrics.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "decoders/aac_decoder.h"
#include "decoders/mp3decoder.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "input/header_fields.h"
#include "input/icy_metadata.h"
#include "input/input_state.h"
#include "input/ziravorov.h"

namespace {

enum class BlockStep { kTaken, kWaiting, kBadLength };

// A chunk waiting for room in the ring buffer is woken by the decoder's reads, and looks at the
// stop request at least this often (a stop must be seen within 100 ms).
constexpr std::chrono::milliseconds kRoomWaitLimit{50};
// Room worth waking up for: a decoder read's worth, not every byte.
constexpr std::size_t kRoomWanted = 4096;

// Stop request or lost destination: an MP3 source ends the encoder and the connection here; an
// Ogg source leaves that to the teardown, after its decoder thread (which may be encoding) has
// been joined.
void StopFromBody(const InputState& input) {
    LogMessage(LOG_INFO, kLogInput, __LINE__,
               StopRequested()
                   ? "Stop requested: ending the transfer"
                   : "The output server is gone and not reconnected: ending the transfer");
    // Without the output loop (the body driven on its own) this side ends the destination too.
    if (OutputLoopRunning() || input.inputIsVorbis) return;
    FlushEncoder();
    DisconnectFromServer();
}

// While the destination is gone, the Ogg decoder thread may stop reading (without the output
// loop it sits in the reconnection wait itself); the source's bytes are then dropped rather than
// ending the run.
bool DropDuringOutage(InputState& input, std::size_t byteCount) {
    if (!input.inputIsVorbis || !input.ringBuffer.hasStorage()) return false;
    if (Engine().destination.connected.load() != 0) {
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

// An ICY metadata text is empty (all zero bytes) or starts with a key such as "StreamTitle=".
// Anything else is audio taken for metadata: the stream is out of step.
bool LooksLikeMetadata(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    if (text.empty()) return true;
    const std::size_t keyEnd =
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return keyEnd != 0 && keyEnd != std::string_view::npos && text[keyEnd] == '=';
}

// Reads the length byte and the metadata text after an audio block. False when the text is not
// metadata.
bool TakeMetadata(RingBuffer& ring) {
    unsigned char lengthByte = 0;
    ring.read(&lengthByte, 1);
    const std::size_t textBytes = 16 * static_cast<std::size_t>(lengthByte);
    LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Metadata size %zu\n", textBytes);
    if (textBytes == 0) return true;
    char text[16 * 255];
    ring.read(text, textBytes);
    const std::string_view metadata(text, textBytes);
    if (!LooksLikeMetadata(metadata)) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Metadata ERROR! After an audio block, length byte %u is followed by \"%s\", "
                   "which is not ICY metadata: the stream is out of step, the transfer ends",
                   static_cast<unsigned>(lengthByte),
                   PrintableText(metadata.substr(0, 16)).c_str());
        return false;
    }
    HandleIcyMetadata(metadata);
    return true;
}

// The metadata at the end of a block, once its length byte and whole text are buffered: taking
// part of it would lose the alignment.
BlockStep TakeMetadataBlock(InputState& input) {
    RingBuffer& ring = input.ringBuffer;
    unsigned char lengthByte = 0;
    if (!ring.peek(0, lengthByte)) return BlockStep::kWaiting;
    if (ring.count() < 1 + 16 * static_cast<std::uint64_t>(lengthByte)) return BlockStep::kWaiting;
    if (!TakeMetadata(ring)) {
        // The stream is out of step from here: without its audio block nothing more is taken,
        // neither by this transfer nor by the drain at its end, which would read text as audio
        // and audio as titles.
        input.audioBlock.reset();
        return BlockStep::kBadLength;
    }
    return BlockStep::kTaken;
}

// Audio of the current block that can go to the decoder now. With metadata, whatever of it is
// buffered: a slow station whose blocks take longer than a destination's source time-out to
// arrive (icy-metaint 32768 at 24 kbit/s is 11 s; Icecast2 waits 10 s) would otherwise leave the
// destination without audio until it drops the relay. Without metadata, whole blocks.
std::uint64_t AudioReady(const InputState& input) {
    const std::uint64_t held = input.ringBuffer.count();
    if (input.MetadataFlag) return std::min(held, input.audioLeftInBlock);
    return held >= input.audioLeftInBlock ? input.audioLeftInBlock : 0;
}

// The audio of a block, to the decoder of the source's format.
void DecodeAudioBlock(const InputState& input, const unsigned char* block, std::size_t byteCount) {
    if (input.inputIsAac) {
        handle_aac_block(block, byteCount);
    } else {
        handle_mp3_block(block, byteCount);
    }
}

// The input format for the front end and the status, once per change ("44100Hz/Stereo MP3").
void ReportInputDescription(int sampleRate, int channelCount, const char* format) {
    const char* mode = channelCount == 2 ? "Stereo" : channelCount == 1 ? "Mono" : "";
    char description[256];
    std::snprintf(description, sizeof description, "%dHz/%s %s", sampleRate, mode, format);
    InputState& input = Input();
    if (input.lastMp3Description == description) return;
    input.lastMp3Description.assign(description);
    Report(FrontEnd().inputBitrate, description);
    SetSourceDescription(description);
}

// One step through the body: a piece of audio, or the metadata at a block's end.
BlockStep TakeMp3Step(InputState& input) {
    if (input.audioBlock == nullptr) return BlockStep::kWaiting;
    if (input.audioLeftInBlock == 0) {
        if (input.MetadataFlag) {
            const BlockStep step = TakeMetadataBlock(input);
            if (step != BlockStep::kTaken) return step;
        }
        input.audioLeftInBlock = static_cast<std::uint64_t>(input.MetaInterval);
        return BlockStep::kTaken;
    }
    const std::uint64_t audioBytes = AudioReady(input);
    if (audioBytes == 0) return BlockStep::kWaiting;
    input.ringBuffer.read(input.audioBlock.get(), audioBytes);
    input.audioLeftInBlock -= audioBytes;
    DecodeAudioBlock(input, input.audioBlock.get(), audioBytes);
    return BlockStep::kTaken;
}

// The decoder thread frees room in the ring buffer as the relay takes the audio; while the
// destination is connected the chunk waits for it, so that a source faster than real time is
// read at the relay's pace instead of overrunning the buffer. A stop request, the loss of the
// destination (its outage rule then applies) or the end of the decoder thread end the wait.
bool TakeOggBody(InputState& input, std::string_view body) {
    RingBuffer& ring = input.ringBuffer;
    std::uint64_t written = 0;
    while (!body.empty()) {
        if (input.vorbisDecoderRunning && VorbisDecoderEnded()) {
            // The decoder thread returns before the end of the input only after an Error line
            // that says why (a stream it cannot open or read on): nothing reads these bytes.
            LogMessage(LOG_DEBUG, kLogInput, __LINE__,
                       "The Ogg Vorbis decoder has ended: the transfer ends");
            return false;
        }
        if (DropDuringOutage(input, body.size())) break;
        const std::size_t room = static_cast<std::size_t>(ring.capacity() - ring.count());
        if (room > 0) {
            const std::size_t piece = std::min(room, body.size());
            ring.write(body.data(), piece);
            input.oggSource.NotifyWritten();
            body.remove_prefix(piece);
            written += piece;
            continue;
        }
        if (!ring.hasStorage() || !input.vorbisDecoderRunning) {
            LogMessage(LOG_ERROR, kLogInput, __LINE__,
                       "Hey, but circular buffer is full...the Ogg Vorbis decoder no longer "
                       "reads it, the transfer ends");
            return false;
        }
        if (TransferEndRequested()) {
            StopFromBody(input);
            return false;
        }
        input.oggSource.WaitForRoom(std::min(body.size(), kRoomWanted), kRoomWaitLimit);
    }
    ReportBytes(FrontEnd().inputBytes, written);
    return true;
}

// Everything a body chunk does once the header is behind it. False ends the transfer.
bool TakeBody(InputState& input, std::string_view body) {
    if (input.inputIsVorbis) return TakeOggBody(input, body);
    if (input.ringBuffer.write(body.data(), body.size()) == kRingFull) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Hey, but circular buffer is full...perhaps your machine isn't fast enough...");
        return false;
    }
    return TakeMp3Blocks(input);
}

std::size_t ReceiveChunk(InputState& input, std::string_view chunk) {
    const std::size_t accepted = chunk.size();
    if (TransferEndRequested()) {
        StopFromBody(input);
        return 0;
    }
    // The header libcurl parsed is final once the body begins, unless the body begins with a
    // header of its own (the answer behind a proxy's, sent as that answer's body).
    const bool firstChunk = !input.bodyStarted;
    input.bodyStarted = true;
    if (firstChunk && input.redirectResponse) {
        // libcurl took the redirect for the final answer after all: its body is a page.
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Source redirect to %s not followed: the answer has no stream",
                   MaskedUrl(input.url).c_str());
        return 0;
    }
    if (firstChunk && input.headerComplete) {
        if (IsStatusLine(chunk)) {
            input.headerComplete = false;
        } else if (!FinishResponseHeader(input)) {
            return 0;
        }
    }
    std::string_view body = chunk;
    if (!input.headerDone) {
        const InlineHeaderStep step = CollectInlineHeader(input, chunk);
        if (step.outcome == InlineHeaderStep::kTooLong ||
            step.outcome == InlineHeaderStep::kRefused) {
            return 0;
        }
        body.remove_prefix(step.headerBytes);
        if (body.empty()) return accepted;
    }
    if (!TakeBody(input, body)) return 0;
    // After the body is taken: a chunk that waited for room in a full queue is no stall.
    NoteSourceAudio(input);
    // The whole chunk counts, header bytes included.
    if (!input.inputIsVorbis) ReportBytes(FrontEnd().inputBytes, chunk.size());
    return accepted;
}

}  // namespace

bool TakeMp3Blocks(InputState& input) {
    for (;;) {
        switch (TakeMp3Step(input)) {
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
    // Without metadata, the part of the last block. With metadata every audio byte is taken
    // already; at a block's end this reads nothing, so a metadata text cut off by the end is
    // dropped rather than decoded as audio.
    const std::size_t rest =
        input.ringBuffer.readSome(input.audioBlock.get(), input.audioLeftInBlock);
    if (rest > 0) DecodeAudioBlock(input, input.audioBlock.get(), rest);
}

std::size_t write_callback(char* bytes, std::size_t itemSize, std::size_t itemCount,
                           void*) noexcept {
    const std::size_t byteCount = itemSize * itemCount;
    StationMetrics().NoteSourceBytes(byteCount);
    InputState& input = Input();
    if (ReceiveChunk(input, std::string_view(bytes, byteCount)) == byteCount) return itemCount;
    input.transferRefused = true;
    return 0;
}

int handle_mp3_block(const unsigned char* block, std::size_t byteCount) {
    Mp3DecoderState& decoder = Mp3Decoder();
    if (feed_stream(&decoder, block, byteCount) != 0) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "The MP3 decoder cannot take a block of %zu bytes: the block is dropped",
                   byteCount);
    }
    if (decoder.mp3pos >= 2) mp3_decode_buffer(&decoder);
    if (decoder.frameSampleRate <= 0) return 1;
    ReportInputDescription(decoder.frameSampleRate, decoder.frameChannels, "MP3");
    return 1;
}

int handle_aac_block(const unsigned char* block, std::size_t byteCount) {
    AacDecoderState& decoder = AacDecoder();
    aac_decode_block(&decoder, block, byteCount);
    if (decoder.frameSampleRate <= 0) return 1;
    const char* format = decoder.framePs ? "HE-AAC v2" : decoder.frameSbr ? "HE-AAC" : "AAC";
    ReportInputDescription(decoder.frameSampleRate, decoder.frameChannels, format);
    return 1;
}
