// The bridge server: accepts clients on 127.0.0.1 and runs their PC/SC
// requests against a backend. Each client connection has a reader thread
// and a small pool of workers, so that a blocking request (a status-change
// wait, a transaction waiting for the card) never holds up the others; a
// cancel on the same connection reaches a wait in progress. Contexts and
// card handles belong to the connection that made them and are released
// when it ends. A connection that breaks the protocol is closed; nothing
// else is affected.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "backend.h"
#include "wire/wire.h"

namespace pcsc_bridge {

struct server_options {
    std::uint16_t port = default_port;  // 0: any free port (tests)
    std::size_t max_connections = 64;   // further clients are closed at once
    int frame_timeout_ms = 5000;        // a frame once begun must arrive within this
};

class client_session;

class bridge_server {
public:
    bridge_server(pcsc_backend& backend, server_options options);
    ~bridge_server();
    bridge_server(const bridge_server&) = delete;
    bridge_server& operator=(const bridge_server&) = delete;

    // Binds 127.0.0.1 and listens: 0, or the errno value of the failure.
    int listen();
    std::uint16_t port() const { return port_; }
    // Serves clients until stop(); returns once every connection is cleaned up.
    void run();
    // Ends run(). Safe from any thread and from a signal handler.
    void stop();
    // Connections whose clean-up has not finished.
    std::size_t open_connections() const;

private:
    struct running {
        std::shared_ptr<client_session> session;
        std::thread thread;
    };
    void reap(bool all);

    pcsc_backend& backend_;
    server_options options_;
    int listen_fd_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_requested_{false};
    mutable std::mutex sessions_mutex_;
    std::list<running> sessions_;
};

}  // namespace pcsc_bridge
