#include "support/vtoken_control.h"
#include "support/hex_bytes.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace test_support {

namespace {

#ifdef _WIN32
using native_socket = SOCKET;
const std::intptr_t no_socket = static_cast<std::intptr_t>(INVALID_SOCKET);
void close_socket(std::intptr_t s) { closesocket(static_cast<SOCKET>(s)); }
struct winsock {
    winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
#else
using native_socket = int;
const std::intptr_t no_socket = -1;
void close_socket(std::intptr_t s) { ::close(static_cast<int>(s)); }
#endif

int default_port() {
    const char* env = std::getenv("SOLVANTA_VTOKEN_CONTROL_PORT");
    return env != nullptr && *env != '\0' ? std::atoi(env) : 40470;
}

}  // namespace

vtoken_control::vtoken_control() : vtoken_control(default_port()) {}

vtoken_control::vtoken_control(int port) : socket_(no_socket) {
#ifdef _WIN32
    static winsock started;
#endif
    const native_socket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (static_cast<std::intptr_t>(s) == no_socket) throw vtoken_error("no socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close_socket(static_cast<std::intptr_t>(s));
        throw vtoken_error("virtual token side channel not reachable on port " + std::to_string(port));
    }
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    socket_ = static_cast<std::intptr_t>(s);
}

vtoken_control::~vtoken_control() {
    if (socket_ != no_socket) close_socket(socket_);
}

void vtoken_control::send_line(const std::string& line) {
    std::size_t sent = 0;
    while (sent < line.size()) {
        const auto n = ::send(static_cast<native_socket>(socket_), line.data() + sent,
                              static_cast<int>(line.size() - sent), 0);
        if (n <= 0) throw vtoken_error("side channel closed while sending");
        sent += static_cast<std::size_t>(n);
    }
}

std::string vtoken_control::read_line() {
    for (;;) {
        const auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        char chunk[4096];
        const auto n = ::recv(static_cast<native_socket>(socket_), chunk, sizeof chunk, 0);
        if (n <= 0) throw vtoken_error("side channel closed while reading");
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
}

nlohmann::json vtoken_control::call(const std::string& cmd, nlohmann::json fields) {
    fields["cmd"] = cmd;
    send_line(fields.dump() + "\n");
    nlohmann::json reply = nlohmann::json::parse(read_line());
    if (!reply.value("ok", false))
        throw vtoken_error(cmd + ": " + reply.value("error", std::string("refused")));
    return reply;
}

void vtoken_control::override_replies(const std::vector<std::string>& hex) {
    call("override", {{"replies", hex}});
}

std::vector<vtoken_control::logged_apdu> vtoken_control::log() {
    std::vector<logged_apdu> out;
    const nlohmann::json reply = call("log");
    for (const auto& e : reply["entries"])
        out.push_back({e["command"].get<std::string>(), e["reply"].get<std::string>()});
    return out;
}

std::vector<std::string> vtoken_control::commands() {
    std::vector<std::string> out;
    for (const auto& e : log()) out.push_back(e.command);
    return out;
}

std::vector<std::string> vtoken_control::controls() {
    std::vector<std::string> out;
    const nlohmann::json reply = call("log");
    for (const auto& e : reply["controls"])
        if (e.contains("code")) out.push_back(e["code"].get<std::string>());
    return out;
}

void vtoken_control::clear_log() {
    call("clear_log");
}

void vtoken_control::fresh_card() {
    call("reset_state");
    call("insert", {{"wait_ready", true}});
    clear_log();
}

std::string to_hex(const unsigned char* data, std::size_t length) { return hex_of(data, length); }

std::vector<unsigned char> from_hex(const std::string& hex) {
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace test_support
