#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/worker_thread.h"

namespace platform {

struct worker_thread::control {
    std::function<void()> body;
    std::function<void()> last;
    std::thread thread;
    std::thread::id id;
    std::mutex m;
    std::condition_variable finished;
    bool done = false;
};

namespace {

// Keeps the module that holds this code loaded until the process ends, for
// a thread that may still run in it. The handle is kept on purpose.
void pin_own_module() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&pin_own_module), &info) == 0 || info.dli_fname == nullptr) return;
    (void)dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

void run(const std::shared_ptr<worker_thread::control>& c) {
    std::function<void()> body;
    std::function<void()> last;
    {
        // start() publishes the thread before the body may look at it.
        std::lock_guard<std::mutex> lock(c->m);
        body.swap(c->body);
        last.swap(c->last);
    }
    body();
    body = nullptr;  // what the body held goes before the thread reports its end
    if (last) last();
    last = nullptr;
    std::lock_guard<std::mutex> lock(c->m);
    c->done = true;
    c->finished.notify_all();
}

}  // namespace

worker_thread::~worker_thread() { detach(); }

bool worker_thread::start(std::function<void()> body, std::function<void()> last) {
    if (attached() || !body) return false;
    auto c = std::make_shared<control>();
    c->body = std::move(body);
    c->last = std::move(last);
    std::lock_guard<std::mutex> lock(c->m);
    try {
        // The thread keeps its own reference: it may outlive this object.
        c->thread = std::thread([c] { run(c); });
    } catch (const std::system_error&) {
        return false;
    }
    c->id = c->thread.get_id();
    control_ = c;
    return true;
}

bool worker_thread::attached() const { return control_ != nullptr; }

bool worker_thread::running() const {
    if (!control_) return false;
    std::lock_guard<std::mutex> lock(control_->m);
    return !control_->done;
}

bool worker_thread::is_current() const {
    if (!control_) return false;
    std::lock_guard<std::mutex> lock(control_->m);
    return control_->id == std::this_thread::get_id();
}

bool worker_thread::join_for(std::uint32_t milliseconds) {
    if (!control_) return true;
    if (is_current()) return false;
    bool done;
    {
        std::unique_lock<std::mutex> lock(control_->m);
        done = control_->finished.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                           [this] { return control_->done; });
    }
    if (!done) return false;
    control_->thread.join();
    control_.reset();
    return true;
}

void worker_thread::detach() {
    if (!control_) return;
    if (running()) pin_own_module();
    if (control_->thread.joinable()) control_->thread.detach();
    control_.reset();
}

}  // namespace platform
