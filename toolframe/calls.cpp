#include "calls.hpp"

#include <algorithm>

#include "state.hpp"

namespace tf {

Ref lookup_builtin(const Name& n) {
    Ref b = Ref::steal(PyObject_GetAttr(state().builtins, n.obj()));
    if (!b && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", n.obj());
    }
    return b;
}

// After a failed (or missing) attribute slot: what PyObject_GetAttr adds. A
// type without the slot gets the generic path; an AttributeError is given
// the object and the name (for the interpreter's "Did you mean" hint) unless
// it already has them.
PyObject* attr_failed(PyObject* o, const Name& n) {
    if (!Py_TYPE(o)->tp_getattro) return PyObject_GetAttr(o, n.obj());
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_AttributeError)) {
        auto* e = reinterpret_cast<PyAttributeErrorObject*>(exc.get());
        if (!e->name && !e->obj &&
            (PyObject_SetAttrString(exc.get(), "name", n.obj()) < 0 || PyObject_SetAttrString(exc.get(), "obj", o) < 0))
            return nullptr;
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

// The calls out of a body check the stack left first: a module global
// rebound to a C callable (a functools.partial) may lead straight back into
// the same body without any Python frame in between.
Ref call(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    if (!stack_left(&args)) return nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()),
                                          static_cast<Py_ssize_t>(args.size()) - nkw, kwnames));
}

Ref call_method(PyObject* self, const Name& name, std::initializer_list<PyObject*> args) {
    PyObject* v[8];
    if (!stack_left(v)) return nullptr;
    if (args.size() >= 8) {
        PyErr_SetString(PyExc_SystemError, "call_method: too many arguments");
        return nullptr;
    }
    v[0] = self;
    std::copy(args.begin(), args.end(), v + 1);
    return Ref::steal(
        PyObject_VectorcallMethod(name.obj(), v, (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

bool unpack(PyObject* seq, Ref* out, Py_ssize_t n) {
    auto too_few = [](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
        return false;
    };
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size != n) {
            if (size > n) {
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
                return false;
            }
            return too_few(size);
        }
        PyObject** items = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) return false;
            return too_few(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        return false;
    }
    return !PyErr_Occurred();
}

void raise(PyObject* exc_type, PyObject* message, PyObject* cause) {
    Ref exc = Ref::steal(PyObject_CallOneArg(exc_type, message));
    if (!exc) return;
    if (cause) {
        PyException_SetContext(exc.get(), Py_NewRef(cause));
        PyException_SetCause(exc.get(), Py_NewRef(cause));
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

}  // namespace tf
