// Waiting in tests for something to happen, with a time limit: the condition is looked at every
// few milliseconds until it holds or the time is up, and once more at the end.
#pragma once

#include <chrono>
#include <thread>

// True as soon as done() holds; false when it still does not after `timeout`.
template <typename Condition>
bool WaitUntil(Condition&& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds lookEvery = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(lookEvery);
    }
    return done();
}

template <typename Condition>
bool WaitUntil(Condition&& done, int timeoutMs) {
    return WaitUntil(done, std::chrono::milliseconds(timeoutMs));
}
