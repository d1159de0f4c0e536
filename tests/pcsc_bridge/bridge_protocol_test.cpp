// The bridge server against a scripted PC/SC backend, through real loopback
// connections: frame handling, ownership of contexts and cards, waits and
// their cancel, and clean-up when a client goes away.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/convert.h"
#include "server/server.h"
#include "server/stopping_backend.h"
#include "wire/wire.h"

using namespace pcsc_bridge;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

constexpr std::uint32_t infinite = 0xFFFFFFFF;

// A PC/SC service in memory. Waits without time-out block until cancelled;
// every release and disconnect is recorded.
class scripted_backend : public pcsc_backend {
public:
    std::uint32_t establish_context(std::uint32_t, service_value* context) override {
        std::lock_guard<std::mutex> lock(m_);
        *context = next_++;
        contexts_.insert(*context);
        return rc::success;
    }
    std::uint32_t release_context(service_value context) override {
        std::lock_guard<std::mutex> lock(m_);
        if (contexts_.erase(context) == 0) return rc::invalid_handle;
        released_.push_back(context);
        changed_.notify_all();
        return rc::success;
    }
    std::uint32_t is_valid_context(service_value context) override {
        std::lock_guard<std::mutex> lock(m_);
        return contexts_.count(context) ? rc::success : rc::invalid_handle;
    }
    std::uint32_t list_readers(service_value, std::vector<std::uint8_t>* readers) override {
        static const char list[] = "Solvanta Token 00 00\0Solvanta Token 00 01\0";
        readers->assign(list, list + sizeof list);
        return rc::success;
    }
    std::uint32_t connect(service_value, const std::string& reader, std::uint32_t, std::uint32_t protocols,
                          service_value* card, std::uint32_t* active) override {
        std::lock_guard<std::mutex> lock(m_);
        if (reader != "Solvanta Token 00 00") return rc::unknown_reader;
        *card = next_++;
        cards_.insert(*card);
        *active = protocols & win_protocol::t1;
        return rc::success;
    }
    std::uint32_t reconnect(service_value, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t* active) override {
        *active = win_protocol::t1;
        return rc::success;
    }
    std::uint32_t disconnect(service_value card, std::uint32_t) override {
        std::lock_guard<std::mutex> lock(m_);
        if (cards_.erase(card) == 0) return rc::invalid_handle;
        disconnected_.push_back(card);
        changed_.notify_all();
        return rc::success;
    }
    std::uint32_t begin_transaction(service_value) override { return rc::success; }
    std::uint32_t end_transaction(service_value, std::uint32_t) override { return rc::success; }
    std::uint32_t transmit(service_value, std::uint32_t protocol, const std::vector<std::uint8_t>& command,
                           std::uint32_t capacity, std::vector<std::uint8_t>* reply,
                           std::uint32_t* reply_protocol) override {
        std::lock_guard<std::mutex> lock(m_);
        last_capacity_ = capacity;
        last_command_ = command;
        *reply_protocol = protocol;
        if (capacity < 2) return rc::insufficient_buffer;
        *reply = {0x6D, 0x00};
        return rc::success;
    }
    std::uint32_t status(service_value, std::string* reader, std::uint32_t* state, std::uint32_t* protocol,
                         std::vector<std::uint8_t>* atr) override {
        *reader = "Solvanta Token 00 00";
        *state = 6;
        *protocol = win_protocol::t1;
        *atr = {0x3B, 0x80, 0x80, 0x01, 0x01};
        return rc::success;
    }
    std::uint32_t get_status_change(service_value context, std::uint32_t timeout_ms,
                                    std::vector<reader_state>* states) override {
        for (auto& s : *states) {
            s.event_state = s.current_state | 0x20;
            s.atr = {0x3B, 0x80};
        }
        if (timeout_ms != infinite) return rc::timeout;
        std::unique_lock<std::mutex> lock(m_);
        ++waiting_[context];
        const int generation = cancel_generation_[context];
        changed_.notify_all();
        changed_.wait(lock, [&] { return cancel_generation_[context] != generation; });
        --waiting_[context];
        changed_.notify_all();
        return rc::cancelled;
    }
    std::uint32_t cancel(service_value context) override {
        std::lock_guard<std::mutex> lock(m_);
        ++cancels_;
        // Like pcsc-lite: a cancel reaches only the waits in progress.
        if (waiting_[context] > 0) ++cancel_generation_[context];
        changed_.notify_all();
        return rc::success;
    }

    // Waits (at most 10 s) until `done` holds under the backend's lock.
    template <typename F>
    bool wait_for(F done) {
        std::unique_lock<std::mutex> lock(m_);
        return changed_.wait_for(lock, seconds(10), [&] { return done(); });
    }
    std::size_t released_count() {
        std::lock_guard<std::mutex> lock(m_);
        return released_.size();
    }
    // Callers hold the backend's lock (inside wait_for).
    std::size_t waiters() {
        std::size_t n = 0;
        for (const auto& w : waiting_) n += static_cast<std::size_t>(w.second);
        return n;
    }

    std::mutex m_;
    std::condition_variable changed_;
    service_value next_ = 1000;
    std::set<service_value> contexts_, cards_;
    std::map<service_value, int> waiting_, cancel_generation_;
    std::vector<service_value> released_, disconnected_;
    int cancels_ = 0;
    std::uint32_t last_capacity_ = 0;
    std::vector<std::uint8_t> last_command_;
};

// A raw client of the bridge.
class raw_client {
public:
    explicit raw_client(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~raw_client() { close(); }
    raw_client(const raw_client&) = delete;
    raw_client& operator=(const raw_client&) = delete;

    bool connected() const { return connected_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void half_close() { ::shutdown(fd_, SHUT_WR); }
    bool send(const std::vector<std::uint8_t>& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // One reply body; false when the connection closed or nothing came.
    bool receive(std::vector<std::uint8_t>* body, milliseconds timeout = seconds(10)) {
        std::uint8_t prefix[4];
        if (!read(prefix, 4, timeout)) return false;
        body->resize(load_u32(prefix));
        return body->size() <= max_body && read(body->data(), body->size(), timeout);
    }
    // True when the bridge closed the connection (end of stream, no data).
    bool closed_by_peer(milliseconds timeout = seconds(10)) {
        std::uint8_t byte;
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return false;
        return ::recv(fd_, &byte, 1, 0) <= 0;
    }

    // Sends a request and returns its reply reader positioned after the result.
    std::uint32_t call(wire_writer& request, std::vector<std::uint8_t>* body) {
        if (!send(request.finish()) || !receive(body)) return 0xFFFFFFFF;
        wire_reader in(*body);
        in.u32();
        in.u32();
        return in.u32();
    }

    std::uint32_t establish(std::uint32_t* context) {
        wire_writer w(next_id_++, op::establish_context);
        w.u32(2);
        std::vector<std::uint8_t> body;
        const std::uint32_t rv = call(w, &body);
        wire_reader in(body);
        for (int i = 0; i < 3; ++i) in.u32();
        *context = in.u32();
        return rv;
    }
    std::uint32_t connect_card(std::uint32_t context, std::uint32_t* card) {
        wire_writer w(next_id_++, op::connect);
        w.u32(context).str("Solvanta Token 00 00").u32(2).u32(3);
        std::vector<std::uint8_t> body;
        const std::uint32_t rv = call(w, &body);
        wire_reader in(body);
        for (int i = 0; i < 3; ++i) in.u32();
        *card = in.u32();
        return rv;
    }
    std::uint32_t on_handle(op operation, std::uint32_t handle) {
        wire_writer w(next_id_++, operation);
        w.u32(handle);
        if (operation == op::disconnect || operation == op::end_transaction) w.u32(0);
        if (operation == op::transmit) w.u32(2).u32(258).bytes("\x80\xFF\x00\x00", 4);
        std::vector<std::uint8_t> body;
        return call(w, &body);
    }
    std::uint32_t next_id() { return next_id_++; }
    // The results of the next `n` replies by request id (empty on failure).
    std::map<std::uint32_t, std::uint32_t> results(int n) {
        std::map<std::uint32_t, std::uint32_t> by_id;
        for (int i = 0; i < n; ++i) {
            std::vector<std::uint8_t> body;
            if (!receive(&body)) return {};
            wire_reader in(body);
            const std::uint32_t id = in.u32();
            in.u32();
            by_id[id] = in.u32();
        }
        return by_id;
    }

private:
    bool read(std::uint8_t* p, std::size_t n, milliseconds timeout) {
        while (n > 0) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return false;
            const ssize_t got = ::recv(fd_, p, n, 0);
            if (got <= 0) return false;
            p += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    std::uint32_t next_id_ = 1;
};

class BridgeServer : public ::testing::Test {
protected:
    void SetUp() override {
        server_options options;
        options.port = 0;
        options.frame_timeout_ms = 300;
        server_ = std::make_unique<bridge_server>(backend_, options);
        ASSERT_EQ(server_->listen(), 0);
        runner_ = std::thread([this] { server_->run(); });
    }
    void TearDown() override {
        server_->stop();
        runner_.join();
        server_.reset();
    }
    std::uint16_t port() const { return server_->port(); }

    // A client that is served: the bridge still answers.
    void expect_served() {
        raw_client other(port());
        ASSERT_TRUE(other.connected());
        std::uint32_t context = 0;
        EXPECT_EQ(other.establish(&context), rc::success);
        EXPECT_NE(context, 0u);
        wire_writer w(other.next_id(), op::list_readers);
        w.u32(context);
        std::vector<std::uint8_t> body;
        EXPECT_EQ(other.call(w, &body), rc::success);
    }

    bool wait_no_connections() {
        const auto deadline = std::chrono::steady_clock::now() + seconds(10);
        while (server_->open_connections() != 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return true;
    }

    scripted_backend backend_;
    std::unique_ptr<bridge_server> server_;
    std::thread runner_;
};

std::vector<std::uint8_t> frame_of(std::uint32_t length, std::vector<std::uint8_t> body) {
    std::vector<std::uint8_t> bytes(4 + body.size());
    store_u32(bytes.data(), length);
    if (!body.empty()) std::memcpy(bytes.data() + 4, body.data(), body.size());
    return bytes;
}

std::vector<std::uint8_t> le(std::initializer_list<std::uint32_t> words) {
    std::vector<std::uint8_t> out;
    for (std::uint32_t w : words) {
        std::uint8_t b[4];
        store_u32(b, w);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

std::vector<std::uint8_t> with_length(std::vector<std::uint8_t> body) {
    return frame_of(static_cast<std::uint32_t>(body.size()), body);
}

std::vector<std::uint8_t> concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct bad_input {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool half_close;  // the client stops sending after the bytes
};

TEST_F(BridgeServer, BadInputClosesThatConnectionOnly) {
    const std::uint32_t gsc = static_cast<std::uint32_t>(op::get_status_change);
    const std::string http = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::vector<bad_input> cases = {
        {"length of 4 GiB", frame_of(0xFFFFFFFF, {}), false},
        {"length just over the limit", frame_of(max_body + 1, {}), false},
        {"length below the header", frame_of(4, le({1})), false},
        {"text instead of frames", std::vector<std::uint8_t>(http.begin(), http.end()), false},
        {"frame cut short, then silence", frame_of(20, le({1, 1})), false},
        {"frame cut short, then end of stream", frame_of(20, le({1, 1})), true},
        {"length prefix cut short", {0x10, 0x00}, true},
        {"unknown operation", with_length(le({1, 99, 0})), false},
        {"operation 0", with_length(le({1, 0, 0})), false},
        {"arguments missing", with_length(le({1, static_cast<std::uint32_t>(op::connect), 5})), false},
        {"bytes left over", with_length(le({1, static_cast<std::uint32_t>(op::establish_context), 2, 7})), false},
        {"string longer than a reader name",
         with_length(concat(le({1, static_cast<std::uint32_t>(op::connect), 1, max_name + 1}),
                            std::vector<std::uint8_t>(max_name + 1 + 8, 'a'))),
         false},
        {"string length past the body", with_length(le({1, static_cast<std::uint32_t>(op::connect), 1, 900, 2, 3})),
         false},
        {"NUL inside a reader name",
         with_length(concat(le({1, static_cast<std::uint32_t>(op::connect), 1, 3}), {'a', 0, 'b', 2, 0, 0, 0, 3, 0, 0, 0})),
         false},
        {"too many reader states", with_length(le({1, gsc, 1, 0, max_reader_states + 1})), false},
        {"command longer than an APDU",
         with_length(concat(le({1, static_cast<std::uint32_t>(op::transmit), 1, 2, 258, max_apdu + 1}),
                            std::vector<std::uint8_t>(max_apdu + 1, 0))),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The last case's clients may still be closing on the server: their
        // releases must land before the count is taken.
        ASSERT_TRUE(wait_no_connections());
        raw_client bad(port());
        ASSERT_TRUE(bad.connected());
        // A context made before the bad frame is released with the connection.
        std::uint32_t context = 0;
        ASSERT_EQ(bad.establish(&context), rc::success);
        const std::size_t released_before = backend_.released_count();
        bad.send(c.bytes);
        if (c.half_close) bad.half_close();
        expect_served();  // also while the bad client's frame is pending
        EXPECT_TRUE(bad.closed_by_peer());
        // Released: the bad client's context and that of the client served meanwhile.
        EXPECT_TRUE(backend_.wait_for([&] { return backend_.released_.size() == released_before + 2; }));
        expect_served();
    }
}

TEST_F(BridgeServer, GoodFramesAreAnsweredInTurn) {
    raw_client client(port());
    std::uint32_t context = 0;
    ASSERT_EQ(client.establish(&context), rc::success);
    std::uint32_t card = 0;
    ASSERT_EQ(client.connect_card(context, &card), rc::success);
    EXPECT_NE(card, context);

    // Two requests in one write, answered one by one.
    wire_writer a(41, op::transmit);
    a.u32(card).u32(win_protocol::t1).u32(0xFFFFFFFF).bytes("\x80\xFF\x00\x00", 4);
    wire_writer b(42, op::status);
    b.u32(card);
    ASSERT_TRUE(client.send(concat(a.finish(), b.finish())));
    std::map<std::uint32_t, std::vector<std::uint8_t>> replies;
    for (int i = 0; i < 2; ++i) {
        std::vector<std::uint8_t> body;
        ASSERT_TRUE(client.receive(&body));
        replies[load_u32(body.data())] = body;
    }
    {
        wire_reader in(replies.at(41));
        EXPECT_EQ(in.u32(), 41u);
        EXPECT_EQ(in.u32(), static_cast<std::uint32_t>(op::transmit));
        EXPECT_EQ(in.u32(), rc::success);
        EXPECT_EQ(in.u32(), win_protocol::t1);
        EXPECT_EQ(in.bytes(max_apdu), (std::vector<std::uint8_t>{0x6D, 0x00}));
        EXPECT_TRUE(in.complete());
        // A capacity beyond any reply is held to the largest APDU.
        EXPECT_EQ(backend_.last_capacity_, max_apdu);
        EXPECT_EQ(backend_.last_command_, (std::vector<std::uint8_t>{0x80, 0xFF, 0x00, 0x00}));
    }
    {
        wire_reader in(replies.at(42));
        in.u32();
        in.u32();
        EXPECT_EQ(in.u32(), rc::success);
        EXPECT_EQ(in.str(max_name), "Solvanta Token 00 00");
        EXPECT_EQ(in.u32(), 6u);
        EXPECT_EQ(in.u32(), win_protocol::t1);
        EXPECT_EQ(in.bytes(max_atr).size(), 5u);
        EXPECT_TRUE(in.complete());
    }

    // Reader states come back with their events and ATRs.
    wire_writer w(43, op::get_status_change);
    w.u32(context).u32(0).u32(2).str("\\\\?PnP?\\Notification").u32(0).str("Solvanta Token 00 00").u32(0x10);
    std::vector<std::uint8_t> body;
    EXPECT_EQ(client.call(w, &body), rc::timeout);
    wire_reader in(body);
    for (int i = 0; i < 3; ++i) in.u32();
    ASSERT_EQ(in.u32(), 2u);
    EXPECT_EQ(in.u32(), 0x20u);
    EXPECT_EQ(in.bytes(max_atr).size(), 2u);
    EXPECT_EQ(in.u32(), 0x30u);
    EXPECT_EQ(in.bytes(max_atr).size(), 2u);
    EXPECT_TRUE(in.complete());
}

TEST_F(BridgeServer, HandlesBelongToTheirConnection) {
    raw_client owner(port());
    raw_client other(port());
    std::uint32_t context = 0, card = 0, other_context = 0;
    ASSERT_EQ(owner.establish(&context), rc::success);
    ASSERT_EQ(owner.connect_card(context, &card), rc::success);
    ASSERT_EQ(other.establish(&other_context), rc::success);

    for (op operation : {op::is_valid_context, op::list_readers, op::cancel, op::release_context})
        EXPECT_EQ(other.on_handle(operation, context), rc::invalid_handle) << static_cast<int>(operation);
    for (op operation : {op::transmit, op::begin_transaction, op::end_transaction, op::status, op::disconnect})
        EXPECT_EQ(other.on_handle(operation, card), rc::invalid_handle) << static_cast<int>(operation);
    // A card id is no context and a context id no card.
    EXPECT_EQ(owner.on_handle(op::transmit, context), rc::invalid_handle);
    EXPECT_EQ(owner.on_handle(op::is_valid_context, card), rc::invalid_handle);
    // The owner still has both.
    EXPECT_EQ(owner.on_handle(op::transmit, card), rc::success);
    EXPECT_EQ(owner.on_handle(op::is_valid_context, context), rc::success);

    // Dropping the connection disconnects the card and releases the context,
    // and nothing of the other client.
    owner.close();
    EXPECT_TRUE(backend_.wait_for([&] { return backend_.released_.size() == 1 && backend_.disconnected_.size() == 1; }));
    EXPECT_EQ(backend_.contexts_.size(), 1u);
    EXPECT_EQ(other.on_handle(op::is_valid_context, other_context), rc::success);
}

TEST_F(BridgeServer, ReleaseAndDisconnectEndOwnership) {
    raw_client client(port());
    std::uint32_t context = 0, card = 0;
    ASSERT_EQ(client.establish(&context), rc::success);
    ASSERT_EQ(client.connect_card(context, &card), rc::success);
    EXPECT_EQ(client.on_handle(op::disconnect, card), rc::success);
    EXPECT_EQ(client.on_handle(op::transmit, card), rc::invalid_handle);

    std::uint32_t second = 0;
    ASSERT_EQ(client.connect_card(context, &second), rc::success);
    EXPECT_EQ(client.on_handle(op::release_context, context), rc::success);
    // The release took the context's card with it.
    EXPECT_EQ(client.on_handle(op::transmit, second), rc::invalid_handle);
    EXPECT_EQ(client.on_handle(op::is_valid_context, context), rc::invalid_handle);
    EXPECT_EQ(client.on_handle(op::release_context, context), rc::invalid_handle);
    std::lock_guard<std::mutex> lock(backend_.m_);
    EXPECT_TRUE(backend_.contexts_.empty());
    EXPECT_TRUE(backend_.cards_.empty());
}

TEST_F(BridgeServer, CancelOrReleaseOnTheSameConnectionEndsAWaitInProgress) {
    for (op ending : {op::cancel, op::release_context}) {
        SCOPED_TRACE(static_cast<int>(ending));
        raw_client client(port());
        std::uint32_t context = 0, card = 0;
        ASSERT_EQ(client.establish(&context), rc::success);
        ASSERT_EQ(client.connect_card(context, &card), rc::success);
        wire_writer wait(100, op::get_status_change);
        wait.u32(context).u32(infinite).u32(1).str("\\\\?PnP?\\Notification").u32(0);
        ASSERT_TRUE(client.send(wait.finish()));
        ASSERT_TRUE(backend_.wait_for([&] { return backend_.waiters() == 1; }));

        // The connection keeps serving while the wait blocks.
        EXPECT_EQ(client.on_handle(op::transmit, card), rc::success);

        wire_writer end(101, ending);
        end.u32(context);
        ASSERT_TRUE(client.send(end.finish()));
        const auto results = client.results(2);
        ASSERT_EQ(results.size(), 2u);
        EXPECT_EQ(results.at(100), rc::cancelled);
        EXPECT_EQ(results.at(101), rc::success);
    }
}

TEST_F(BridgeServer, DroppedClientsWaitsAreCancelledAndItsContextsReleased) {
    {
        raw_client client(port());
        std::uint32_t context = 0;
        ASSERT_EQ(client.establish(&context), rc::success);
        wire_writer wait(5, op::get_status_change);
        wait.u32(context).u32(infinite).u32(0);
        ASSERT_TRUE(client.send(wait.finish()));
        ASSERT_TRUE(backend_.wait_for([&] { return backend_.waiters() == 1; }));
    }
    EXPECT_TRUE(backend_.wait_for([&] { return backend_.waiters() == 0 && backend_.released_.size() == 1; }));
    EXPECT_TRUE(wait_no_connections());
    expect_served();
}

TEST_F(BridgeServer, OpenRequestsOfOneConnectionAreBounded) {
    raw_client client(port());
    std::uint32_t context = 0;
    ASSERT_EQ(client.establish(&context), rc::success);
    for (std::uint32_t i = 0; i < max_in_flight; ++i) {
        wire_writer wait(1000 + i, op::get_status_change);
        wait.u32(context).u32(infinite).u32(0);
        ASSERT_TRUE(client.send(wait.finish()));
    }
    ASSERT_TRUE(backend_.wait_for([&] { return backend_.waiters() == max_in_flight; }));
    // One more is refused at once; the connection stays.
    wire_writer more(2000, op::is_valid_context);
    more.u32(context);
    std::vector<std::uint8_t> body;
    EXPECT_EQ(client.call(more, &body), rc::no_memory);

    // An id that is still open is a broken client.
    wire_writer again(1000, op::is_valid_context);
    again.u32(context);
    ASSERT_TRUE(client.send(again.finish()));
    EXPECT_TRUE(client.closed_by_peer());
    EXPECT_TRUE(backend_.wait_for([&] { return backend_.waiters() == 0 && backend_.released_.size() == 1; }));
}

// The bridge program itself, with pcsc-lite behind it (pcscd need not run:
// a context request is answered either way).
TEST(BridgeProgram, DropsABadClientServesTheOthersAndStopsOnSigterm) {
    const std::string ready = ::testing::TempDir() + "bridge-program-" + std::to_string(::getpid()) + ".port";
    std::remove(ready.c_str());
    const char* argv[] = {SOLVANTA_PCSC_BRIDGE_PROGRAM, "--port", "0", "--ready-file", ready.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ), 0);
    std::uint16_t bridge_port = 0;
    const auto deadline = std::chrono::steady_clock::now() + seconds(10);
    while (bridge_port == 0 && std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(ready);
        unsigned value = 0;
        if (in >> value) {
            bridge_port = static_cast<std::uint16_t>(value);
        } else {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    ASSERT_NE(bridge_port, 0) << "the bridge did not report its port";

    raw_client bad(bridge_port);
    ASSERT_TRUE(bad.connected());
    EXPECT_TRUE(bad.send(frame_of(0xFFFFFFFF, {})));
    EXPECT_TRUE(bad.closed_by_peer());

    raw_client good(bridge_port);
    std::uint32_t context = 0;
    const std::uint32_t rv = good.establish(&context);
    EXPECT_TRUE(rv == rc::success || rv == rc::no_service) << std::hex << rv;
    if (rv == rc::success) {
        EXPECT_EQ(good.on_handle(op::release_context, context), rc::success);
    }

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::remove(ready.c_str());
}

TEST(BridgeStoppingBackend, TheFirstListMeetsAStoppedServiceAndLosesItsContext) {
    scripted_backend inner;
    stopping_backend stopping(inner);
    service_value first = 0;
    ASSERT_EQ(stopping.establish_context(0, &first), rc::success);
    EXPECT_FALSE(stopping.stopped());
    std::vector<std::uint8_t> readers;
    EXPECT_EQ(stopping.list_readers(first, &readers), rc::service_stopped);
    EXPECT_TRUE(readers.empty());
    EXPECT_TRUE(stopping.stopped());
    EXPECT_EQ(stopping.is_valid_context(first), rc::invalid_handle) << "the context went with the service";
    EXPECT_EQ(stopping.release_context(first), rc::invalid_handle);
    // Once only: a new context lists as the service does.
    service_value second = 0;
    ASSERT_EQ(stopping.establish_context(0, &second), rc::success);
    ASSERT_EQ(stopping.list_readers(second, &readers), rc::success);
    EXPECT_FALSE(readers.empty());
    EXPECT_EQ(stopping.list_readers(second, &readers), rc::success);
}

TEST(BridgeValues, ProtocolsAndCardStatesMapBetweenWinscardAndPcscLite) {
    struct protocol_case {
        std::uint32_t win;
        std::uint64_t lite;
    };
    for (const auto& c : {protocol_case{0, 0}, protocol_case{win_protocol::t0, lite_protocol::t0},
                          protocol_case{win_protocol::t1, lite_protocol::t1},
                          protocol_case{win_protocol::raw, lite_protocol::raw},
                          protocol_case{win_protocol::t0 | win_protocol::t1, lite_protocol::t0 | lite_protocol::t1}}) {
        EXPECT_EQ(protocols_to_lite(c.win), c.lite) << c.win;
        EXPECT_EQ(protocols_from_lite(c.lite), c.win) << c.win;
    }
    EXPECT_EQ(protocols_to_lite(win_protocol::default_protocol), lite_protocol::t0 | lite_protocol::t1);
    EXPECT_EQ(protocols_from_lite(0x8 /* T=15 */), 0u);

    struct state_case {
        std::uint64_t lite;
        std::uint64_t protocol;
        std::uint32_t win;
    };
    for (const auto& c : {state_case{0x0001, 0, 0}, state_case{0x0002, 0, 1}, state_case{0x0004, 0, 2},
                          state_case{0x0014, 0, 4}, state_case{0x0034, 0, 5}, state_case{0x0034, 2, 6},
                          state_case{0x0054, 2, 6}, state_case{0, 0, 0}}) {
        EXPECT_EQ(card_state_from_lite(c.lite, c.protocol), c.win) << std::hex << c.lite;
    }
}

TEST(BridgeValues, PortComesFromTheVariableWhenItIsAPortNumber) {
    EXPECT_EQ(parse_port(nullptr), default_port);
    EXPECT_EQ(parse_port(""), default_port);
    EXPECT_EQ(parse_port("40999"), 40999);
    EXPECT_EQ(parse_port("65535"), 65535);
    for (const char* bad : {"0", "65536", "99999999999", "12ab", "-5", " 80"}) EXPECT_EQ(parse_port(bad), default_port) << bad;
}

}  // namespace
