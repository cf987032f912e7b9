// A real Icecast2 server on loopback for tests of the logins and title updates.
//
// The server runs from /usr/bin/icecast2 with a configuration written into a fresh TempDir: a free
// port P on 127.0.0.1 whose listen socket carries a <shoutcast-mount>, so Shoutcast-protocol
// sources log in on P + 1 and their admin.cgi title updates go to P. Icecast refuses to run as
// root, so when the tests run as root it drops to the icecast2 user (which then owns the
// directory). The constructor waits until /status-json.xsl answers; the destructor ends the
// server by its pid. The default limits suit a test's few sources and listeners; benchmarks that
// run many stations raise them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/status_json.h"
#include "tests/support/temp_dir.h"

inline constexpr const char* kIcecastBinary = "/usr/bin/icecast2";

// Skips the running test when the server binary is not installed.
#define SKIP_WITHOUT_ICECAST()                                                               \
    do {                                                                                     \
        if (!IcecastServer::Available())                                                     \
            GTEST_SKIP() << kIcecastBinary << " is not installed (Debian package icecast2)"; \
    } while (0)

struct IcecastLimits {
    int clients = 20;
    int sources = 4;
};

class IcecastServer {
  public:
    explicit IcecastServer(IcecastLimits limits = {});
    ~IcecastServer();
    IcecastServer(const IcecastServer&) = delete;
    IcecastServer& operator=(const IcecastServer&) = delete;

    static bool Available();

    // Ends the server and starts it again on the same port, as a destination that goes away and
    // comes back; connected sources and listeners lose their connections. False when it did not
    // answer again.
    bool Restart();

    // Stops the server's process (SIGSTOP) and lets it go on (SIGCONT): a destination that keeps
    // its connections open but reads nothing.
    void Pause();
    void Resume();

    // False when the server did not come up; failure() then says why (with its error log).
    bool started() const { return started_; }
    std::string failure() const;
    // The server's access and error logs so far, for failure messages.
    std::string logs() const;

    uint16_t port() const { return port_; }  // listeners, admin; Shoutcast sources use port() + 1
    const std::string& sourcePassword() const { return sourcePassword_; }
    const std::string& adminPassword() const { return adminPassword_; }
    static constexpr const char* kShoutcastMount = "/shoutcast";

    // Body of an HTTP GET to 127.0.0.1:port() (with admin credentials when asked); "" on failure.
    std::string HttpGet(const std::string& path, bool asAdmin = false) const;
    std::string FetchStatusJson() const { return HttpGet("/status-json.xsl"); }

    // Polls the status until the mount is listed with that title. The last title seen (or "")
    // goes to lastTitle for the failure message.
    bool WaitForTitle(const std::string& mount, const std::string& title, int timeoutMs,
                      std::string* lastTitle = nullptr) const;
    bool WaitForMount(const std::string& mount, int timeoutMs) const;

  private:
    bool Launch(uint16_t port);
    bool WaitUntilAnswering(int timeoutMs);
    void Terminate();

    TempDir directory_;
    IcecastLimits limits_;
    uint16_t port_ = 0;
    std::string sourcePassword_ = "src-secret";
    std::string adminPassword_ = "admin-secret";
    std::unique_ptr<ChildProcess> server_;  // the running icecast2, if any
    bool started_ = false;
};
