#include "sm/random.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>

#include <atomic>
#include <cstring>
#include <mutex>

#ifndef _WIN32
#include <pthread.h>
#include <unistd.h>
#endif

namespace zervik {

namespace {

constexpr unsigned char personalisation[] = "zervik host random";

class random_source {
public:
    random_source() {
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&drbg_);
#ifndef _WIN32
        // A fork copies the lock as it stands: another thread of the parent
        // may be drawing, and would never unlock the child's copy. The lock
        // is taken around every fork, so the child starts with it free (and
        // reseeds before its first draw, as its process id tells it).
        forking_source.store(this);
        static const int registered = pthread_atfork(&before_fork, &after_fork, &after_fork);
        (void)registered;
#endif
    }
    ~random_source() {
#ifndef _WIN32
        forking_source.store(nullptr);
#endif
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }
    random_source(const random_source&) = delete;
    random_source& operator=(const random_source&) = delete;

    int fill(unsigned char* buffer, std::size_t length) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ready() && seed() != 0) return 1;
        while (length > 0) {
            const std::size_t step = length < MBEDTLS_CTR_DRBG_MAX_REQUEST ? length : MBEDTLS_CTR_DRBG_MAX_REQUEST;
            if (mbedtls_ctr_drbg_random(&drbg_, buffer, step) != 0) return 1;
            buffer += step;
            length -= step;
        }
        return 0;
    }

private:
#ifndef _WIN32
    static std::atomic<random_source*> forking_source;
    static void before_fork() {
        if (random_source* s = forking_source.load()) s->mutex_.lock();
    }
    // In the parent and in the child (where the forking thread holds the lock).
    static void after_fork() {
        if (random_source* s = forking_source.load()) s->mutex_.unlock();
    }
#endif

#ifdef _WIN32
    bool ready() const { return seeded_; }
    void mark_seeded() { seeded_ = true; }
#else
    bool ready() const { return seeded_ && owner_ == getpid(); }
    void mark_seeded() {
        seeded_ = true;
        owner_ = getpid();
    }
#endif

    int seed() {
        int result;
        if (!seeded_) {
            result = mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, personalisation,
                                           sizeof personalisation - 1);
        } else {
            // A forked child: same state as its parent, so mix in fresh entropy.
            result = mbedtls_ctr_drbg_reseed(&drbg_, nullptr, 0);
        }
        if (result != 0) return 1;
        mark_seeded();
        return 0;
    }

    std::mutex mutex_;
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
    bool seeded_ = false;
#ifndef _WIN32
    pid_t owner_ = 0;
#endif
};

#ifndef _WIN32
std::atomic<random_source*> random_source::forking_source{nullptr};
#endif

random_source& process_random() {
    static random_source source;
    return source;
}

}  // namespace

int kas_random(void* context, unsigned char* buffer, std::size_t length) {
    (void)context;
    if (length == 0) return 0;
    if (buffer == nullptr) return 1;
    if (process_random().fill(buffer, length) != 0) {
        std::memset(buffer, 0, length);
        return 1;
    }
    return 0;
}

}  // namespace zervik
