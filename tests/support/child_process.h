// A helper program run as a child process: the test writes lines to its
// standard input and waits on the lines of its standard output, never on
// time alone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

// A program built in the running test program's own folder (".exe" is
// added on Windows).
std::string program_beside_me(const std::string& name);

// How long a test waits for a helper's answer (or its end) before it gives
// up: long enough for a 32-bit helper that starts under user-mode emulation
// on a busy machine. Only a failing test ever waits this long.
constexpr std::chrono::seconds child_answer_time{120};

class child_process {
public:
    child_process(const std::string& program, const std::vector<std::string>& args);
    // Closes the child's input and waits for it to end; a child that does
    // not end within child_answer_time is killed.
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool started() const { return started_; }

    // One line to the child's standard input.
    bool write_line(const std::string& line);
    // The next line of its output within timeout; false on timeout or end.
    bool next_line(std::string& line, std::chrono::milliseconds timeout);
    // True when a line arrives within timeout (without taking it).
    bool line_within(std::chrono::milliseconds timeout);
    // Closes the child's input, waits for it to end: its exit status.
    int wait_exit();
    // Ends the child at once, as a crash would (SIGKILL, TerminateProcess).
    void kill();

private:
    void read_lines();
    bool read_some(char* buffer, std::size_t size, std::size_t& got);
    void close_input();

    bool started_ = false;
    int status_ = -1;
#ifdef _WIN32
    void* process_ = nullptr;
    void* input_ = nullptr;
    void* output_ = nullptr;
#else
    int pid_ = -1;
    int input_ = -1;
    int output_ = -1;
#endif
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> lines_;
    bool ended_ = false;
};

}  // namespace test_support
