// The source input: one libcurl transfer of the station's stream per run.
//
// StartTranscoding connects the output engine, then blocks in the transfer until the source ends
// (or a stop is requested), and tears everything down. libcurl calls header_callback and
// write_callback on the main thread; the body is queued in the ring buffer and, for an MP3 source,
// decoded right there. An Ogg Vorbis source is decoded on a thread of its own that reads the ring
// buffer; the main thread ends and joins it before the engine disconnects.
#pragma once

#include <cstddef>

int StartTranscoding();
int RunInput(const char* url);

std::size_t header_callback(char* bytes, std::size_t itemSize, std::size_t itemCount, void* unused);
std::size_t write_callback(char* bytes, std::size_t itemSize, std::size_t itemCount, void* unused);
