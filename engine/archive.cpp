// The archive: a file in saveDirectory that keeps what one connection broadcast, either the
// encoded stream as sent (SendEncoded appends it) or the decoded source audio as a 16-bit stereo
// WAV file (written here, block by block, for the sample intake).
//
// One file per connection. ConnectToServer wants an archive for the connection (WantArchive); the
// file itself is opened (OpenArchiveFile) with the first bytes written to it, so a connection that
// ends at its login leaves no empty file behind. A file that cannot be created is reported once,
// and the connection goes on without an archive until DisconnectFromServer (CloseArchiveFile).
// A WAV archive also ends early, and the next file begins, when the source rate changes (the
// header states a single rate) or when its data would outgrow the header's 32-bit size fields.
//
// Every write is checked. One that fails (a full disk, a file-size limit) is reported once for the
// connection, naming the file and the reason; the file is cut back to its last whole unit (MP3
// frame, Ogg page, PCM frame, see archive_units.h) and closed, and the relay goes on without an
// archive until the next connection. The bytes go to the file's descriptor without stdio's
// buffer, so that the bytes on the disk are always exactly those counted.
//
// Threads: like the archive's part of EngineState, the state here is touched only by the thread
// that owns the destination (libzembril.h): the sends, the encoding and DisconnectFromServer all
// run on it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/log.h"
#include "engine/archive_units.h"
#include "engine/libzembril.h"

namespace {

constexpr std::size_t kWavHeaderBytes = 44;
constexpr std::uint32_t kWavChannels = 2;
constexpr std::uint32_t kWavBytesPerFrame = 4;   // 2 channels of 16 bits
constexpr std::int32_t kDefaultWavRate = 44100;  // stated while no PCM has been written
// The RIFF size field holds data + 36, so the data may grow to this many bytes.
constexpr std::uint64_t kWavDataLimit = 0xFFFFFFFFull - (kWavHeaderBytes - 8);
// Frames converted at a time; the PCM goes out through a small buffer on the stack.
constexpr int kPcmChunkFrames = 4096;
// Two archives begun within the same second would share a name; later ones get a number.
constexpr int kMaxNameAttempts = 100;
constexpr mode_t kDirectoryMode = 0755;

// The archive of the current connection, while its file is not open yet.
enum class Pending { kNothing, kWanted, kRefused };
Pending pending = Pending::kNothing;

// The open archive file, beside engine.archive.file, which owns it.
struct OpenArchive {
    std::string path;             // for the log; empty for a file opened elsewhere (tests)
    std::uint64_t fileBytes = 0;  // written to the file so far, the WAV header included
    ArchiveUnits units;           // where the encoded stream's units end
};
OpenArchive current;

std::tm RealLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

LocalTimeSource archiveClock = RealLocalTime;

// The C library's asctime text ("Tue Dec 16 09:05:07 2025\n"), built here so that an odd
// year cannot overflow asctime's static buffer.
std::string AsctimeText(const std::tm& time) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = time.tm_wday >= 0 && time.tm_wday < 7 ? kDays[time.tm_wday] : "???";
    const char* month = time.tm_mon >= 0 && time.tm_mon < 12 ? kMonths[time.tm_mon] : "???";
    char text[96];
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", day, month, time.tm_mday,
                  time.tm_hour, time.tm_min, time.tm_sec, 1900 + time.tm_year);
    return text;
}

bool IsControlByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// Characters that many file systems refuse in a name, and control bytes, are dropped; a double
// quote becomes a single one.
std::string CleanFileName(std::string_view name) {
    std::string cleaned;
    cleaned.reserve(name.size());
    for (const char c : name) {
        if (c == '"') {
            cleaned += '\'';
        } else if (!IsControlByte(c) &&
                   std::string_view("/:*?<>|").find(c) == std::string_view::npos) {
            cleaned += c;
        }
    }
    return cleaned;
}

std::string ArchiveExtension(const EngineState& engine) {
    if (engine.settings.saveAsWav) return ".wav";
    std::string extension;
    if (engine.settings.isOggVorbis) extension += ".ogg";
    if (engine.settings.isLame) extension += ".mp3";
    if (engine.settings.isOpus) extension += ".opus";
    return extension;
}

// "name.ext", then "name-2.ext", "name-3.ext", ...: an existing archive is never overwritten.
std::string NumberedName(const std::string& name, std::size_t extensionLength, int attempt) {
    if (attempt == 1) return name;
    const std::size_t stemLength = name.size() - extensionLength;
    return name.substr(0, stemLength) + "-" + std::to_string(attempt) + name.substr(stemLength);
}

void PutLittleEndian(unsigned char* at, std::uint32_t value, int byteCount) {
    for (int i = 0; i < byteCount; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

void FillWavHeader(EngineState& engine, std::uint32_t dataBytes, std::int32_t rate) {
    unsigned char* header = engine.archive.wavHeader;
    const auto frameRate = static_cast<std::uint32_t>(rate > 0 ? rate : kDefaultWavRate);
    std::memcpy(header, "RIFF", 4);
    PutLittleEndian(header + 4, dataBytes == 0 ? 0 : dataBytes + 36, 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    PutLittleEndian(header + 16, 16, 4);  // format chunk size
    PutLittleEndian(header + 20, 1, 2);   // PCM
    PutLittleEndian(header + 22, kWavChannels, 2);
    PutLittleEndian(header + 24, frameRate, 4);
    PutLittleEndian(header + 28, frameRate * kWavBytesPerFrame, 4);
    PutLittleEndian(header + 32, kWavBytesPerFrame, 2);
    PutLittleEndian(header + 34, 16, 2);  // bits per sample
    std::memcpy(header + 36, "data", 4);
    PutLittleEndian(header + 40, dataBytes, 4);
}

// Creates a file that did not exist, and tells its path; nullptr with errno set otherwise. An
// empty directory is the working directory.
std::FILE* CreateArchive(const std::string& directory, const std::string& name,
                         std::size_t extensionLength, std::string& path) {
    const std::string prefix = directory.empty() ? std::string() : directory + "/";
    for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
        path = prefix + NumberedName(name, extensionLength, attempt);
        std::FILE* file = std::fopen(path.c_str(), "wbx");
        if (file != nullptr || errno != EEXIST) return file;
    }
    return nullptr;
}

// Every missing directory of the path, parents first. 0, or the errno of the first that fails.
int CreateDirectories(const std::string& path) {
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string part = path.substr(0, end);
        if (mkdir(part.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return errno;
        if (end == std::string::npos) return 0;
    }
}

std::string ArchiveNameForLog() {
    return current.path.empty() ? std::string("the archive") : current.path;
}

// Writes every byte to the file's descriptor. 0, or the errno of the failed write; `written`
// holds what reached the file either way.
int WriteAll(std::FILE* file, const unsigned char* bytes, std::size_t byteCount,
             std::size_t& written) {
    const int descriptor = fileno(file);
    written = 0;
    while (written < byteCount) {
        const ssize_t done = write(descriptor, bytes + written, byteCount - written);
        if (done < 0 && errno == EINTR) continue;
        // A write that takes nothing without an error is a full device.
        if (done <= 0) return done < 0 ? errno : ENOSPC;
        written += static_cast<std::size_t>(done);
    }
    return 0;
}

// The length the file keeps when it has to be cut: its whole MP3 frames or Ogg pages, or its
// WAV header and whole PCM frames (a WAV file without one keeps nothing).
std::uint64_t WholeFileBytes(const EngineState& engine) {
    if (!engine.settings.saveAsWav) return current.units.WholeBytes();
    if (current.fileBytes <= kWavHeaderBytes) return 0;
    const std::uint64_t dataBytes = current.fileBytes - kWavHeaderBytes;
    return kWavHeaderBytes + dataBytes - dataBytes % kWavBytesPerFrame;
}

// Completes a WAV file's header with the size and rate of its data, then closes the file. 0, or
// the errno of the first step that failed.
int CompleteAndClose(EngineState& engine) {
    int reason = 0;
    if (engine.settings.saveAsWav && current.fileBytes > 0) {
        // The data never outgrows the size fields: WriteWavBlock begins a new file first.
        FillWavHeader(engine, static_cast<std::uint32_t>(engine.archive.dataBytes),
                      engine.archive.rate);
        const ssize_t written =
            pwrite(fileno(engine.archive.file), engine.archive.wavHeader, kWavHeaderBytes, 0);
        if (written != static_cast<ssize_t>(kWavHeaderBytes)) reason = written < 0 ? errno : ENOSPC;
    }
    if (std::fclose(engine.archive.file) != 0 && reason == 0) reason = errno;
    engine.archive.file = nullptr;
    engine.archive.dataBytes = 0;
    engine.archive.rate = 0;
    current = OpenArchive();
    return reason;
}

// A write failed: the one Error of the connection, the file cut back to its last whole unit (or
// removed when it holds none) and closed, and no archive until the next connection.
void GiveUpArchive(int reason) {
    EngineState& engine = Engine();
    const std::string path = ArchiveNameForLog();
    const std::uint64_t whole = WholeFileBytes(engine);
    if (ftruncate(fileno(engine.archive.file), static_cast<off_t>(whole)) == 0) {
        current.fileBytes = whole;
    }
    if (engine.settings.saveAsWav)
        engine.archive.dataBytes = whole > 0 ? whole - kWavHeaderBytes : 0;
    const bool removed = whole == 0 && !current.path.empty() && unlink(current.path.c_str()) == 0;
    if (removed) current.fileBytes = 0;  // nothing left to complete
    CompleteAndClose(engine);
    pending = Pending::kRefused;
    LogMessage(LOG_ERROR, kLogEngine, __LINE__,
               "Cannot write the archive %s: %s; %s, and the relay goes on without an archive "
               "until the next connection",
               path.c_str(), std::strerror(reason),
               removed ? "the file holds nothing whole and is removed"
                       : "the file keeps its whole frames");
}

// Appends bytes to the open archive; false when the write failed (the archive is then given up).
bool WriteToArchive(const unsigned char* bytes, std::size_t byteCount) {
    EngineState& engine = Engine();
    std::size_t written = 0;
    const int reason = WriteAll(engine.archive.file, bytes, byteCount, written);
    if (!engine.settings.saveAsWav) current.units.Take(bytes, written);
    current.fileBytes += written;
    if (reason == 0) return true;
    GiveUpArchive(reason);
    return false;
}

std::int16_t ToPcm16(float value) {
    const float scaled = value * 32767.0f;
    if (scaled != scaled) return 0;  // NaN
    if (scaled >= 32767.0f) return 32767;
    if (scaled <= -32768.0f) return -32768;
    return static_cast<std::int16_t>(scaled);  // truncates toward zero
}

// Closes the running WAV archive with a complete header and begins the next one, which receives
// the rest of the block at once.
void BeginNextArchive() {
    CloseArchiveFile();
    OpenArchiveFile();
}

// Frames of the block as stereo 16-bit little-endian PCM: a mono frame is written to both
// channels, a frame of more than two channels gives its first two.
void ConvertToPcm(const float* frames, int frameCount, int sourceChannels, unsigned char* out) {
    for (int i = 0; i < frameCount; ++i) {
        const float* frame = frames + static_cast<std::ptrdiff_t>(i) * sourceChannels;
        const auto left = static_cast<std::uint16_t>(ToPcm16(frame[0]));
        const auto right =
            static_cast<std::uint16_t>(ToPcm16(sourceChannels >= 2 ? frame[1] : frame[0]));
        PutLittleEndian(out + 4 * i, left, 2);
        PutLittleEndian(out + 4 * i + 2, right, 2);
    }
}

// Whether the archive is open for the bytes to come: a wanted archive is opened with them.
bool OpensWithTheseBytes() {
    if (Engine().archive.file != nullptr) return true;
    return pending == Pending::kWanted && OpenArchiveFile() == 1;
}

}  // namespace

void SetArchiveClock(LocalTimeSource clock) {
    archiveClock = clock != nullptr ? clock : RealLocalTime;
}

std::string ArchiveFileName(const std::tm& localTime) {
    const EngineState& engine = Engine();
    const std::string name =
        std::string(engine.settings.serverDescription.view()) + "_" + AsctimeText(localTime);
    return CleanFileName(name) + ArchiveExtension(engine);
}

void WantArchive() {
    if (Engine().archive.file == nullptr && pending == Pending::kNothing)
        pending = Pending::kWanted;
}

int OpenArchiveFile() {
    EngineState& engine = Engine();
    if (engine.archive.file != nullptr) return 1;
    if (pending == Pending::kRefused) return 0;
    // A write beyond a file-size limit (ulimit -f, LimitFSIZE=) then fails with EFBIG, like one
    // to a full disk, instead of ending the relay with the signal.
    std::signal(SIGXFSZ, SIG_IGN);
    const std::string directory(engine.settings.saveDirectory.view());
    const std::string name = ArchiveFileName(archiveClock());
    const std::size_t extensionLength = ArchiveExtension(engine).size();
    std::string path;
    std::FILE* file = CreateArchive(directory, name, extensionLength, path);
    int reason = errno;
    if (file == nullptr && reason == ENOENT && !directory.empty()) {
        reason = CreateDirectories(directory);
        if (reason == 0) {
            file = CreateArchive(directory, name, extensionLength, path);
            reason = errno;
        }
    }
    if (file == nullptr) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot open %s: %s", path.c_str(),
                   std::strerror(reason));
        pending = Pending::kRefused;
        return 0;
    }
    pending = Pending::kNothing;
    engine.archive.file = file;
    engine.archive.dataBytes = 0;
    engine.archive.rate = 0;
    current = OpenArchive();
    current.path = path;
    if (engine.settings.saveAsWav) {
        FillWavHeader(engine, 0, kDefaultWavRate);
        return WriteToArchive(engine.archive.wavHeader, kWavHeaderBytes) ? 1 : 0;
    }
    return 1;
}

void AppendToArchive(const unsigned char* bytes, std::size_t byteCount) {
    if (byteCount == 0 || !OpensWithTheseBytes()) return;
    WriteToArchive(bytes, byteCount);
}

void CloseArchiveFile() {
    EngineState& engine = Engine();
    pending = Pending::kNothing;  // the next connection tries again
    if (engine.archive.file == nullptr) {
        current = OpenArchive();
        return;
    }
    const std::string path = ArchiveNameForLog();
    const int reason = CompleteAndClose(engine);
    if (reason != 0) {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot complete the archive %s: %s",
                   path.c_str(), std::strerror(reason));
    }
}

void WriteWavBlock(const float* samples, int frameCount, int sourceChannels, int sourceRate) {
    EngineState& engine = Engine();
    if (!engine.settings.saveAsWav || frameCount < 1 || sourceChannels < 1 ||
        !OpensWithTheseBytes()) {
        return;
    }
    // The header states one rate for the whole file.
    if (engine.archive.dataBytes > 0 && engine.archive.rate != sourceRate) BeginNextArchive();

    unsigned char pcm[kPcmChunkFrames * kWavBytesPerFrame];
    int written = 0;
    while (written < frameCount && engine.archive.file != nullptr) {
        const std::uint64_t roomFrames =
            (kWavDataLimit - engine.archive.dataBytes) / kWavBytesPerFrame;
        if (roomFrames == 0) {
            BeginNextArchive();
            continue;
        }
        int chunk = frameCount - written < kPcmChunkFrames ? frameCount - written : kPcmChunkFrames;
        if (static_cast<std::uint64_t>(chunk) > roomFrames) chunk = static_cast<int>(roomFrames);
        ConvertToPcm(samples + static_cast<std::ptrdiff_t>(written) * sourceChannels, chunk,
                     sourceChannels, pcm);
        if (!WriteToArchive(pcm, static_cast<std::size_t>(chunk) * kWavBytesPerFrame)) return;
        engine.archive.dataBytes += static_cast<std::uint64_t>(chunk) * kWavBytesPerFrame;
        engine.archive.rate = sourceRate;
        written += chunk;
    }
}
