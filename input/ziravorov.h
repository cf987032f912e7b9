// The source input: one libcurl transfer of the station's stream per run.
//
// StartTranscoding connects the output engine, then blocks in the transfer until the source ends
// (or a stop is requested), and tears everything down. libcurl calls header_callback and
// write_callback on the main thread; the body is queued in the ring buffer and, for an MP3 source,
// decoded right there. An Ogg Vorbis source is decoded on a thread of its own that reads the ring
// buffer; the main thread ends and joins it before the engine disconnects.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Why a run ended, in words for the Error line that StartTranscoding writes; empty for a run that
// ended as asked (a stop request, or the line-in set-up, which reads no audio, done).
struct RunEnd {
    std::string reason;
    bool Failed() const { return !reason.empty(); }
};

// Runs one transfer (or the line-in set-up) and says why the run ended, on standard error too.
// Always 1.
int StartTranscoding();
RunEnd RunInput(const char* url);

// libcurl callbacks. They never throw; a refused chunk (0) makes libcurl end the transfer.
std::size_t header_callback(char* bytes, std::size_t itemSize, std::size_t itemCount,
                            void* unused) noexcept;
std::size_t write_callback(char* bytes, std::size_t itemSize, std::size_t itemCount,
                           void* unused) noexcept;

// One response header line as libcurl delivers it, line ending included. False (after an Error
// line) when the line shows that the source cannot be read.
bool parse_header_line(std::string_view line);

// A whole header that arrived inside the body, ending with "\r\n\r\n": reads it and sets up what
// it announces. False (after an Error line) when the source cannot be read.
bool parse_inline_header(std::string_view text);
// Decodes the next piece of MP3 audio (any length up to kMp3MaxBlockBytes) and reports the
// input format. Returns 1.
int handle_mp3_block(const unsigned char* block, std::size_t byteCount);
// The same for ADTS AAC (HE-AAC included). Returns 1.
int handle_aac_block(const unsigned char* block, std::size_t byteCount);
