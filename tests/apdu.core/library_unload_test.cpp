// Unloading ZervikSolvanta while a thread waits for a device event.
//
// Natively the library finds its PC/SC service in this program: the SCard*
// functions below are exported from it and bind before pcsc-lite's, so the
// test sees the watch thread block, be cancelled and give its context back.
// On Windows the watch thread holds the DLL loaded until it has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "ZervikSolvanta.h"

#ifdef _WIN32
#include <tlhelp32.h>
#include <windows.h>
#else
#include <dlfcn.h>
#endif

using wait_function = int(ZERVIK_CALL*)(const char*, int*);

// A pattern no reader has, so that only the end of watching ends the wait,
// whatever readers and cards the machine has.
constexpr const char* no_reader = "no reader has this name";
using cancel_function = int(ZERVIK_CALL*)(void);

#ifndef _WIN32

namespace {

// The service the loaded library talks to: no readers, a status-change
// wait that blocks until cancelled (one with a time limit sees no change
// at once).
struct service {
    std::mutex m;
    std::condition_variable cv;
    int established = 0;
    int released = 0;
    int blocked = 0;
    int cancels = 0;
    int cancels_to_ignore = 0;  // a service slow to answer a cancel
    bool cancel_pending = false;

    bool wait_until_blocked() {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [this] { return blocked > 0; });
    }
};

service& the_service() {
    static service s;
    return s;
}

}  // namespace

#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    service& s = the_service();
    std::lock_guard<std::mutex> lock(s.m);
    *context = ++s.established;
    return SCARD_S_SUCCESS;
}

EXPORTED LONG SCardReleaseContext(SCARDCONTEXT) {
    service& s = the_service();
    std::lock_guard<std::mutex> lock(s.m);
    ++s.released;
    s.cv.notify_all();
    return SCARD_S_SUCCESS;
}

EXPORTED LONG SCardListReaders(SCARDCONTEXT, LPCSTR, LPSTR, LPDWORD) { return SCARD_E_NO_READERS_AVAILABLE; }

EXPORTED LONG SCardGetStatusChange(SCARDCONTEXT, DWORD timeout, SCARD_READERSTATE* states, DWORD count) {
    service& s = the_service();
    std::unique_lock<std::mutex> lock(s.m);
    for (DWORD i = 0; i < count; ++i) states[i].dwEventState = states[i].dwCurrentState;
    if (timeout != INFINITE) return SCARD_E_TIMEOUT;
    ++s.blocked;
    s.cv.notify_all();
    s.cv.wait(lock, [&s] { return s.cancel_pending; });
    --s.blocked;
    s.cancel_pending = false;
    return SCARD_E_CANCELLED;
}

EXPORTED LONG SCardCancel(SCARDCONTEXT) {
    service& s = the_service();
    std::lock_guard<std::mutex> lock(s.m);
    ++s.cancels;
    if (s.cancels_to_ignore > 0) {
        --s.cancels_to_ignore;
        return SCARD_S_SUCCESS;
    }
    if (s.blocked > 0) s.cancel_pending = true;
    s.cv.notify_all();
    return SCARD_S_SUCCESS;
}

namespace {

// The library loaded, and a thread of this program waiting inside it for a
// device event while the watch thread blocks in the service.
struct waiting_library {
    void* library = dlopen(ZERVIK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    int event = -1;
    int result = -1;
    std::thread waiter;

    void start_waiting() {
        ASSERT_NE(library, nullptr) << dlerror();
        auto wait = reinterpret_cast<wait_function>(dlsym(library, "Zervik_WaitforDevEvent"));
        ASSERT_NE(wait, nullptr);
        waiter = std::thread([this, wait] { result = wait(no_reader, &event); });
        // The watch thread blocks: the waiter is inside the library.
        ASSERT_TRUE(the_service().wait_until_blocked());
    }
    ~waiting_library() {
        if (waiter.joinable()) waiter.join();
    }
};

bool library_loaded() {
    void* still = dlopen(ZERVIK_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    if (still != nullptr) dlclose(still);
    return still != nullptr;
}

void ignore_cancels(int count) {
    std::lock_guard<std::mutex> lock(the_service().m);
    the_service().cancels_to_ignore = count;
}

}  // namespace

TEST(library_unload, UnloadingDuringAWaitEndsItAndStopsTheWatchThread) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        waiting_library w;
        ASSERT_NO_FATAL_FAILURE(w.start_waiting());
        ASSERT_EQ(dlclose(w.library), 0);
        w.waiter.join();
        EXPECT_EQ(w.result, 0);
        EXPECT_EQ(w.event, 3);

        // Really gone, and the watch thread gave its context back.
        EXPECT_FALSE(library_loaded());
        service& s = the_service();
        std::lock_guard<std::mutex> lock(s.m);
        EXPECT_GE(s.cancels, 1);
        EXPECT_EQ(s.released, s.established);
        EXPECT_EQ(s.blocked, 0);
    }
}

// The watch thread outlives the bound a stop waits for it (the service
// answers its cancels late): the unload still waits until it has ended, as
// nothing else would keep the library's code mapped under it.
TEST(library_unload, UnloadWaitsForAWatchThreadPastTheStopBound) {
    waiting_library w;
    ASSERT_NO_FATAL_FAILURE(w.start_waiting());
    // More cancels than a bounded stop sends (one per 100 ms for 2 s).
    ignore_cancels(25);
    ASSERT_EQ(dlclose(w.library), 0);
    {
        service& s = the_service();
        std::lock_guard<std::mutex> lock(s.m);
        EXPECT_EQ(s.blocked, 0) << "the unload returned while the watch thread still ran";
        EXPECT_EQ(s.released, s.established);
    }
    w.waiter.join();
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.event, 3);
    EXPECT_FALSE(library_loaded());
}

// A cancel whose watch thread outlives the bound leaves that thread to end
// alone: the library then stays loaded for good, so that a later dlclose
// cannot unmap the code the thread returns into. (It leaves the library
// loaded in this process; the tests above run first.)
TEST(library_unload, AWatchThreadLeftRunningKeepsTheLibraryLoaded) {
    waiting_library w;
    ASSERT_NO_FATAL_FAILURE(w.start_waiting());
    auto cancel = reinterpret_cast<cancel_function>(dlsym(w.library, "Zervik_CancelWait"));
    ASSERT_NE(cancel, nullptr);
    ignore_cancels(1000);
    EXPECT_EQ(cancel(), 0);
    w.waiter.join();
    EXPECT_EQ(w.event, 3);
    ASSERT_EQ(dlclose(w.library), 0);
    EXPECT_TRUE(library_loaded()) << "unloaded under a running watch thread";

    // The thread, woken at last, returns into the library's code and ends.
    service& s = the_service();
    std::unique_lock<std::mutex> lock(s.m);
    s.cancels_to_ignore = 0;
    s.cancel_pending = true;
    s.cv.notify_all();
    EXPECT_TRUE(s.cv.wait_for(lock, std::chrono::seconds(20), [&s] { return s.released == s.established; }));
}

#else

namespace {

std::set<DWORD> threads_of_this_process() {
    std::set<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
    CloseHandle(snapshot);
    return ids;
}

// A thread that is neither in before nor the waiter: only the wait makes
// one (the watch thread, or threads of the PC/SC layer it calls).
bool new_thread_besides(const std::set<DWORD>& before, DWORD waiter) {
    for (DWORD id : threads_of_this_process())
        if (id != waiter && before.count(id) == 0) return true;
    return false;
}

bool loaded() { return GetModuleHandleA("ZervikSolvanta.dll") != nullptr; }

template <class Condition>
bool within_20s(Condition condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition()) return true;
        Sleep(10);
    }
    return condition();
}

}  // namespace

TEST(library_unload, FreeingTheLibraryDuringAWaitLeavesItLoadedUntilTheWatchThreadEnds) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        HMODULE library = LoadLibraryA("ZervikSolvanta.dll");
        ASSERT_NE(library, nullptr);
        auto wait = reinterpret_cast<wait_function>(
            reinterpret_cast<void*>(GetProcAddress(library, "Zervik_WaitforDevEvent")));
        auto cancel =
            reinterpret_cast<cancel_function>(reinterpret_cast<void*>(GetProcAddress(library, "Zervik_CancelWait")));
        ASSERT_TRUE(wait && cancel);

        int event = -1;
        std::atomic<bool> returned{false};
        std::atomic<DWORD> waiter_id{0};
        const std::set<DWORD> before = threads_of_this_process();
        std::thread waiter([&] {
            waiter_id = GetCurrentThreadId();
            wait(no_reader, &event);
            returned = true;
        });
        // The watch thread runs: the waiter is inside the library.
        ASSERT_TRUE(within_20s([&] { return waiter_id != 0 && new_thread_besides(before, waiter_id); }));

        // The watch thread's own reference keeps the code mapped.
        FreeLibrary(library);
        EXPECT_TRUE(loaded());
        EXPECT_FALSE(returned.load());

        // Cancelling through the pointer still held ends the wait; the watch
        // thread then drops the last reference on its way out.
        EXPECT_EQ(cancel(), 0);
        waiter.join();
        EXPECT_EQ(event, 3);
        EXPECT_TRUE(within_20s([] { return !loaded(); }));
    }
}

#endif
