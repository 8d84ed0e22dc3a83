// The function type for methods of classes created by module bodies.
#include <cstddef>

#include "method.hpp"

#include "state.hpp"

namespace tf {

namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyMethodDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* dict;
};

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    auto fn = reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)(void)>(m->def->ml_meth));
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* r = fn(nullptr, args, PyVectorcall_NARGS(nargsf), kwnames);
    Py_LeaveRecursiveCall();
    return r;
}

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->annotations);
    Py_VISIT(m->doc);
    Py_VISIT(m->dict);
    Py_VISIT(m->module);
    return 0;
}

// name and qualname are str (no cycle through them): kept until the object goes.
int method_clear(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_CLEAR(m->module);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->dict);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);  // a heap type: each instance holds a reference
    PyObject_GC_UnTrack(self);
    method_clear(self);
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* method_repr(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", m->qualname, self);
}

// __name__ and __qualname__ are always str, as for a Python function (the
// repr reads __qualname__): deleting them or setting another type is refused.
PyObject* get_name(PyObject* self, void* offset) {
    return Py_NewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset)));
}

int set_name(PyObject* self, PyObject* value, void* offset) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     offset == reinterpret_cast<void*>(offsetof(MethodObject, name)) ? "__name__" : "__qualname__");
        return -1;
    }
    Py_XSETREF(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset)),
               Py_NewRef(value));
    return 0;
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, reinterpret_cast<void*>(offsetof(MethodObject, name))},
    {"__qualname__", get_name, set_name, nullptr, reinterpret_cast<void*>(offsetof(MethodObject, qualname))},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(MethodObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(MethodObject, doc), 0, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(MethodObject, annotations), 0, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(MethodObject, dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_members, method_members},
    {Py_tp_getset, method_getset},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "quelmar.function",
    sizeof(MethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

PyObject* method_type() {
    static PyObject* type = nullptr;  // kept for the life of the process
    if (!type) type = PyType_FromSpec(&method_spec);
    return type;
}

}  // namespace

Ref new_method(Function& f, Ref annotations) {
    PyObject* type = method_type();
    if (!type) return nullptr;
    if (!annotations) {
        annotations = Ref::steal(PyDict_New());
        if (!annotations) return nullptr;
    }
    f.attach(state().spec->dotted);
    Ref name = Ref::steal(PyUnicode_InternFromString(f.name));
    Ref qual = Ref::steal(PyUnicode_FromString(f.python_qualname().c_str()));
    Ref doc = f.doc ? Ref::steal(PyUnicode_FromString(f.doc)) : Ref::borrow(Py_None);
    if (!name || !qual || !doc) return nullptr;
    auto* m = PyObject_GC_New(MethodObject, reinterpret_cast<PyTypeObject*>(type));
    if (!m) return nullptr;
    m->vectorcall = method_vectorcall;
    m->def = &f.def;
    m->name = name.release();
    m->qualname = qual.release();
    m->module = Py_NewRef(state().modname);
    m->doc = doc.release();
    m->annotations = annotations.release();
    m->dict = nullptr;
    PyObject_GC_Track(m);
    return Ref::steal(reinterpret_cast<PyObject*>(m));
}

}  // namespace tf
