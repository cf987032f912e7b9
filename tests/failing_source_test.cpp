// Sources that fail, fetched through libcurl as a run does: each one ends the transfer (or works)
// as it should, and an operator reading the log at the Error level learns why.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "engine/libzembril.h"
#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/engine_session.h"
#include "tests/support/input_session.h"
#include "tests/support/log_lines.h"
#include "tests/support/mock_server.h"
#include "tests/support/ogg_fixture.h"
#include "tests/support/opus_fixture.h"

// Names under ".invalid" do not resolve, and are answered here instead of by the system's name
// server: the tests send nothing beyond the loopback interface.
extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** result) {
    using Resolver = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    const std::size_t length = node != nullptr ? std::strlen(node) : 0;
    if (length >= 8 && std::strcmp(node + length - 8, ".invalid") == 0) return EAI_NONAME;
    static const auto next = reinterpret_cast<Resolver>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return next(node, service, hints, result);
}

namespace {

using Texts = std::vector<std::string>;

std::string OggBody() {
    static const std::string ogg = MakeOggVorbisWithComments({"ARTIST=A", "TITLE=T"}, 44100);
    return ogg;
}

std::string OpusBody() {
    static const std::string opus = MakeOggOpus({{48000, 2, 48000, 440.0, 0.5f, {"TITLE=T"}}});
    return opus;
}

// A FLAC link in Ogg, longer than the input buffer holds (as NotOgg below), then Vorbis.
std::string FlacInOggBody() {
    std::vector<std::string> packets(800, std::string(400, 'f'));
    packets.front() = kOggFlacFirstPacket;
    return OggLinkOfPackets(3, packets) + OggBody();
}

struct SourceCase {
    const char* name;
    std::string reply;      // sent once the request arrives; "" for the URL cases
    std::string url;        // "" for the mock source; "REFUSED" for a port nobody listens on
    bool closeAfterReply;   // false: the connection stays open and silent (a stall)
    const char* errorText;  // expected in an Error line; null: the source works
    const char* runEnd;     // how the last Error line, which ends the run, says the source ended

    // The rate decoded and the stream types reported by a source that works.
    int decodedRate = 44100;
    Texts inputStreamTypes = {"Vorbis"};
};

void PrintTo(const SourceCase& c, std::ostream* out) {
    *out << c.name;
}

const std::string kOggHeader = "HTTP/1.0 200 OK\r\nContent-Type: audio/ogg\r\n\r\n";

const SourceCase kSourceCases[] = {
    {"NotFound", "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>Gone</html>", "",
     true, "Source request refused by http://127.0.0.1:PORT/stream: HTTP/1.0 404 Not Found",
     "was given up (the Error line before says why) before any audio was relayed"},
    {"ServerError", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n\r\noops!", "",
     true,
     "Source request refused by http://127.0.0.1:PORT/stream: HTTP/1.1 500 Internal Server Error",
     "was given up (the Error line before says why) before any audio was relayed"},
    {"ConnectionRefused", "", "REFUSED", true,
     "Source transfer from http://127.0.0.1:PORT/stream failed: Failed to connect to 127.0.0.1 "
     "port PORT",
     "failed (Failed to connect to 127.0.0.1 port PORT"},
    {"UnknownHost", "", "http://unknown-host.invalid/stream", true,
     "Source transfer from http://unknown-host.invalid/stream failed: Could not resolve host: "
     "unknown-host.invalid",
     "failed (Could not resolve host: unknown-host.invalid) before any audio was relayed"},
    {"Stall", "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n" + std::string(100, '\xff'), "",
     false, "Source transfer from http://127.0.0.1:PORT/stream failed: Operation too slow",
     "failed (Operation too slow"},
    {"BadLengthByte",
     "HTTP/1.0 200 OK\r\nicy-metaint:16\r\nContent-Type: audio/mpeg\r\n\r\n" +
         std::string(16, 'a') + "\xC8" + std::string(4000, 'z'),
     "", true,
     "Metadata ERROR! After an audio block, length byte 200 is followed by \"zzzzzzzzzzzzzzzz\"",
     "was given up (the Error line before says why) before any audio was relayed"},
    {"UnknownContentType",
     "HTTP/1.0 200 OK\r\nContent-Type: audio/flac\r\n\r\n" + std::string(99, 'a'), "", true,
     "Unknown content type \"audio/flac\" from http://127.0.0.1:PORT/stream",
     "was given up (the Error line before says why) before any audio was relayed"},
    // More than the input buffer holds: the transfer ends when the decoder refuses it.
    {"NotOgg", kOggHeader + std::string(300000, 'x'), "", true,
     "The Ogg source cannot be opened: it does not begin with an Ogg page (its first bytes "
     "are \"xxxx\")",
     "was given up (the Error line before says why) before any audio was relayed"},
    {"AudioOgg", kOggHeader + OggBody(), "", true, nullptr, nullptr},
    // Ogg Opus under either type: the first packet, not the type, chooses the decoder.
    {"OpusAsAudioOgg",
     kOggHeader + OpusBody(),
     "",
     true,
     nullptr,
     nullptr,
     48000,
     {"Vorbis", "Opus"}},
    {"OpusAsAudioOpus",
     "HTTP/1.0 200 OK\r\nContent-Type: audio/opus\r\n\r\n" + OpusBody(),
     "",
     true,
     nullptr,
     nullptr,
     48000,
     {"Vorbis", "Opus"}},
    {"FlacInOgg", kOggHeader + FlacInOggBody(), "", true,
     "The Ogg source carries FLAC, which is neither Vorbis nor Opus",
     "was given up (the Error line before says why) before any audio was relayed"},
    {"LowerCaseContentType", "HTTP/1.0 200 OK\r\ncontent-type:application/ogg\r\n\r\n" + OggBody(),
     "", true, nullptr, nullptr},
    {"ProxyBlockBeforeTheHeader",
     "HTTP/1.1 200 Connection established\r\n\r\n" + kOggHeader + OggBody(), "", true, nullptr,
     nullptr},
    {"InterimResponseFirst", "HTTP/1.1 100 Continue\r\n\r\n" + kOggHeader + OggBody(), "", true,
     nullptr, nullptr},
};

std::string WithPort(std::string text, std::uint16_t port) {
    for (std::size_t at = text.find("PORT"); at != std::string::npos; at = text.find("PORT")) {
        text.replace(at, 4, std::to_string(port));
    }
    return text;
}

class FailingSourceTest : public MockDestinationInputTest,
                          public ::testing::WithParamInterface<SourceCase> {};

TEST_P(FailingSourceTest, EndsOrWorksAndSaysWhy) {
    const SourceCase& c = GetParam();
    MockServer source;
    source.SetReply(c.reply);
    source.SetCloseAfterReply(c.closeAfterReply);
    std::string url = c.url.empty() || c.url == "REFUSED"
                          ? "http://127.0.0.1:" + std::to_string(source.port()) + "/stream"
                          : c.url;
    const std::uint16_t port = source.port();
    if (c.url == "REFUSED") source.Stop();

    Engine().settings.sourceUrl.assign(url);
    EXPECT_EQ(StartTranscoding(), 1);
    const std::string log = LogText();
    EXPECT_EQ(Reported("mainStatus").back(), "Done");
    if (c.errorText == nullptr) {
        // The one Error line says why the run ended: the station closed its stream.
        const std::vector<std::string> errors = ErrorMessagesOf(log);
        ASSERT_EQ(errors.size(), 1u) << log;
        EXPECT_TRUE(IsClosedSourceRunEnd(errors[0], url)) << errors[0];
        EXPECT_GT(DecodedFrames(), 44100u / 2);
        EXPECT_EQ(DecodedRate(), c.decodedRate);
        EXPECT_EQ(Reported("inputStreamType"), c.inputStreamTypes);
        return;
    }
    const std::string expected = WithPort(c.errorText, port);
    EXPECT_NE(log.find("Error(ziravorov"), std::string::npos) << log;
    EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
    const std::vector<std::string> errors = ErrorMessagesOf(log);
    ASSERT_GE(errors.size(), 2u) << log;
    const std::string runEnd =
        WithPort("Error(ziravorov:N): The run ends: the source " + url + " " + c.runEnd, port);
    EXPECT_EQ(errors.back().rfind(runEnd, 0), 0u) << runEnd << "\n" << log;
    EXPECT_EQ(log.find("Hey, but circular buffer"), std::string::npos) << log;
    EXPECT_EQ(DecodedFrames(), 0u);
    // A failed request is never taken for a stream.
    if (c.name != std::string("BadLengthByte") && c.name != std::string("Stall") &&
        c.name != std::string("NotOgg") && c.name != std::string("FlacInOgg")) {
        EXPECT_TRUE(Reported("inputStatus") == Texts{"Connecting..."})
            << ::testing::PrintToString(Reported("inputStatus"));
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, FailingSourceTest, ::testing::ValuesIn(kSourceCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
