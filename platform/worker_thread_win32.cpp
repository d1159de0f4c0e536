#include <windows.h>

#include <atomic>

#include "platform/worker_thread.h"

namespace platform {

struct worker_thread::control {
    std::function<void()> body;
    HMODULE module = nullptr;
    HANDLE thread = nullptr;
    DWORD id = 0;
    std::atomic<bool> done{false};
};

namespace {

struct start_block {
    std::shared_ptr<worker_thread::control> c;
};

DWORD WINAPI thread_main(LPVOID argument) {
    HMODULE module;
    {
        std::unique_ptr<start_block> start(static_cast<start_block*>(argument));
        std::shared_ptr<worker_thread::control> c = std::move(start->c);
        module = c->module;
        std::function<void()> body;
        body.swap(c->body);
        body();
        body = nullptr;
        c->done = true;
    }
    // Nothing of this module runs after the reference is dropped.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

worker_thread::~worker_thread() { detach(); }

bool worker_thread::start(std::function<void()> body) {
    if (attached() || !body) return false;
    auto c = std::make_shared<control>();
    c->body = std::move(body);
    // A reference on the module that holds thread_main, for the thread.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&thread_main), &c->module))
        return false;
    auto* block = new start_block{c};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &thread_main, block, 0, &id);
    if (thread == nullptr) {
        delete block;
        FreeLibrary(c->module);
        return false;
    }
    c->thread = thread;
    c->id = id;
    control_ = std::move(c);
    return true;
}

bool worker_thread::attached() const { return control_ != nullptr; }

bool worker_thread::running() const { return control_ && !control_->done.load(); }

bool worker_thread::is_current() const { return control_ && control_->id == GetCurrentThreadId(); }

bool worker_thread::join_for(std::uint32_t milliseconds) {
    if (!control_) return true;
    if (is_current()) return false;
    if (WaitForSingleObject(control_->thread, milliseconds) != WAIT_OBJECT_0) return false;
    CloseHandle(control_->thread);
    control_.reset();
    return true;
}

void worker_thread::detach() {
    if (!control_) return;
    CloseHandle(control_->thread);
    control_.reset();
}

}  // namespace platform
