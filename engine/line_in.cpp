// Opening and configuring the line-in recording device: 16-bit little-endian stereo at 44100 Hz.
// No audio is read from it; the descriptor stays open for the rest of the process.
#include <cerrno>
#include <cstdio>

#include "engine/libzembril.h"
#include "engine/sound_device.h"

namespace {

constexpr int kLineInChannels = 2;
constexpr int kLineInRate = 44100;  // asked for whatever lineInSampleRate says

int FailWith(const char* text) {
    Report(Engine().errorSink, text);
    return 0;
}

int ReportOpenFailure(const char* devicePath, int errorNumber) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "There was an error opening the preferred Digital Audio In device! (%s)",
                  devicePath);
    std::printf("%s - %d\n", text, errorNumber);
    std::fflush(stdout);
    return FailWith(text);
}

}  // namespace

int OpenLineInDevice() {
    EngineState& engine = Engine();
    SoundDevice& device = ActiveSoundDevice();
    std::printf("Going to open advanced recording device\n");
    std::fflush(stdout);

    engine.lineInFd = device.Open(engine.lineInDevice.c_str());
    if (engine.lineInFd < 0) {
        const int errorNumber = errno;
        return ReportOpenFailure(engine.lineInDevice.c_str(), errorNumber);
    }

    int format = kFormatS16LittleEndian;
    if (device.SetFormat(engine.lineInFd, &format) == -1) {
        return FailWith("There was an error setting sample format!");
    }
    if (format != kFormatS16LittleEndian)
        return FailWith("Could not set sample format to AFMT_S16_LE");

    int channels = kLineInChannels;
    if (device.SetChannels(engine.lineInFd, &channels) == -1 || channels != kLineInChannels) {
        return FailWith("Could not set number of channels");
    }
    int rate = kLineInRate;
    if (device.SetSpeed(engine.lineInFd, &rate) == -1 || rate != kLineInRate) {
        return FailWith("Could not set sample rate");
    }
    engine.lineInFlag = 1;
    return 1;
}
