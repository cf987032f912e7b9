// The response header: check the status (a redirect's header only says where libcurl goes next),
// read the station's name, the metadata interval and the content type, and when the body begins
// set up the ring buffer, the decoder and the encoder. The header comes either line by line
// through header_callback, or (from servers whose status line libcurl takes for an HTTP/0.9
// response) at the start of the body, collected by write_callback.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "common/fixed_text.h"
#include "common/log.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "decoders/aac_decoder.h"
#include "decoders/mp3decoder.h"
#include "decoders/oggvdecoder.h"
#include "engine/libzembril.h"
#include "input/header_fields.h"
#include "input/input_state.h"
#include "input/ziravorov.h"

namespace {

constexpr std::string_view kNameField = "icy-name";
constexpr std::string_view kMetaIntervalField = "icy-metaint";
constexpr std::string_view kContentTypeField = "content-type";
constexpr std::string_view kLocationField = "location";

// Leading blanks skipped, digits up to the first other character, 0 without digits. A number
// beyond 32 bits saturates (atoi's overflow is undefined, and wrapping could turn a hostile
// 4294975488 into a plausible 8192); CreateRingBuffer then refuses it.
std::int32_t ReadInterval(const HeaderValue& value) {
    const long long number = std::strtoll(value.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(
        std::clamp<long long>(number, std::numeric_limits<std::int32_t>::min(),
                              std::numeric_limits<std::int32_t>::max()));
}

// After a redirect the URL came from the network.
std::string SourceName(const InputState& input) {
    return ShownSourceUrl(input.url);
}

// False (after an Error line) for a type that neither decoder reads.
bool ReadContentType(InputState& input, const HeaderValue& type) {
    const SourceFormat format = FormatOfContentType(type.view());
    if (format == SourceFormat::kUnknown) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Unknown content type \"%s\" from %s: neither MP3, AAC nor Ogg, the "
                   "transfer ends",
                   PrintableText(TrimBlanks(type.view())).c_str(), SourceName(input).c_str());
        return false;
    }
    input.inputIsVorbis = format == SourceFormat::kVorbis;
    input.inputIsAac = format == SourceFormat::kAac;
    Report(FrontEnd().inputStreamType,
           input.inputIsVorbis ? "Vorbis" : input.inputIsAac ? "AAC" : "MP3");
    return true;
}

void RefuseStatus(const InputState& input, std::string_view statusLine) {
    LogMessage(LOG_ERROR, kLogInput, __LINE__, "Source request refused by %s: %s",
               SourceName(input).c_str(), PrintableText(WithoutLineEnd(statusLine)).c_str());
}

// A 2xx status goes on, a 1xx one announces another response; anything else ends the transfer
// before a byte of its body (an error page) reaches a decoder.
bool AcceptStatus(InputState& input, std::string_view statusLine) {
    const int code = StatusCode(statusLine);
    if (code >= 100 && code < 300) {
        input.interimResponse = code < 200;
        return true;
    }
    RefuseStatus(input, statusLine);
    return false;
}

bool IsRedirectStatus(std::string_view statusLine) {
    const int code = StatusCode(statusLine);
    return code >= 300 && code < 400;
}

// Each response's header stands alone: the facts of an earlier one (a proxy's, an interim one, a
// redirect's) do not carry over. Whether a 3xx is a redirect shows only at the end of its header.
bool StartHeaderAfresh(InputState& input, std::string_view statusLine) {
    ResetHeaderState(input);
    if (!IsRedirectStatus(statusLine)) return AcceptStatus(input, statusLine);
    input.redirectResponse = true;
    input.redirectStatus.assign(WithoutLineEnd(statusLine));
    return true;
}

// libcurl goes to the first Location that has a value; the trail must judge the same one.
void NoteLocation(InputState& input, std::string_view line) {
    std::string_view location;
    if (!input.redirectLocation.empty() || !FieldText(line, kLocationField, location)) return;
    input.redirectLocation = TrimBlanks(location);
}

// The end of a 3xx header. Without a Location libcurl takes the response for the final one, which
// is then refused like any other failure status; with one, the trail decides whether libcurl may
// go there.
bool FollowRedirect(InputState& input) {
    if (input.redirectLocation.empty()) {
        RefuseStatus(input, input.redirectStatus.view());
        return false;
    }
    std::string target;
    if (!input.redirects.Follow(input.url, input.redirectLocation, target)) return false;
    LogMessage(LOG_INFO, kLogInput, __LINE__, "Source redirected (%s) from %s to %s",
               PrintableText(input.redirectStatus.view()).c_str(), SourceName(input).c_str(),
               MaskedUrl(target).c_str());
    input.url = std::move(target);
    return true;
}

// A blank line ends a header. An interim response's only ends that response and a redirect's
// sends the transfer on; the final one follows either.
bool EndHeader(InputState& input) {
    if (input.redirectResponse) return FollowRedirect(input);
    if (!input.interimResponse) input.headerComplete = true;
    input.interimResponse = false;
    return true;
}

bool StartDecoder(InputState& input) {
    if (input.inputIsAac) {
        aac_decoder_init(&AacDecoder());
        return true;
    }
    if (!input.inputIsVorbis) {
        mp3_decoder_init(&Mp3Decoder());
        return true;
    }
    input.oggSource.Rearm();
    input.vorbisDecoderRunning = StartVorbisDecoder(&input.oggSource) == 1;
    return input.vorbisDecoderRunning;
}

void ReportOutputStreamType() {
    const EngineSettings& output = Engine().settings;
    Report(FrontEnd().outputStreamType,
           output.isOpus ? "Opus" : output.isOggVorbis ? "Vorbis" : "MP3");
}

void ReportTranscoding() {
    Report(FrontEnd().mainStatus, "Transcoding......");
    Report(FrontEnd().inputStatus, "Connected");
}

// A header line for the Debug log: a redirect's Location may carry credentials.
std::string ShownHeaderLine(std::string_view line) {
    std::string_view location;
    if (!FieldText(line, kLocationField, location)) return PrintableText(WithoutLineEnd(line));
    const auto nameBytes = static_cast<std::size_t>(location.data() - line.data());
    return std::string(line.substr(0, nameBytes)) + MaskedUrl(location);
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

}  // namespace

bool FinishResponseHeader(InputState& input) {
    if (input.headerDone) return true;
    if (!input.MetadataFlag) input.MetaInterval = kDefaultMetaInterval;
    if (!CreateRingBuffer(input) || !StartDecoder(input)) return false;
    input.headerDone = true;
    Report(FrontEnd().inputServerType, input.icecastFlag ? "Icecast/Icecast2" : "ShoutCast");
    ReportOutputStreamType();
    ReportTranscoding();
    return true;
}

bool CreateRingBuffer(InputState& input) {
    input.audioBlock.reset();
    input.ringBuffer.release();
    const std::int32_t interval = input.MetaInterval;
    if (interval <= 0 || interval > kMaxMetaInterval) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__,
                   "Unusable block length %d from the source (1 to %d bytes are accepted): no "
                   "input buffer, the transfer ends",
                   interval, kMaxMetaInterval);
        return false;
    }
    // Twenty blocks of slack; at least two blocks with the longest metadata text plus one more
    // chunk, so that a short interval can still wait for a whole metadata text.
    const std::uint64_t blockBytes = static_cast<std::uint64_t>(interval);
    const std::uint64_t capacity =
        std::max(20 * blockBytes, 2 * blockBytes + kMaxMetadataBytes + kChunkAllowance);
    if (input.ringBuffer.create(capacity) != kRingDone) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__, "Cannot allocate an input buffer of %llu bytes",
                   static_cast<unsigned long long>(capacity));
        return false;
    }
    if (input.inputIsVorbis) return true;
    input.audioBlock.reset(new (std::nothrow) unsigned char[blockBytes]);
    if (input.audioBlock == nullptr) {
        LogMessage(LOG_ERROR, kLogInput, __LINE__, "Cannot allocate an audio block of %d bytes",
                   interval);
        input.ringBuffer.release();
        return false;
    }
    input.audioLeftInBlock = blockBytes;
    return true;
}

bool parse_header_line(std::string_view line) {
    InputState& input = Input();
    input.icecastFlag = true;

    HeaderValue value;
    if (FieldValue(line, kNameField, value)) Report(FrontEnd().inputStreamName, value.c_str());
    if (FieldValue(line, kMetaIntervalField, value)) {
        input.MetaInterval = ReadInterval(value);
        input.MetadataFlag = true;
        LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Icy-Metaint is %d, MetadataFlag is %d\n",
                   input.MetaInterval, 1);
    }
    if (FieldValue(line, kContentTypeField, value)) return ReadContentType(input, value);
    return true;
}

bool HandleHeaderLine(InputState& input, std::string_view line) {
    if (input.bodyStarted) {
        // Trailers of a chunked body: the ring buffer, the audio block and the decoder were made
        // for the header's block length and format, and must not be read with another.
        LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Header after the start of the body, ignored");
        return true;
    }
    if (IsStatusLine(line)) {
        if (!StartHeaderAfresh(input, line)) return false;
        return input.redirectResponse || parse_header_line(line);
    }
    if (WithoutLineEnd(line).empty()) return EndHeader(input);
    if (input.redirectResponse) {
        // A redirect's name, type and block length (of its error page) are not the station's.
        NoteLocation(input, line);
        return true;
    }
    return parse_header_line(line);
}

std::size_t header_callback(char* bytes, std::size_t itemSize, std::size_t itemCount,
                            void*) noexcept {
    const std::string_view line(bytes, itemSize * itemCount);
    LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Header: %s\n", ShownHeaderLine(line).c_str());
    InputState& input = Input();
    if (HandleHeaderLine(input, line)) return itemCount;
    input.transferRefused = true;
    return 0;
}

bool parse_inline_header(std::string_view text) {
    InputState& input = Input();
    input.MetadataFlag = false;
    input.inputIsVorbis = false;
    input.inputIsAac = false;

    HeaderValue name;
    if (!FindFieldValue(text, kNameField, name)) name.clear();
    HeaderValue intervalText;
    std::int32_t received = 0;
    if (FindFieldValue(text, kMetaIntervalField, intervalText)) {
        received = ReadInterval(intervalText);
        input.MetadataFlag = true;
        input.MetaInterval = received;
    } else {
        input.MetaInterval = kDefaultMetaInterval;
    }
    input.icecastFlag = false;
    LogMessage(LOG_DEBUG, kLogInput, __LINE__, "Stream: (%s)\nMetaInterval: (%d)\n",
               PrintableText(name.view()).c_str(), received);

    Report(FrontEnd().inputStreamName, name.c_str());
    Report(FrontEnd().inputServerType, "Shoutcast");
    // Shoutcast servers, which send their header this way, stream MP3 unless it says otherwise.
    HeaderValue type;
    if (!FindFieldValue(text, kContentTypeField, type)) {
        Report(FrontEnd().inputStreamType, "MP3");
    } else if (!ReadContentType(input, type)) {
        return false;
    }
    if (!CreateRingBuffer(input) || !StartDecoder(input)) return false;
    ReportTranscoding();
    return true;
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

    const std::string_view header(input.headerBuffer.data(), input.headerLength);
    if (IsStatusLine(header) && !AcceptStatus(input, header.substr(0, header.find('\n') + 1))) {
        return {InlineHeaderStep::kRefused, headerBytes};
    }
    if (!parse_inline_header(header)) return {InlineHeaderStep::kRefused, headerBytes};
    input.headerDone = true;
    return {InlineHeaderStep::kComplete, headerBytes};
}
