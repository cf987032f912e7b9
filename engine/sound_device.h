// The sound card's recording device, as the line-in set-up uses it.
//
// The set-up asks the driver for a sample format, a channel count and a rate, in that order, and
// checks what was granted. The requests go through SoundDevice so that tests can play a driver
// that grants or refuses each of them; the process uses the OSS device (open + ioctl).
#pragma once

class SoundDevice {
  public:
    virtual ~SoundDevice() = default;
    // Opens the device read-only: the descriptor, or -1 with errno set.
    virtual int Open(const char* path) = 0;
    // Each request passes the wanted value in *value and receives the granted one there.
    // 0 when the driver answered, -1 when it refused the request.
    virtual int SetFormat(int descriptor, int* value) = 0;
    virtual int SetChannels(int descriptor, int* value) = 0;
    virtual int SetSpeed(int descriptor, int* value) = 0;
};

// The device the line-in set-up talks to.
SoundDevice& ActiveSoundDevice();
// Puts another device in place; null goes back to the OSS device. For tests.
void SetSoundDevice(SoundDevice* device);

// The OSS value of 16-bit signed little-endian samples.
inline constexpr int kFormatS16LittleEndian = 16;
