#pragma once
// Shared by the C++ benchmarks.

// Makes `value` unknown to the compiler, so no call on it is folded or hoisted out of the loop.
// Benchmark's DoNotOptimize offers the asm a register or memory; GCC 12 can then read an input
// from a stack slot it never wrote, so the inputs go through memory only.
template <typename T>
void hide(T& value) {
    asm volatile("" : "+m"(value) : : "memory");
}
