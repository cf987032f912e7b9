// The title sender: a thread of its own that takes title requests to the destination's admin
// interface, so that a slow or hung admin port can never hold the audio back.
//
// Its mailbox has one slot. A request posted while another is on its way replaces the one that
// waits, so a source that changes its title with every metadata block costs the server one
// request per spacing interval, and the latest title is always the one that goes out last.
// The thread starts with the first request of a connection and ends at the disconnect.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "common/log.h"
#include "common/socket.h"
#include "common/station_metrics.h"
#include "common/status.h"
#include "common/text_encoding.h"
#include "engine/libzembril.h"
#include "engine/server_io.h"

namespace {

using Clock = std::chrono::steady_clock;

// Requests start at least this far apart: a flood of titles costs a few requests a second,
// while a single title after a quiet spell still goes at once.
constexpr auto kRequestSpacing = std::chrono::milliseconds(250);
// An admin interface's answer to a request it takes only with other credentials.
constexpr int kUnauthorised = 401;
// How long a request whose answer matters waits for it: an admin interface answers at once, and
// the next title waits behind this one.
constexpr auto kAnswerWait = std::chrono::seconds(2);
// How long the disconnect waits for a request still waiting or on its way.
constexpr auto kFinishWait = std::chrono::seconds(1);

struct TitleSender {
    std::mutex mailboxLock;  // guards everything below; taken by the engine's thread and the sender
    std::condition_variable mailboxChanged;
    std::optional<AdminRequest> waiting;
    bool sending = false;    // a request has left the mailbox and is not finished yet
    bool running = false;    // the thread has been started and not joined
    bool finishing = false;  // the thread is asked to end once the mailbox is empty
    Clock::time_point lastStart{};
    // Started under the lock; joined by the caller that set `finishing`, the only one to touch it
    // until `running` is cleared.
    std::thread thread;
};

// Never destroyed: a process that exits without a disconnect must not end a thread that is still
// joinable (std::terminate).
TitleSender& Sender() {
    static TitleSender* const sender = new TitleSender;
    return *sender;
}

// Read by the socket waits between their slices: a request still connecting when the disconnect
// has waited long enough, or when the program is asked to stop, is given up.
std::atomic<bool> abandonRequests{false};

bool GiveUpRequest() {
    return abandonRequests.load() || StopRequested();
}

// Every byte, or false. The request is a few hundred bytes, which a connected socket takes at once
// unless the server's window is shut; the socket's send time-out bounds that case.
bool SendWhole(int descriptor, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t sent = send(descriptor, text.data() + done, text.size() - done, 0);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

// Once a server has refused /admin.cgi as unauthorised, the titles of the run go to its mount
// interface (AdminRequest::mountText) at once. Only the sender's thread reads and writes it while
// it runs; StopTitleSender clears it after the join.
std::atomic<bool> mountInterfaceChosen{false};

// The status code of the server's answer (its first line, within kAnswerWait, unless the request
// is given up); -1 when none could be read.
int AnswerStatus(int descriptor) {
    const auto deadline = Clock::now() + kAnswerWait;
    std::string answer;
    char piece[64];
    while (answer.find('\n') == std::string::npos && answer.size() < sizeof piece) {
        if (WaitForSocket(descriptor, POLLIN, deadline, GiveUpRequest) != SocketWait::kReady) break;
        const ssize_t received = recv(descriptor, piece, sizeof piece - answer.size(), MSG_DONTWAIT);
        if (received < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (received <= 0) break;
        answer.append(piece, static_cast<std::size_t>(received));
    }
    // "HTTP/1.x nnn"
    if (answer.size() < 12 || answer.compare(0, 7, "HTTP/1.") != 0) return -1;
    return std::atoi(answer.substr(9, 3).c_str());
}

// Connects, sends the text and, when asked, reads the answer's status code. 0 when sent without
// reading, -1 when it failed (an Error line, or an Info line for a stop request).
int DeliverAdminText(const AdminRequest& request, const std::string& text, bool readAnswer) {
    CMySocket connection;
    std::string failure;
    const int descriptor =
        connection.ConnectTo(request.host.c_str(), request.port, GiveUpRequest, &failure);
    if (descriptor < 0 && StopRequested()) {
        // The run ends: the title no longer matters, and nothing failed.
        LogMessage(LOG_INFO, kLogEngine, __LINE__, "Title update to %s:%u given up: stop requested",
                   PrintableText(request.host).c_str(), static_cast<unsigned>(request.port));
        return -1;
    }
    if (descriptor < 0) {
        // A request still connecting when the disconnect has waited its second is given up; an
        // admin interface that does not answer is a failure of the server's all the same.
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot connect to server %s:%u: %s",
                   PrintableText(request.host).c_str(), static_cast<unsigned>(request.port),
                   abandonRequests.load() ? "no answer within a second of the disconnect"
                                          : failure.c_str());
        return -1;
    }
    int status = 0;
    // SIGPIPE is ignored by ConnectTo, so a server that hung up gives EPIPE here.
    if (SendWhole(descriptor, text)) {
        ReportBytes(request.bytesSentSink, text.size());
        if (readAnswer) status = AnswerStatus(descriptor);
        if (status != kUnauthorised) StationMetrics().NoteTitleDelivered();
    } else {
        LogMessage(LOG_ERROR, kLogEngine, __LINE__, "Cannot send the title to %s:%u: %s",
                   PrintableText(request.host).c_str(), static_cast<unsigned>(request.port),
                   std::strerror(errno));
        status = -1;
    }
    close(descriptor);
    return status;
}

}  // namespace

// The server's answer is read only where a refusal can be acted on: a Shoutcast-style request
// that has a mount interface to turn to.
void SendMetadataUpdate(const AdminRequest& request) {
    const bool mountInterfaceKnown = !request.mountText.empty();
    if (mountInterfaceKnown && mountInterfaceChosen.load()) {
        DeliverAdminText(request, request.mountText, false);
        return;
    }
    if (DeliverAdminText(request, request.text, mountInterfaceKnown) != kUnauthorised) return;
    LogMessage(LOG_INFO, kLogEngine, __LINE__,
               "/admin.cgi of %s:%u answered 401: titles go to /admin/metadata for the mount",
               PrintableText(request.host).c_str(), static_cast<unsigned>(request.port));
    mountInterfaceChosen = true;
    DeliverAdminText(request, request.mountText, false);
}

namespace {

void RunSender() {
    TitleSender& sender = Sender();
    std::unique_lock lock(sender.mailboxLock);
    for (;;) {
        sender.mailboxChanged.wait(lock, [&] { return sender.waiting || sender.finishing; });
        // Once the disconnect has given up on the requests, one that waits is not begun.
        if (!sender.waiting || abandonRequests.load()) return;
        // At the end of a run the last title goes without waiting for its turn.
        const Clock::time_point turn = sender.lastStart + kRequestSpacing;
        if (!sender.finishing && Clock::now() < turn) {
            sender.mailboxChanged.wait_until(lock, turn, [&] { return sender.finishing; });
            continue;
        }
        const AdminRequest request = std::move(*sender.waiting);
        sender.waiting.reset();
        sender.sending = true;
        sender.lastStart = Clock::now();
        lock.unlock();
        SendMetadataUpdate(request);
        lock.lock();
        sender.sending = false;
        sender.mailboxChanged.notify_all();
    }
}

// Ends the thread: with giveTime, a request waiting or on its way has kFinishWait to go out
// first. The thread starts afresh with the next request.
void EndSender(bool giveTime) {
    TitleSender& sender = Sender();
    {
        std::unique_lock lock(sender.mailboxLock);
        // Not started, or another caller is already ending it.
        if (!sender.running || sender.finishing) return;
        sender.finishing = true;
        sender.mailboxChanged.notify_all();
        if (giveTime) {
            sender.mailboxChanged.wait_for(lock, kFinishWait,
                                           [&] { return !sender.waiting && !sender.sending; });
        } else {
            sender.waiting.reset();
        }
    }
    abandonRequests = true;
    sender.thread.join();
    abandonRequests = false;
    std::lock_guard lock(sender.mailboxLock);
    sender.waiting.reset();
    sender.finishing = false;
    sender.running = false;
}

}  // namespace

void PostAdminRequest(AdminRequest request) {
    TitleSender& sender = Sender();
    std::lock_guard lock(sender.mailboxLock);
    // A request posted while the sender ends belongs to a connection that is going away.
    if (sender.finishing) return;
    sender.waiting = std::move(request);
    if (!sender.running) {
        sender.running = true;
        sender.thread = std::thread(RunSender);
    }
    sender.mailboxChanged.notify_all();
}

void FinishAdminRequests() {
    EndSender(true);
}

void StopTitleSender() {
    EndSender(false);
    mountInterfaceChosen = false;
}
