// Client of the virtual token's side channel (JSON lines over TCP): card
// insertion and removal, scripted replies, the log of APDUs the card saw and
// the card's state. Requests that the token refuses throw.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace test_support {

// The card environment of the tests: one reader with the virtual token.
constexpr const char* card_reader = "Solvanta Token 00 00";
constexpr const char* empty_reader = "Solvanta Token 00 01";
constexpr const char* card_reader_filter = "Solvanta Token";

class vtoken_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class vtoken_control {
public:
    // Port from SOLVANTA_VTOKEN_CONTROL_PORT, else 40470.
    vtoken_control();
    explicit vtoken_control(int port);
    ~vtoken_control();
    vtoken_control(const vtoken_control&) = delete;
    vtoken_control& operator=(const vtoken_control&) = delete;

    // One request; the reply object (its "ok" is true).
    nlohmann::json call(const std::string& cmd, nlohmann::json fields = nlohmann::json::object());

    // The next replies of the card, as raw bytes ("" is an empty reply).
    void override_replies(const std::vector<std::string>& hex);
    struct logged_apdu {
        std::string command;  // lower-case hex
        std::string reply;
    };
    // What the card received and answered since the last clear.
    std::vector<logged_apdu> log();
    // The commands of log().
    std::vector<std::string> commands();
    // Control bytes vpcd sent (power, reset, ATR) since the last clear.
    std::vector<std::string> controls();
    void clear_log();
    // Default card state, no hooks, no pending overrides; the card is
    // inserted and ready.
    void fresh_card();

private:
    void send_line(const std::string& line);
    std::string read_line();

    std::intptr_t socket_;
    std::string pending_;
};

std::string to_hex(const unsigned char* data, std::size_t length);
std::vector<unsigned char> from_hex(const std::string& hex);

}  // namespace test_support
