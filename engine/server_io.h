// Waiting on the destination server: the login's reply, and what the sends and the login have in
// common. Every wait gives up on a stop request within a slice (kSocketWaitSliceMs), so a stop
// never waits for a server's 10-second time-out; the waits of a connection that is being made
// (the connect, the login, the delay before a reconnection) also give up when the transfer ends.
#pragma once

#include <chrono>
#include <string>

#include "common/run_control.h"

// True when a wait for a new connection (the connect, the login's sends and reply, the delay
// before a reconnection) should end now: a stop request, or the end of the transfer the waiting
// thread encodes for (on the output loop's thread, the end of its input; on a source's thread
// that encodes itself, transferEnding). Such a wait is no failure of the server's. Defined in
// output_loop.cpp, which knows the loop's thread.
bool ConnectionWaitCalledOff();

// The delay before a reconnection: waits on the output loop's queue until `until`. False, within
// a slice, once ConnectionWaitCalledOff. Defined in output_loop.cpp.
bool WaitBeforeReconnecting(std::chrono::steady_clock::time_point until);

// "host:port" of the stream connection, for log lines (connection.cpp).
std::string StreamAddress();

// How a login reply's reading ended. kCalledOff: ConnectionWaitCalledOff.
enum class ReplyEnd { kLineEnd, kFull, kClosed, kTimedOut, kCalledOff, kFailed };

struct LoginReply {
    std::string bytes;  // everything received, the line end included
    ReplyEnd end = ReplyEnd::kFailed;
    int error = 0;  // errno of a failed wait or receive
};

// Reads the server's answer to a login up to the end of its first line, so that an answer that
// arrives in pieces is read whole. Also ends at 1024 bytes without a line end, when the server
// closes the connection, after 10 seconds in all, or when the wait is called off.
LoginReply ReceiveLoginReply(int descriptor);
// The same reading, on into `reply` (which may hold the start of a line already), for `patience`
// at the most: for a login that first waits only a moment for its reply.
void ReceiveMoreLoginReply(int descriptor, LoginReply& reply, std::chrono::milliseconds patience);

// A refusal's rest (an HTTP server's headers and the page that gives its reason) is added to the
// reply, up to 1024 bytes in all, until the server closes the connection or a second passes.
void ReceiveRestOfRefusal(int descriptor, LoginReply& reply);

// The first line of a reply as it may be shown in a log line: without its line end, cut to a
// sensible length, control and zero bytes masked. Says so when there was no reply at all.
std::string QuotedReply(const LoginReply& reply);

// The words an HTTP refusal gives for itself: the text of its page without the markup, else its
// status line's reason phrase; masked and cut like QuotedReply. Empty when it gives none.
std::string RefusalReason(const LoginReply& reply);

// The reason of a failed send (its errno), in words.
std::string SendFailureText(int error);
