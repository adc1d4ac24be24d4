#pragma once
// The thread split behind every batch loop.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace velmora::batch {

// More threads than this buy nothing on any machine this runs on and only
// cost their stacks; a larger request is served by this many.
inline constexpr std::int64_t max_threads = 256;

// Every core this process may run on (its CPU affinity), at least 1.
[[nodiscard]] std::int64_t available_cores() noexcept;

// Calls chunk(begin, end) over contiguous blocks that together cover [0, count)
// exactly once, on at most `workers` threads; the calling thread is one of them.
// Threads take the next block when they finish one, so a thread that runs
// slower (on a busier core, or over costlier elements) simply takes fewer
// blocks. If the system refuses a thread, the others take its share, so every
// element is done exactly once whatever happens. `chunk` must not throw.
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
    const std::int64_t block = std::max<std::int64_t>(1, count / (parts * blocks_per_thread));
    std::atomic<std::int64_t> next{0};
    const auto drain = [&] {
        for (;;) {
            const std::int64_t begin = next.fetch_add(block, std::memory_order_relaxed);
            if (begin >= count) return;
            chunk(begin, count - begin > block ? begin + block : count);
        }
    };

    std::vector<std::thread> threads;
    try {
        threads.reserve(static_cast<std::size_t>(parts - 1));
        for (std::int64_t p = 1; p < parts; ++p) threads.emplace_back(drain);
    } catch (const std::exception&) {
        // Out of threads or memory: the threads already running, and this one,
        // take every block.
    }
    drain();
    for (std::thread& thread : threads) thread.join();
}

}  // namespace velmora::batch
