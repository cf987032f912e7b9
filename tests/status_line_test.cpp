// The status line of the source's answer: only a successful final response is read, a new status
// line before the body starts the header afresh, and a refusal is said with the server's words.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/input_state.h"
#include "input/ziravorov.h"
#include "tests/support/input_session.h"

namespace {

using Lines = std::vector<std::string>;
using Texts = std::vector<std::string>;

class StatusTest : public InputSessionTest {};

struct StatusCase {
    const char* name;
    std::vector<Lines> responses;  // each one a header ended by a blank line
    const char* errorText;         // null: the last response is the stream's
    std::int32_t interval;
    bool vorbis;
};

const StatusCase kStatusCases[] = {
    {"NotFound",
     {{"HTTP/1.1 404 Not Found", "Content-Type: text/html"}},
     "Source request refused by the source: HTTP/1.1 404 Not Found",
     0,
     false},
    {"ServerError",
     {{"HTTP/1.0 500 Internal Server Error"}},
     "Source request refused by the source: HTTP/1.0 500 Internal Server Error",
     0,
     false},
    {"IcyRefusal",
     {{"ICY 401 Service Unavailable"}},
     "Source request refused by the source: ICY 401 Service Unavailable",
     0,
     false},
    // libcurl takes a 3xx without a Location for the final answer.
    {"RedirectWithoutLocation",
     {{"HTTP/1.1 302 Found", "Content-Type: text/html"}},
     "Source request refused by the source: HTTP/1.1 302 Found",
     0,
     false},
    {"RedirectWithBlankLocation",
     {{"HTTP/1.1 301 Moved Permanently", "Location: \t "}},
     "Source request refused by the source: HTTP/1.1 301 Moved Permanently",
     0,
     false},
    // A Location libcurl cannot read without the URL of the page it came from.
    {"RedirectWithoutABase",
     {{"HTTP/1.1 302 Found", "Location: /elsewhere"}},
     "Redirect from the source to an unusable location refused: \"/elsewhere\"",
     0,
     false},
    // libcurl follows the redirect; nothing of its header is the station's.
    {"RedirectFollowed",
     {{"HTTP/1.1 302 Found", "Content-Type: text/html", "icy-metaint:16",
       "Location: http://127.0.0.1:9/stream", "Location: http://127.0.0.1:9/second"},
      {"HTTP/1.0 200 OK", "Content-Type: audio/ogg"}},
     nullptr,
     8192,
     true},
    {"NoStatusCode",
     {{"HTTP/1.1 OK"}},
     "Source request refused by the source: HTTP/1.1 OK",
     0,
     false},
    {"MaskedStatusText",
     {{"HTTP/1.1 404 \x1b[31mGone"}},
     "Source request refused by the source: HTTP/1.1 404 ?[31mGone",
     0,
     false},
    {"IcyOk", {{"ICY 200 OK", "icy-metaint:4000"}}, nullptr, 4000, false},
    {"InterimResponse",
     {{"HTTP/1.1 100 Continue"}, {"HTTP/1.1 200 OK", "Content-Type: audio/ogg"}},
     nullptr,
     8192,
     true},
    {"ProxyTunnel",
     {{"HTTP/1.1 200 Connection established", "icy-metaint:16", "Content-Type: audio/ogg"},
      {"HTTP/1.0 200 OK", "icy-metaint:4000", "Content-Type: audio/mpeg"}},
     nullptr,
     4000,
     false},
    {"ProxyTunnelThenRefusal",
     {{"HTTP/1.1 200 Connection established"}, {"HTTP/1.1 403 Forbidden"}},
     "Source request refused by the source: HTTP/1.1 403 Forbidden",
     0,
     false},
};

void PrintTo(const StatusCase& c, std::ostream* out) {
    *out << c.name;
}

class StatusLineTest : public StatusTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusLineTest, OnlyASuccessfulFinalResponseIsRead) {
    const StatusCase& c = GetParam();
    bool accepted = true;
    for (const Lines& response : c.responses) accepted = accepted && FeedHeader(response);
    const InputState& input = Input();
    if (c.errorText != nullptr) {
        EXPECT_FALSE(accepted);
        EXPECT_NE(LogText().find(std::string("Error(ziravorov")), std::string::npos) << LogText();
        EXPECT_NE(LogText().find(c.errorText), std::string::npos) << LogText();
        EXPECT_FALSE(input.headerDone);
        EXPECT_TRUE(Reported("inputStatus").empty());
        return;
    }
    ASSERT_TRUE(accepted);
    ASSERT_TRUE(StartBody());
    EXPECT_TRUE(input.headerDone);
    EXPECT_EQ(input.MetaInterval, c.interval);
    EXPECT_EQ(input.inputIsVorbis, c.vorbis);
    EXPECT_EQ(input.ringBuffer.capacity(), 20ull * c.interval);
    EXPECT_EQ(Reported("inputStatus"), Texts{"Connected"});
    EXPECT_EQ(LogText().find("Error(ziravorov"), std::string::npos) << LogText();
}

INSTANTIATE_TEST_SUITE_P(Responses, StatusLineTest, ::testing::ValuesIn(kStatusCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StatusTest, InlineHeaderWithAFailureStatusEndsTheTransfer) {
    const std::string body =
        "ICY 404 Not Found\r\nicy-metaint:8192\r\n\r\n" + std::string(100, 'a');
    EXPECT_EQ(FeedBody(body, body.size()), 0u);
    EXPECT_NE(LogText().find("Source request refused by the source: ICY 404 Not Found"),
              std::string::npos)
        << LogText();
    EXPECT_FALSE(Input().headerDone);
    EXPECT_EQ(Reported("inputStatus"), Texts{"Reading input header..."});
}

}  // namespace
