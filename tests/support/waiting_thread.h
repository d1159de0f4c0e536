// A thread that runs blocking waits on request, one after the other. Device
// event waits keep their queue per thread, so a test that wants the events
// between two waits kept runs both on the same thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace test_support {

class waiting_thread {
public:
    waiting_thread() : thread_([this] { run(); }) {}
    ~waiting_thread() {
        {
            std::lock_guard<std::mutex> lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    waiting_thread(const waiting_thread&) = delete;
    waiting_thread& operator=(const waiting_thread&) = delete;

    // Runs wait on the thread once the jobs before it are done.
    std::future<int> submit(std::function<int()> wait) {
        auto job = std::make_shared<std::packaged_task<int()>>(std::move(wait));
        std::future<int> f = job->get_future();
        {
            std::lock_guard<std::mutex> lock(m_);
            jobs_.push_back([job] { (*job)(); });
        }
        cv_.notify_all();
        return f;
    }

private:
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(m_);
                cv_.wait(lock, [this] { return done_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace test_support
