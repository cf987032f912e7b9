// Opening and configuring the line-in device, against a driver played by the test and against
// the real OSS calls on paths that are no sound device.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "engine/libzembril.h"
#include "engine/sound_device.h"
#include "tests/support/log_lines.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> errorTexts;

// A driver that answers each request as told: grant a value, or refuse (-1).
class ScriptedDevice final : public SoundDevice {
  public:
    static constexpr int kRefuse = -1;
    static constexpr int kDescriptor = 42;

    int grantedFormat = 16;
    int grantedChannels = 2;
    int grantedSpeed = 44100;
    std::vector<std::string> requests;

    int Open(const char* path) override {
        requests.push_back(std::string("open ") + path);
        return kDescriptor;
    }
    int SetFormat(int descriptor, int* value) override {
        return Answer("format", descriptor, value, grantedFormat);
    }
    int SetChannels(int descriptor, int* value) override {
        return Answer("channels", descriptor, value, grantedChannels);
    }
    int SetSpeed(int descriptor, int* value) override {
        return Answer("speed", descriptor, value, grantedSpeed);
    }

  private:
    int Answer(const char* name, int descriptor, int* value, int granted) {
        requests.push_back(std::string(name) + " " + std::to_string(*value) + " on " +
                           std::to_string(descriptor));
        if (granted == kRefuse) return -1;
        *value = granted;
        return 0;
    }
};

class LineInTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetEngineState();
        errorTexts.clear();
        Engine().sinks.error = [](const char* text) { errorTexts.emplace_back(text); };
        Engine().settings.lineInDevice.assign("/dev/dsp");
        Engine().settings.lineInSampleRate = 48000;  // never what the device is asked for
        ResetLogger();
        SetLogPath(logDir_.file("line_in.log").c_str());
    }
    void TearDown() override {
        SetSoundDevice(nullptr);
        if (Engine().lineInFd >= 0 && Engine().lineInFd != ScriptedDevice::kDescriptor) {
            close(Engine().lineInFd);
        }
        ResetEngineState();
        ResetLogger();
    }

    // Runs OpenLineInDevice and returns its result. Nothing may go to standard output but the
    // status sinks' lines; what went to standard error goes to `errorOutput`.
    int Open(std::string& errorOutput) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = OpenLineInDevice();
        errorOutput = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        return result;
    }
    // The Error lines of the log since the last call, as messages.
    std::vector<std::string> ErrorLines() {
        std::vector<std::string> errors;
        for (const std::string& message :
             LogMessagesOf(ReadWholeFile(logDir_.file("line_in.log")))) {
            if (message.starts_with("Error(")) errors.push_back(message);
        }
        SetLogPath(nullptr);
        WriteWholeFile(logDir_.file("line_in.log"), "");
        return errors;
    }

    TempDir logDir_;
};

// "Error(libzembril:N): Line-in device DEVICE: TEXT".
std::string LineInError(const std::string& device, const std::string& text) {
    return "Error(libzembril:N): Line-in device " + device + ": " + text;
}

TEST_F(LineInTest, ConfiguresSixteenBitStereoAt44100) {
    ScriptedDevice device;
    SetSoundDevice(&device);
    std::string errorOutput;
    EXPECT_EQ(Open(errorOutput), 1);
    EXPECT_EQ(errorOutput, "");
    EXPECT_TRUE(ErrorLines().empty());
    EXPECT_EQ(device.requests, (std::vector<std::string>{"open /dev/dsp", "format 16 on 42",
                                                         "channels 2 on 42", "speed 44100 on 42"}));
    EXPECT_EQ(Engine().lineInFd, ScriptedDevice::kDescriptor);
    EXPECT_EQ(Engine().settings.lineInFlag, 1);
    EXPECT_TRUE(errorTexts.empty());
}

struct RefusalCase {
    const char* name;
    int format;
    int channels;
    int speed;
    const char* expectedError;
    const char* expectedReason;    // in the Error line, after the status text
    std::size_t expectedRequests;  // open included; the first failure ends the attempt
};

TEST_F(LineInTest, FirstRefusedOrAlteredRequestFails) {
    constexpr int kRefuse = ScriptedDevice::kRefuse;
    const RefusalCase cases[] = {
        {"format refused", kRefuse, 2, 44100, "There was an error setting sample format!",
         "the driver refused the request", 2},
        {"8-bit format granted", 8, 2, 44100, "Could not set sample format to AFMT_S16_LE",
         "the driver granted 8 instead of 16", 2},
        {"channels refused", 16, kRefuse, 44100, "Could not set number of channels",
         "the driver refused the request", 3},
        {"one channel granted", 16, 1, 44100, "Could not set number of channels",
         "the driver granted 1 instead of 2", 3},
        {"rate refused", 16, 2, kRefuse, "Could not set sample rate",
         "the driver refused the request", 4},
        {"48000 Hz granted", 16, 2, 48000, "Could not set sample rate",
         "the driver granted 48000 instead of 44100", 4},
        {"44099 Hz granted", 16, 2, 44099, "Could not set sample rate",
         "the driver granted 44099 instead of 44100", 4},
    };
    for (const RefusalCase& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        errorTexts.clear();
        Engine().settings.lineInFlag = 0;
        ScriptedDevice device;
        device.grantedFormat = testCase.format;
        device.grantedChannels = testCase.channels;
        device.grantedSpeed = testCase.speed;
        SetSoundDevice(&device);
        std::string errorOutput;
        EXPECT_EQ(Open(errorOutput), 0);
        const std::string error =
            std::string(testCase.expectedError) + " (" + testCase.expectedReason + ")";
        EXPECT_EQ(ErrorLines(), std::vector<std::string>{LineInError("/dev/dsp", error)});
        EXPECT_EQ(errorOutput, "transcode: Line-in device /dev/dsp: " + error + "\n");
        EXPECT_EQ(errorTexts, std::vector<std::string>{testCase.expectedError});
        EXPECT_EQ(device.requests.size(), testCase.expectedRequests);
        EXPECT_EQ(Engine().settings.lineInFlag, 0);
        EXPECT_EQ(Engine().lineInFd, ScriptedDevice::kDescriptor);  // left open
    }
}

TEST_F(LineInTest, MissingDeviceIsReportedWithTheErrorNumber) {
    TempDir dir;
    const std::string path = dir.file("no-such-dsp");
    Engine().settings.lineInDevice.assign(path);
    std::string errorOutput;
    EXPECT_EQ(Open(errorOutput), 0);
    const std::string text =
        "There was an error opening the preferred Digital Audio In device! (" + path + ")";
    EXPECT_EQ(ErrorLines(), std::vector<std::string>{
                                LineInError(path, "cannot be opened: No such file or directory")});
    EXPECT_EQ(errorTexts, std::vector<std::string>{text});
    EXPECT_EQ(Engine().lineInFd, -1);
    EXPECT_EQ(Engine().settings.lineInFlag, 0);
}

TEST_F(LineInTest, FileThatIsNoSoundDeviceRefusesTheFormatRequest) {
    TempDir dir;
    const std::string path = dir.file("plain-file");
    WriteWholeFile(path, "not a sound card");
    Engine().settings.lineInDevice.assign(path);
    std::string errorOutput;
    EXPECT_EQ(Open(errorOutput), 0);
    const std::vector<std::string> errors = ErrorLines();
    ASSERT_EQ(errors.size(), 1u);
    // The system's reason for the refused request (ENOTTY: not a sound device) is in the line.
    EXPECT_TRUE(errors[0].starts_with(LineInError(
        path, "There was an error setting sample format! (the driver refused the request: ")))
        << errors[0];
    EXPECT_EQ(errorTexts, std::vector<std::string>{"There was an error setting sample format!"});
    EXPECT_GE(Engine().lineInFd, 0);
}

TEST_F(LineInTest, FailureWithoutErrorSinkIsStillAnErrorLine) {
    Engine().sinks.error = nullptr;
    ScriptedDevice device;
    device.grantedChannels = 1;
    SetSoundDevice(&device);
    std::string errorOutput;
    EXPECT_EQ(Open(errorOutput), 0);
    EXPECT_EQ(
        ErrorLines(),
        std::vector<std::string>{LineInError(
            "/dev/dsp", "Could not set number of channels (the driver granted 1 instead of 2)")});
}

}  // namespace
