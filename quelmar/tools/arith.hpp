// The body shared by the three JAX arithmetic tools. Each module supplies its
// names, docstrings, operation and source lines; everything else is here.
#pragma once

#include "toolframe.hpp"

namespace arith {

struct Tool {
    const char* dotted;       // "quelmar.tools.plusor"
    const char* short_name;   // "plusor"
    const char* module_doc;
    const char* source;       // "quelmar/tools/plusor.py"
    const char* function;     // "execute_plusor"
    const char* qualname;     // "quelmar.tools.plusor.execute_plusor"
    const char* doc;
    binaryfunc op;            // PyNumber_Add and so on
    int shift;                // offset of the body lines (longer docstrings push them down)
};

// Module-level pieces bound to one Tool; `call` is the tool function's entry.
PyObject* call(const Tool& t, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
bool body(tf::Body& b, PyMethodDef* def);
tf::ModuleSpec module_spec(const Tool& t);

}  // namespace arith

// Defines the tool function's method definition and PyInit_<name> for a Tool.
#define ARITH_MODULE(NAME, TOOL)                                                                    \
    static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        return arith::call(TOOL, args, nargs, kwnames);                                             \
    }                                                                                               \
    static PyMethodDef method = {TOOL.function, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry)), \
                                 METH_FASTCALL | METH_KEYWORDS, TOOL.doc};                          \
    static bool run_body(tf::Body& b) { return arith::body(b, &method); }                           \
    static tf::ModuleSpec spec = [] {                                                               \
        tf::ModuleSpec s = arith::module_spec(TOOL);                                                \
        s.body = run_body;                                                                          \
        return s;                                                                                   \
    }();                                                                                            \
    PyMODINIT_FUNC PyInit_##NAME(void) { return tf::init(spec); }
