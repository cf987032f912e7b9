// Opening and configuring the line-in recording device: 16-bit little-endian stereo at 44100 Hz.
// No audio is read from it; the descriptor stays open for the rest of the process.
//
// Each failure is one Error line (log file and standard error) that names the device and the
// driver's answer, and its status text on errorSink.
#include <cerrno>
#include <cstring>
#include <string>

#include "common/log.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"
#include "engine/sound_device.h"

namespace {

constexpr int kLineInChannels = 2;
constexpr int kLineInRate = 44100;  // asked for whatever lineInSampleRate says

// The Error line names the device and what went wrong; the status line keeps its short text.
int FailWith(const std::string& status, const std::string& error) {
    LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Line-in device %s: %s",
               PrintableText(Engine().settings.lineInDevice.view()).c_str(), error.c_str());
    Report(Engine().sinks.error, status.c_str());
    return 0;
}

int FailWith(const char* status, const std::string& reason) {
    return FailWith(std::string(status), std::string(status) + " (" + reason + ")");
}

// The driver's answer to one request for a value.
struct Answer {
    enum Outcome { kGranted, kRefused, kAltered } outcome = kGranted;
    std::string reason;  // why it was not granted, in words for the Error line
};

// Asks for `wanted` (the request passes it in and receives the granted value back).
template <typename Request>
Answer Ask(Request request, int wanted) {
    int value = wanted;
    errno = 0;
    if (request(&value) == -1) {
        const int errorNumber = errno;
        std::string reason = "the driver refused the request";
        if (errorNumber != 0) reason += std::string(": ") + std::strerror(errorNumber);
        return {Answer::kRefused, reason};
    }
    if (value == wanted) return {};
    return {Answer::kAltered, "the driver granted " + std::to_string(value) + " instead of " +
                                  std::to_string(wanted)};
}

}  // namespace

int OpenLineInDevice() {
    EngineState& engine = Engine();
    SoundDevice& device = ActiveSoundDevice();
    LogMessage(LOG_INFO, kLogEngine, __LINE__, "Opening the line-in device %s",
               PrintableText(engine.settings.lineInDevice.view()).c_str());

    engine.lineInFd = device.Open(engine.settings.lineInDevice.c_str());
    if (engine.lineInFd < 0) {
        const int errorNumber = errno;
        return FailWith("There was an error opening the preferred Digital Audio In device! (" +
                            std::string(engine.settings.lineInDevice.view()) + ")",
                        std::string("cannot be opened: ") + std::strerror(errorNumber));
    }
    const int fd = engine.lineInFd;

    const Answer format =
        Ask([&](int* value) { return device.SetFormat(fd, value); }, kFormatS16LittleEndian);
    if (format.outcome == Answer::kRefused) {
        return FailWith("There was an error setting sample format!", format.reason);
    }
    if (format.outcome == Answer::kAltered) {
        return FailWith("Could not set sample format to AFMT_S16_LE", format.reason);
    }
    const Answer channels =
        Ask([&](int* value) { return device.SetChannels(fd, value); }, kLineInChannels);
    if (channels.outcome != Answer::kGranted) {
        return FailWith("Could not set number of channels", channels.reason);
    }
    const Answer rate = Ask([&](int* value) { return device.SetSpeed(fd, value); }, kLineInRate);
    if (rate.outcome != Answer::kGranted) return FailWith("Could not set sample rate", rate.reason);
    engine.settings.lineInFlag = 1;
    return 1;
}
