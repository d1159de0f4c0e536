// A helper program run by a test as a second process, talked to by lines on
// its standard input and output, and killed outright when the test wants
// to see a holder die. The helper sits in the test program's own folder.
#pragma once

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

namespace test_support {

// The folder of the running program, with a trailing separator.
inline std::string own_folder() {
#ifdef _WIN32
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n);
    return p.substr(0, p.find_last_of("\\/") + 1);
#else
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string p(path, n > 0 ? static_cast<std::size_t>(n) : 0);
    return p.substr(0, p.find_last_of('/') + 1);
#endif
}

// program: a file name in own_folder(), without ".exe".
class helper_process {
public:
    helper_process() = default;
    ~helper_process() {
        kill();
        wait();
    }
    helper_process(const helper_process&) = delete;
    helper_process& operator=(const helper_process&) = delete;

    bool start(const std::string& program, const std::vector<std::string>& args) {
#ifdef _WIN32
        std::string command = "\"" + own_folder() + program + ".exe\"";
        for (const std::string& a : args) command += " \"" + a + "\"";
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE out_read, out_write, in_read, in_write;
        if (!CreatePipe(&out_read, &out_write, &sa, 0)) return false;
        if (!CreatePipe(&in_read, &in_write, &sa, 0)) return false;
        SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in_read;
        si.hStdOutput = out_write;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION pi{};
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        const BOOL ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        CloseHandle(out_write);
        CloseHandle(in_read);
        if (!ok) {
            CloseHandle(out_read);
            CloseHandle(in_write);
            return false;
        }
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        from_child_ = out_read;
        to_child_ = in_write;
        return true;
#else
        int out[2], in[2];
        if (pipe(out) != 0 || pipe(in) != 0) return false;
        const std::string path = own_folder() + program;
        // Made before the fork: the child may only exec.
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        from_child_ = out[0];
        to_child_ = in[1];
        return true;
#endif
    }

    // One line of the child's output without its end; false at its end.
    bool read_line(std::string& line) {
        line.clear();
        for (;;) {
            char c;
#ifdef _WIN32
            DWORD n = 0;
            if (!ReadFile(from_child_, &c, 1, &n, nullptr) || n != 1) return false;
#else
            if (read(from_child_, &c, 1) != 1) return false;
#endif
            if (c == '\n') return true;
            if (c != '\r') line.push_back(c);
        }
    }

    bool write_line(const std::string& line) {
        const std::string text = line + "\n";
#ifdef _WIN32
        DWORD n = 0;
        return WriteFile(to_child_, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
#else
        return write(to_child_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
#endif
    }

    // Ends the child at once, as a crash would (SIGKILL, TerminateProcess).
    void kill() {
#ifdef _WIN32
        if (process_ != nullptr) TerminateProcess(process_, 137);
#else
        if (pid_ > 0) ::kill(pid_, SIGKILL);
#endif
    }

    // Waits for the child's end: its exit code, or -1.
    int wait() {
        int code = -1;
#ifdef _WIN32
        if (process_ != nullptr) {
            WaitForSingleObject(process_, INFINITE);
            DWORD c = 0;
            if (GetExitCodeProcess(process_, &c)) code = static_cast<int>(c);
            CloseHandle(process_);
            CloseHandle(from_child_);
            CloseHandle(to_child_);
            process_ = nullptr;
        }
#else
        if (pid_ > 0) {
            int status = 0;
            if (waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) code = WEXITSTATUS(status);
            close(from_child_);
            close(to_child_);
            pid_ = -1;
        }
#endif
        return code;
    }

private:
#ifdef _WIN32
    HANDLE process_ = nullptr;
    HANDLE from_child_ = nullptr;
    HANDLE to_child_ = nullptr;
#else
    pid_t pid_ = -1;
    int from_child_ = -1;
    int to_child_ = -1;
#endif
};

}  // namespace test_support
