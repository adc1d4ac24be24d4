#pragma once
// Internal faults: a broken invariant in the module's own code. No C++
// exception may unwind into the interpreter, so every entry point runs its
// body through `guarded`, which turns whatever escapes into the internal-fault
// exception, a BaseException subclass that normally ends the program.

#include <stdexcept>
#include <string>

#include "module/python.hpp"

namespace velmora::module {

// Thrown by the module's own code when an invariant breaks (for example, a
// result object cannot be allocated).
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Sets the internal-fault exception with `text` (a default text when null),
// chaining any exception that was pending. Aborts if even that fails.
void raise_internal_fault(const char* text) noexcept;

// Aborts the process: for faults that cannot be reported (deallocation, or a
// fault while reporting one).
[[noreturn]] void abort_at_boundary() noexcept;

template <class Result, class Body>
Result guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& fault) {
        raise_internal_fault(fault.what());
    } catch (...) {
        raise_internal_fault(nullptr);
    }
    return Result{};
}

}  // namespace velmora::module
