// The console status sinks: each one writes an Info log line and, unless "-n" was given, prints the
// same labelled line on standard output.
#include <cstdio>
#include <mutex>
#include <string>

#include "common/log.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"
#include "frontend/commandline.h"

std::int32_t consoleOutput = 1;

namespace {

// Sinks run on every thread of a run (the source's, the Ogg Vorbis decoder's, the output loop's);
// one printed line per call, never mixed.
std::mutex consoleLock;

// Titles and station names come from the network: shown with their control bytes masked, so
// that one status is one line and cannot steer the terminal.
void LogStatusLine(const char* label, const char* text) {
    LogMessage(LOG_INFO, kLogFrontEnd, __LINE__, "%s : (%s)", label, PrintableText(text).c_str());
}

void PrintStatusLine(const char* label, const char* text) {
    if (!consoleOutput) return;
    const std::string printable = PrintableText(text);
    std::lock_guard<std::mutex> hold(consoleLock);
    std::printf("%s : (%s)\n", label, printable.c_str());
}

template <const char* Label>
void ConsoleSink(const char* text) {
    if (text == nullptr) text = "";
    LogStatusLine(Label, text);
    PrintStatusLine(Label, text);
}

void IgnoreByteCount(std::uint64_t) {}

// The source input and the decoders record a title in the engine themselves and report it here
// only to show it.
constexpr char kMetadata[] = "Metadata";
constexpr char kMainStatus[] = "Main Status";
constexpr char kInputStatus[] = "Input Status";
constexpr char kInputServerType[] = "Input Server Type";
constexpr char kInputStreamType[] = "Input Stream Type";
constexpr char kInputStreamUrl[] = "Input Stream URL";
constexpr char kInputStreamName[] = "Input Stream Name";
constexpr char kInputBitrate[] = "Input Bitrate";
constexpr char kOutputStatus[] = "Output status";  // lower-case "s", unlike the two above
constexpr char kOutputServerType[] = "Output Server Type";
constexpr char kOutputStreamType[] = "Output Stream Type";
constexpr char kOutputBitrate[] = "Output Bitrate";

}  // namespace

void SetUpStatusSinks() {
    ClearFrontEndSlots();
    FrontEndSlots& slots = FrontEnd();
    slots.mainStatus = &ConsoleSink<kMainStatus>;
    slots.inputStatus = &ConsoleSink<kInputStatus>;
    slots.inputBytes = &IgnoreByteCount;
    slots.inputServerType = &ConsoleSink<kInputServerType>;
    slots.inputStreamType = &ConsoleSink<kInputStreamType>;
    slots.inputStreamUrl = &ConsoleSink<kInputStreamUrl>;
    slots.inputStreamName = &ConsoleSink<kInputStreamName>;
    slots.metadata = &ConsoleSink<kMetadata>;
    slots.inputBitrate = &ConsoleSink<kInputBitrate>;
    slots.outputStatus = &ConsoleSink<kOutputStatus>;
    slots.outputBytes = &IgnoreByteCount;
    // outputDestination stays empty: the console has no line for it.
    slots.outputServerType = &ConsoleSink<kOutputServerType>;
    slots.outputStreamType = &ConsoleSink<kOutputStreamType>;
    slots.outputBitrate = &ConsoleSink<kOutputBitrate>;

    SetServerStatusSink(slots.outputStatus);
    SetErrorSink(slots.mainStatus);
    SetBytesSentSink(slots.outputBytes);
    SetBitrateDescriptionSink(slots.outputBitrate);
    SetStreamTypeSink(slots.outputStreamType);
    SetServerTypeSink(slots.outputServerType);
    SetSourceUrlSink(slots.inputStreamUrl);
    SetDestinationUrlSink(slots.outputDestination);
}
