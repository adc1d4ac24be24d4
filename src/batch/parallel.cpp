#include "batch/parallel.hpp"

#include <sched.h>

#include <thread>

namespace velmora::batch {

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
