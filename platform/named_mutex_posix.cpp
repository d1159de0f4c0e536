// POSIX named mutex: a process-wide table maps each name to one entry that
// gives exclusion and recursion between the threads of this process; the
// entry's thread owner then holds flock(LOCK_EX) on the name's lock file,
// which excludes other processes. The kernel drops a flock when its process
// dies, so a dead holder's mutex simply passes to the next waiter.
//
// A child made by fork() starts with an empty table: the entries it
// inherited belong to its parent (their lock files share the parent's open
// file descriptions), so objects opened before the fork report the mutex as
// closed in the child and must be opened again.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/named_mutex.h"
#include "platform/name_hash.h"

namespace platform {

namespace {

using clock = std::chrono::steady_clock;

struct entry {
    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner;     // the thread that holds or is taking the file lock
    std::int32_t count = 0;    // recursion count of owner, 0 while it takes the lock
    int fd = -1;
    std::int32_t refs = 0;     // open objects of this process (under the table's lock)
    std::string key;
};

struct table {
    std::mutex m;
    std::map<std::string, entry*> entries;
};

// The table of this process. Never destroyed: threads of an unloading
// library may still be leaving it. A fork child replaces it.
std::atomic<table*> current_table{nullptr};
std::atomic<std::uint64_t> generation{0};
std::once_flag atfork_once;

void before_fork() {
    table* t = current_table.load();
    if (t != nullptr) t->m.lock();
}

void after_fork_parent() {
    table* t = current_table.load();
    if (t != nullptr) t->m.unlock();
}

void after_fork_child() {
    table* t = current_table.load();
    if (t == nullptr) return;
    // Only the forking thread exists; the entries stay allocated (their
    // mutexes may be locked by threads that no longer exist here).
    for (auto& kv : t->entries)
        if (kv.second->fd >= 0) ::close(kv.second->fd);
    t->entries.clear();
    t->m.unlock();
    ++generation;
}

table& the_table() {
    std::call_once(atfork_once, [] {
        current_table.store(new table);
        pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child);
    });
    return *current_table.load();
}

std::string lock_file_path(const std::string& name) {
    std::string readable;
    for (char c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_';
        readable.push_back(plain ? c : '_');
        if (readable.size() == 64) break;
    }
    // The hash of the exact name keeps names apart that read the same.
    return "/tmp/solvanta-" + readable + "-" + name_hash_hex(name) + ".lock";
}

int open_lock_file(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    // Every user may open it, whatever the umask (fails quietly when the
    // file is another user's, who made it 0666 already).
    (void)::fchmod(fd, 0666);
    return fd;
}

lock_result take_file_lock(int fd, std::uint32_t milliseconds, clock::time_point deadline) {
    if (milliseconds == wait_forever) {
        for (;;) {
            if (::flock(fd, LOCK_EX) == 0) return lock_result::acquired;
            if (errno != EINTR) return lock_result::failed;
        }
    }
    std::chrono::milliseconds step(1);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock_result::acquired;
        if (errno != EWOULDBLOCK && errno != EINTR) return lock_result::failed;
        const auto now = clock::now();
        if (now >= deadline) return lock_result::timed_out;
        std::this_thread::sleep_for(std::min<clock::duration>(step, deadline - now));
        step = std::min(step * 2, std::chrono::milliseconds(10));
    }
}

lock_result lock_entry(entry& e, std::uint32_t milliseconds) {
    const auto self = std::this_thread::get_id();
    const auto deadline = clock::now() + std::chrono::milliseconds(milliseconds == wait_forever ? 0 : milliseconds);
    std::unique_lock<std::mutex> lock(e.m);
    if (e.owner == self) {
        ++e.count;
        return lock_result::acquired;
    }
    while (e.owner != std::thread::id()) {
        if (milliseconds == wait_forever) {
            e.cv.wait(lock);
        } else if (e.cv.wait_until(lock, deadline) == std::cv_status::timeout &&
                   e.owner != std::thread::id()) {
            return lock_result::timed_out;
        }
    }
    // Reserve the entry, then take the file lock without holding e.m so
    // that the other threads wait on the condition meanwhile.
    e.owner = self;
    lock.unlock();
    const lock_result r = take_file_lock(e.fd, milliseconds, deadline);
    lock.lock();
    if (r != lock_result::acquired) {
        e.owner = std::thread::id();
        e.cv.notify_one();
        return r;
    }
    e.count = 1;
    return r;
}

// Drops the file lock and wakes one waiting thread; e.m is held.
void free_entry(entry& e) {
    (void)::flock(e.fd, LOCK_UN);
    e.owner = std::thread::id();
    e.count = 0;
    e.cv.notify_one();
}

bool unlock_entry(entry& e) {
    std::lock_guard<std::mutex> lock(e.m);
    if (e.owner != std::this_thread::get_id() || e.count == 0) return false;
    if (--e.count == 0) free_entry(e);
    return true;
}

}  // namespace

struct named_mutex::state {
    entry* e = nullptr;
    std::uint64_t generation = 0;
    std::atomic<std::int32_t> holds{0};

    bool live() const { return e != nullptr && generation == platform::generation.load(); }
};

named_mutex::~named_mutex() {
    close();
    delete state_;
}

int named_mutex::open(const char* name) {
    if (is_open()) return 0;
    if (name == nullptr || *name == '\0') return 3;
    if (state_ == nullptr) state_ = new state;
    state_->e = nullptr;
    state_->holds = 0;

    table& t = the_table();
    const std::string key = bounded_object_name(name, max_object_name);
    std::lock_guard<std::mutex> lock(t.m);
    auto it = t.entries.find(key);
    entry* e;
    if (it != t.entries.end()) {
        e = it->second;
    } else {
        const int fd = open_lock_file(lock_file_path(key));
        if (fd < 0) return 3;
        e = new entry;
        e->fd = fd;
        e->key = key;
        t.entries.emplace(key, e);
    }
    ++e->refs;
    state_->e = e;
    state_->generation = generation.load();
    return 0;
}

bool named_mutex::is_open() const { return state_ != nullptr && state_->live(); }

lock_result named_mutex::lock(std::uint32_t milliseconds) {
    if (!is_open()) return lock_result::failed;
    const lock_result r = lock_entry(*state_->e, milliseconds);
    if (r == lock_result::acquired) ++state_->holds;
    return r;
}

bool named_mutex::unlock() {
    if (!is_open() || state_->holds.load() <= 0) return false;
    if (!unlock_entry(*state_->e)) return false;
    --state_->holds;
    return true;
}

void named_mutex::close() {
    if (state_ == nullptr || state_->e == nullptr) return;
    if (!state_->live()) {
        // Opened before a fork: the entry is the parent's.
        state_->e = nullptr;
        state_->holds = 0;
        return;
    }
    while (state_->holds.load() > 0 && unlock()) {
    }
    entry* e = state_->e;
    state_->e = nullptr;
    state_->holds = 0;

    table& t = the_table();
    std::lock_guard<std::mutex> lock(t.m);
    if (--e->refs > 0) return;
    {
        // No object of this process can release it any more: a hold left
        // by another thread is given up with the last object.
        std::lock_guard<std::mutex> entry_lock(e->m);
        if (e->owner != std::thread::id()) free_entry(*e);
    }
    t.entries.erase(e->key);
    ::close(e->fd);
    delete e;
}

std::int32_t named_mutex::holds() const { return state_ == nullptr ? 0 : state_->holds.load(); }

}  // namespace platform
