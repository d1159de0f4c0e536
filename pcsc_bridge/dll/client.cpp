#include "client.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace pcsc_bridge {

namespace {

struct connection {
    SOCKET socket = INVALID_SOCKET;
    SRWLOCK write_lock = SRWLOCK_INIT;
    bool broken = false;   // guarded by the client's lock
    bool reading = false;  // a caller is reading replies (client's lock)
    // Bytes received past the last frame; only the reading caller uses them.
    std::vector<std::uint8_t> inbox;
    std::size_t inbox_start = 0;
    connection() = default;
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection() {
        if (socket != INVALID_SOCKET) closesocket(socket);
    }
};

struct pending {
    std::uint32_t id = 0;
    const connection* conn = nullptr;
    bool done = false;
    std::uint32_t status = rc::internal_error;
    std::vector<std::uint8_t> body;
};

bool send_all(SOCKET s, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(n, 1 << 20));
        const int sent = send(s, reinterpret_cast<const char*>(p), chunk, 0);
        if (sent <= 0) return false;
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Fills `p` from the connection's inbox and the socket. One recv takes what
// is there (usually the whole reply): every socket call is dear under Wine.
bool recv_all(connection& c, std::uint8_t* p, std::size_t n) {
    constexpr std::size_t chunk = 16384;
    while (n > 0) {
        if (c.inbox_start == c.inbox.size()) {
            c.inbox.resize(chunk);
            c.inbox_start = 0;
            const int got = recv(c.socket, reinterpret_cast<char*>(c.inbox.data()), static_cast<int>(chunk), 0);
            if (got <= 0) {
                c.inbox.clear();
                return false;
            }
            c.inbox.resize(static_cast<std::size_t>(got));
        }
        const std::size_t take = std::min(n, c.inbox.size() - c.inbox_start);
        std::memcpy(p, c.inbox.data() + c.inbox_start, take);
        c.inbox_start += take;
        p += take;
        n -= take;
    }
    return true;
}

bool recv_frame(connection& c, std::vector<std::uint8_t>* body) {
    std::uint8_t prefix[4];
    if (!recv_all(c, prefix, sizeof prefix)) return false;
    const std::uint32_t length = load_u32(prefix);
    if (length < min_body + 4 || length > max_body) return false;  // a reply has id, op and result
    body->resize(length);
    return recv_all(c, body->data(), length);
}

std::uint16_t configured_port() {
    char text[16] = {};
    const DWORD n = GetEnvironmentVariableA(port_variable, text, sizeof text);
    return parse_port(n > 0 && n < sizeof text ? text : nullptr);
}

class bridge_client {
public:
    std::uint32_t next_id() {
        AcquireSRWLockExclusive(&lock_);
        std::uint32_t id = ++last_id_;
        if (id == 0) id = ++last_id_;
        ReleaseSRWLockExclusive(&lock_);
        return id;
    }

    std::uint32_t call(const std::vector<std::uint8_t>& frame, std::uint32_t id, std::vector<std::uint8_t>* reply) {
        AcquireSRWLockExclusive(&lock_);
        if (current_ && current_->broken) current_.reset();
        if (!current_) current_ = open();
        if (!current_) {
            ReleaseSRWLockExclusive(&lock_);
            return rc::no_service;
        }
        const std::shared_ptr<connection> conn = current_;
        pending mine;
        mine.id = id;
        mine.conn = conn.get();
        waiting_.push_back(&mine);
        ReleaseSRWLockExclusive(&lock_);

        AcquireSRWLockExclusive(&conn->write_lock);
        const bool sent = send_all(conn->socket, frame.data(), frame.size());
        ReleaseSRWLockExclusive(&conn->write_lock);

        AcquireSRWLockExclusive(&lock_);
        if (!sent) fail(conn.get());
        while (!mine.done) {
            if (conn->reading) {
                SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
                continue;
            }
            conn->reading = true;
            ReleaseSRWLockExclusive(&lock_);
            std::vector<std::uint8_t> body;
            const bool ok = recv_frame(*conn, &body);
            AcquireSRWLockExclusive(&lock_);
            conn->reading = false;
            if (!ok || !deliver(conn.get(), &body)) fail(conn.get());
            WakeAllConditionVariable(&changed_);
        }
        waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &mine));
        ReleaseSRWLockExclusive(&lock_);
        if (mine.status == rc::success) reply->swap(mine.body);
        return mine.status;
    }

private:
    std::shared_ptr<connection> open() {
        if (!winsock_ready_) {
            WSADATA data;
            if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return nullptr;
            winsock_ready_ = true;
        }
        auto conn = std::make_shared<connection>();
        conn->socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (conn->socket == INVALID_SOCKET) return nullptr;
        const BOOL on = TRUE;
        setsockopt(conn->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(configured_port());
        if (connect(conn->socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return nullptr;
        return conn;
    }

    // Hands a reply to the caller waiting for it; false when nobody is.
    bool deliver(const connection* conn, std::vector<std::uint8_t>* body) {
        const std::uint32_t id = load_u32(body->data());
        for (pending* p : waiting_) {
            if (p->conn == conn && p->id == id && !p->done) {
                p->body.swap(*body);
                p->status = rc::success;
                p->done = true;
                return true;
            }
        }
        return false;
    }

    // The connection is unusable: every call on it fails, the next call
    // opens a new one.
    void fail(connection* conn) {
        if (!conn->broken) {
            conn->broken = true;
            shutdown(conn->socket, SD_BOTH);
        }
        for (pending* p : waiting_) {
            if (p->conn == conn && !p->done) {
                p->status = rc::service_stopped;
                p->done = true;
            }
        }
        if (current_.get() == conn) current_.reset();
        WakeAllConditionVariable(&changed_);
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::shared_ptr<connection> current_;
    std::vector<pending*> waiting_;
    std::uint32_t last_id_ = 0;
    bool winsock_ready_ = false;
};

bridge_client& client() {
    static bridge_client instance;
    return instance;
}

}  // namespace

bridge_call::bridge_call(op operation)
    : id_(client().next_id()), operation_(operation), request_(id_, operation) {}

std::uint32_t bridge_call::run() {
    const std::uint32_t status = client().call(request_.finish(), id_, &body_);
    if (status != rc::success) {
        rv_ = status;
        return rv_;
    }
    transported_ = true;
    reply_ = wire_reader(body_);
    reply_.u32();  // the id, already matched
    const std::uint32_t code = reply_.u32();
    rv_ = reply_.u32();
    if (!reply_.ok() || code != static_cast<std::uint32_t>(operation_)) rv_ = rc::internal_error;
    return rv_;
}

std::uint32_t bridge_call::result() const {
    // A failure may come without outputs.
    if (!transported_ || rv_ != rc::success) return rv_;
    return reply_.complete() ? rv_ : rc::internal_error;
}

}  // namespace pcsc_bridge
