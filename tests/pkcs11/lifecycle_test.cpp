// The module's life across threads and processes: slot events and the
// monitor thread, C_Finalize while calls and waits are under way, eight
// threads calling while a ninth finalises and initialises, and a child made
// by fork().
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "module_fixture.h"
#include "support/thread_count.h"

using pkcs11_test::module_test;

namespace {

// Devices a test adds and removes; each change is one event.
class scripted_devices final : public pkcs11::pkcs11_device_source {
public:
    int list_devices(std::vector<std::string>& names) override {
        std::lock_guard<std::mutex> lock(mutex_);
        names = names_;
        ++lists_;
        return 0;
    }
    int wait_event() override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++waits_;
        cv_.notify_all();
        cv_.wait(lock, [this] { return stopped_ || events_ > 0; });
        if (stopped_) return event_stopped;
        --events_;
        return last_;
    }
    void stop_events() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (deaf_) return;  // a wait that does not hear the stop
        stopped_ = true;
        cv_.notify_all();
    }
    void deaf_to_stop(bool deaf) {
        std::lock_guard<std::mutex> lock(mutex_);
        deaf_ = deaf;
    }
    int lists() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lists_;
    }
    void restart_events() override {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = false;
    }
    void arrive(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.push_back(name);
        last_ = event_arrival;
        ++events_;
        cv_.notify_all();
    }
    // Present from the start: no event.
    void plug(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.push_back(name);
    }
    // Gone without an event: a change made before the watch took its first
    // look at the readers.
    void vanish(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.erase(std::find(names_.begin(), names_.end(), name));
    }
    void leave(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.erase(std::find(names_.begin(), names_.end(), name));
        last_ = event_removal;
        ++events_;
        cv_.notify_all();
    }
    // Waits until the monitor sits in wait_event for the n-th time.
    bool monitor_waiting(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return waits_ >= n; });
    }
    int waits() {
        std::lock_guard<std::mutex> lock(mutex_);
        return waits_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> names_;
    int events_ = 0;
    int last_ = 0;
    int waits_ = 0;
    int lists_ = 0;
    bool stopped_ = false;
    bool deaf_ = false;
};

class pkcs11_lifecycle : public module_test {
protected:
    scripted_devices* install_devices() {
        auto d = std::make_unique<scripted_devices>();
        scripted_devices* raw = d.get();
        core().set_device_source(std::move(d));
        return raw;
    }
    void TearDown() override {
        module_test::TearDown();
        core().set_device_source(std::make_unique<pkcs11::pkcs11_no_devices>());
    }
};

}  // namespace

TEST_F(pkcs11_lifecycle, WaitForSlotEventWithoutEvents) {
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slot = 77;
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    EXPECT_EQ(slot, 77u);
    EXPECT_TRUE(core().monitor_running());
}

TEST_F(pkcs11_lifecycle, BlockedWaitLeavesWithNotInitialisedWhenFinalizeRuns) {
    scripted_devices* devices = install_devices();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    auto waiter = std::async(std::launch::async, [] {
        CK_SLOT_ID slot = 77;
        const CK_RV rv = C_WaitForSlotEvent(0, &slot, nullptr);
        return std::make_pair(rv, slot);
    });
    // The wait has entered the module once the monitor it starts waits.
    ASSERT_TRUE(devices->monitor_waiting(1));
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    // C_Finalize returns only after every call has left the module (the
    // waiter's thread may still be on its way to the future).
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(core().calls_inside(), 0);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), std::make_pair(CKR_CRYPTOKI_NOT_INITIALIZED, CK_SLOT_ID(77)));
    EXPECT_FALSE(core().monitor_running());
}

TEST_F(pkcs11_lifecycle, ArrivalBecomesASlotEventAndFinalizeStopsTheMonitor) {
    scripted_devices* devices = install_devices();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    // Many first callers at once start one monitor.
    std::vector<std::thread> starters;
    for (int i = 0; i < 8; ++i)
        starters.emplace_back([] {
            CK_SLOT_ID s;
            EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &s, nullptr), CKR_NO_EVENT);
        });
    for (auto& t : starters) t.join();
    ASSERT_TRUE(devices->monitor_waiting(1));
    EXPECT_EQ(devices->waits(), 1);

    auto waiter = std::async(std::launch::async, [] {
        CK_SLOT_ID slot = 77;
        const CK_RV rv = C_WaitForSlotEvent(0, &slot, nullptr);
        return std::make_pair(rv, slot);
    });
    devices->arrive("Solvanta Token 00 00");
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), std::make_pair(CKR_OK, CK_SLOT_ID(0)));

    CK_SLOT_ID ids[4];
    CK_ULONG n = 4;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(ids[0], 0u);
    CK_SLOT_INFO info;
    ASSERT_EQ(C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);

    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_FALSE(core().monitor_running());
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    n = 4;
    // The tokens went with C_Finalize; a new enumeration finds the device.
    EXPECT_EQ(core().tokens().count(), 0u);
    EXPECT_EQ(C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
    EXPECT_EQ(n, 1u);
    // It found a token, so the monitor runs again.
    EXPECT_TRUE(core().monitor_running());
}

TEST_F(pkcs11_lifecycle, EightThreadsCallWhileANinthFinalisesAndInitialises) {
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::atomic<long> answered{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            while (!stop) {
                CK_ULONG n = 0;
                CK_SLOT_ID ids[4];
                CK_TOKEN_INFO token;
                CK_SLOT_INFO slot;
                CK_INFO info;
                CK_SLOT_ID event;
                CK_RV rv[] = {
                    C_GetSlotList(CK_TRUE, nullptr, &n),
                    (n = 4, C_GetSlotList(CK_FALSE, ids, &n)),
                    C_GetTokenInfo(0, &token),
                    C_GetSlotInfo(static_cast<CK_SLOT_ID>(t), &slot),
                    C_GetInfo(&info),
                    C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr),
                    C_CloseSession(1000),
                };
                const CK_RV good[] = {CKR_OK, CKR_OK, CKR_DEVICE_REMOVED, CKR_OK, CKR_OK, CKR_NO_EVENT,
                                      CKR_SESSION_HANDLE_INVALID};
                for (std::size_t i = 0; i < sizeof rv / sizeof rv[0]; ++i) {
                    if (rv[i] == good[i]) ++answered;
                    else if (rv[i] != CKR_CRYPTOKI_NOT_INITIALIZED) ++unexpected;
                }
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    }
    stop = true;
    for (auto& t : callers) t.join();
    EXPECT_EQ(unexpected, 0);
    EXPECT_GT(answered, 0);
}

#ifndef _WIN32
TEST_F(pkcs11_lifecycle, ForkedChildInitialisesAfresh) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer cannot follow a child that starts threads after fork()";
#endif
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    const CK_SESSION_HANDLE parent_session = plant_session();
    CK_SLOT_ID s;
    ASSERT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &s, nullptr), CKR_NO_EVENT);  // the monitor runs
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Child: not initialised, initialises, knows none of the parent's
        // sessions, finalises.
        CK_INFO info;
        int code = 0;
        if (C_GetInfo(&info) != CKR_CRYPTOKI_NOT_INITIALIZED) code |= 1;
        if (C_Initialize(nullptr) != CKR_OK) code |= 2;
        if (C_GetInfo(&info) != CKR_OK) code |= 4;
        if (C_CloseSession(parent_session) != CKR_SESSION_HANDLE_INVALID) code |= 8;
        if (C_WaitForSlotEvent(CKF_DONT_BLOCK, &s, nullptr) != CKR_NO_EVENT) code |= 16;
        if (C_Finalize(nullptr) != CKR_OK) code |= 32;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent is untouched.
    EXPECT_EQ(C_CloseSession(parent_session), CKR_OK);
}
#endif

namespace {

std::vector<CK_SLOT_ID> slot_list(CK_BBOOL present) {
    CK_ULONG n = 0;
    EXPECT_EQ(C_GetSlotList(present, nullptr, &n), CKR_OK);
    std::vector<CK_SLOT_ID> ids(n);
    EXPECT_EQ(C_GetSlotList(present, ids.data(), &n), CKR_OK);
    ids.resize(n);
    return ids;
}

// A blocking wait for the next slot event.
CK_SLOT_ID next_event() {
    CK_SLOT_ID slot = 77;
    EXPECT_EQ(C_WaitForSlotEvent(0, &slot, nullptr), CKR_OK);
    return slot;
}

std::string reader(int i) { return "Solvanta Token 00 0" + std::to_string(i); }

}  // namespace

TEST_F(pkcs11_lifecycle, AllSlotsHoldEveryTokenSlotAndNeverShrink) {
    scripted_devices* devices = install_devices();
    for (int i = 0; i < 5; ++i) devices->arrive(reader(i));
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    using ids = std::vector<CK_SLOT_ID>;
    EXPECT_EQ(slot_list(CK_TRUE), (ids{0, 1, 2, 3, 4}));
    EXPECT_EQ(slot_list(CK_FALSE), (ids{0, 1, 2, 3, 4})) << "a fifth token is listed with all slots";
    CK_SLOT_ID four[4];
    CK_ULONG n = 4;
    EXPECT_EQ(C_GetSlotList(CK_FALSE, four, &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 5u);

    // The events counted before the monitor ran are not slot events.
    ASSERT_TRUE(devices->monitor_waiting(1));
    devices->leave(reader(4));
    EXPECT_EQ(next_event(), 4u);
    EXPECT_EQ(slot_list(CK_TRUE), (ids{0, 1, 2, 3}));
    EXPECT_EQ(slot_list(CK_FALSE), (ids{0, 1, 2, 3, 4})) << "slot 4 stays listed while initialised";

    devices->leave(reader(0));
    EXPECT_EQ(next_event(), 0u);
    devices->arrive("Solvanta Token 01 00");
    EXPECT_EQ(next_event(), 0u) << "the smallest free slot id";
    EXPECT_EQ(slot_list(CK_TRUE), (ids{1, 2, 3, 0}));

    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(slot_list(CK_FALSE), (ids{0, 1, 2, 3})) << "a new initialisation starts afresh";
}

TEST_F(pkcs11_lifecycle, ARemovalStaysASlotEventWhenTheSlotsAreListedBeforeTheWait) {
    scripted_devices* devices = install_devices();
    devices->plug(reader(0));
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(slot_list(CK_TRUE), std::vector<CK_SLOT_ID>{0});
    ASSERT_TRUE(devices->monitor_waiting(1));
    const int lists = devices->lists();
    devices->leave(reader(0));
    ASSERT_TRUE(devices->monitor_waiting(2)) << "the removal taken";
    EXPECT_EQ(slot_list(CK_TRUE), std::vector<CK_SLOT_ID>{});
    EXPECT_EQ(devices->lists(), lists + 1) << "the monitor's refresh only: the listing keeps its events";
    CK_SLOT_ID slot = 77;
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 0u);
}

TEST_F(pkcs11_lifecycle, ABlockedWaitFindsARemovalTheWatchNeverReported) {
    scripted_devices* devices = install_devices();
    devices->plug(reader(0));
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(slot_list(CK_TRUE), std::vector<CK_SLOT_ID>{0});
    ASSERT_TRUE(devices->monitor_waiting(1));
    devices->vanish(reader(0));
    auto waiter = std::async(std::launch::async, [] {
        CK_SLOT_ID slot = 77;
        const CK_RV rv = C_WaitForSlotEvent(0, &slot, nullptr);
        return std::make_pair(rv, slot);
    });
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the wait never ended";
    const auto got = waiter.get();
    EXPECT_EQ(got.first, CKR_OK);
    EXPECT_EQ(got.second, 0u);
    EXPECT_EQ(slot_list(CK_TRUE), std::vector<CK_SLOT_ID>{});
}

TEST_F(pkcs11_lifecycle, SessionsBelongToTheirTokenNotToTheSlotId) {
    scripted_devices* devices = install_devices();
    devices->arrive(reader(0));
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(slot_list(CK_TRUE), std::vector<CK_SLOT_ID>{0});
    ASSERT_TRUE(devices->monitor_waiting(1));
    CK_SESSION_HANDLE old_session = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &old_session), CKR_OK);
    CK_SESSION_INFO info;
    ASSERT_EQ(C_GetSessionInfo(old_session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);

    devices->leave(reader(0));
    EXPECT_EQ(next_event(), 0u);
    EXPECT_EQ(C_GetSessionInfo(old_session, &info), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_Logout(old_session), CKR_DEVICE_REMOVED);

    devices->arrive(reader(1));
    EXPECT_EQ(next_event(), 0u) << "the new device takes the free slot 0";
    EXPECT_EQ(C_GetSessionInfo(old_session, &info), CKR_DEVICE_REMOVED) << "never inherited";
    CK_SESSION_HANDLE new_session = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &new_session), CKR_OK);
    ASSERT_EQ(C_GetSessionInfo(new_session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);

    EXPECT_EQ(C_CloseSession(old_session), CKR_OK);
    EXPECT_EQ(C_CloseSession(old_session), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_CloseSession(new_session), CKR_OK);
}

// A caller that kept its slot id from an earlier initialisation (as
// pkcs11-tool does after C_Finalize) opens a session without listing the
// slots first.
TEST_F(pkcs11_lifecycle, ASlotCallBeforeTheSlotListFindsTheToken) {
    scripted_devices* devices = install_devices();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_SLOT_ID_INVALID);
    EXPECT_FALSE(core().monitor_running()) << "no token, no monitor";

    devices->plug(reader(0));
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    EXPECT_TRUE(core().monitor_running());
    ASSERT_TRUE(devices->monitor_waiting(1));
    const int lists = devices->lists();
    EXPECT_EQ(slot_list(CK_TRUE), std::vector<CK_SLOT_ID>{0});
    EXPECT_EQ(devices->lists(), lists) << "the monitor keeps the list from then on";
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetMechanismList(3, nullptr, &count), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(C_CloseSession(session), CKR_OK);
}

// C_GetSlotInfo right after C_Initialize shows the token C_OpenSession on
// the same slot finds, without a slot list first; a slot no token holds is
// still answered, without the token flag.
TEST_F(pkcs11_lifecycle, SlotInfoRightAfterInitialiseShowsTheTokenASessionWouldFind) {
    scripted_devices* devices = install_devices();
    const CK_FLAGS slot_only = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SLOT_INFO info;
    ASSERT_EQ(C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags, slot_only) << "no device, no token";
    EXPECT_FALSE(core().monitor_running()) << "no token, no monitor";

    devices->plug(reader(0));
    ASSERT_EQ(C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags, slot_only | CKF_TOKEN_PRESENT);
    EXPECT_TRUE(core().monitor_running());
    ASSERT_EQ(C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_EQ(info.flags, slot_only);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    EXPECT_EQ(C_CloseSession(session), CKR_OK);
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    const int waits = devices->waits();

    // A fresh initialisation with the device present: the first call is the
    // slot information.
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags, slot_only | CKF_TOKEN_PRESENT);
    ASSERT_TRUE(devices->monitor_waiting(waits + 1));
    const int lists = devices->lists();
    ASSERT_EQ(C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_EQ(devices->lists(), lists) << "the monitor keeps the list from then on";
}

#ifdef __linux__
using test_support::thread_count;

// A monitor whose wait does not end at C_Finalize is left after the bound;
// when its event comes after the next C_Initialize, it leaves without
// touching the new state.
TEST_F(pkcs11_lifecycle, AMonitorLeftBehindNeverTouchesTheNextInitialisation) {
    scripted_devices* devices = install_devices();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    ASSERT_TRUE(devices->monitor_waiting(1));
    devices->deaf_to_stop(true);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << "bounded";
    EXPECT_FALSE(core().monitor_running()) << "left to finish alone";
    devices->deaf_to_stop(false);

    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    const std::size_t with_old = thread_count();
    const int lists = devices->lists();
    devices->arrive("Solvanta Token 00 00");
    // The old monitor takes the event and ends.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (thread_count() >= with_old && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(thread_count(), with_old - 1);
    EXPECT_EQ(devices->lists(), lists) << "no refresh of the new state";
    EXPECT_EQ(core().tokens().count(), 0u);
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
}
#endif
