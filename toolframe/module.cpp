#include "module.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "imports.hpp"

namespace tf {

namespace {

Ref new_module(PyObject* spec);

PyObject* create_step(PyObject* spec, PyModuleDef*) {
    State& s = state();
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    bool claimed = false;
    if (s.interp_id == -1) {
        s.interp_id = id;
        claimed = true;
    } else if (s.interp_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter "
                        "per process.");
        return nullptr;
    }
    if (s.module) return Py_NewRef(s.module);
    Ref module = new_module(spec);
    if (!module && claimed) s.interp_id = -1;  // nothing loaded: no claim stays behind
    return module.release();
}

// The module object of the create step, with the import's ModuleSpec attributes copied.
Ref new_module(PyObject* spec) {
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* md = PyModule_GetDict(module.get());
    struct { const char* from; const char* to; bool skip_none; } copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (auto& c : copies) {
        Ref v = Ref::steal(PyObject_GetAttrString(spec, c.from));
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (c.skip_none && v.get() == Py_None) continue;
        if (PyDict_SetItemString(md, c.to, v.get()) < 0) return nullptr;
    }
    return module;
}

// __test__: the docstrings with examples, keyed "<name> (line <def line>)".
bool build_test_dict(ModuleSpec& m) {
    State& s = state();
    Ref test = Ref::steal(PyDict_New());
    if (!test) return false;
    for (const Function* f : m.functions) {
        if (!f->doc || !std::strstr(f->doc, ">>>")) continue;
        Ref key = Ref::steal(PyUnicode_FromFormat("%s (line %d)", f->name, f->line));
        Ref doc = Ref::steal(PyUnicode_FromString(f->doc));
        if (!key || !doc || PyDict_SetItem(test.get(), key.get(), doc.get()) < 0) return false;
    }
    return PyDict_SetItemString(s.dict, "__test__", test.get()) == 0;
}

// The exec step's failure: the "init" entry, and nothing of the module stays.
int exec_failed(int line) {
    State& s = state();
    ModuleSpec& m = *s.spec;
    if (s.dict && s.constants) m.init_site.add(line);
    Py_CLEAR(s.module);
    Py_CLEAR(s.dict);
    m.functions.clear();
    // The module never loaded: any interpreter may import it afresh, so
    // neither the claim nor this interpreter's builtins stay behind.
    s.interp_id = -1;
    Py_CLEAR(s.builtins);
    return -1;
}

bool warn_on_version_mismatch(const ModuleSpec& m) {
    if ((Py_Version >> 16) == 0x030D) return true;
    char buf[200];
    std::snprintf(buf, sizeof buf, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 13, m.dotted, "does not match", static_cast<int>(Py_Version >> 24),
                  static_cast<int>((Py_Version >> 16) & 0xFF));
    return PyErr_WarnEx(PyExc_RuntimeWarning, buf, 1) == 0;
}

int exec_step(PyObject* module) {
    State& s = state();
    ModuleSpec& m = *s.spec;
    if (s.module) {
        if (s.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", m.short_name);
        return -1;
    }
    s.module = Py_NewRef(module);
    s.dict = Py_NewRef(PyModule_GetDict(module));
    if (!s.builtins && !(s.builtins = PyImport_AddModuleRef("builtins"))) return exec_failed(kModuleLine);
    if (PyObject_SetAttrString(module, "__builtins__", s.builtins) < 0) return exec_failed(kModuleLine);
    if (!warn_on_version_mismatch(m)) return exec_failed(kModuleLine);

    if (!s.constants) {
        if (!s.modname && !(s.modname = PyUnicode_InternFromString(m.dotted))) return exec_failed(kModuleLine);
        if (!create_names()) return exec_failed(kModuleLine);
        m.body_site.rename(m.dotted);
        m.init_site.rename(std::string("init ") + m.dotted);
        s.constants = true;
    }

    PyObject* mods = PyImport_GetModuleDict();
    int has = PyDict_Contains(mods, s.modname);
    if (has < 0 || (!has && PyDict_SetItem(mods, s.modname, module) < 0)) return exec_failed(kModuleLine);

    m.functions.clear();
    Body body(m);
    if (!m.body(body)) return exec_failed(body.failed_line);
    if (!build_test_dict(m)) return exec_failed(kModuleLine);
    return 0;
}

}  // namespace

PyObject* init(ModuleSpec& spec) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create_step)},
        {Py_mod_exec, reinterpret_cast<void*>(exec_step)},
        {0, nullptr},
    };
    static PyModuleDef def = {
        PyModuleDef_HEAD_INIT,
        spec.short_name,
        spec.doc,
        0,
        nullptr,
        slots,
        nullptr,
        nullptr,
        nullptr,
    };
    state().spec = &spec;
    return PyModuleDef_Init(&def);
}

}  // namespace tf
