// The response header: read the station's name, the metadata interval and the content type, and
// when the header ends set up the ring buffer, the decoder and the encoder. The header comes
// either line by line through header_callback, or (from servers whose "ICY 200 OK" status line
// libcurl takes for an HTTP/0.9 response) at the start of the body, collected by write_callback.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <string_view>

#include "common/fixed_text.h"
#include "common/log.h"
#include "common/status.h"
#include "decoders/mp3decoder.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "input/input_state.h"
#include "input/ziravorov.h"

namespace {

using HeaderValue = FixedText<1024>;  // a header value keeps at most 1023 bytes

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kNameMarker = "icy-name:";
constexpr std::string_view kMetaIntervalMarker = "icy-metaint:";
constexpr std::string_view kContentTypeMarker = "Content-Type: ";

// The text between the marker and the first line end after it. False when either is missing.
bool FindValue(std::string_view text, std::string_view marker, HeaderValue& value) {
    const std::size_t markerAt = text.find(marker);
    if (markerAt == std::string_view::npos) return false;
    const std::string_view rest = text.substr(markerAt + marker.size());
    const std::size_t endAt = rest.find(kLineEnd);
    if (endAt == std::string_view::npos) return false;
    value.assign(rest.substr(0, endAt));
    return true;
}

// Leading blanks skipped, digits up to the first other character, 0 without digits. A number
// beyond 32 bits saturates (atoi's overflow is undefined, and wrapping could turn a hostile
// 4294975488 into a plausible 8192); CreateRingBuffer then refuses it.
std::int32_t ReadInterval(const HeaderValue& value) {
    const long long number = std::strtoll(value.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(
        std::clamp<long long>(number, std::numeric_limits<std::int32_t>::min(),
                              std::numeric_limits<std::int32_t>::max()));
}

void ReadContentType(InputState& input, const HeaderValue& type) {
    input.inputIsVorbis = type == "application/ogg";
    Report(FrontEnd().inputStreamType, input.inputIsVorbis ? "Vorbis" : "MP3");
    if (!input.MetadataFlag) input.MetaInterval = kDefaultMetaInterval;
}

void StartDecoder(InputState& input) {
    if (input.inputIsVorbis) {
        input.oggSource.Rearm();
        input.vorbisDecoderRunning = StartVorbisDecoder(&input.oggSource) == 1;
    } else {
        mp3_decoder_init(&Mp3Decoder());
    }
}

void ReportOutputStreamType() {
    if (GetIsOggVorbis() != 0) {
        Report(FrontEnd().outputStreamType, "Vorbis");
        if (GetIsWma() != 0) Report(FrontEnd().outputStreamType, "WMA");
        return;
    }
    Report(FrontEnd().outputStreamType, GetIsWma() != 0 ? "WMA" : "MP3");
}

void ReportTranscoding() {
    Report(FrontEnd().mainStatus, "Transcoding......");
    Report(FrontEnd().inputStatus, "Connected");
}

constexpr std::string_view kEndMark = "\r\n\r\n";

// Where the end mark ends, counted in bytes of the chunk; npos when it is not there. The mark may
// have begun in the last bytes already collected.
std::size_t FindEndMark(std::string_view collected, std::string_view chunk) {
    const std::size_t carried = std::min<std::size_t>(collected.size(), kEndMark.size() - 1);
    const std::size_t peeked = std::min<std::size_t>(chunk.size(), kEndMark.size() - 1);
    char window[2 * (kEndMark.size() - 1)];
    std::copy_n(collected.end() - carried, carried, window);
    std::copy_n(chunk.begin(), peeked, window + carried);
    const std::size_t inWindow = std::string_view(window, carried + peeked).find(kEndMark);
    if (inWindow != std::string_view::npos) return inWindow + kEndMark.size() - carried;
    const std::size_t inChunk = chunk.find(kEndMark);
    return inChunk == std::string_view::npos ? inChunk : inChunk + kEndMark.size();
}

// The blank line after a header that libcurl parsed. Runs once per transfer.
void FinishResponseHeader(InputState& input) {
    if (input.headerDone) return;
    CreateRingBuffer(input);
    StartDecoder(input);
    InitEncoder();
    input.headerDone = true;
    Report(FrontEnd().inputServerType, input.icecastFlag ? "Icecast/Icecast2" : "ShoutCast");
    ReportOutputStreamType();
    ReportTranscoding();
}

}  // namespace

void CreateRingBuffer(InputState& input) {
    input.audioBlock.reset();
    input.ringBuffer.release();
    const std::int32_t interval = input.MetaInterval;
    if (interval <= 0 || interval > kMaxMetaInterval) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Unusable block length %d from the source (1 to %d bytes are accepted): no "
                   "input buffer, the transfer ends",
                   interval, kMaxMetaInterval);
        return;
    }
    // Twenty blocks of slack; at least two blocks with the longest metadata text plus one more
    // chunk, so that a short interval can still wait for a whole metadata text.
    const std::uint64_t blockBytes = static_cast<std::uint64_t>(interval);
    const std::uint64_t capacity =
        std::max(20 * blockBytes, 2 * blockBytes + kMaxMetadataBytes + kChunkAllowance);
    if (input.ringBuffer.create(capacity) != kRingDone) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__, "Cannot allocate an input buffer of %llu bytes",
                   static_cast<unsigned long long>(capacity));
        return;
    }
    if (input.inputIsVorbis) return;
    input.audioBlock.reset(new (std::nothrow) unsigned char[blockBytes]);
    if (input.audioBlock == nullptr) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__, "Cannot allocate an audio block of %d bytes",
                   interval);
        input.ringBuffer.release();
    }
}

void parse_header_line(std::string_view line) {
    InputState& input = Input();
    input.icecastFlag = true;

    HeaderValue value;
    if (line.find(kNameMarker) != std::string_view::npos) {
        if (!FindValue(line, kNameMarker, value)) value.clear();
        Report(FrontEnd().inputStreamName, value.c_str());
    }
    if (FindValue(line, kMetaIntervalMarker, value)) {
        input.MetaInterval = ReadInterval(value);
        input.MetadataFlag = true;
        LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Icy-Metaint is %d, MetadataFlag is %d\n",
                   input.MetaInterval, 1);
    }
    if (FindValue(line, kContentTypeMarker, value)) ReadContentType(input, value);
}

std::size_t header_callback(char* bytes, std::size_t itemSize, std::size_t itemCount,
                            void*) noexcept {
    const std::string_view line(bytes, itemSize * itemCount);
    if (Input().headerDone) {
        // Trailers of a chunked body, or the header of a final response after an informational
        // one: the ring buffer, the audio block and the decoder were made for the first header's
        // block length and format, and must not be read with another.
        LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Header after the end of the header, ignored");
    } else if (line == kLineEnd) {
        FinishResponseHeader(Input());
    } else {
        parse_header_line(line);
    }
    LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Header: %.*s\n", static_cast<int>(line.size()),
               line.data());
    return itemCount;
}

void parse_inline_header(std::string_view text) {
    InputState& input = Input();
    input.MetadataFlag = false;

    HeaderValue name;
    if (!FindValue(text, kNameMarker, name)) name.clear();
    HeaderValue intervalText;
    std::int32_t received = 0;
    if (FindValue(text, kMetaIntervalMarker, intervalText)) {
        received = ReadInterval(intervalText);
        input.MetadataFlag = true;
        input.MetaInterval = received;
    } else {
        input.MetaInterval = kDefaultMetaInterval;
    }
    input.icecastFlag = false;
    input.inputIsVorbis = false;
    LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Stream: (%s)\nMetaInterval: (%d)\n", name.c_str(),
               received);

    Report(FrontEnd().inputStreamName, name.c_str());
    Report(FrontEnd().inputServerType, "Shoutcast");
    Report(FrontEnd().inputStreamType, "MP3");
    CreateRingBuffer(input);
    mp3_decoder_init(&Mp3Decoder());
    InitEncoder();
    ReportTranscoding();
}

InlineHeaderStep CollectInlineHeader(InputState& input, std::string_view chunk) {
    Report(FrontEnd().inputStatus, "Reading input header...");
    const std::string_view collected(input.headerBuffer.data(), input.headerLength);
    const std::size_t markEnd = FindEndMark(collected, chunk);
    const std::size_t headerBytes = markEnd == std::string_view::npos ? chunk.size() : markEnd;
    if (input.headerLength + headerBytes > kHeaderBufferBytes - 1) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "The header inside the stream does not end within %d bytes: not a stream "
                   "this program can read",
                   static_cast<int>(kHeaderBufferBytes - 1));
        return {InlineHeaderStep::kTooLong, 0};
    }
    std::copy_n(chunk.begin(), headerBytes, input.headerBuffer.begin() + input.headerLength);
    input.headerLength += headerBytes;
    if (markEnd == std::string_view::npos) return {InlineHeaderStep::kWaiting, headerBytes};

    parse_inline_header(std::string_view(input.headerBuffer.data(), input.headerLength));
    input.headerDone = true;
    return {InlineHeaderStep::kComplete, headerBytes};
}
