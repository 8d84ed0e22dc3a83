// The shared frame of the quelmar tool modules: module definition and
// initialisation, argument binding and its messages, traceback entries,
// global lookup, import helpers and the optional-package guard.
//
// Every module links its own copy of this static library, so all state below
// is per module and process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tf {

// ---------------------------------------------------------------------------
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
// scope in the module's source file.
class Name {
public:
    explicit Name(const char* text);
    PyObject* obj() const { return obj_; }
    Py_hash_t hash() const { return hash_; }
    const char* text() const { return text_; }
    bool create();

private:
    const char* text_;
    PyObject* obj_ = nullptr;
    Py_hash_t hash_ = -1;
};

// ---------------------------------------------------------------------------
// Parameters and argument binding.
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

struct Param {
    const Name* name;
    Kind kind = Kind::Any;
    bool none_ok = false;    // None passes the type test
    int line = 0;            // line of the parameter (int / float conversion errors)
    PyObject* (*dflt)() = nullptr;  // default (new reference) for an optional parameter
};

struct Function;

// Bound values of one call, owned. For Kind::Double parameters the converted
// double is in dbl[i] and val[i] holds the original object.
struct Args {
    std::vector<Ref> val;
    std::vector<double> dbl;
    PyObject* operator[](size_t i) const { return val[i].get(); }
};

// A module-level function (or method) with its parameter table.
struct Function {
    const char* name;          // Python name, e.g. "execute_plusor"
    const char* qualname;      // qualified name for traceback entries
    int line;                  // line of the def
    const char* doc;           // docstring or nullptr
    std::vector<Param> params;
    bool all_required;         // either every parameter is required or none is

    // Binds and converts the arguments of a fast call; false with an
    // exception set (and the traceback entry where one belongs).
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) const;
    // Exact-type checks of the bound values (after conversions).
    bool check_types(const Args& a) const;
    // The qualified name as Python gives it (without the module prefix):
    // "execute_plusor", "LogCapture.get_logs".
    const char* python_qualname() const;
    // Adds this function's traceback entry at `line` and returns nullptr.
    PyObject* fail(int at) const;
};

// Raises the argument-type error (with the subclass note for a proper
// subclass of `expected` when `note` is set).
void arg_type_error(const char* param, PyTypeObject* expected, const char* expected_name,
                    PyObject* got, bool note);

// ---------------------------------------------------------------------------
// Module state and the generic parts of module initialisation.
struct ModuleSpec;

// Helper for the module body: each statement returns true on success; on
// failure it records the source line that the "init" entry names.
class Body {
public:
    explicit Body(ModuleSpec& m) : m_(m) {}
    int failed_line = 0;

    bool import(int line, const char* name, const char* as = nullptr);
    bool from_import(int line, const char* module, std::initializer_list<const char*> names,
                     int level = 0);
    // import <package> as <as>, turning an ImportError into `message` raised
    // from it (line of the import, line of the raise).
    bool guard(int line, int raise_line, const char* package, const char* as, const char* message);
    bool def(int line, PyMethodDef* def);
    bool set(int line, const char* name, Ref value);
    bool fail(int line) { failed_line = line; return false; }

private:
    ModuleSpec& m_;
};

struct ModuleSpec {
    const char* dotted;        // "quelmar.tools.plusor"
    const char* short_name;    // "plusor"
    const char* doc;
    const char* source;        // "quelmar/tools/plusor.py"
    bool (*body)(Body&);
    std::vector<std::pair<PyMethodDef*, int>> functions;  // filled by Body::def (for __test__)
};

// Module-wide state, one per shared library.
struct State {
    ModuleSpec* spec = nullptr;
    int64_t interp_id = -1;
    PyObject* module = nullptr;
    PyObject* dict = nullptr;
    PyObject* builtins = nullptr;
    PyObject* modname = nullptr;   // dotted name as str
    bool constants = false;
};
State& state();

// Returns the module definition for PyInit_<name>.
PyObject* init(ModuleSpec& spec);

// Traceback entry (qualified name, line) on the pending exception.
void add_traceback(const char* qualname, int line);

// Module global lookup at call time: namespace, then builtins, else NameError.
Ref lookup(const Name& n);
// getattr with a constant name.
Ref attr(PyObject* o, const Name& n);
// Calls with a vector; kwnames may be null.
Ref call(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
Ref call_method(PyObject* self, const Name& name, std::initializer_list<PyObject*> args);
// Unpacks exactly n values from seq.
bool unpack(PyObject* seq, Ref* out, Py_ssize_t n);
// Raises exc_type(message) with an optional cause.
void raise(PyObject* exc_type, PyObject* message, PyObject* cause = nullptr);
// import / from-import helpers (also usable from tool bodies).
Ref import_module(const char* name);
Ref import_from(PyObject* module, PyObject* name);

}  // namespace tf

namespace tf {

// A function implemented in C that behaves like a Python `def` inside a class
// body: it binds to instances (the instance becomes its first argument) and
// carries __name__, __qualname__ (e.g. "LogCapture.get_logs"), __module__,
// __doc__ and __annotations__. `def` uses the fast call with keywords.
Ref new_method(PyMethodDef* def, const char* qualname, Ref annotations);

}  // namespace tf
