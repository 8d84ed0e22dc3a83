#include "toolframe.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace tf {

namespace {

std::vector<Name*>& names() {
    static std::vector<Name*> all;
    return all;
}

const char* const kSubclassNote =
    "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin "
    "types. If you need to pass subclasses then set the 'annotation_typing' directive to False.";

}  // namespace

State& state() {
    static State s;
    return s;
}

// ---------------------------------------------------------------------------
// Constant strings

Name::Name(const char* text) : text_(text) { names().push_back(this); }

bool Name::create() {
    if (obj_) return true;
    obj_ = PyUnicode_InternFromString(text_);
    if (!obj_) return false;
    hash_ = PyObject_Hash(obj_);
    return hash_ != -1;
}

static bool create_constants() {
    for (Name* n : names())
        if (!n->create()) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Traceback entries with a cache of code objects, sorted by (line, name).

namespace {

// The entry owns its name: callers may pass the text of a temporary.
struct CodeEntry {
    int line;
    std::string qualname;
    PyObject* code;
};

std::vector<CodeEntry>& code_cache() {
    static std::vector<CodeEntry> cache;
    return cache;
}

bool entry_less(const CodeEntry& e, std::pair<int, const char*> key) {
    if (e.line != key.first) return e.line < key.first;
    return std::strcmp(e.qualname.c_str(), key.second) < 0;
}

PyObject* cached_code(const char* qualname, int line) {
    auto& cache = code_cache();
    auto key = std::make_pair(line, qualname);
    auto it = std::lower_bound(cache.begin(), cache.end(), key, entry_less);
    if (line != 0 && it != cache.end() && it->line == line && it->qualname == qualname)
        return it->code;

    PyObject* exc = PyErr_GetRaisedException();
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(state().spec->source, qualname, line));
    PyErr_SetRaisedException(exc);
    if (!code || line == 0) return code;  // line 0 is never cached (caller releases)

    if (it != cache.end() && it->line == line && it->qualname == qualname) {
        Py_SETREF(it->code, code);
    } else {
        if (cache.size() == cache.capacity()) cache.reserve(cache.capacity() + 64);
        it = std::lower_bound(cache.begin(), cache.end(), key, entry_less);
        cache.insert(it, CodeEntry{line, qualname, code});
    }
    return code;
}

}  // namespace

void add_traceback(const char* qualname, int line) {
    State& s = state();
    if (!s.dict) return;
    Ref code_owner;
    PyObject* code = cached_code(qualname, line);
    if (!code) return;
    if (line == 0) code_owner = Ref::steal(code);
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), s.dict, nullptr)));
    if (!frame) return;
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// ---------------------------------------------------------------------------
// Generic operations of tool bodies

Ref lookup(const Name& n) {
    State& s = state();
    PyObject* v = _PyDict_GetItem_KnownHash(s.dict, n.obj(), n.hash());
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return nullptr;
    Ref b = Ref::steal(PyObject_GetAttr(s.builtins, n.obj()));
    if (!b && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", n.obj());
    }
    return b;
}

Ref attr(PyObject* o, const Name& n) { return Ref::steal(PyObject_GetAttr(o, n.obj())); }

Ref call(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()),
                                          static_cast<Py_ssize_t>(args.size()) - nkw, kwnames));
}

Ref call_method(PyObject* self, const Name& name, std::initializer_list<PyObject*> args) {
    std::vector<PyObject*> v;
    v.reserve(args.size() + 1);
    v.push_back(self);
    v.insert(v.end(), args.begin(), args.end());
    return Ref::steal(PyObject_VectorcallMethod(name.obj(), v.data(),
                                                v.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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

// ---------------------------------------------------------------------------
// Imports

namespace {

// The module registry's entry for a name; None (an import blocked on purpose)
// counts as absent, so that the import system reports it.
Ref registered(PyObject* name) {
    Ref m = Ref::steal(PyImport_GetModule(name));
    if (m.get() == Py_None) m = nullptr;
    return m;
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
        m = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), s.dict, locals.get(),
                                                        fromlist.get(), level));
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
    add_traceback(m_.dotted, line);
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    Ref msg = Ref::steal(PyUnicode_FromString(message));
    if (msg) raise(PyExc_ImportError, msg.get(), caught.get());
    return fail(raise_line);
}

bool Body::def(int line, PyMethodDef* d) {
    State& s = state();
    Ref f = Ref::steal(PyCMethod_New(d, nullptr, s.modname, nullptr));
    if (!f) return fail(line);
    m_.functions.emplace_back(d, line);
    return set(line, d->ml_name, std::move(f));
}

bool Body::set(int line, const char* name, Ref value) {
    if (!value || PyDict_SetItemString(state().dict, name, value.get()) < 0) return fail(line);
    return true;
}

// ---------------------------------------------------------------------------
// Argument binding

void arg_type_error(const char* param, PyTypeObject* expected, const char* expected_name, PyObject* got,
                    bool note) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected_name, Py_TYPE(got)->tp_name);
    if (!note || !expected || !PyType_IsSubtype(Py_TYPE(got), expected)) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyUnicode_FromString(kSubclassNote));
    if (text) {
        Ref r = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", text.get()));
    }
    PyErr_Clear();  // a failing add_note leaves the error as it was
    PyErr_SetRaisedException(exc.release());
}

namespace {

bool is_number(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb && (nb->nb_int || nb->nb_index || nb->nb_float);
}

// Compares a keyword name with a parameter name: 1 equal, 0 not, -1 error.
int same_name(PyObject* key, const Name& n) {
    if (key == n.obj()) return 1;
    if (PyUnicode_CheckExact(key)) {
        Py_hash_t h = PyObject_Hash(key);
        if (h == -1) return -1;
        if (h != n.hash() || PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(n.obj()) ||
            PyUnicode_KIND(key) != PyUnicode_KIND(n.obj()))
            return 0;
        return PyUnicode_Compare(key, n.obj()) == 0;
    }
    return PyObject_RichCompareBool(key, n.obj(), Py_EQ);
}

}  // namespace

const char* Function::python_qualname() const {
    const char* module = state().spec->dotted;
    size_t n = std::strlen(module);
    if (std::strncmp(qualname, module, n) == 0 && qualname[n] == '.') return qualname + n + 1;
    return qualname;
}

PyObject* Function::fail(int at) const {
    add_traceback(qualname, at);
    return nullptr;
}

bool Function::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) const {
    const Py_ssize_t P = static_cast<Py_ssize_t>(params.size());
    const Py_ssize_t R = all_required ? P : 0;
    auto count_error = [&](Py_ssize_t given) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                     all_required ? "exactly" : "at most", P, P == 1 ? "" : "s", given);
        fail(line);
        return false;
    };
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > P || (nkw == 0 && nargs < R)) return count_error(nargs);

    out.val.assign(P, Ref());
    out.dbl.assign(P, 0.0);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.val[i] = Ref::borrow(args[i]);

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            fail(line);
            return false;
        }
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < P && found < 0; ++i) {
            int eq = same_name(key, *params[i].name);
            if (eq < 0) { fail(line); return false; }
            if (eq) found = i;
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
            fail(line);
            return false;
        }
        if (found < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
            fail(line);
            return false;
        }
        if (out.val[found]) {  // two names of the tuple equal to one parameter
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", python_qualname(), key);
            fail(line);
            return false;
        }
        out.val[found] = Ref::borrow(args[nargs + k]);
    }

    for (Py_ssize_t i = nargs; i < P; ++i) {
        if (out.val[i]) continue;
        if (i < R) return count_error(i);
        out.val[i] = Ref::steal(params[i].dflt ? params[i].dflt() : Py_NewRef(Py_None));
        if (!out.val[i]) { fail(line); return false; }
    }

    // Conversions, parameter by parameter.
    for (Py_ssize_t i = 0; i < P; ++i) {
        const Param& p = params[i];
        PyObject* v = out.val[i].get();
        switch (p.kind) {
        case Kind::Double: {
            double d = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred()) { fail(line); return false; }
            out.dbl[i] = d;
            break;
        }
        case Kind::Int:
            if (PyLong_CheckExact(v) || (v == Py_None && p.none_ok)) break;
            if (v == Py_None || !is_number(v)) {
                arg_type_error(p.name->text(), nullptr, "int", v, false);
                fail(p.line);
                return false;
            }
            out.val[i] = Ref::steal(PyNumber_Long(v));
            if (!out.val[i]) { fail(p.line); return false; }
            break;
        case Kind::Float:
            if (PyFloat_CheckExact(v) || (v == Py_None && p.none_ok)) break;
            if (PyLong_CheckExact(v)) {
                double d = PyLong_AsDouble(v);
                if (d == -1.0 && PyErr_Occurred()) { fail(p.line); return false; }
                out.val[i] = Ref::steal(PyFloat_FromDouble(d));
            } else if (v != Py_None && is_number(v)) {
                out.val[i] = Ref::steal(PyNumber_Float(v));
            } else {
                arg_type_error(p.name->text(), nullptr, "float", v, false);
                fail(p.line);
                return false;
            }
            if (!out.val[i]) { fail(p.line); return false; }
            break;
        default:
            break;
        }
    }

    // Exact type checks, in parameter order; these add no traceback entry.
    for (Py_ssize_t i = 0; i < P; ++i) {
        const Param& p = params[i];
        PyObject* v = out.val[i].get();
        PyTypeObject* t = nullptr;
        const char* tn = nullptr;
        switch (p.kind) {
        case Kind::Str: t = &PyUnicode_Type; tn = "str"; break;
        case Kind::Dict: t = &PyDict_Type; tn = "dict"; break;
        case Kind::List: t = &PyList_Type; tn = "list"; break;
        case Kind::Bool: t = &PyBool_Type; tn = "bool"; break;
        default: continue;
        }
        if (Py_IS_TYPE(v, t) || (v == Py_None && p.none_ok)) continue;
        arg_type_error(p.name->text(), t, tn, v, true);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Module initialisation

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

// The module object of the create step, with the spec's attributes copied.
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

bool build_test_dict(ModuleSpec& m) {
    State& s = state();
    Ref test = Ref::steal(PyDict_New());
    if (!test) return false;
    for (auto& [d, line] : m.functions) {
        if (!d->ml_doc || !std::strstr(d->ml_doc, ">>>")) continue;
        Ref key = Ref::steal(PyUnicode_FromFormat("%s (line %d)", d->ml_name, line));
        Ref doc = Ref::steal(PyUnicode_FromString(d->ml_doc));
        if (!key || !doc || PyDict_SetItem(test.get(), key.get(), doc.get()) < 0) return false;
    }
    return PyDict_SetItemString(s.dict, "__test__", test.get()) == 0;
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
    int line = 1;
    auto failed = [&]() {
        if (s.dict && s.constants) {
            std::string q = std::string("init ") + m.dotted;
            add_traceback(q.c_str(), line);
        }
        Py_CLEAR(s.module);
        Py_CLEAR(s.dict);
        m.functions.clear();
        // The module never loaded: any interpreter may import it afresh, so
        // neither the claim nor this interpreter's builtins stay behind.
        s.interp_id = -1;
        Py_CLEAR(s.builtins);
        return -1;
    };

    s.module = Py_NewRef(module);
    s.dict = Py_NewRef(PyModule_GetDict(module));
    if (!s.builtins) {
        s.builtins = PyImport_AddModuleRef("builtins");
        if (!s.builtins) return failed();
    }
    if (PyObject_SetAttrString(module, "__builtins__", s.builtins) < 0) return failed();

    if ((Py_Version >> 16) != 0x030D) {
        char buf[200];
        std::snprintf(buf, sizeof buf, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      3, 13, m.dotted, "does not match", static_cast<int>(Py_Version >> 24),
                      static_cast<int>((Py_Version >> 16) & 0xFF));
        if (PyErr_WarnEx(PyExc_RuntimeWarning, buf, 1) < 0) return failed();
    }

    if (!s.constants) {
        if (!s.modname && !(s.modname = PyUnicode_InternFromString(m.dotted))) return failed();
        if (!create_constants()) return failed();
        s.constants = true;
    }

    PyObject* mods = PyImport_GetModuleDict();
    int has = PyDict_Contains(mods, s.modname);
    if (has < 0 || (!has && PyDict_SetItem(mods, s.modname, module) < 0)) return failed();

    m.functions.clear();
    Body body(m);
    if (!m.body(body)) {
        line = body.failed_line;
        return failed();
    }
    line = 1;
    if (!build_test_dict(m)) return failed();
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
