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
#include "tests/support/mock_server.h"
#include "tests/support/ogg_fixture.h"

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

struct SourceCase {
    const char* name;
    std::string reply;      // sent once the request arrives; "" for the URL cases
    std::string url;        // "" for the mock source; "REFUSED" for a port nobody listens on
    bool closeAfterReply;   // false: the connection stays open and silent (a stall)
    const char* errorText;  // expected in an Error line; null: the source works
};

void PrintTo(const SourceCase& c, std::ostream* out) {
    *out << c.name;
}

const std::string kOggHeader = "HTTP/1.0 200 OK\r\nContent-Type: audio/ogg\r\n\r\n";

const SourceCase kSourceCases[] = {
    {"NotFound", "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>Gone</html>", "",
     true, "Source request refused by http://127.0.0.1:PORT/stream: HTTP/1.0 404 Not Found"},
    {"ServerError", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\n\r\noops!", "",
     true,
     "Source request refused by http://127.0.0.1:PORT/stream: HTTP/1.1 500 Internal Server Error"},
    {"ConnectionRefused", "", "REFUSED", true,
     "Source transfer from http://127.0.0.1:PORT/stream failed: Failed to connect to 127.0.0.1 "
     "port PORT"},
    {"UnknownHost", "", "http://unknown-host.invalid/stream", true,
     "Source transfer from http://unknown-host.invalid/stream failed: Could not resolve host: "
     "unknown-host.invalid"},
    {"Stall", "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n" + std::string(100, '\xff'), "",
     false, "Source transfer from http://127.0.0.1:PORT/stream failed: Operation too slow"},
    {"BadLengthByte",
     "HTTP/1.0 200 OK\r\nicy-metaint:16\r\nContent-Type: audio/mpeg\r\n\r\n" +
         std::string(16, 'a') + "\xC8" + std::string(4000, 'z'),
     "", true,
     "Metadata ERROR! After an audio block, length byte 200 is followed by \"zzzzzzzzzzzzzzzz\""},
    {"UnknownContentType",
     "HTTP/1.0 200 OK\r\nContent-Type: audio/aacp\r\n\r\n" + std::string(99, 'a'), "", true,
     "Unknown content type \"audio/aacp\" from http://127.0.0.1:PORT/stream"},
    {"AudioOgg", kOggHeader + OggBody(), "", true, nullptr},
    {"LowerCaseContentType", "HTTP/1.0 200 OK\r\ncontent-type:application/ogg\r\n\r\n" + OggBody(),
     "", true, nullptr},
    {"ProxyBlockBeforeTheHeader",
     "HTTP/1.1 200 Connection established\r\n\r\n" + kOggHeader + OggBody(), "", true, nullptr},
    {"InterimResponseFirst", "HTTP/1.1 100 Continue\r\n\r\n" + kOggHeader + OggBody(), "", true,
     nullptr},
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

    Engine().sourceUrl.assign(url);
    EXPECT_EQ(StartTranscoding(), 1);
    const std::string log = LogText();
    EXPECT_EQ(Reported("mainStatus").back(), "Done");
    if (c.errorText == nullptr) {
        EXPECT_EQ(log.find("Error("), std::string::npos) << log;
        EXPECT_GT(DecodedFrames(), 44100u / 2);
        EXPECT_EQ(DecodedRate(), 44100);
        EXPECT_EQ(Reported("inputStreamType"), Texts{"Vorbis"});
        return;
    }
    const std::string expected = WithPort(c.errorText, port);
    EXPECT_NE(log.find("Error(ziravorov"), std::string::npos) << log;
    EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
    EXPECT_EQ(log.find("Hey, but circular buffer"), std::string::npos) << log;
    EXPECT_EQ(DecodedFrames(), 0u);
    // A failed request is never taken for a stream.
    if (c.name != std::string("BadLengthByte") && c.name != std::string("Stall")) {
        EXPECT_TRUE(Reported("inputStatus") == Texts{"Connecting..."})
            << ::testing::PrintToString(Reported("inputStatus"));
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, FailingSourceTest, ::testing::ValuesIn(kSourceCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
