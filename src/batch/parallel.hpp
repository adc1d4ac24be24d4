#pragma once
// The thread split behind every batch loop.

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace velmora::batch {

// More threads than this buy nothing on any machine this runs on and only
// cost their stacks; a larger request is served by this many.
inline constexpr std::int64_t max_threads = 256;

// Every core this process may run on (its CPU affinity), at least 1.
[[nodiscard]] std::int64_t available_cores() noexcept;

// Runs drain(context) on the calling thread and on up to `helpers` threads of
// a pool kept for the life of the process, and returns when every one of them
// has returned. A helper that is busy with another call, or that the system
// refused to start, simply does not join: `drain` must finish the work
// whoever runs it.
void run_with_helpers(std::int64_t helpers, void (*drain)(void*), void* context) noexcept;

// Calls chunk(begin, end) over contiguous blocks that together cover [0, count)
// exactly once, on at most `workers` threads; the calling thread is one of them.
// Threads take the next block when they finish one, so a thread that runs
// slower (on a busier core, or over costlier elements) simply takes fewer
// blocks. `chunk` must not throw.
//
// The helpers are parked threads, woken per call: a thread started per call
// cost its start-up on every call and, on a busy machine, queued behind every
// running process before its first block, while a woken sleeper runs at once.
template <class Chunk>
void split_over_workers(std::int64_t count, std::int64_t workers, const Chunk& chunk) {
    const std::int64_t parts = std::max<std::int64_t>(1, std::min({workers, count, max_threads}));
    if (parts == 1) {
        chunk(0, count);
        return;
    }
    // About blocks_per_thread blocks each: enough to even out the threads,
    // few enough that taking one costs nothing next to its elements.
    constexpr std::int64_t blocks_per_thread = 32;
    struct Work {
        const Chunk& chunk;
        std::int64_t count;
        std::int64_t block;
        // Its own cache line: the threads' writes to the output never share it.
        alignas(64) std::atomic<std::int64_t> next{0};
    } work{chunk, count, std::max<std::int64_t>(1, count / (parts * blocks_per_thread))};
    const auto drain = [](void* context) {
        Work& w = *static_cast<Work*>(context);
        for (;;) {
            const std::int64_t begin = w.next.fetch_add(w.block, std::memory_order_relaxed);
            if (begin >= w.count) return;
            w.chunk(begin, w.count - begin > w.block ? begin + w.block : w.count);
        }
    };
    run_with_helpers(parts - 1, drain, &work);
}

}  // namespace velmora::batch
