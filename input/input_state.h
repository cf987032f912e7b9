// The source transfer's state, shared by the transfer itself (source_input.cpp), the header
// handling (header_handling.cpp) and the body (stream_body.cpp).
//
// Main thread only, except the ring buffer and the Ogg byte source over it, which the Ogg Vorbis
// decoder thread reads (see ring_buffer.h for the rules).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/fixed_text.h"
#include "decoders/mp3decoder.h"
#include "input/curl_handle.h"
#include "input/redirect_trail.h"
#include "input/ring_buffer.h"
#include "input/ring_source.h"

// Block lengths above this could never be decoded (the MP3 decoder takes at most this many bytes
// beside the tail of the block before) and are not trusted for an allocation.
inline constexpr std::int32_t kMaxMetaInterval = kMp3MaxBlockBytes;
// Block length when the source announces none.
inline constexpr std::int32_t kDefaultMetaInterval = 8192;
// One length byte and the longest metadata text (16 × 255 bytes: the byte is an unsigned count).
inline constexpr std::uint64_t kMaxMetadataBytes = 1 + 16 * 255;
// Room for one more libcurl chunk than the blocks that wait to be taken.
inline constexpr std::uint64_t kChunkAllowance = 32 * 1024;
// The in-body header keeps at most this many bytes.
inline constexpr std::size_t kHeaderBufferBytes = 2048;

// Why a transfer was ended from this side, besides a stop request or a refusal.
enum class TransferEnd {
    kNone,
    kStalled,      // no audio bytes for SourceTimeout seconds
    kNoAudio,      // bytes, but no audio the relay can use for kNoAudioLimit
    kPrimaryBack,  // the backup source gives way to the primary, which answers again
    kDeadAir,      // audio, but below SilenceThreshold for SilenceSecs (SourceReconnect only)
};

// A source whose bytes give no audio the relay can use for this long has failed: bytes that do
// not decode (random bytes labelled audio/mpeg), or audio at a rate that cannot be converted.
inline constexpr std::chrono::seconds kNoAudioLimit{10};

struct InputState {
    CurlEasy curlHandle;  // the running transfer's handle; empty outside a transfer
    // Where the running transfer is now, for the lines that report its failures: the configured
    // URL, then each redirect target. Network text once a redirect has been followed.
    std::string url;
    RedirectTrail redirects;  // started with each transfer's options
    // libcurl's own words for a failed transfer (CURLOPT_ERRORBUFFER).
    std::array<char, CURL_ERROR_SIZE> curlError{};
    // A callback ended the transfer on purpose (and said why, or a stop was requested): libcurl's
    // error for it would only repeat that.
    bool transferRefused = false;

    // A response header that arrived inside the body. It may hold zero bytes, so its length is
    // kept beside it; at most kHeaderBufferBytes - 1 bytes.
    std::array<char, kHeaderBufferBytes> headerBuffer{};
    std::size_t headerLength = 0;

    // The libcurl path: a final response's header has ended (its blank line came). Its set-up
    // waits for the first body byte, since a new status line before the body (the answer of a
    // proxy's tunnel, an interim 1xx response) starts the header afresh.
    bool headerComplete = false;
    bool interimResponse = false;  // the header being read is a 1xx response's
    // The header being read is a 3xx response's: none of its fields describe the station. Its
    // first non-empty Location is where libcurl goes next; without one it is final, and refused
    // with its status line.
    bool redirectResponse = false;
    std::string redirectLocation;
    FixedText<128> redirectStatus;
    bool bodyStarted = false;   // write_callback has had a chunk; later header lines are trailers
    bool headerDone = false;    // the header is handled and the decoder started
    bool MetadataFlag = false;  // the body carries ICY metadata blocks
    std::int32_t MetaInterval = 0;  // audio bytes per block
    bool inputIsVorbis = false;
    bool inputIsAac = false;  // ADTS AAC, cut into blocks like MP3 and decoded by libfaad2
    bool icecastFlag = false;  // a header line came through header_callback

    RingBuffer ringBuffer;
    RingByteSource oggSource{ringBuffer};  // the Ogg decoder thread reads through this
    bool vorbisDecoderRunning = false;

    // Audio taken from the ring buffer for the decoder: room for MetaInterval bytes on the heap,
    // since the length comes from the network. Null once the stream is out of step.
    std::unique_ptr<unsigned char[]> audioBlock;
    // Audio bytes of the current block not yet taken; 0 at the block's end, where a metadata
    // text is due (with icy-metaint).
    std::uint64_t audioLeftInBlock = 0;

    FixedText<256> lastMp3Description;  // last input description reported; never cleared
    bool droppingForOutage = false;     // Ogg source, destination gone: dropping chunks

    // The running transfer's life, for a relay that reopens its source and for the line that
    // says why a run ended.
    TransferEnd transferEnd = TransferEnd::kNone;
    bool audioArrived = false;  // the body has brought audio bytes
    std::chrono::steady_clock::time_point transferStart{};
    std::chrono::steady_clock::time_point lastByteAt{};
    // Set by the primary's probe while the backup plays (the probe's thread).
    std::atomic<bool> primaryBack{false};
};

// How a transfer of the source ended.
struct TransferOutcome {
    CURLcode result = CURLE_OK;
    TransferEnd end = TransferEnd::kNone;
    bool audioArrived = false;
    bool refused = false;  // a callback ended it, after an Error line that says why
    // Decoded audio the relay can use came from it: for how long, from the start of the transfer
    // to the last such audio.
    bool audioRelayed = false;
    std::chrono::steady_clock::duration relayed{};
    std::string failure;  // libcurl's words for a failed transfer; empty otherwise
};

// The process-wide record.
InputState& Input();
// Back to the start-up state. Ends a running Ogg decoder thread first. For tests.
void ResetInputState();

// The header state that RunInput clears before each transfer.
void ResetHeaderState(InputState& input);
// Ring buffer and audio block for the block length in MetaInterval. Logs an Error and leaves the
// ring buffer without storage when the length is unusable (0 or below, or above 1 MiB); false then.
bool CreateRingBuffer(InputState& input);
// The end-of-header step for a header that libcurl parsed, run when the body begins: ring buffer,
// decoder, encoder, status texts. False (after an Error line) when the source cannot be read.
bool FinishResponseHeader(InputState& input);

// What header_callback does with one line: a status line starts a header afresh, a blank line
// ends it, lines after the start of the body are ignored. False ends the transfer.
bool HandleHeaderLine(InputState& input, std::string_view line);

// One body chunk while the header is still expected in the body.
struct InlineHeaderStep {
    enum Outcome { kWaiting, kComplete, kTooLong, kRefused } outcome;
    std::size_t headerBytes;  // bytes of the chunk that belong to the header
};
InlineHeaderStep CollectInlineHeader(InputState& input, std::string_view chunk);

// The source's audio format in words ("MP3", "AAC", "Ogg Vorbis").
const char* SourceFormatName(const InputState& input);

// Takes what the ring buffer holds. With metadata, buffered audio goes to the decoder at once
// (never past its block's end), and each metadata text once it is whole; without, whole blocks
// of audio. False when a text that is no metadata ends the transfer.
bool TakeMp3Blocks(InputState& input);
// End of the transfer: decodes every audio byte still buffered; a metadata text cut off by the
// end is dropped.
void DrainMp3Blocks(InputState& input);

// One transfer of the source, from the configured URL (redirects followed anew), until it ends;
// the decoders are finished afterwards, the destination is left to the output loop.
TransferOutcome RunHttpTransfer(InputState& input, const char* url);
// With SourceReconnect: the primary source (and the backup) opened again and again, with silence
// relayed in between, until a stop request or a destination that is lost for good.
void RunSourcesUntilStopped(InputState& input, const char* primaryUrl);
// Asked by the transfer's progress calls: true when it must end now, for bytes that give no
// audio, for a stall or for the primary's return (transferEnd says which, after an Error line for
// the first two).
bool SourceTransferShouldEnd(InputState& input);
// The body brought audio bytes: the stall clock starts again, and the first ones of a transfer
// mean the source plays (again).
void NoteSourceAudio(InputState& input);

// After the transfer, before the engine disconnects: for an MP3 source the buffered blocks are
// decoded, for an Ogg source the decoder thread is ended and joined; then the encoder is flushed.
// dropRest skips the buffered rest: a stop request wants none of it, and a source without usable
// audio has none in it.
void FinishTransfer(InputState& input, bool dropRest);
// The transfer ended so that its buffered rest is not wanted: a stop request, a lost destination,
// or a source that gave no usable audio.
bool BufferedRestUnwanted(const InputState& input);
// The transfer ends as on a stop request: the front end asked for it, or the destination was
// lost and is not reconnected (nothing would reach a listener any more).
bool TransferEndRequested();
