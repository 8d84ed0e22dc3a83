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

// The tool function's docstring: lines 1 to 13 have one shape in all three
// modules; `examples` is empty or ARITH_EXAMPLES(...), and the text always
// ends with a line of four spaces.
#define ARITH_DOCSTRING(title, a_note, b_note, what, examples) \
    "\n"                                                        \
    "    " title "\n"                                           \
    "\n"                                                        \
    "    Args:\n"                                               \
    "        a: First floating-point operand" a_note "\n"       \
    "        b: Second floating-point operand" b_note "\n"      \
    "\n"                                                        \
    "    Returns:\n"                                            \
    "        " what " of a and b as a Python float\n"           \
    "\n"                                                        \
    "    Raises:\n"                                             \
    "        TypeError: If inputs are not numeric\n"            \
    "        ValueError: If inputs are NaN or Inf\n"            \
    examples "    "

#define ARITH_EXAMPLES(function, first, second) \
    "\n"                                         \
    "    Examples:\n"                            \
    "        >>> " function "(10.5, 3.2)\n"      \
    "        " first "\n"                        \
    "        >>> " function "(5, 10)\n"          \
    "        " second "\n"

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
