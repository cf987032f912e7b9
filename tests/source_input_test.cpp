// The run around the transfer: connecting the output first, the line-in branch, and how transfers
// that never bring a stream end.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/libzembril.h"
#include "engine/sound_device.h"
#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/engine_session.h"
#include "tests/support/input_session.h"
#include "tests/support/mock_server.h"

namespace {

using Texts = std::vector<std::string>;

// A driver that grants every request.
class GrantingDevice : public SoundDevice {
  public:
    int Open(const char*) override { return 99; }
    int SetFormat(int, int*) override { return 0; }
    int SetChannels(int, int*) override { return 0; }
    int SetSpeed(int, int*) override { return 0; }
};

class SourceInputTest : public InputSessionTest {
  protected:
    void SetUp() override {
        InputSessionTest::SetUp();
        destination_ = std::make_unique<MockServer>();
        destination_->SetReply("HTTP/1.0 200 OK\r\n\r\n");
        ConfigureDestination(ServerKind::kIcecast2, destination_->port());
        Engine().settings.lineInSampleRate = 44100;
        Engine().settings.lineInDevice.assign("/nonexistent/dsp");
    }
    void TearDown() override {
        SetSoundDevice(nullptr);
        InputSessionTest::TearDown();
        destination_.reset();
    }
    static int Run(const std::string& url) {
        Engine().settings.sourceUrl.assign(url);
        return StartTranscoding();
    }

    std::unique_ptr<MockServer> destination_;
};

TEST_F(SourceInputTest, UnreachableDestinationNeverOpensTheSource) {
    MockServer source;
    const std::string url = "http://127.0.0.1:" + std::to_string(source.port()) + "/";
    destination_.reset();  // nothing listens there any more
    EXPECT_EQ(Run(url), 1);
    EXPECT_EQ(Reported("mainStatus"),
              (Texts{"Connecting To Output Stream", "Failed Connecting To Output Stream"}));
    EXPECT_TRUE(Reported("inputStatus").empty());
    EXPECT_EQ(source.ConnectionCount(), 0u);
}

TEST_F(SourceInputTest, LineInReportsTheDeviceAndKeepsTheConnection) {
    GrantingDevice device;
    SetSoundDevice(&device);
    EXPECT_EQ(Run("linein"), 1);
    EXPECT_EQ(Reported("inputStatus"), (Texts{"Input device opened...", "Recording from linein"}));
    EXPECT_EQ(Reported("inputServerType"), Texts{"Line-In"});
    EXPECT_EQ(Reported("inputStreamType"), Texts{"PCM"});
    EXPECT_EQ(Reported("inputBitrate"), Texts{"44100Hz/Stereo PCM"});
    EXPECT_EQ(Engine().titles.current.view(), "Test Radio");
    EXPECT_EQ(Engine().titles.sourceDescription.view(), "44100Hz/Stereo PCM");
    EXPECT_EQ(Reported("mainStatus"), (Texts{"Connecting To Output Stream", "Done"}));
    EXPECT_EQ(Engine().destination.connected.load(), 1);
}

TEST_F(SourceInputTest, LineInWithoutDeviceEndsTheRun) {
    EXPECT_EQ(Run("linein"), 1);
    EXPECT_EQ(Reported("inputStatus"), Texts{"Fail to open input device"});
    EXPECT_EQ(Reported("mainStatus").back(), "Done");
}

struct EndlessCase {
    const char* name;
    std::string url;
};

void PrintTo(const EndlessCase& c, std::ostream* out) {
    *out << c.name;
}

class TransferWithoutStreamTest : public SourceInputTest,
                                  public ::testing::WithParamInterface<EndlessCase> {};

// Only the exact word selects the line input; anything else goes to libcurl as a URL.
TEST_P(TransferWithoutStreamTest, EndsWithTheTeardown) {
    EXPECT_EQ(Run(GetParam().url), 1);
    EXPECT_EQ(Reported("mainStatus"),
              (Texts{"Connecting To Output Stream", "Connecting To Input", "Done"}));
    EXPECT_EQ(Reported("inputStatus"), Texts{"Connecting..."});
    EXPECT_EQ(Reported("inputStreamUrl"), Texts{GetParam().url});
    EXPECT_EQ(Engine().destination.connected.load(), 0);  // disconnected by the teardown
    EXPECT_EQ(Input().curlHandle.get(), nullptr);
    EXPECT_FALSE(Input().ringBuffer.hasStorage());
}

const EndlessCase kEndlessCases[] = {
    {"LineInInOtherCase", "LineIn"},
    {"LineInWithBlank", "linein "},
    {"MalformedUrl", "http//what"},
    {"RefusedConnection", "http://127.0.0.1:1/"},
};

INSTANTIATE_TEST_SUITE_P(Urls, TransferWithoutStreamTest, ::testing::ValuesIn(kEndlessCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// A SIGINT/SIGTERM during start-up is not forgotten when the run begins: a source that never
// answers would otherwise hold the run until a second signal killed the process.
TEST_F(SourceInputTest, StopRequestedBeforeTheRunEndsItAtOnce) {
    MockServer source;
    source.SetReply("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n" + std::string(1000, 'x'));
    Control().stopRequested.store(1);
    EXPECT_EQ(Run("http://127.0.0.1:" + std::to_string(source.port()) + "/"), 1);
    EXPECT_EQ(Reported("mainStatus").back(), "Done");
    EXPECT_EQ(InputBytesReported(), 0u);  // not a byte of the body was taken
    EXPECT_EQ(Engine().destination.connected.load(), 0);
}
