// Python functions declared once, and the binding of their arguments.
//
// A Function is the whole description of one `def`: name, line, docstring,
// parameter table and implementation. From it come the PyMethodDef, the
// qualified name of its traceback entries and the binding of a call.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ref.hpp"
#include "stack.hpp"
#include "traceback.hpp"

namespace tf {

enum class Kind {
    Any,        // any object
    Str,        // exactly str
    Dict,       // exactly dict
    List,       // exactly list
    Bool,       // exactly bool
    Int,        // exactly int, other numbers converted by int()
    Float,      // exactly float, int and other numbers converted by float()
    Double,     // converted to a C double by the interpreter's float conversion
};

// The default None (a new reference), for optional parameters.
PyObject* default_none();

struct Param {
    const Name* name;
    Kind kind = Kind::Any;
    bool none_ok = false;           // None passes the type test
    int line = 0;                   // line of the parameter (int / float conversion errors)
    PyObject* (*dflt)() = nullptr;  // default (new reference); null: the parameter is required
    PyTypeObject* exact = nullptr;  // the exact type a Str, Dict, List or Bool must have (set by Function)
};

// The hash of an exact str: the one it keeps once computed (any str used as
// a keyword name has been hashed already), else computed now (-1: error).
inline Py_hash_t str_hash(PyObject* s) {
    Py_hash_t h = reinterpret_cast<PyASCIIObject*>(s)->hash;
    return h != -1 ? h : PyObject_Hash(s);
}

// A keyword name (an exact str whose hash is `hash`) equal to a parameter
// name by content.
inline bool same_text(PyObject* key, Py_hash_t hash, const Name& n) {
    PyObject* name = n.obj();
    Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    return hash == n.hash() && len == PyUnicode_GET_LENGTH(name) && PyUnicode_KIND(key) == PyUnicode_KIND(name) &&
           std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(name), len * PyUnicode_KIND(key)) == 0;
}

// Storage for the bound values of one call, on the caller's stack.
struct Slots {
    PyObject** val;    // the bound values, borrowed (from the call or from `owned`)
    PyObject** owned;  // defaults and converted values (valid once *owns is set)
    bool* owns;        // some value is owned
    double* dbl;       // Kind::Double: the converted double (val holds the original)
    size_t capacity;

    // Makes `o` (a new reference, or null) the value of slot i, replacing a
    // value owned there before; false when `o` is null.
    bool own(size_t i, PyObject* o) const {
        if (!*owns) {
            std::fill(owned, owned + capacity, nullptr);
            *owns = true;
        }
        Py_XSETREF(owned[i], o);
        val[i] = o;
        return o != nullptr;
    }
};

// The bound values of one call. Most calls own nothing, so the owned slots
// are cleared only when a default or a conversion first needs one.
template <size_t N>
class Args {
public:
    Args() = default;
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;
    ~Args() {
        if (owns_)
            for (PyObject* o : owned_) Py_XDECREF(o);
    }

    PyObject* operator[](size_t i) const { return vals_[i]; }
    double dbl(size_t i) const { return dbl_[i]; }
    Slots slots() { return {val_, owned_, &owns_, dbl_, N}; }

private:
    friend class Function;
    // The bound values: `val_`, or the call's own vector when the arguments
    // lie there in parameter order already (nothing copied).
    PyObject* const* vals_ = val_;
    PyObject* val_[N];
    PyObject* owned_[N];
    bool owns_ = false;
    double dbl_[N];
};

using FastImpl = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsImpl = PyObject* (*)(PyObject*, PyObject*);

class Function {
public:
    // A function with parameters (fast call with keywords). `owner` is the
    // class of a method ("LogCapture"), null for a module-level function.
    Function(const char* name, int line, const char* doc, std::vector<Param> params, FastImpl impl,
             const char* owner = nullptr);
    // A function without parameters.
    Function(const char* name, int line, const char* doc, NoArgsImpl impl);
    Function(const Function&) = delete;
    Function& operator=(const Function&) = delete;

    const char* name;       // Python name, e.g. "execute_plusor"
    const int line;         // line of the def
    const char* doc;        // docstring or nullptr
    const char* owner;
    const std::vector<Param> params;
    const bool all_required;  // either every parameter is required or none is
    PyMethodDef def;

    // Binds and converts the arguments of a fast call; false with an
    // exception set (and the traceback entry where one belongs). A call
    // nested so deep that the thread's stack is nearly used up raises
    // RecursionError here, with the entry at the `def`.
    template <size_t N>
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args<N>& out) const {
        if (!stack_left(&out)) return fail(line), false;
        if (nparams_ <= static_cast<Py_ssize_t>(N) && required_exact_ &&
            exact_bind(args, nargs, kwnames, out.dbl_)) {
            out.vals_ = args;
            return true;
        }
        return bind_copied(args, nargs, kwnames, out);
    }
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots out) const;

    // The qualified name as Python gives it: "execute_plusor", "LogCapture.get_logs".
    const std::string& python_qualname() const { return python_qualname_; }
    // Names the traceback entries after the module (done when the module body defines it).
    void attach(const char* dotted);
    // Adds this function's traceback entry at `at` and returns nullptr.
    PyObject* fail(int at) const;

private:
    // The commonest case of a function whose parameters are all required and
    // none converted to an object: every parameter given once, positionally
    // or by its interned name (or the run-time name last seen for it) in
    // parameter order, each of the exact type it needs (an exact float for a
    // machine float, converted into `dbl`). The values then lie in `args` in
    // parameter order: the caller reads them there. No default, no reference
    // taken. False leaves the other paths to start afresh.
    bool exact_bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, double* dbl) const {
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nargs + nkw != nparams_) return false;
        for (Py_ssize_t i = 0; i < nparams_; ++i) {
            if (i >= nargs) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, i - nargs);
                if (key != names_[i] && key != seen_[i]) return false;
            }
            PyObject* v = args[i];
            const Param& p = params[i];
            if (p.kind == Kind::Double) {
                if (!PyFloat_CheckExact(v)) return false;
                dbl[i] = PyFloat_AS_DOUBLE(v);
            } else if (p.exact && !Py_IS_TYPE(v, p.exact) && !(v == Py_None && p.none_ok)) {
                return false;
            }
        }
        return true;
    }

    // The common case inline: keywords matched by identity or by text, no
    // default failing, no conversion beyond an exact float to a double, every
    // exact type right. The value slots start null. False leaves the general
    // path to start afresh.
    bool fast_bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots out) const {
        const Py_ssize_t P = static_cast<Py_ssize_t>(params.size());
        if (nargs > P) return false;
        const Param* p = params.data();
        for (Py_ssize_t i = 0; i < nargs; ++i) out.val[i] = args[i];
        if (kwnames) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                Py_ssize_t i = nargs;
                while (i < P && p[i].name->obj() != key) ++i;
                if (i == P) {  // a name built at run time: compare the text
                    if (!PyUnicode_CheckExact(key)) return false;
                    const Py_hash_t hash = str_hash(key);
                    i = nargs;
                    while (i < P && !same_text(key, hash, *p[i].name)) ++i;
                    if (i < P && required_exact_) remember(i, key);
                }
                if (i == P || out.val[i]) return false;
                out.val[i] = args[nargs + k];
            }
        }
        for (Py_ssize_t i = 0; i < P; ++i) {
            PyObject* v = out.val[i];
            if (!v && p[i].dflt == default_none) {
                v = out.val[i] = Py_None;  // immortal: nothing to own
            } else if (!v) {
                if (!p[i].dflt) return false;
                if (!out.own(i, p[i].dflt())) {
                    PyErr_Clear();
                    return false;
                }
                v = out.val[i];
            }
            if (p[i].kind == Kind::Double) {
                if (!PyFloat_CheckExact(v)) return false;
                out.dbl[i] = PyFloat_AS_DOUBLE(v);
            } else if (p[i].exact && !Py_IS_TYPE(v, p[i].exact) && !(v == Py_None && p[i].none_ok)) {
                return false;
            }
        }
        return true;
    }

    // The paths that copy the values into `out`: inline when no default fails
    // and no conversion beyond a machine float is needed, else the general
    // path (which reports every error). Kept out of line, so that a function
    // whose calls bind exactly does not set up their storage.
    template <size_t N>
    [[gnu::noinline]] bool bind_copied(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                       Args<N>& out) const {
        if (fast_ && nparams_ <= static_cast<Py_ssize_t>(N)) {
            for (PyObject*& v : out.val_) v = nullptr;  // N is known here: plain stores
            if (fast_bind(args, nargs, kwnames, out.slots())) return true;
        }
        return bind(args, nargs, kwnames, out.slots());
    }

    bool positional(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw, Slots out) const;
    bool keywords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots out) const;
    Py_ssize_t find_keyword(PyObject* key) const;
    bool defaults(Py_ssize_t nargs, Slots out) const;
    bool convert(Slots out) const;
    bool check_types(Slots out) const;
    bool count_error(Py_ssize_t given) const;

    // The constant start of a binding error's message ("f() got an unexpected
    // keyword argument '"), made from `format` on first use and kept for the
    // life of the process (null with an exception set if it can't be made).
    PyObject* message_start(PyObject*& made, const char* format) const;

    const Py_ssize_t nparams_;
    bool required_exact_;  // every parameter required, none converted to an object, at most 8
    PyObject* names_[8] = {};  // the interned parameter names (exact_bind; set by attach)
    // The last keyword name built at run time that named each parameter by
    // its text: a caller passing the same dict again (`f(**options)` in a
    // loop) then binds in one pass, by identity. One strong reference per
    // parameter, replaced by the next such name and kept for the life of the
    // process, like the message parts below. Only exact str are kept.
    mutable PyObject* seen_[8] = {};
    void remember(Py_ssize_t i, PyObject* key) const {
        Py_INCREF(key);
        Py_XSETREF(seen_[i], key);  // an exact str: freeing it runs no Python code
    }
    bool plain_;  // no parameter is converted (Int, Float, Double)
    bool fast_;   // no Int or Float parameter: fast_bind may bind the call
    std::string python_qualname_;
    mutable Site site_;
    mutable PyObject* count_start_ = nullptr;       // "f() takes exactly 2 positional arguments ("
    mutable PyObject* unexpected_start_ = nullptr;  // "f() got an unexpected keyword argument '"
    mutable PyObject* repeated_start_ = nullptr;    // "f() got multiple values for keyword argument '"
};

// Raises the argument-type error (with the subclass note for a proper
// subclass of `expected` when `note` is set).
void arg_type_error(const char* param, PyTypeObject* expected, const char* expected_name, PyObject* got,
                    bool note);

}  // namespace tf
