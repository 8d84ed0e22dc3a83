// Calls and lookups of tool bodies.
#pragma once

#include <initializer_list>

#include "ref.hpp"
#include "stack.hpp"
#include "state.hpp"

namespace tf {

// The lookups below run inline on their common path; the rest is out of line.
Ref lookup_builtin(const Name& n);
PyObject* attr_failed(PyObject* o, const Name& n);

// Module global lookup at call time: namespace, then builtins, else NameError.
inline Ref lookup(const Name& n) {
    PyObject* v = _PyDict_GetItem_KnownHash(state().dict, n.obj(), n.hash());
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return nullptr;
    return lookup_builtin(n);
}

// getattr with a constant name: the type's attribute slot called directly, as
// PyObject_GetAttr does for a str name, with the same AttributeError details.
inline Ref attr(PyObject* o, const Name& n) {
    getattrofunc get = Py_TYPE(o)->tp_getattro;
    PyObject* v = get ? get(o, n.obj()) : nullptr;
    return Ref::steal(v ? v : attr_failed(o, n));
}
// Calls with a vector; the last len(kwnames) arguments are keywords (kwnames may be null).
Ref call(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
// self.<name>(*args), with at most 7 arguments.
Ref call_method(PyObject* self, const Name& name, std::initializer_list<PyObject*> args);
// Unpacks exactly n values from seq.
bool unpack(PyObject* seq, Ref* out, Py_ssize_t n);
// Raises exc_type(message) with an optional cause.
void raise(PyObject* exc_type, PyObject* message, PyObject* cause = nullptr);

}  // namespace tf
