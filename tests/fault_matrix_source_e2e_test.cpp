// The fault matrix, source side, against the real `transcode` program: a source that resets the
// connection in the middle of an audio block, stalls, sends a header line without an end, answers
// with a redirect back to itself (a loop, refused before libcurl goes round), or sends garbage.
// Each run ends with "Done" and exit status 1 within its bound, says why on standard error where
// the source failed, leaves whole archives that begin with what the destination read, and leaves no
// descriptor open.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "tests/support/fault_run.h"
#include "tests/support/mock_server.h"
#include "tests/support/mp3_fixture.h"
#include "tests/support/paced_source.h"
#include "tests/support/stream_feed.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRunTimeoutMs = 40000;
constexpr int kMetaInterval = 8192;
const std::string kIcyHeader = "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-metaint: " +
                               std::to_string(kMetaInterval) + "\r\n\r\n";

// Three and a half audio blocks of a station with titles: the answer stops inside a block.
std::string CutStation() {
    PacedSourceOptions options;
    options.metaInterval = kMetaInterval;
    options.titles = {{0, "Cut - Short"}};
    const std::string body =
        PacedSource::IcyBody(MakeMp3Tone(Mp3Format{44100, 2, 5.0, 440.0}), options);
    return kIcyHeader + body.substr(0, 3 * (kMetaInterval + 33) + kMetaInterval / 2);
}

std::string Garbage(std::size_t size) {
    std::mt19937 noise(14);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(noise() & 0xff);
    return bytes;
}

enum class Then { kClose, kStayOpen, kReset };

struct SourceFault {
    const char* name;
    std::string reply;           // the source's answer to the request
    Then then;                   // after the answer; kReset once the destination has audio
    const char* reason;          // on standard error after "transcode: "; null when none is due
    bool relaysAudio;            // the destination gets the station's audio, not only a flush
    std::chrono::seconds bound;  // the run ends within this from its start
};

void PrintTo(const SourceFault& c, std::ostream* out) {
    *out << c.name;
}

const SourceFault kSourceFaults[] = {
    {"ResetMidBlock", CutStation(), Then::kReset,
     "Source transfer from URL failed: Recv failure: Connection reset by peer", true, 15s},
    // Under 20 bytes/s for 5 s.
    {"Stall", CutStation(), Then::kStayOpen, "Source transfer from URL failed: Operation too slow",
     true, 20s},
    {"EndlessHeaderLine", "HTTP/1.0 200 OK\r\nicy-name: " + std::string(300000, 'x'),
     Then::kStayOpen, "Source transfer from URL failed: ", false, 15s},
    {"RedirectLoop", "HTTP/1.0 302 Found\r\nLocation: /stream\r\n\r\n", Then::kClose,
     "Redirect loop at URL: ", false, 10s},
    {"GarbageBody", kIcyHeader + Garbage(200000), Then::kClose, nullptr, false, 15s},
    {"GarbageInsteadOfAnAnswer", Garbage(200000), Then::kClose, nullptr, false, 15s},
};

class SourceFaultTest : public ::testing::TestWithParam<SourceFault> {
  protected:
    TempDir dir_;
};

TEST_P(SourceFaultTest, RunEndsWithDoneAndWholeArchives) {
    const SourceFault& c = GetParam();
    MockServer source;
    source.SetReply(c.reply);
    source.SetCloseAfterReply(c.then == Then::kClose);
    MockServer destination;
    destination.SetReply("HTTP/1.0 200 OK\r\n\r\n");
    const std::string url = "http://127.0.0.1:" + std::to_string(source.port()) + "/stream";
    const auto started = std::chrono::steady_clock::now();
    FaultRun run(dir_, FaultRunSettings(dir_, url, destination.port()), kRunTimeoutMs);

    if (c.then == Then::kReset) {
        ASSERT_TRUE(destination.WaitForBytes(0, 2000, 15000)) << run.Shown();
        source.ResetAll();
    }
    const ChildResult& result = run.Finish();
    EXPECT_LT(std::chrono::steady_clock::now() - started, c.bound);

    EXPECT_TRUE(EndedWithDone(result)) << run.Shown();
    EXPECT_EQ(result.signalNumber, 0);
    if (c.reason != nullptr) {
        std::string reason = c.reason;
        reason.replace(reason.find("URL"), 3, url);
        EXPECT_NE(result.err.find("transcode: " + reason), std::string::npos) << run.Shown();
    }
    EXPECT_EQ(run.LeftOpen(), std::vector<std::string>{});
    ASSERT_TRUE(destination.WaitForClosed(0, 5000));
    const std::vector<std::string> archives = ArchiveFiles(dir_);
    // The archive opens with the connection, before any audio: one per run, whole, holding what
    // the destination got. Without audio from the source that is only the encoder's last frames.
    ASSERT_EQ(archives.size(), 1u);
    const std::string sent = AfterLogin(destination.Received(0));
    ExpectWholeMp3Archive(archives[0], sent);
    const std::size_t frames = Mp3Frames(sent).size();
    if (c.relaysAudio) {
        EXPECT_GT(frames, 2u);
    } else {
        EXPECT_LE(frames, 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, SourceFaultTest, ::testing::ValuesIn(kSourceFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
