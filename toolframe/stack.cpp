#include "stack.hpp"

#include <pthread.h>

#include <algorithm>

namespace tf {

namespace {

// The room kept below the floor: for raising the error, adding its traceback
// entry, and the C functions of a cycle between two checks. A quarter of a
// small stack (the smallest that threading.stack_size allows is 32 KiB).
constexpr size_t kMargin = 128 * 1024;

uintptr_t measure(uintptr_t sp) {
    pthread_attr_t attr;
    void* low = nullptr;
    size_t size = 0;
    bool known = pthread_getattr_np(pthread_self(), &attr) == 0;
    if (known) {
        known = pthread_attr_getstack(&attr, &low, &size) == 0;
        pthread_attr_destroy(&attr);
    }
    uintptr_t bottom = reinterpret_cast<uintptr_t>(low);
    if (!known || size == 0 || sp < bottom || sp - bottom > size) {
        // Unknown: assume the smallest stack a thread of the interpreter may
        // have, counted from here.
        size = 32 * 1024;
        bottom = sp > size ? sp - size : 0;
    }
    return bottom + std::min(kMargin, size / 4);
}

}  // namespace

bool stack_exhausted(uintptr_t sp) {
    if (stack_floor == UINTPTR_MAX) {
        stack_floor = measure(sp);
        if (sp >= stack_floor) return false;
    }
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    return true;
}

}  // namespace tf
