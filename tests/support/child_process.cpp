#include "support/child_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace test_support {

#ifdef _WIN32

namespace {

// Under Wine the build's Unix paths are reached through drive Z:.
std::string native_path(const std::string& path) {
    if (path.empty() || path[0] != '/') return path;
    std::string p = "Z:" + path;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

}  // namespace

child_process::child_process(const std::string& program, const std::vector<std::string>& args) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE child_in = nullptr, to_child = nullptr, from_child = nullptr, child_out = nullptr;
    if (!CreatePipe(&child_in, &to_child, &inherit, 0)) return;
    if (!CreatePipe(&from_child, &child_out, &inherit, 0)) {
        CloseHandle(child_in);
        CloseHandle(to_child);
        return;
    }
    SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);

    const std::string path = native_path(program);
    std::string command = "\"" + path + "\"";
    for (const auto& a : args) command += " \"" + a + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = child_in;
    si.hStdOutput = child_out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    const BOOL ok = CreateProcessA(path.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(child_in);
    CloseHandle(child_out);
    input_ = to_child;
    output_ = from_child;
    if (!ok) {
        close_input();
        CloseHandle(from_child);
        output_ = nullptr;
        return;
    }
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    started_ = true;
    reader_ = std::thread([this] { read_lines(); });
}

bool child_process::write_line(const std::string& line) {
    if (input_ == nullptr) return false;
    const std::string data = line + "\n";
    DWORD written = 0;
    return WriteFile(input_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

bool child_process::read_some(char* buffer, std::size_t size, std::size_t& got) {
    DWORD n = 0;
    if (!ReadFile(output_, buffer, static_cast<DWORD>(size), &n, nullptr) || n == 0) return false;
    got = n;
    return true;
}

void child_process::close_input() {
    if (input_ != nullptr) CloseHandle(input_);
    input_ = nullptr;
}

void child_process::kill() {
    if (process_ != nullptr) TerminateProcess(process_, 99);
}

int child_process::wait_exit() {
    close_input();
    if (!started_) return status_;
    if (reader_.joinable()) reader_.join();
    if (process_ != nullptr) {
        WaitForSingleObject(process_, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        status_ = static_cast<int>(code);
        CloseHandle(process_);
        process_ = nullptr;
    }
    if (output_ != nullptr) CloseHandle(output_);
    output_ = nullptr;
    return status_;
}

#else

child_process::child_process(const std::string& program, const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe(in) != 0) return;
    if (pipe(out) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<std::string> strings{program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (rc != 0) {
        close_input();
        ::close(output_);
        output_ = -1;
        return;
    }
    // A child that exits early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    pid_ = pid;
    started_ = true;
    reader_ = std::thread([this] { read_lines(); });
}

bool child_process::write_line(const std::string& line) {
    if (input_ < 0) return false;
    const std::string data = line + "\n";
    return ::write(input_, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

bool child_process::read_some(char* buffer, std::size_t size, std::size_t& got) {
    const ssize_t n = ::read(output_, buffer, size);
    if (n <= 0) return false;
    got = static_cast<std::size_t>(n);
    return true;
}

void child_process::close_input() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

void child_process::kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
}

int child_process::wait_exit() {
    close_input();
    if (!started_) return status_;
    if (reader_.joinable()) reader_.join();
    if (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, 0) == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
    }
    if (output_ >= 0) ::close(output_);
    output_ = -1;
    return status_;
}

#endif

std::string program_beside_me(const std::string& name) {
#ifdef _WIN32
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string self(path, n);
    return self.substr(0, self.find_last_of("\\/") + 1) + name + ".exe";
#else
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string self(path, n > 0 ? static_cast<std::size_t>(n) : 0);
    return self.substr(0, self.find_last_of('/') + 1) + name;
#endif
}

child_process::~child_process() {
    close_input();
    // A child still blocked after a failed test is ended, not waited for.
    bool ended = true;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (started_) ended = cv_.wait_for(lock, child_answer_time, [this] { return ended_; });
    }
    if (!ended) kill();
    wait_exit();
}

void child_process::read_lines() {
    char buffer[1024];
    std::string partial;
    std::size_t got = 0;
    while (read_some(buffer, sizeof buffer, got)) {
        partial.append(buffer, got);
        std::size_t nl;
        while ((nl = partial.find('\n')) != std::string::npos) {
            std::string line = partial.substr(0, nl);
            partial.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
            cv_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    cv_.notify_all();
}

bool child_process::next_line(std::string& line, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !lines_.empty() || ended_; })) return false;
    if (lines_.empty()) return false;
    line = lines_.front();
    lines_.pop_front();
    return true;
}

bool child_process::line_within(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return !lines_.empty() || ended_; }) && !lines_.empty();
}

}  // namespace test_support
