#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <set>
#include <vector>

namespace pcsc_bridge {

namespace {

// Context and card ids handed to clients: unique for the life of the
// bridge, never 0.
std::uint32_t new_id() {
    static std::atomic<std::uint32_t> next{1};
    std::uint32_t id = 0;
    while (id == 0) id = next.fetch_add(1, std::memory_order_relaxed);
    return id;
}

struct request {
    std::uint32_t id = 0;
    op operation = op::establish_context;
    std::uint32_t arg[4] = {};
    std::string reader;
    std::vector<std::uint8_t> data;
    std::vector<reader_state> states;
};

// Decodes a body; false for anything that is not exactly one well-formed
// request.
bool parse_request(const std::vector<std::uint8_t>& body, request* r) {
    wire_reader in(body);
    r->id = in.u32();
    const std::uint32_t code = in.u32();
    if (!in.ok() || !is_known_op(code)) return false;
    r->operation = static_cast<op>(code);
    switch (r->operation) {
    case op::establish_context:
    case op::release_context:
    case op::is_valid_context:
    case op::list_readers:
    case op::cancel:
    case op::begin_transaction:
    case op::status:
        r->arg[0] = in.u32();
        break;
    case op::disconnect:
    case op::end_transaction:
        r->arg[0] = in.u32();
        r->arg[1] = in.u32();
        break;
    case op::connect:
        r->arg[0] = in.u32();
        r->reader = in.str(max_name);
        r->arg[1] = in.u32();
        r->arg[2] = in.u32();
        break;
    case op::reconnect:
        for (auto& a : r->arg) a = in.u32();
        break;
    case op::transmit:
        r->arg[0] = in.u32();
        r->arg[1] = in.u32();
        r->arg[2] = in.u32();
        r->data = in.bytes(max_apdu);
        break;
    case op::get_status_change: {
        r->arg[0] = in.u32();
        r->arg[1] = in.u32();
        const std::uint32_t count = in.u32();
        if (!in.ok() || count > max_reader_states) return false;
        r->states.resize(count);
        for (auto& s : r->states) {
            s.reader = in.str(max_name);
            s.current_state = in.u32();
        }
        break;
    }
    }
    return in.complete();
}

bool send_all(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

// One client connection.
class client_session {
public:
    client_session(int fd, pcsc_backend& backend, int frame_timeout_ms, int wake_fd)
        : fd_(fd), backend_(backend), frame_timeout_ms_(frame_timeout_ms), wake_fd_(wake_fd) {}
    ~client_session() { ::close(fd_); }
    client_session(const client_session&) = delete;
    client_session& operator=(const client_session&) = delete;

    void serve();
    void shut() { ::shutdown(fd_, SHUT_RDWR); }
    bool finished() const { return finished_.load(std::memory_order_acquire); }

private:
    struct context_entry {
        service_value value = 0;
        std::uint32_t waiters = 0;
    };
    struct card_entry {
        service_value value = 0;
        std::uint32_t context = 0;
    };

    bool read_frame(std::vector<std::uint8_t>* body);
    bool read_exact(std::uint8_t* p, std::size_t n, std::chrono::steady_clock::time_point deadline);
    bool dispatch(request r);
    void worker();
    std::vector<std::uint8_t> execute(const request& r);
    void send_frame(const std::vector<std::uint8_t>& frame);
    void close_down();
    std::uint32_t drop_context(const context_entry& entry, const std::vector<card_entry>& cards);

    bool find_context(std::uint32_t id, service_value* value);
    bool find_card(std::uint32_t id, service_value* value);

    const int fd_;
    pcsc_backend& backend_;
    const int frame_timeout_ms_;
    const int wake_fd_;
    std::atomic<bool> finished_{false};

    std::mutex write_mutex_;

    // The worker pool and the requests in flight.
    std::mutex pool_mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    std::deque<request> queue_;
    std::set<std::uint32_t> in_flight_;
    std::vector<std::thread> workers_;
    std::size_t idle_ = 0;
    bool stopping_ = false;

    // What this connection owns.
    std::mutex table_mutex_;
    bool closing_ = false;
    std::map<std::uint32_t, context_entry> contexts_;
    std::map<std::uint32_t, card_entry> cards_;
};

bool client_session::read_exact(std::uint8_t* p, std::size_t n, std::chrono::steady_clock::time_point deadline) {
    while (n > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t got = ::recv(fd_, p, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool client_session::read_frame(std::vector<std::uint8_t>* body) {
    std::uint8_t prefix[4];
    // Between frames a client may stay silent as long as it likes.
    ssize_t got;
    do {
        got = ::recv(fd_, prefix, 1, 0);
    } while (got < 0 && errno == EINTR);
    if (got != 1) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(frame_timeout_ms_);
    if (!read_exact(prefix + 1, 3, deadline)) return false;
    const std::uint32_t length = load_u32(prefix);
    if (length < min_body || length > max_body) return false;
    body->resize(length);
    return read_exact(body->data(), length, deadline);
}

void client_session::send_frame(const std::vector<std::uint8_t>& frame) {
    std::lock_guard<std::mutex> lock(write_mutex_);
    if (!send_all(fd_, frame.data(), frame.size())) shut();
}

bool client_session::dispatch(request r) {
    std::unique_lock<std::mutex> lock(pool_mutex_);
    if (!in_flight_.insert(r.id).second) return false;  // an id still open: a broken client
    if (in_flight_.size() > max_in_flight) {
        in_flight_.erase(r.id);
        lock.unlock();
        wire_writer out(r.id, r.operation);
        send_frame(out.u32(rc::no_memory).finish());
        return true;
    }
    queue_.push_back(std::move(r));
    if (idle_ < queue_.size()) {
        try {
            workers_.emplace_back([this] { worker(); });
        } catch (const std::exception&) {
            // No new thread: the request waits for a busy worker instead.
            if (workers_.empty()) {
                const request failed = std::move(queue_.back());
                queue_.pop_back();
                in_flight_.erase(failed.id);
                lock.unlock();
                wire_writer out(failed.id, failed.operation);
                send_frame(out.u32(rc::no_memory).finish());
                return true;
            }
        }
    }
    work_ready_.notify_one();
    return true;
}

void client_session::worker() {
    std::unique_lock<std::mutex> lock(pool_mutex_);
    for (;;) {
        ++idle_;
        work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (queue_.empty()) return;  // stopping
        request r = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        bool closing;
        {
            std::lock_guard<std::mutex> table(table_mutex_);
            closing = closing_;
        }
        std::vector<std::uint8_t> reply;
        if (!closing) {
            try {
                reply = execute(r);
            } catch (const std::exception&) {
                wire_writer out(r.id, r.operation);
                reply = out.u32(rc::no_memory).finish();
            }
        }
        // The request is done before its reply leaves: a client that sends
        // its next requests as soon as it reads the reply finds its id and
        // its place among the open requests free again.
        lock.lock();
        in_flight_.erase(r.id);
        work_done_.notify_all();
        if (!reply.empty()) {
            lock.unlock();
            send_frame(reply);
            lock.lock();
        }
    }
}

bool client_session::find_context(std::uint32_t id, service_value* value) {
    std::lock_guard<std::mutex> lock(table_mutex_);
    const auto it = contexts_.find(id);
    if (it == contexts_.end()) return false;
    *value = it->second.value;
    return true;
}

bool client_session::find_card(std::uint32_t id, service_value* value) {
    std::lock_guard<std::mutex> lock(table_mutex_);
    const auto it = cards_.find(id);
    if (it == cards_.end()) return false;
    *value = it->second.value;
    return true;
}

std::uint32_t client_session::drop_context(const context_entry& entry, const std::vector<card_entry>& cards) {
    // A wait in progress would hold the context: end it first.
    if (entry.waiters > 0) backend_.cancel(entry.value);
    for (const auto& card : cards) backend_.disconnect(card.value, 0 /* leave the card */);
    return backend_.release_context(entry.value);
}

std::vector<std::uint8_t> client_session::execute(const request& r) {
    wire_writer out(r.id, r.operation);
    service_value value = 0;
    switch (r.operation) {
    case op::establish_context: {
        const std::uint32_t rv = backend_.establish_context(r.arg[0], &value);
        std::uint32_t id = 0;
        if (rv == rc::success) {
            id = new_id();
            std::lock_guard<std::mutex> lock(table_mutex_);
            contexts_[id] = context_entry{value, 0};
        }
        return out.u32(rv).u32(id).finish();
    }
    case op::release_context: {
        context_entry entry;
        std::vector<card_entry> cards;
        {
            std::lock_guard<std::mutex> lock(table_mutex_);
            const auto it = contexts_.find(r.arg[0]);
            if (it == contexts_.end()) return out.u32(rc::invalid_handle).finish();
            entry = it->second;
            contexts_.erase(it);
            for (auto c = cards_.begin(); c != cards_.end();) {
                if (c->second.context == r.arg[0]) {
                    cards.push_back(c->second);
                    c = cards_.erase(c);
                } else {
                    ++c;
                }
            }
        }
        // The result is that of the release, not of the clean-up before it.
        return out.u32(drop_context(entry, cards)).finish();
    }
    case op::is_valid_context:
        if (!find_context(r.arg[0], &value)) return out.u32(rc::invalid_handle).finish();
        return out.u32(backend_.is_valid_context(value)).finish();
    case op::list_readers: {
        std::vector<std::uint8_t> readers;
        if (!find_context(r.arg[0], &value)) return out.u32(rc::invalid_handle).bytes(nullptr, 0).finish();
        const std::uint32_t rv = backend_.list_readers(value, &readers);
        if (rv != rc::success || readers.size() > max_reader_list) readers.clear();
        return out.u32(rv).bytes(readers.data(), readers.size()).finish();
    }
    case op::connect: {
        if (!find_context(r.arg[0], &value)) return out.u32(rc::invalid_handle).u32(0).u32(0).finish();
        service_value card = 0;
        std::uint32_t active = 0;
        const std::uint32_t rv = backend_.connect(value, r.reader, r.arg[1], r.arg[2], &card, &active);
        std::uint32_t id = 0;
        if (rv == rc::success) {
            id = new_id();
            std::lock_guard<std::mutex> lock(table_mutex_);
            cards_[id] = card_entry{card, r.arg[0]};
        }
        return out.u32(rv).u32(id).u32(rv == rc::success ? active : 0).finish();
    }
    case op::reconnect: {
        if (!find_card(r.arg[0], &value)) return out.u32(rc::invalid_handle).u32(0).finish();
        std::uint32_t active = 0;
        const std::uint32_t rv = backend_.reconnect(value, r.arg[1], r.arg[2], r.arg[3], &active);
        return out.u32(rv).u32(active).finish();
    }
    case op::disconnect: {
        if (!find_card(r.arg[0], &value)) return out.u32(rc::invalid_handle).finish();
        const std::uint32_t rv = backend_.disconnect(value, r.arg[1]);
        if (rv == rc::success || rv == rc::invalid_handle) {
            std::lock_guard<std::mutex> lock(table_mutex_);
            cards_.erase(r.arg[0]);
        }
        return out.u32(rv).finish();
    }
    case op::begin_transaction:
        if (!find_card(r.arg[0], &value)) return out.u32(rc::invalid_handle).finish();
        return out.u32(backend_.begin_transaction(value)).finish();
    case op::end_transaction:
        if (!find_card(r.arg[0], &value)) return out.u32(rc::invalid_handle).finish();
        return out.u32(backend_.end_transaction(value, r.arg[1])).finish();
    case op::transmit: {
        std::vector<std::uint8_t> reply;
        std::uint32_t reply_protocol = 0;
        if (!find_card(r.arg[0], &value)) return out.u32(rc::invalid_handle).u32(0).bytes(nullptr, 0).finish();
        const std::uint32_t capacity = r.arg[2] < max_apdu ? r.arg[2] : max_apdu;
        const std::uint32_t rv = backend_.transmit(value, r.arg[1], r.data, capacity, &reply, &reply_protocol);
        if (rv != rc::success || reply.size() > capacity) reply.clear();
        return out.u32(rv).u32(reply_protocol).bytes(reply.data(), reply.size()).finish();
    }
    case op::status: {
        std::string reader;
        std::uint32_t state = 0;
        std::uint32_t protocol = 0;
        std::vector<std::uint8_t> atr;
        std::uint32_t rv = rc::invalid_handle;
        if (find_card(r.arg[0], &value)) rv = backend_.status(value, &reader, &state, &protocol, &atr);
        if (reader.size() > max_name || reader.find('\0') != std::string::npos) reader.clear();
        if (atr.size() > max_atr) atr.resize(max_atr);
        return out.u32(rv).str(reader).u32(state).u32(protocol).bytes(atr.data(), atr.size()).finish();
    }
    case op::get_status_change: {
        std::vector<reader_state> states = r.states;
        std::uint32_t rv = rc::invalid_handle;
        bool found = false;
        {
            std::lock_guard<std::mutex> lock(table_mutex_);
            const auto it = contexts_.find(r.arg[0]);
            if (it != contexts_.end()) {
                found = true;
                value = it->second.value;
                ++it->second.waiters;
            }
        }
        if (found) {
            rv = backend_.get_status_change(value, r.arg[1], &states);
            std::lock_guard<std::mutex> lock(table_mutex_);
            const auto it = contexts_.find(r.arg[0]);
            if (it != contexts_.end()) --it->second.waiters;
        }
        out.u32(rv).u32(static_cast<std::uint32_t>(states.size()));
        for (auto& s : states) {
            if (s.atr.size() > max_atr) s.atr.resize(max_atr);
            out.u32(s.event_state).bytes(s.atr.data(), s.atr.size());
        }
        return out.finish();
    }
    case op::cancel:
        if (!find_context(r.arg[0], &value)) return out.u32(rc::invalid_handle).finish();
        return out.u32(backend_.cancel(value)).finish();
    }
    return out.u32(rc::internal_error).finish();
}

void client_session::close_down() {
    shut();
    {
        std::lock_guard<std::mutex> lock(table_mutex_);
        closing_ = true;
    }
    // Requests still running: cancel the waits among them until all have
    // returned (a wait may begin just after a cancel, hence the loop).
    std::unique_lock<std::mutex> pool(pool_mutex_);
    while (!in_flight_.empty()) {
        pool.unlock();
        std::vector<service_value> waiting;
        {
            std::lock_guard<std::mutex> lock(table_mutex_);
            for (const auto& c : contexts_) {
                if (c.second.waiters > 0) waiting.push_back(c.second.value);
            }
        }
        for (service_value v : waiting) backend_.cancel(v);
        pool.lock();
        work_done_.wait_for(pool, std::chrono::milliseconds(100), [this] { return in_flight_.empty(); });
    }
    stopping_ = true;
    pool.unlock();
    work_ready_.notify_all();
    for (auto& t : workers_) t.join();
    workers_.clear();

    std::map<std::uint32_t, context_entry> contexts;
    std::map<std::uint32_t, card_entry> cards;
    {
        std::lock_guard<std::mutex> lock(table_mutex_);
        contexts.swap(contexts_);
        cards.swap(cards_);
    }
    for (const auto& c : contexts) {
        std::vector<card_entry> own;
        for (const auto& card : cards) {
            if (card.second.context == c.first) own.push_back(card.second);
        }
        drop_context(c.second, own);
    }
}

void client_session::serve() {
    std::vector<std::uint8_t> body;
    body.reserve(256);
    while (read_frame(&body)) {
        request r;
        if (!parse_request(body, &r) || !dispatch(std::move(r))) break;
    }
    close_down();
    finished_.store(true, std::memory_order_release);
    const char wake = 'r';
    while (::write(wake_fd_, &wake, 1) < 0 && errno == EINTR) {
    }
}

bridge_server::bridge_server(pcsc_backend& backend, server_options options)
    : backend_(backend), options_(options) {}

bridge_server::~bridge_server() {
    reap(true);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_read_ >= 0) ::close(wake_read_);
    if (wake_write_ >= 0) ::close(wake_write_);
}

int bridge_server::listen() {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) return errno;
    wake_read_ = pipe_fds[0];
    wake_write_ = pipe_fds[1];

    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return errno;
    const int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options_.port);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return errno;
    if (::listen(listen_fd_, 16) != 0) return errno;
    socklen_t len = sizeof addr;
    if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return errno;
    port_ = ntohs(addr.sin_port);
    return 0;
}

void bridge_server::stop() {
    stop_requested_.store(true);
    const char wake = 's';
    if (wake_write_ >= 0) {
        while (::write(wake_write_, &wake, 1) < 0 && errno == EINTR) {
        }
    }
}

std::size_t bridge_server::open_connections() const {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    std::size_t n = 0;
    for (const auto& s : sessions_) n += s.session->finished() ? 0 : 1;
    return n;
}

void bridge_server::reap(bool all) {
    std::list<running> done;
    {
        std::lock_guard<std::mutex> lock(sessions_mutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (all) it->session->shut();
            if (all || it->session->finished()) {
                done.splice(done.end(), sessions_, it++);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : done) s.thread.join();
}

void bridge_server::run() {
    while (!stop_requested_.load()) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(wake_read_, drain, sizeof drain) > 0) {
            }
            reap(false);
        }
        if (stop_requested_.load()) break;
        if (!(fds[0].revents & POLLIN)) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard<std::mutex> lock(sessions_mutex_);
        if (sessions_.size() >= options_.max_connections) {
            ::close(fd);
            continue;
        }
        std::shared_ptr<client_session> session;
        try {
            session = std::make_shared<client_session>(fd, backend_, options_.frame_timeout_ms, wake_write_);
        } catch (const std::exception&) {
            ::close(fd);
            continue;
        }
        // From here on the session owns the socket.
        try {
            sessions_.push_back(running{session, std::thread()});
        } catch (const std::exception&) {
            continue;
        }
        try {
            sessions_.back().thread = std::thread([session] { session->serve(); });
        } catch (const std::exception&) {
            sessions_.pop_back();
        }
    }
    reap(true);
}

}  // namespace pcsc_bridge
