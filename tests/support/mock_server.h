// A loopback TCP server for tests that need a peer for the output engine's connections.
//
// It listens on 127.0.0.1 in a background thread, records every byte each accepted connection
// sends, and can answer the first bytes of every connection with a scripted reply (a login
// answer such as "OK2\r\n" or "HTTP/1.0 200 OK\r\n\r\n"). Every wait is bounded by its time-out,
// and the thread stops in the destructor, so a test can never hang on it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class MockServer {
  public:
    // 0: pick a free port. With a given port that is taken, listening() is false.
    explicit MockServer(uint16_t port = 0);
    ~MockServer();
    MockServer(const MockServer&) = delete;
    MockServer& operator=(const MockServer&) = delete;

    uint16_t port() const { return port_; }
    bool listening() const { return listenDescriptor_ >= 0; }

    // Sent once on every connection after its first bytes arrive. Empty: never reply.
    void SetReply(std::string reply);
    // The reply chosen for each connection from its first bytes (a request line that names a path
    // or a token), in place of SetReply's. Called on the server thread, one connection at a time,
    // with the server's lock held: it must not call the server back.
    using ReplyChooser = std::function<std::string(const std::string& firstBytes)>;
    void SetReplyChooser(ReplyChooser chooser);
    // Reply only once the connection's bytes hold this text (a server that answers a login after
    // its header block). Empty: at the first bytes.
    void SetReplyAfter(std::string marker);
    // Close the connection after replying. With an empty reply the connection is closed after its
    // first bytes arrive, without an answer (a server that hangs up on a login).
    void SetCloseAfterReply(bool close);
    // Send the reply in pieces of this many bytes with a pause between them (a reply that
    // arrives in several TCP segments). 0: all at once.
    void SetReplyPieces(size_t pieceBytes, int pauseMs);
    // After the reply, read nothing more from the connection: a destination that stops taking
    // the stream, so that the client's sends block once the socket buffers are full.
    void SetStopReadingAfterReply(bool stop);
    // The receive buffer of the connections accepted from now on (SO_RCVBUF, which the kernel
    // doubles). A small one closes the window soon after the server stops reading, as the full
    // buffer of a real server that stopped reading would.
    void SetReceiveBufferBytes(int byteCount);

    bool WaitForConnections(size_t count, int timeoutMs);
    bool WaitForBytes(size_t connection, size_t byteCount, int timeoutMs);
    // True once the peer of that connection has closed it (or CloseAll/the reply script closed it).
    bool WaitForClosed(size_t connection, int timeoutMs);
    std::string Received(size_t connection) const;
    size_t ConnectionCount() const;

    void CloseAll();  // drop the open connections (the server hanging up on its clients)
    // Reset the open connections: the peer sees a reset instead of an orderly end, as from a
    // server that crashed or a network that dropped the connection.
    void ResetAll();
    void Stop();      // stop listening too

    // Two servers on neighbouring ports (base and base + 1), as a Shoutcast login needs.
    // Both are null when no such pair could be found.
    static std::pair<std::unique_ptr<MockServer>, std::unique_ptr<MockServer>> NeighbourPair();

  private:
    struct Connection {
        int descriptor = -1;
        std::string received;
        bool replied = false;
        bool closed = false;
    };

    void SendReply(int descriptor, const std::string& reply);

    void Run();
    void AcceptPending();
    void ServeReadable(size_t index);
    void CloseConnection(Connection& connection);

    uint16_t port_ = 0;
    int listenDescriptor_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    mutable std::mutex mutex_;  // guards everything below; the server thread and the test share it
    std::condition_variable changed_;
    std::string reply_;
    ReplyChooser chooser_;
    std::string replyAfter_;
    bool closeAfterReply_ = false;
    size_t replyPieceBytes_ = 0;
    int replyPauseMs_ = 0;
    bool stopReadingAfterReply_ = false;
    std::vector<Connection> connections_;
};
