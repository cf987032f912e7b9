// Waiting on the destination server: the login's reply, and what the sends and the login have in
// common. Every wait gives up on a stop request within a slice (kSocketWaitSliceMs), so a stop
// never waits for a server's 10-second time-out.
#pragma once

#include <string>

// True once the front end has asked the run to stop.
bool StopRequested();

// "host:port" of the stream connection, for log lines (connection.cpp).
std::string StreamAddress();

// How a login reply's reading ended.
enum class ReplyEnd { kLineEnd, kFull, kClosed, kTimedOut, kStopped, kFailed };

struct LoginReply {
    std::string bytes;  // everything received, the line end included
    ReplyEnd end = ReplyEnd::kFailed;
    int error = 0;  // errno of a failed wait or receive
};

// Reads the server's answer to a login up to the end of its first line, so that an answer that
// arrives in pieces is read whole. Also ends at 1024 bytes without a line end, when the server
// closes the connection, after 10 seconds in all, or on a stop request.
LoginReply ReceiveLoginReply(int descriptor);

// The first line of a reply as it may be shown in a log line: without its line end, cut to a
// sensible length, control and zero bytes masked. Says so when there was no reply at all.
std::string QuotedReply(const LoginReply& reply);

// The reason of a failed send (its errno), in words.
std::string SendFailureText(int error);
