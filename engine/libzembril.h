// The output engine: settings and running state of the destination side, and its operations.
//
// It owns the connection to the destination server (login for Shoutcast, Icecast, Icecast2), the
// encoder (LAME, Vorbis with Ogg framing, or Opus through libopus), the sample intake that
// converts decoded audio to the output channels and rate, title updates, the archive file and the
// line-in device. Everything lives in one process-wide EngineState, in parts: the settings (filled
// once by the configuration at start, read-only afterwards), the destination connection, the
// encoder, the archive, the sinks and the current title. What asks a transfer to end is the run
// control's (common/run_control.h).
//
// Threads: once the first connection stands, the output loop's thread (output_loop.cpp) owns the
// destination: encoding, sending, reconnecting, the archive, the final flush and disconnect. The
// source side (the main thread for MP3 sources, the Ogg Vorbis decoder thread otherwise) only
// queues decoded audio through ProcessSamples and sets titles. Title updates for MP3 output go out
// on the title sender's thread (title_sender.cpp), which touches no field of EngineState. Fields
// read by several threads are atomic (`connected`, `shoutcastAccepted`, `reconnectWaiting`,
// `sendFailure`, `vorbisRestartPending`); the current title is guarded by its own lock.
#pragma once

#include <lame/lame.h>
#include <ogg/ogg.h>
#include <sys/types.h>
#include <vorbis/codec.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/fixed_text.h"
#include "common/run_control.h"
#include "common/socket.h"
#include "common/status.h"
#include "engine/opus_output.h"
#include "engine/send_progress.h"
#include "resample/resample.h"

// The configuration as ApplyConfig leaves it: read-only for the rest of the run. Every key of the
// file has its field here, including the ones this program keeps only to write back (WMA, AAC,
// window position); the derived flags (isLame, isIcecast2, ...) are set once from Encode and
// ServerType.
struct EngineSettings {
    FixedText<255> configPath;
    FixedText<1024> sourceUrl;
    FixedText<256> serverHost;
    FixedText<10> serverPort;
    FixedText<258> serverPassword;
    std::int32_t serverPublic = 0;
    FixedText<20> serverIrc;
    FixedText<20> serverIcq;
    FixedText<20> serverAim;
    FixedText<1024> serverStreamUrl;
    FixedText<1024> serverDescription;
    FixedText<100> serverGenre;
    FixedText<100> serverMountpoint;
    FixedText<27> serverType;
    std::int32_t isShoutcast = 0;
    std::int32_t isIcecast = 0;
    std::int32_t isIcecast2 = 0;
    std::int32_t autoReconnect = 0;
    std::int32_t reconnectSecs = 0;

    FixedText<1056> encodeFormat;
    std::int32_t isOggVorbis = 0;
    std::int32_t isLame = 0;
    std::int32_t isOpus = 0;  // Ogg Opus through libopus, always at kOpusOutputRate
    std::int64_t sampleRate = 0;
    std::int32_t channels = 0;
    std::int32_t bitrateNominal = 0;
    std::int32_t bitrateMin = 0;
    std::int32_t bitrateMax = 0;
    FixedText<28> oggQuality;
    std::int32_t oggBitrateManaged = 0;
    FixedText<40> oggBitrateQualityText;
    std::int32_t lameCbrFlag = 0;
    std::int32_t lameQuality = 0;
    std::int32_t lameCopywrite = 0;
    std::int32_t lameOriginal = 0;
    std::int32_t lameStrictIso = 0;
    std::int32_t lameDisableReservoir = 0;
    FixedText<40> lameVbrMode;
    std::int32_t lameLowpassFreq = 0;
    std::int32_t lameHighpassFreq = 0;

    std::int32_t lineInFlag = 0;  // also set by OpenLineInDevice once the device is open
    FixedText<511> lineInDevice;
    std::int32_t lineInSampleRate = 0;
    FixedText<1024> lockedMetadata;
    std::int32_t lockMetadataFlag = 0;
    FixedText<1024> saveDirectory;
    std::int32_t saveArchives = 0;
    std::int32_t saveAsWav = 0;
    FixedText<1024> logFile;
    std::int32_t logLevel = 0;

    // Kept only to be written back to the file.
    std::int32_t wmaPort = 0;
    std::int64_t wmaClients = 0;
    FixedText<25> wmaMode;
    std::int64_t lastX = 0;
    std::int64_t lastY = 0;
    std::int32_t showVu = 0;
    FixedText<25> aacQuality;
    FixedText<35> aacCutoff;

    // Keeping the station on the air (the last keys of the file; their defaults keep a run that
    // ends with its source).
    std::int32_t sourceReconnect = 0;     // 1: a lost source is reopened; silence meanwhile
    std::int32_t sourceTimeoutSecs = 10;  // no audio bytes for this long is a stalled source
    std::int32_t sourceRetrySecs = 5;     // the longest wait between attempts to reopen it
    FixedText<1024> sourceBackupUrl;      // relayed while the primary source fails
    FixedText<1024> fallbackTitle;        // the title while silence is relayed; empty: keep
    std::int32_t outputPacing = 1;        // 1: the output runs at most about 2 s ahead of time

    // The status listener (frontend/status_listener.h): 0 serves nothing.
    std::int32_t statusPort = 0;
    FixedText<64> statusAddress;

    // Watching the source's levels (source_levels.cpp); 0 turns each off.
    std::int32_t levelLogSecs = 0;        // an Info line with loudness and peak this often
    std::int32_t silenceSecs = 0;         // this long below silenceThreshold is dead air
    std::int32_t silenceThreshold = -50;  // dBFS sample peak
};

// Opus output is encoded at this rate whatever Samplerate says: it is Opus's own rate, so the
// engine's resampler is the only one the audio goes through.
constexpr std::int64_t kOpusOutputRate = 48000;
// The rate the intake converts to and the encoder is set up for.
inline std::int64_t OutputSampleRate(const EngineSettings& settings) {
    return settings.isOpus ? kOpusOutputRate : settings.sampleRate;
}

// The connection to the destination server. Once the first connection stands, the output loop's
// thread owns it; `connected`, `shoutcastAccepted`, `reconnectWaiting` and `sendFailure` are read
// by other threads.
struct DestinationConnection {
    CMySocket streamConnection;
    std::int32_t streamSocket = -1;
    std::atomic<std::int32_t> connected{0};
    std::atomic<std::int32_t> shoutcastAccepted{0};  // written by the login, read by titles
    std::atomic<bool> reconnectWaiting{false};       // the reconnection loop is waiting
    // errno of the last failed send of encoded audio (ETIMEDOUT: the server took nothing for the
    // socket time-out; ECANCELED: given up for a stop request).
    std::atomic<int> sendFailure{0};
    // What the destination has taken of this connection (server_io.cpp); restarted by
    // ConnectToServer. The sending thread only.
    SendProgress streamProgress;
};

// The output's encoder and the conversion in front of it: the thread that encodes only.
struct OutputEncoder {
    lame_global_flags* lameEncoder = nullptr;
    const float* encodeSamples = nullptr;  // interleaved left/right, valid during DoEncoding only
    std::int32_t encodeFrames = 0;
    ResamplerState resampler{};
    std::int32_t resamplerReady = 0;
    std::int32_t lastInputRate = 0;  // source rate of the previous block
    ogg_stream_state oggStream{};
    vorbis_dsp_state vorbisDsp{};
    vorbis_block vorbisBlock{};
    vorbis_info vorbisInfo{};
    // A title change asks for a new Ogg stream (set by the source's thread).
    std::atomic<std::uint8_t> vorbisRestartPending{0};
    std::int32_t headersPending = 0;  // a new Ogg stream has sent no audio page yet
    // An Ogg stream of this connection has sent its header pages and has not been ended yet.
    // Cleared by EndOggStream and DisconnectFromServer (a new connection starts a new stream).
    std::int32_t oggStreamOpen = 0;
    // Frames the running Ogg stream has been given. A title change waits for the first, so that
    // no stream but the login's goes out without audio.
    std::int64_t oggStreamFrames = 0;
    // Serial numbers of the Ogg streams begun on this connection, none of which may come again.
    std::vector<int> oggSerialsUsed;
    // Opus output: the connection's libopus encoder, the running link's framing and where its
    // pages go. The Ogg stream fields above (oggStreamOpen, oggStreamFrames, the serials,
    // vorbisRestartPending) serve both Ogg formats.
    OpusOutput opus;
};

// The open archive file of this connection (archive.cpp): the sending thread only.
struct ArchiveFile {
    std::FILE* file = nullptr;
    std::uint64_t dataBytes = 0;  // PCM bytes of an open WAV archive
    std::int32_t rate = 0;        // rate of the PCM in the open WAV archive
    unsigned char wavHeader[44]{};
};

// Where the engine reports to its user; the front end fills them before the run.
struct EngineSinks {
    StatusSink sourceUrl = nullptr;
    StatusSink destinationUrl = nullptr;
    StatusSink serverStatus = nullptr;
    StatusSink error = nullptr;
    ByteCountSink bytesSent = nullptr;
    StatusSink serverType = nullptr;
    StatusSink streamDescription = nullptr;
    StatusSink streamType = nullptr;
    StatusSink bitrateDescription = nullptr;
    LevelSink vu = nullptr;
};

// The current title and the source's description: the source's thread writes them, the output
// loop and the title sender read them, all under `lock`.
struct CurrentTitle {
    std::mutex lock;
    FixedText<1024> current;
    FixedText<256> sourceDescription;
};

struct EngineState {
    EngineSettings settings;
    DestinationConnection destination;
    OutputEncoder encoder;
    ArchiveFile archive;
    EngineSinks sinks;
    CurrentTitle titles;
    std::int32_t lineInFd = -1;  // the open line-in device
};

// The process-wide record.
EngineState& Engine();
// Back to the start-up state (all empty, descriptors -1). Releases encoders, resampler and archive
// first. For tests; no other thread may be using the engine.
void ResetEngineState();

// ---- configuration (config_load.cpp, settings_catalogue.cpp) ----
enum ConfigLoadMode : int { kConfigCreate = 0, kConfigNormal = 1 };
// 1, or 0 (with an Error line) when the path does not fit configPath.
int SetConfigPath(const char* path);
// 1 when the settings are loaded (and, in create mode, the file written). 0, with Error lines,
// when the file cannot be read (in create mode: exists but cannot be read), holds a line the
// reader refuses, or a value or key the run must not use (see ApplyConfig), or cannot be written;
// the run must not start then, and create mode leaves the file as it is.
int LoadConfig(int mode);
// 1, or 0 with an Error line naming the path and the reason.
int WriteConfigFile();
// 1 when every setting can be used and the setup is reported; 0, with an Error line for each value
// the run must not use (too long for its field, a control byte, an Encode or ServerType that is
// none of the valid names, a mount with a blank, "?", "&", "#" or "..") and each key problem that
// ends the run (ReportKeyProblems), with no setup reported.
int ApplyConfig();
void StoreConfigValues();
// Every key the catalogue knows, in store-back order.
std::span<const char* const> CatalogueKeys();
// One Error line for each value of a known key that the run must not use: longer than its field,
// or holding a control byte. Returns how many.
int ReportRefusedValues();
// Whether ReportRefusedValues would name this key, without a word.
bool ValueRefused(const char* key);
// Error lines about the keys of the table: each key that no setting reads (with the closest known
// key when one is near enough to be a slip of the keyboard), each key given twice (naming both
// lines; the first is used), and the entries the table had no room for. 0 when a key is a known
// key written with blanks around it or in other letter case: the run must not start on its
// default; 1 otherwise.
int ReportKeyProblems();
// For ApplyConfig (settings_apply.cpp); the blanks go in StoreConfigValues too. The look-up goes in
// catalogue order, both keys included. 1, or 0 with an Error line when a key is not in the
// catalogue or the last comes before the first.
int LookUpSettings(const char* firstKey, const char* lastKey);
void RemoveServerAddressBlanks();  // from serverHost and serverPort

// ---- status slot registration (engine_state.cpp) ----
void SetSourceUrlSink(StatusSink sink);
void SetDestinationUrlSink(StatusSink sink);
void SetServerStatusSink(StatusSink sink);
void SetErrorSink(StatusSink sink);
void SetBytesSentSink(ByteCountSink sink);
void SetServerTypeSink(StatusSink sink);
void SetStreamDescriptionSink(StatusSink sink);
void SetStreamTypeSink(StatusSink sink);
void SetBitrateDescriptionSink(StatusSink sink);
void SetVuSink(LevelSink sink);

// ---- connection (connection.cpp, server_io.cpp) ----
int ConnectToServer();
int DisconnectFromServer();
// Both send every byte or return a negative result: when the server takes nothing for the
// socket time-out, or at once when a stop is requested while the server takes nothing.
// SendEncoded also fails (ETIMEDOUT) once its bytes have waited that long without the server
// acknowledging any, before the buffers are full.
ssize_t SendEncoded(const unsigned char* bytes, std::size_t byteCount);
ssize_t SendRequest(int descriptor, const char* text);
// The configured Port as a number; -1 when it holds none in 1..65535.
int ServerPortNumber();

// ---- encoder set-up (encoder_setup.cpp) ----
// Sets up the output's encoder for a new stream; for Ogg output the stream's header pages go out
// at once. 1; 0 when the encoder cannot be set up (an Error line gives the reason); -1 when a
// send of the header pages (or of the end of the stream before) failed: sendFailure says why.
int InitEncoder();
// Ends the running Ogg stream of this connection: marks the end of its input and sends its
// remaining pages, the last one with the end-of-stream mark. Bytes sent, 0 when no stream was
// running, negative when a send failed.
ssize_t EndOggStream();

// ---- end of a transfer (encoder_flush.cpp) ----
// Sends what the encoder still holds: LAME's last frames, or the end of the running Ogg stream.
// Bytes sent; 0 when not connected or nothing was left; negative when the send failed.
ssize_t FlushEncoder();
// A lost connection: the MP3 frames LAME still holds, or the end of the running Ogg stream,
// complete the connection's archive, whose last frame would otherwise be cut; nothing is sent.
void FlushEncoderIntoArchive();

// ---- encode and send (encode_send.cpp) ----
int DoEncoding();
ssize_t SendVorbisPages();
// Ogg output: sends what the running stream holds on an unfinished page (silence makes pages that
// would take seconds to fill). A failed send is noticed by the next block's. Bytes sent.
ssize_t FlushOggPages();

// ---- sample intake (sample_intake.cpp) ----
// The decoders' door: queues the block for the output loop while it runs, else converts and
// encodes it on the caller's thread.
int ProcessSamples(const float* samples, int frameCount, int sourceChannels, int sourceRate);
// Channel and rate conversion, then DoEncoding: the output loop's step for each block.
int ConvertAndEncode(const float* samples, int frameCount, int sourceChannels, int sourceRate);
// Sees every block the intake hands to DoEncoding (interleaved left/right, valid during the call
// only). None by default; tests use it to observe the converted audio.
using EncodeBlockTap = void (*)(const float* frames, int frameCount);
void SetEncodeBlockTap(EncodeBlockTap tap);
// The source audio watch. The decoders note every block they decode, whoever takes it; the
// watch keeps when the last one came that the intake can relay (a rate it does not refuse;
// time_point::min() before any), and the source rate the intake refused last (0: none, or a
// usable rate came after it). The source input ends a source whose bytes give no such audio.
void NoteDecodedAudio(int frameCount, int sourceRate);
std::chrono::steady_clock::time_point LastRelayableAudio();
int RefusedSourceRate();

// ---- output loop (output_loop.cpp) ----
// The thread that owns a connected destination: it takes decoded blocks from a bounded queue,
// paces them (OutputPacing), bridges a missing source with silence (SourceReconnect), encodes,
// sends, reconnects, and at the end flushes the encoder and disconnects once.
// Started by the source input after the first connection; the source side only queues audio.
void StartOutputLoop();
bool OutputLoopRunning();
// No more audio will come (abandon: a stop, the queued rest is dropped). Waits until the loop has
// flushed the encoder, disconnected and ended.
void FinishOutputLoop(bool abandon);
// Whether a source is playing: with SourceReconnect the loop relays silence while none is.
void SetSourcePlaying(bool playing);
// A new destination connection: the pacing clock starts again (the output loop's thread).
void RestartOutputClock();
// Queues a decoded block for the loop, waiting for room (back-pressure). Dropped while the
// destination is away or once a stop is requested.
int QueueSamples(const float* samples, int frameCount, int channels, int sampleRate);

// ---- titles (titles.cpp) ----
// Records the title (the locked one when LockMetadata is on) and, when it differs from the one
// recorded, announces it. 1 when it changed.
int SetCurrentTitle(const char* title);
// Tells the destination the current title: Ogg output asks the encoder for a new stream whose
// comments carry it; MP3 output posts the admin request (PostMetadataUpdate).
void AnnounceCurrentTitle();
// MP3 output: builds the admin request for the current title and hands it to the title sender.
void PostMetadataUpdate();
// The admin request that PostMetadataUpdate posts for this title (MP3 output), built from the
std::string TitleUpdateRequest(const std::string& title);
// For a Shoutcast-style login with a ServerMountpoint: the same title as a request to Icecast's
// mount interface (/admin/metadata, Basic authentication as the mount's source), which the title
// sender uses once /admin.cgi has answered 401, as Icecast's Shoutcast port does. Else empty.
std::string MountTitleUpdateRequest(const std::string& title);
void SplitArtistTitle(FixedText<1024>& title, FixedText<1024>& artist, FixedText<1024>& full);

// ---- title sender (title_sender.cpp) ----
// Title requests for MP3 output go out on the title sender's own thread, which touches no field of
// EngineState: each request carries its address, its bytes and the byte sink.
// A title request for the destination's admin interface, complete with where it goes and the
// sink its byte count is reported to (from the sender's thread).
struct AdminRequest {
    std::string host;
    std::uint16_t port = 0;
    std::string text;
    // Sent instead of `text` once a server refused `text` as unauthorised (401); empty: none, and
    // the answer to `text` is not read.
    std::string mountText;
    ByteCountSink bytesSentSink = nullptr;
};
// Hands the request to the title sender's thread (started by the first request) and returns at
// once. One request is sent at a time, at least a quarter of a second after the one before; a
// request posted meanwhile replaces the one that waits, so the latest title always goes out last.
void PostAdminRequest(AdminRequest request);
// Sends one admin request (the title sender's thread): connects, sends, and closes without reading
// the answer, unless the request has a mountText: then a 401 sends the mountText instead, as every
// later request of the run does at once. A failure is an Error line; one given up for a stop
// request is an Info line.
void SendMetadataUpdate(const AdminRequest& request);
// End of a connection: a request that waits or is on its way gets about a second to go out, then
// the thread is joined. A request still connecting then is given up with an Error (the admin
// interface did not answer); one given up for a stop request is no failure (an Info line).
void FinishAdminRequests();
// Joins the thread at once, dropping a waiting request (ResetEngineState).
void StopTitleSender();

// ---- archive (archive.cpp) ----
// This connection keeps an archive (ConnectToServer, when SaveArchives is on): its file is opened
// with the first bytes written to it. CloseArchiveFile completes and closes it and lets the next
// connection want one again.
void WantArchive();
// Opens the archive now: 1 when it is open, 0 when it cannot be (a file that could not be created
// or written is logged once and refused until CloseArchiveFile).
int OpenArchiveFile();
void CloseArchiveFile();
// Appends sent bytes to the wanted archive, opening the file (and making a missing saveDirectory)
// first.
void AppendToArchive(const unsigned char* bytes, std::size_t byteCount);
// File name (without directory) of an archive begun at the given local time.
std::string ArchiveFileName(const std::tm& localTime);
// The clock of archive names: the current local time. nullptr restores the real clock; tests
// put a fixed one in.
using LocalTimeSource = std::tm (*)();
void SetArchiveClock(LocalTimeSource clock);
// Appends a decoded block to an open WAV archive as 16-bit stereo PCM (the sample intake's step).
void WriteWavBlock(const float* samples, int frameCount, int sourceChannels, int sourceRate);

// ---- line-in device (line_in.cpp) ----
int OpenLineInDevice();

// ---- the fields the input and the decoders use (engine_state.cpp) ----
const char* GetSourceUrl();
const char* GetServerDescription();
int GetLineInSampleRate();
std::int64_t GetSampleRate();
int GetBitrateNominal();
int GetChannels();
void SetSourceDescription(const char* text);
