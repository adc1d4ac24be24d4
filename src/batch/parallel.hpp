#pragma once
// The thread split behind every batch loop.

#include <algorithm>
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

// Calls chunk(begin, end) over contiguous ranges that split [0, count) into at
// most `workers` parts, one thread each; the calling thread takes the first.
// If the system refuses a thread, the caller runs that range itself, so every
// element is done exactly once whatever happens. `chunk` must not throw.
template <class Chunk>
void split_over_workers(std::int64_t count, std::int64_t workers, const Chunk& chunk) {
    const std::int64_t parts = std::max<std::int64_t>(1, std::min({workers, count, max_threads}));
    if (parts == 1) {
        chunk(0, count);
        return;
    }
    // Part p covers [begin(p), begin(p + 1)): sizes differ by at most one,
    // computed without ever forming count * p.
    const std::int64_t base = count / parts;
    const std::int64_t extra = count % parts;
    const auto begin = [&](std::int64_t p) { return p * base + std::min(p, extra); };

    std::vector<std::thread> threads;
    std::int64_t p = 1;
    try {
        threads.reserve(static_cast<std::size_t>(parts - 1));
        for (; p < parts; ++p) threads.emplace_back(chunk, begin(p), begin(p + 1));
    } catch (const std::exception&) {
        // Out of threads or memory: the parts not started run here.
    }
    for (std::int64_t q = p; q < parts; ++q) chunk(begin(q), begin(q + 1));
    chunk(begin(0), begin(1));
    for (std::thread& thread : threads) thread.join();
}

}  // namespace velmora::batch
