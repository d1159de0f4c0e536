// solvanta_pcsc_bridge: serves the stand-in winscard.dll of Windows programs
// running under Wine with the machine's pcsc-lite.
//
//   solvanta_pcsc_bridge [--port N] [--ready-file PATH] [--service-stops-once]
//
// The port is N, else SOLVANTA_PCSC_BRIDGE_PORT, else 40480; the bridge
// listens on 127.0.0.1 only. Once it listens it writes the port to PATH
// (through a temporary file and a rename, so a reader never sees half of
// it). SIGTERM or SIGINT end it; every client's contexts are released.
// --service-stops-once: for tests of a caller's recovery, the first
// list-readers request meets a service that stopped under its context
// (stopping_backend.h).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pcsclite_backend.h"
#include "server.h"
#include "stopping_backend.h"

namespace {

pcsc_bridge::bridge_server* running_server = nullptr;

extern "C" void on_signal(int) {
    if (running_server != nullptr) running_server->stop();
}

int usage() {
    std::fprintf(stderr, "usage: solvanta_pcsc_bridge [--port N] [--ready-file PATH] [--service-stops-once]\n");
    return 2;
}

bool write_ready_file(const std::string& path, std::uint16_t port) {
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) return false;
    const bool written = std::fprintf(f, "%u\n", static_cast<unsigned>(port)) > 0;
    if (std::fclose(f) != 0 || !written) return false;
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    pcsc_bridge::server_options options;
    options.port = pcsc_bridge::parse_port(std::getenv(pcsc_bridge::port_variable));
    std::string ready_file;
    bool service_stops_once = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            const char* text = argv[++i];
            options.port = pcsc_bridge::parse_port(text);
            if (std::strcmp(text, "0") == 0) options.port = 0;
        } else if (arg == "--ready-file" && i + 1 < argc) {
            ready_file = argv[++i];
        } else if (arg == "--service-stops-once") {
            service_stops_once = true;
        } else {
            return usage();
        }
    }

    pcsc_bridge::pcsclite_backend backend;
    pcsc_bridge::stopping_backend stopping(backend);
    pcsc_bridge::bridge_server server(service_stops_once ? static_cast<pcsc_bridge::pcsc_backend&>(stopping)
                                                         : static_cast<pcsc_bridge::pcsc_backend&>(backend),
                                      options);
    if (const int err = server.listen(); err != 0) {
        std::fprintf(stderr, "solvanta_pcsc_bridge: cannot listen on 127.0.0.1:%u: %s\n",
                     static_cast<unsigned>(options.port), std::strerror(err));
        return 1;
    }

    running_server = &server;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!ready_file.empty() && !write_ready_file(ready_file, server.port())) {
        std::fprintf(stderr, "solvanta_pcsc_bridge: cannot write %s\n", ready_file.c_str());
        return 1;
    }
    server.run();
    running_server = nullptr;
    return 0;
}
