// The two send paths every byte to a server goes through, and the reading of a login reply.
//
// Sends use MSG_DONTWAIT and wait for room with poll, in slices: a destination that stops
// reading costs at most the 10-second time-out (measured from the last byte it took), and a stop
// request ends the wait at once instead of restarting the time-out as a send interrupted by the
// signal would. Since a send waits only once the buffers on both sides are full, the sends of the
// stream also look after each send at what the destination has acknowledged (send_progress.h).
#include "engine/server_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include "common/socket.h"
#include "common/station_metrics.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"
#include "engine/supervisor_notify.h"

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;  // a closed peer gives EPIPE, never SIGPIPE
#else
constexpr int kSendFlags = MSG_DONTWAIT;  // the BSD build relies on SIGPIPE being ignored
#endif

constexpr std::size_t kLoginReplyBytes = 1024;
constexpr std::size_t kQuotedReplyChars = 200;
// How long a refusal's rest may take to arrive after its status line (Icecast sends its reason
// right behind it and closes the connection).
constexpr auto kRefusalRestWait = std::chrono::seconds(1);

// Text of a server as a log line or a status may show it: cut to a sensible length, zero and
// control bytes masked.
std::string ShownText(std::string text) {
    if (text.size() > kQuotedReplyChars) text.resize(kQuotedReplyChars);
    std::replace(text.begin(), text.end(), '\0', '?');
    return PrintableText(text);
}

// Where an HTTP reply's body begins, after the empty line that ends its headers (either line end).
std::size_t BodyStart(const std::string& bytes) {
    const std::size_t crlf = bytes.find("\r\n\r\n");
    const std::size_t lf = bytes.find("\n\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return crlf + 4;
    return lf == std::string::npos ? lf : lf + 2;
}

// The first line of the text that holds more than blanks, with markup (an HTML error page's
// tags) left out and the blanks around it trimmed.
std::string FirstLineOfText(std::string_view text) {
    std::string line;
    bool inTag = false;
    for (const char c : text) {
        if (c == '<') inTag = true;
        if (!inTag && c != '\r' && c != '\n') line += c;
        if (c == '>') inTag = false;
        if (c == '\n' && line.find_first_not_of(" \t") != std::string::npos) break;
    }
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

std::chrono::steady_clock::time_point SocketDeadline() {
    return std::chrono::steady_clock::now() + std::chrono::seconds(kSocketTimeoutSeconds);
}

// Waits for room to send; false with errno set: ETIMEDOUT after the time-out, ECANCELED when
// giveUp says so, or the system's reason.
bool WaitForRoom(int descriptor, std::chrono::steady_clock::time_point deadline,
                 GiveUpCheck giveUp) {
    switch (WaitForSocket(descriptor, POLLOUT, deadline, giveUp)) {
        case SocketWait::kReady:
            return true;
        case SocketWait::kTimedOut:
            errno = ETIMEDOUT;
            return false;
        case SocketWait::kGivenUp:
            errno = ECANCELED;
            return false;
        case SocketWait::kFailed:
            return false;
    }
    return false;
}

// Sends until every byte is out; -1 with errno set otherwise (see WaitForRoom). A socket with
// room takes the bytes even after a stop request, so the end of a stream still goes out to a
// server that reads. The stream connection's progress, when given, counts every byte handed over.
ssize_t SendAll(int descriptor, const void* bytes, std::size_t byteCount, SendProgress* progress,
                GiveUpCheck giveUp) {
    const char* next = static_cast<const char*>(bytes);
    std::size_t remaining = byteCount;
    auto deadline = SocketDeadline();
    while (remaining > 0) {
        const ssize_t sent = send(descriptor, next, remaining, kSendFlags);
        if (sent > 0) {
            if (progress != nullptr) progress->Handed(static_cast<std::uint64_t>(sent));
            next += sent;
            remaining -= static_cast<std::size_t>(sent);
            deadline = SocketDeadline();
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitForRoom(descriptor, deadline, giveUp)) return -1;
            continue;
        }
        if (sent == 0) errno = EPIPE;
        return -1;
    }
    return static_cast<ssize_t>(byteCount);
}

// False, with errno ETIMEDOUT, once the destination has read less than three quarters of what it
// was sent for the socket time-out: it holds the connection open but takes nothing. One system call
// per send.
bool DestinationKeepsUp(EngineState& engine) {
    const auto edge = PeerWindowEdge(engine.destination.streamSocket,
                                     engine.destination.streamProgress.HandedBytes());
    if (!edge) return true;
    if (engine.destination.streamProgress.PeerKeepsUp(*edge, std::chrono::steady_clock::now()))
        return true;
    errno = ETIMEDOUT;
    return false;
}

ReplyEnd ReplyEndOf(SocketWait wait) {
    switch (wait) {
        case SocketWait::kTimedOut:
            return ReplyEnd::kTimedOut;
        case SocketWait::kGivenUp:
            return ReplyEnd::kCalledOff;
        default:
            return ReplyEnd::kFailed;
    }
}

}  // namespace

ssize_t SendEncoded(const unsigned char* bytes, std::size_t byteCount) {
    EngineState& engine = Engine();
    // The stream's end still goes out at the end of a transfer: only a stop gives a send up.
    ssize_t sent = SendAll(engine.destination.streamSocket, bytes, byteCount,
                           &engine.destination.streamProgress, StopRequested);
    if (sent > 0) ReportBytes(engine.sinks.bytesSent, static_cast<std::uint64_t>(sent));
    if (sent > 0) StationMetrics().NoteAudioSent(static_cast<std::uint64_t>(sent));
    if (sent > 0 && !DestinationKeepsUp(engine)) sent = -1;
    if (sent > 0) NotifyAudioDelivered();
    if (sent < 0) engine.destination.sendFailure = errno;
    if (engine.settings.saveArchives && !engine.settings.saveAsWav)
        AppendToArchive(bytes, byteCount);
    return sent;
}

ssize_t SendRequest(int descriptor, const char* text) {
    EngineState& engine = Engine();
    SendProgress* progress = descriptor == engine.destination.streamSocket
                                 ? &engine.destination.streamProgress
                                 : nullptr;
    const ssize_t sent =
        SendAll(descriptor, text, std::strlen(text), progress, ConnectionWaitCalledOff);
    if (sent > 0) ReportBytes(engine.sinks.bytesSent, static_cast<std::uint64_t>(sent));
    if (sent > 0) StationMetrics().NoteDestinationBytes(static_cast<std::uint64_t>(sent));
    return sent;
}

LoginReply ReceiveLoginReply(int descriptor) {
    LoginReply reply;
    ReceiveMoreLoginReply(descriptor, reply, std::chrono::seconds(kSocketTimeoutSeconds));
    return reply;
}

void ReceiveMoreLoginReply(int descriptor, LoginReply& reply,
                           std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    char piece[kLoginReplyBytes];
    while (reply.bytes.size() < kLoginReplyBytes) {
        const SocketWait wait =
            WaitForSocket(descriptor, POLLIN, deadline, ConnectionWaitCalledOff);
        if (wait != SocketWait::kReady) {
            reply.end = ReplyEndOf(wait);
            reply.error = errno;
            return;
        }
        const ssize_t received =
            recv(descriptor, piece, kLoginReplyBytes - reply.bytes.size(), MSG_DONTWAIT);
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (received <= 0) {
            reply.end = received == 0 ? ReplyEnd::kClosed : ReplyEnd::kFailed;
            reply.error = errno;
            return;
        }
        const std::string_view arrived(piece, static_cast<std::size_t>(received));
        reply.bytes.append(arrived);
        if (arrived.find('\n') != std::string_view::npos) {
            reply.end = ReplyEnd::kLineEnd;
            return;
        }
    }
    reply.end = ReplyEnd::kFull;
}

void ReceiveRestOfRefusal(int descriptor, LoginReply& reply) {
    const auto deadline = std::chrono::steady_clock::now() + kRefusalRestWait;
    char piece[kLoginReplyBytes];
    while (reply.bytes.size() < kLoginReplyBytes &&
           WaitForSocket(descriptor, POLLIN, deadline, ConnectionWaitCalledOff) ==
               SocketWait::kReady) {
        const ssize_t received =
            recv(descriptor, piece, kLoginReplyBytes - reply.bytes.size(), MSG_DONTWAIT);
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (received <= 0) return;
        reply.bytes.append(piece, static_cast<std::size_t>(received));
    }
}

std::string QuotedReply(const LoginReply& reply) {
    if (reply.bytes.empty()) {
        switch (reply.end) {
            case ReplyEnd::kClosed:
                return "the server closed the connection without a reply";
            case ReplyEnd::kTimedOut:
                return "no reply within " + std::to_string(kSocketTimeoutSeconds) + " seconds";
            default:
                return std::string("no reply (") + std::strerror(reply.error) + ")";
        }
    }
    return ShownText(reply.bytes.substr(0, reply.bytes.find_first_of("\r\n")));
}

std::string RefusalReason(const LoginReply& reply) {
    const std::string& bytes = reply.bytes;
    const std::size_t bodyAt = BodyStart(bytes);
    if (bodyAt != std::string::npos) {
        const std::string words = FirstLineOfText(std::string_view(bytes).substr(bodyAt));
        if (!words.empty()) return ShownText(words);
    }
    // "HTTP/1.0 403 Forbidden": what follows the code.
    const std::string statusLine = bytes.substr(0, bytes.find_first_of("\r\n"));
    const std::size_t codeAt = statusLine.find(' ');
    if (codeAt == std::string::npos) return "";
    const std::size_t phraseAt = statusLine.find(' ', codeAt + 1);
    if (phraseAt == std::string::npos) return "";
    return ShownText(FirstLineOfText(std::string_view(statusLine).substr(phraseAt + 1)));
}

std::string SendFailureText(int error) {
    if (error == ETIMEDOUT) {
        return "the server took nothing for " + std::to_string(kSocketTimeoutSeconds) + " seconds";
    }
    return std::strerror(error);
}
