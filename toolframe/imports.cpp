#include "imports.hpp"

#include <cstring>
#include <vector>

#include "calls.hpp"

namespace tf {

namespace {

// The module registry's entry for a name; None (an import blocked on purpose)
// counts as absent, so that the import system reports it.
Ref registered(PyObject* name) {
    Ref m = Ref::steal(PyImport_GetModule(name));
    if (m.get() == Py_None) m = nullptr;
    return m;
}

// The vectorcall entry of a function object for generic calls (keywords,
// calls from C): straight to the implementation. The interpreter's own entry
// adds a C recursion count per call; these functions bound their nesting
// themselves: each checks the stack left when it binds and before its body
// calls out, and counts its calls back into Python (conversions, keyword
// comparisons) as the interpreter's C functions do (stack.hpp).
PyObject* direct_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<PyCFunctionObject*>(callable);
    auto impl = reinterpret_cast<FastImpl>(reinterpret_cast<void (*)(void)>(f->m_ml->ml_meth));
    return impl(f->m_self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

}  // namespace

Ref import_module(const char* name) {
    State& s = state();
    Ref n = Ref::steal(PyUnicode_FromString(name));
    if (!n) return nullptr;
    Ref m = registered(n.get());
    if (m) {
        const char* dot = std::strchr(name, '.');
        if (!dot) return m;
        Ref top = Ref::steal(PyUnicode_FromStringAndSize(name, dot - name));
        if (!top) return nullptr;
        Ref t = registered(top.get());
        if (t || PyErr_Occurred()) return t;
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    return Ref::steal(PyImport_ImportModuleLevelObject(n.get(), s.dict, locals.get(), nullptr, 0));
}

Ref import_from(PyObject* module, PyObject* name) {
    Ref v = Ref::steal(PyObject_GetAttr(module, name));
    if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
    Ref modname = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (modname && PyUnicode_Check(modname.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", modname.get(), name));
        if (full) {
            Ref sub = Ref::steal(PyImport_GetModule(full.get()));
            if (sub) return sub;
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Module body statements

bool Body::import(int line, const char* name, const char* as) {
    Ref m = import_module(name);
    if (!m) return fail(line);
    return set(line, as ? as : name, std::move(m));
}

bool Body::from_import(int line, const char* module, std::initializer_list<const char*> list, int level) {
    State& s = state();
    Ref modname = Ref::steal(PyUnicode_FromString(module));
    if (!modname) return fail(line);
    std::vector<Ref> keys;
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(list.size())));
    if (!fromlist) return fail(line);
    Py_ssize_t i = 0;
    for (const char* n : list) {
        Ref k = Ref::steal(PyUnicode_InternFromString(n));
        if (!k) return fail(line);
        PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(k.get()));
        keys.push_back(std::move(k));
    }
    Ref m;
    if (level == 0) {
        m = registered(modname.get());
        if (!m && PyErr_Occurred()) return fail(line);
        for (const Ref& k : keys) {
            if (!m) break;
            int has = PyObject_HasAttrWithError(m.get(), k.get());
            if (has < 0) return fail(line);
            if (!has) m = nullptr;
        }
    }
    if (!m) {
        Ref locals = Ref::steal(PyDict_New());
        if (!locals) return fail(line);
        m = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), s.dict, locals.get(), fromlist.get(), level));
        if (!m) return fail(line);
    }
    for (const Ref& k : keys) {
        Ref v = import_from(m.get(), k.get());
        if (!v || PyDict_SetItem(s.dict, k.get(), v.get()) < 0) return fail(line);
    }
    return true;
}

bool Body::guard(int line, int raise_line, const char* package, const char* as, const char* message) {
    Ref v = import_module(package);
    if (v) {
        if (const char* last = std::strrchr(package, '.')) {
            Ref n = Ref::steal(PyUnicode_InternFromString(last + 1));
            v = n ? import_from(v.get(), n.get()) : nullptr;
        }
    }
    if (v) return set(line, as, std::move(v));
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return fail(line);
    m_.body_site.add(line);
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    Ref msg = Ref::steal(PyUnicode_FromString(message));
    if (msg) raise(PyExc_ImportError, msg.get(), caught.get());
    return fail(raise_line);
}

bool Body::def(Function& f) {
    State& s = state();
    f.attach(m_.dotted);
    Ref obj = Ref::steal(PyCMethod_New(&f.def, nullptr, s.modname, nullptr));
    if (!obj) return fail(f.line);
    if (f.def.ml_flags == (METH_FASTCALL | METH_KEYWORDS))
        reinterpret_cast<PyCFunctionObject*>(obj.get())->vectorcall = direct_call;
    m_.functions.push_back(&f);
    return set(f.line, f.name, std::move(obj));
}

bool Body::set(int line, const char* name, Ref value) {
    if (!value || PyDict_SetItemString(state().dict, name, value.get()) < 0) return fail(line);
    return true;
}

}  // namespace tf
