// The owning reference and the module's constant strings.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

// The destructors below release references and need the thread state. A
// thread that the interpreter ends at exit unwinds its stack without one; the
// frame is built without exceptions, so that no destructor runs then.
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
#error "the tool frame must be built with -fno-exceptions"
#endif

namespace tf {

// Owned reference. Every PyObject* that a frame or tool function takes is held
// in one of these, so that each path out of a function releases what it took.
class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    static Ref steal(PyObject* o) { Ref r; r.p_ = o; return r; }
    static Ref borrow(PyObject* o) { Py_XINCREF(o); return steal(o); }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { PyObject* o = p_; p_ = nullptr; return o; }  // hands the reference over
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A constant string of the module: interned, hash computed, created in the
// exec step and kept for the life of the process. Declare them at namespace
// scope in the module's source file (or as members of a table there). The
// constructor registers the object's address, so a Name is neither copied
// nor moved: a copy would never be registered and would stay null.
class Name {
public:
    explicit Name(const char* text);
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* obj() const { return obj_; }
    Py_hash_t hash() const { return hash_; }
    const char* text() const { return text_; }

private:
    friend bool create_names();
    bool create();

    const char* text_;
    PyObject* obj_ = nullptr;
    Py_hash_t hash_ = -1;
};

// Creates every registered Name (once per process); false with an exception set.
bool create_names();

}  // namespace tf
