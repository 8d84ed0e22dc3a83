// Recursion that stays in C: bounded by the stack the thread has left.
//
// A cycle made only of C functions (a tool whose argument's __float__ is a
// functools.partial of the same tool, a module global rebound to such a
// partial) passes no Python frame, so nothing of the interpreter counts it.
// Every function of the frame checks, when it binds its arguments and before
// a body calls out, that the thread's stack still has room: below a floor
// that leaves a margin for raising and reporting the error, it raises
// RecursionError instead of running off the end of the stack. The check is a
// comparison with a per-thread value, so it costs nothing measurable on the
// common path; the floor is measured on the thread's first check.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace tf {

// The lowest address this thread's stack may reach before a check fails;
// UINTPTR_MAX until the thread's first check has measured its stack. (Static
// TLS with its constant initialiser in sight: read with one load, no call.)
[[gnu::tls_model("initial-exec")]] inline thread_local uintptr_t stack_floor = UINTPTR_MAX;

// Measures the thread's stack on its first call; true with RecursionError set
// when `sp` lies below the floor.
bool stack_exhausted(uintptr_t sp);

// False with RecursionError set when the thread's stack is nearly used up.
// `here` is the address of any object in the caller's frame (the margin below
// the floor covers the difference to the stack pointer).
inline bool stack_left(const void* here) {
    uintptr_t sp = reinterpret_cast<uintptr_t>(here);
    return sp >= stack_floor || !stack_exhausted(sp);
}

// A call back into Python code from a conversion or a comparison: counted by
// the interpreter's recursion depth (as its own C functions count theirs) and
// bounded by the stack left. `enter` is false with RecursionError set.
class Nested {
public:
    Nested() = default;
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;
    bool enter() {
        if (!stack_left(this) || Py_EnterRecursiveCall(" while calling a Python object")) return false;
        entered_ = true;
        return true;
    }
    ~Nested() {
        if (entered_) Py_LeaveRecursiveCall();
    }

private:
    bool entered_ = false;
};

}  // namespace tf
