// Calls and lookups of tool bodies.
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace tf {

// Module global lookup at call time: namespace, then builtins, else NameError.
Ref lookup(const Name& n);
// getattr with a constant name.
Ref attr(PyObject* o, const Name& n);
// Calls with a vector; the last len(kwnames) arguments are keywords (kwnames may be null).
Ref call(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
// self.<name>(*args), with at most 7 arguments.
Ref call_method(PyObject* self, const Name& name, std::initializer_list<PyObject*> args);
// Unpacks exactly n values from seq.
bool unpack(PyObject* seq, Ref* out, Py_ssize_t n);
// Raises exc_type(message) with an optional cause.
void raise(PyObject* exc_type, PyObject* message, PyObject* cause = nullptr);

}  // namespace tf
