#include "batch/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace velmora::batch {
namespace {

// One call's request for helpers.
struct Job {
    void (*drain)(void*);
    void* context;
    std::int64_t wanted;      // helpers that may still join
    std::int64_t active = 0;  // helpers inside drain
};

// Threads parked on a condition variable between calls. They are started
// when a call wants more helpers than are idle (so concurrent calls each get
// theirs, as threads of their own did) and never end: the pool is never
// destroyed, and the process's exit takes them.
class Pool {
public:
    void run(std::int64_t helpers, void (*drain)(void*), void* context) noexcept {
        Job job{drain, context, helpers};
        {
            std::lock_guard lock(mutex_);
            try {
                jobs_.push_back(&job);
                wanted_ += helpers;
                while (idle_ < wanted_ && threads_ < max_threads) start_thread();
            } catch (const std::exception&) {
                // Out of memory or threads: the threads already there, and
                // this one, do the work.
                if (jobs_.empty() || jobs_.back() != &job) job.wanted = 0;
            }
        }
        for (std::int64_t k = 0; k < helpers; ++k) wake_.notify_one();
        drain(context);
        std::unique_lock lock(mutex_);
        // The work is done: helpers that have not joined yet never will.
        if (job.wanted > 0) {
            wanted_ -= job.wanted;
            job.wanted = 0;
            std::erase(jobs_, &job);
        }
        done_.wait(lock, [&] { return job.active == 0; });
    }

private:
    // A plain detached pthread: it holds no heap state of its own, so that a
    // forked child (which has none of the threads) loses no memory with them.
    void start_thread() {
        pthread_t thread;
        const auto run = [](void* self) -> void* {
            static_cast<Pool*>(self)->work();
            return nullptr;
        };
        const int refused = pthread_create(&thread, nullptr, run, this);
        if (refused != 0) throw std::system_error(refused, std::generic_category());
        pthread_detach(thread);
        ++threads_;
        ++idle_;
    }

    void work() noexcept {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !jobs_.empty(); });
            Job& job = *jobs_.front();
            --idle_;
            --wanted_;
            if (--job.wanted == 0) jobs_.pop_front();
            ++job.active;
            lock.unlock();
            job.drain(job.context);
            lock.lock();
            ++idle_;
            if (--job.active == 0) done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;  // a job wants helpers
    std::condition_variable done_;  // a job's last helper left
    std::deque<Job*> jobs_;         // jobs with helpers still wanted, oldest first
    std::int64_t wanted_ = 0;       // their sum
    std::int64_t idle_ = 0;         // threads waiting for a job (or about to)
    std::int64_t threads_ = 0;

public:
    // A forked child's pool keeps the one it replaced (whose lock another
    // thread may have held) reachable, abandoned but not leaked.
    Pool* replaced = nullptr;
};

Pool* pool = nullptr;
std::once_flag pool_made;

// A forked child has only the forking thread: its copy of the pool (whose
// lock another thread may have held) is abandoned for a new, empty one; out
// of memory, the child's calls run on their own thread.
void new_pool_in_child() noexcept {
    Pool* fresh = new (std::nothrow) Pool;
    if (fresh != nullptr) fresh->replaced = pool;
    pool = fresh;
}

Pool* the_pool() noexcept {
    try {
        std::call_once(pool_made, [] {
            pool = new Pool;
            pthread_atfork(nullptr, nullptr, new_pool_in_child);
        });
    } catch (const std::exception&) {
        return nullptr;
    }
    return pool;
}

}  // namespace

void run_with_helpers(std::int64_t helpers, void (*drain)(void*), void* context) noexcept {
    Pool* threads = the_pool();
    if (threads == nullptr) return drain(context);
    threads->run(helpers, drain, context);
}

std::int64_t available_cores() noexcept {
    // The affinity mask, not the machine's core count: a process pinned to
    // two cores of a large host gains nothing from more threads.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<std::int64_t>(hardware) : 1;
}

}  // namespace velmora::batch
