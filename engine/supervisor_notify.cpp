// sd_notify for the relay; see supervisor_notify.h.
#include "engine/supervisor_notify.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "common/text_encoding.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the environment said at the first call; it does not change during a run.
struct Supervisor {
    bool listening = false;
    Clock::duration pingInterval{};  // half of WATCHDOG_USEC; zero: no watchdog for this process
};

const Supervisor& TheSupervisor() {
    static const Supervisor supervisor = [] {
        Supervisor found;
        found.listening = std::getenv("NOTIFY_SOCKET") != nullptr;
        std::uint64_t watchdogUsec = 0;
        if (found.listening && sd_watchdog_enabled(0, &watchdogUsec) > 0) {
            found.pingInterval = std::chrono::microseconds(watchdogUsec / 2);
        }
        return found;
    }();
    return supervisor;
}

std::atomic<bool> readySent{false};
std::atomic<Clock::rep> lastPing{0};  // the steady clock counts from boot: the first ping is due

std::mutex notifyLock;  // guards the three texts below
std::string runState;
std::string runTitle;
std::string lastStatus;

// Sends STATUS= when the state or the title changed it. Caller holds notifyLock.
void SendStatusIfChanged() {
    std::string status = "STATUS=" + runState;
    if (!runTitle.empty()) status += (runState.empty() ? "" : ": ") + runTitle;
    if (status == lastStatus) return;
    lastStatus = status;
    sd_notify(0, status.c_str());
}

void PingWatchdogWhenDue() {
    const Clock::duration interval = TheSupervisor().pingInterval;
    if (interval == Clock::duration::zero()) return;
    const Clock::rep now = Clock::now().time_since_epoch().count();
    Clock::rep last = lastPing.load(std::memory_order_relaxed);
    if (now - last < interval.count()) return;
    if (!lastPing.compare_exchange_strong(last, now)) return;
    sd_notify(0, "WATCHDOG=1");
}

}  // namespace

void NotifyAudioDelivered() {
    if (!TheSupervisor().listening) return;
    if (!readySent.exchange(true)) {
        sd_notify(0, "READY=1");
        NotifyRunState("Relaying");
    }
    PingWatchdogWhenDue();
}

void NotifyRunState(const char* state) {
    if (!TheSupervisor().listening) return;
    std::lock_guard lock(notifyLock);
    runState = state;
    SendStatusIfChanged();
}

void NotifyTitle(const char* title) {
    if (!TheSupervisor().listening) return;
    // A newline would start another assignment of the message.
    std::string printable = PrintableText(title);
    std::lock_guard lock(notifyLock);
    runTitle = std::move(printable);
    SendStatusIfChanged();
}

void NotifyStopping() {
    if (!TheSupervisor().listening) return;
    NotifyRunState("Stopping");
    sd_notify(0, "STOPPING=1");
}
