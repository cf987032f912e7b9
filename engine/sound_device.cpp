#include "engine/sound_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if __has_include(<sys/soundcard.h>)
#include <sys/soundcard.h>
#else
#include <linux/soundcard.h>
#endif

static_assert(AFMT_S16_LE == kFormatS16LittleEndian);

namespace {

class OssSoundDevice final : public SoundDevice {
  public:
    int Open(const char* path) override { return open(path, O_RDONLY); }
    int SetFormat(int descriptor, int* value) override {
        return Request(descriptor, SNDCTL_DSP_SETFMT, value);
    }
    int SetChannels(int descriptor, int* value) override {
        return Request(descriptor, SNDCTL_DSP_CHANNELS, value);
    }
    int SetSpeed(int descriptor, int* value) override {
        return Request(descriptor, SNDCTL_DSP_SPEED, value);
    }

  private:
    static int Request(int descriptor, unsigned long request, int* value) {
        return ioctl(descriptor, request, value) == -1 ? -1 : 0;
    }
};

OssSoundDevice ossDevice;
SoundDevice* activeDevice = &ossDevice;

}  // namespace

SoundDevice& ActiveSoundDevice() {
    return *activeDevice;
}

void SetSoundDevice(SoundDevice* device) {
    activeDevice = device != nullptr ? device : &ossDevice;
}
