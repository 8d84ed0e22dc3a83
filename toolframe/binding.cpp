#include "binding.hpp"

#include <algorithm>
#include <initializer_list>
#include <cstring>

#include "state.hpp"

namespace tf {

namespace {

Name n_add_note("add_note"), n_given(" given)"), n_quote("'");
Name n_subclass_note(
    "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin "
    "types. If you need to pass subclasses then set the 'annotation_typing' directive to False.");

PyCFunction as_cfunction(FastImpl f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)); }

PyTypeObject* exact_type(Kind k) {
    switch (k) {
    case Kind::Str: return &PyUnicode_Type;
    case Kind::Dict: return &PyDict_Type;
    case Kind::List: return &PyList_Type;
    case Kind::Bool: return &PyBool_Type;
    default: return nullptr;
    }
}

std::vector<Param> with_exact_types(std::vector<Param> params) {
    for (Param& p : params) p.exact = exact_type(p.kind);
    return params;
}

bool no_conversion(const std::vector<Param>& params) {
    return std::none_of(params.begin(), params.end(), [](const Param& p) {
        return p.kind == Kind::Int || p.kind == Kind::Float || p.kind == Kind::Double;
    });
}

bool no_int_or_float(const std::vector<Param>& params) {
    return std::none_of(params.begin(), params.end(),
                        [](const Param& p) { return p.kind == Kind::Int || p.kind == Kind::Float; });
}

bool every_param_required(const std::vector<Param>& params) {
    return std::all_of(params.begin(), params.end(), [](const Param& p) { return p.dflt == nullptr; });
}

bool is_number(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    return nb && (nb->nb_int || nb->nb_index || nb->nb_float);
}

// Compares a keyword name with a parameter name by content: 1 equal, 0 not, -1 error.
int same_name(PyObject* key, const Name& n) {
    if (PyUnicode_CheckExact(key)) {
        Py_hash_t h = PyObject_Hash(key);
        if (h == -1) return -1;
        if (h != n.hash() || PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(n.obj()) ||
            PyUnicode_KIND(key) != PyUnicode_KIND(n.obj()))
            return 0;
        return std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(n.obj()),
                           PyUnicode_GET_LENGTH(key) * PyUnicode_KIND(key)) == 0;
    }
    Nested nested;  // a str subclass's __eq__ may call back into this function
    if (!nested.enter()) return -1;
    return PyObject_RichCompareBool(key, n.obj(), Py_EQ);
}

// Joins str parts into one new str. Binding errors are raised often (a
// caller probing a signature), so their messages are assembled from parts
// made once instead of being formatted from C text on every raise.
Ref join(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (PyObject* s : parts) {
        length += PyUnicode_GET_LENGTH(s);
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(s));
    }
    Ref out = Ref::steal(PyUnicode_New(length, maxchar));
    if (!out) return nullptr;
    Py_ssize_t at = 0;
    for (PyObject* s : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (PyUnicode_CopyCharacters(out.get(), at, s, 0, n) < 0) return nullptr;
        at += n;
    }
    return out;
}

// The decimal text of n as a new str.
Ref decimal(Py_ssize_t n) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    size_t v = n < 0 ? 0 - static_cast<size_t>(n) : static_cast<size_t>(n);
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    if (n < 0) *--p = '-';
    return Ref::steal(PyUnicode_FromStringAndSize(p, end - p));
}

// Sets `type(message)` as the pending exception; a null message leaves the
// error of making it.
void set_error(PyObject* type, const Ref& message) {
    if (message) PyErr_SetObject(type, message.get());
}

}  // namespace

PyObject* default_none() { return Py_NewRef(Py_None); }

Function::Function(const char* name, int line, const char* doc, std::vector<Param> params, FastImpl impl,
                   const char* owner)
    : name(name), line(line), doc(doc), owner(owner), params(with_exact_types(std::move(params))),
      all_required(every_param_required(this->params)),
      def{name, as_cfunction(impl), METH_FASTCALL | METH_KEYWORDS, doc},
      nparams_(static_cast<Py_ssize_t>(this->params.size())),
      required_exact_(all_required && no_int_or_float(this->params) && this->params.size() <= 8),
      plain_(no_conversion(this->params)), fast_(no_int_or_float(this->params)),
      python_qualname_(owner ? std::string(owner) + "." + name : std::string(name)) {}

Function::Function(const char* name, int line, const char* doc, NoArgsImpl impl)
    : name(name), line(line), doc(doc), owner(nullptr), all_required(true), def{name, impl, METH_NOARGS, doc},
      nparams_(0), required_exact_(false), plain_(true), fast_(true), python_qualname_(name) {}

void Function::attach(const char* dotted) {
    site_.rename(std::string(dotted) + "." + python_qualname_);
    if (required_exact_)  // the names exist from the exec step on
        for (Py_ssize_t i = 0; i < nparams_; ++i) names_[i] = params[i].name->obj();
}

PyObject* Function::fail(int at) const {
    site_.add(at);
    return nullptr;
}

void arg_type_error(const char* param, PyTypeObject* expected, const char* expected_name, PyObject* got,
                    bool note) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected_name, Py_TYPE(got)->tp_name);
    if (!note || !expected || !PyType_IsSubtype(Py_TYPE(got), expected)) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* call[] = {exc.get(), n_subclass_note.obj()};
    Ref r = Ref::steal(PyObject_VectorcallMethod(n_add_note.obj(), call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    PyErr_Clear();  // a failing add_note leaves the error as it was
    PyErr_SetRaisedException(exc.release());
}

// ---------------------------------------------------------------------------
// Binding, in steps: positional arguments, keywords, defaults, conversions,
// exact-type checks.

bool Function::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots out) const {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (params.size() > out.capacity) {
        PyErr_Format(PyExc_SystemError, "%s(): %zu parameters bound into %zu slots", name, params.size(),
                     out.capacity);
        return false;
    }
    return positional(args, nargs, nkw, out) && (nkw == 0 || keywords(args, nargs, kwnames, out)) &&
           defaults(nargs, out) && (plain_ || convert(out)) && check_types(out);
}

PyObject* Function::message_start(PyObject*& made, const char* format) const {
    if (!made) made = PyUnicode_FromFormat(format, name);
    return made;
}

// "f() takes exactly 2 positional arguments (3 given)"
bool Function::count_error(Py_ssize_t given) const {
    if (!count_start_) {
        const Py_ssize_t P = static_cast<Py_ssize_t>(params.size());
        count_start_ = PyUnicode_FromFormat("%.200s() takes %.8s %zd positional argument%.1s (", name,
                                            all_required ? "exactly" : "at most", P, P == 1 ? "" : "s");
    }
    if (count_start_) {
        Ref number = decimal(given);
        if (number) set_error(PyExc_TypeError, join({count_start_, number.get(), n_given.obj()}));
    }
    fail(line);
    return false;
}

bool Function::positional(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw, Slots out) const {
    const Py_ssize_t P = static_cast<Py_ssize_t>(params.size());
    const Py_ssize_t R = all_required ? P : 0;
    if (nargs > P || (nkw == 0 && nargs < R)) return count_error(nargs);
    std::copy(args, args + nargs, out.val);
    std::fill(out.val + nargs, out.val + P, nullptr);
    return true;
}

// The index of the parameter that a keyword names; -1 none, -2 error. Names
// written in the caller's source are interned, so the identity pass finds them.
Py_ssize_t Function::find_keyword(PyObject* key) const {
    const Py_ssize_t P = static_cast<Py_ssize_t>(params.size());
    for (Py_ssize_t i = 0; i < P; ++i)
        if (params[i].name->obj() == key) return i;
    for (Py_ssize_t i = 0; i < P; ++i) {
        int eq = same_name(key, *params[i].name);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

bool Function::keywords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots out) const {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            fail(line);
            return false;
        }
        Py_ssize_t found = find_keyword(key);
        if (found == -2) {
            fail(line);
            return false;
        }
        if (found < 0 || found < nargs) {
            PyObject* start = found < 0
                ? message_start(unexpected_start_, "%s() got an unexpected keyword argument '")
                : message_start(repeated_start_, "%s() got multiple values for keyword argument '");
            if (start) set_error(PyExc_TypeError, join({start, key, n_quote.obj()}));
            fail(line);
            return false;
        }
        if (out.val[found]) {  // two names of the tuple equal to one parameter
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", python_qualname_.c_str(),
                         key);
            fail(line);
            return false;
        }
        out.val[found] = args[nargs + k];
    }
    return true;
}

bool Function::defaults(Py_ssize_t nargs, Slots out) const {
    const Py_ssize_t P = static_cast<Py_ssize_t>(params.size());
    for (Py_ssize_t i = nargs; i < P; ++i) {
        if (out.val[i]) continue;
        if (!params[i].dflt) return count_error(i);
        if (params[i].dflt == default_none) {
            out.val[i] = Py_None;  // immortal: nothing to own
            continue;
        }
        if (!out.own(i, params[i].dflt())) {
            fail(line);
            return false;
        }
    }
    return true;
}

bool Function::convert(Slots out) const {
    const Py_ssize_t P = static_cast<Py_ssize_t>(params.size());
    for (Py_ssize_t i = 0; i < P; ++i) {
        const Param& p = params[i];
        PyObject* v = out.val[i];
        Ref converted;
        switch (p.kind) {
        case Kind::Double: {
            double d;
            if (PyFloat_CheckExact(v)) {
                d = PyFloat_AS_DOUBLE(v);
            } else {
                Nested nested;  // __float__ or __index__ may call this function again
                if (!nested.enter()) return fail(line), false;
                d = PyFloat_AsDouble(v);
            }
            if (d == -1.0 && PyErr_Occurred()) return fail(line), false;
            out.dbl[i] = d;
            continue;
        }
        case Kind::Int:
            if (PyLong_CheckExact(v) || (v == Py_None && p.none_ok)) continue;
            if (v == Py_None || !is_number(v)) {
                arg_type_error(p.name->text(), nullptr, "int", v, false);
                return fail(p.line), false;
            }
            {
                Nested nested;
                if (!nested.enter()) return fail(p.line), false;
                converted = Ref::steal(PyNumber_Long(v));
            }
            break;
        case Kind::Float:
            if (PyFloat_CheckExact(v) || (v == Py_None && p.none_ok)) continue;
            if (PyLong_CheckExact(v)) {
                double d = PyLong_AsDouble(v);
                if (d == -1.0 && PyErr_Occurred()) return fail(p.line), false;
                converted = Ref::steal(PyFloat_FromDouble(d));
            } else if (v != Py_None && is_number(v)) {
                Nested nested;
                if (!nested.enter()) return fail(p.line), false;
                converted = Ref::steal(PyNumber_Float(v));
            } else {
                arg_type_error(p.name->text(), nullptr, "float", v, false);
                return fail(p.line), false;
            }
            break;
        default:
            continue;
        }
        if (!converted) return fail(p.line), false;
        out.own(i, converted.release());
    }
    return true;
}

// Exact type checks, in parameter order; these add no traceback entry.
bool Function::check_types(Slots out) const {
    const Py_ssize_t P = static_cast<Py_ssize_t>(params.size());
    for (Py_ssize_t i = 0; i < P; ++i) {
        const Param& p = params[i];
        PyObject* v = out.val[i];
        PyTypeObject* t = p.exact;
        if (!t || Py_IS_TYPE(v, t) || (v == Py_None && p.none_ok)) continue;
        const char* tn = t == &PyUnicode_Type ? "str" : t == &PyDict_Type ? "dict" : t == &PyList_Type ? "list" : "bool";
        arg_type_error(p.name->text(), t, tn, v, true);
        return false;
    }
    return true;
}

}  // namespace tf
