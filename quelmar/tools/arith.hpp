// The body shared by the three JAX arithmetic tools. Each module supplies its
// short name, docstrings, operation and line shift; everything else is here.
#pragma once

#include "toolframe.hpp"

namespace arith {

// Source lines of quelmar/tools/<tool>.py. The body lines move down by the
// tool's shift (a longer docstring pushes them down); the rest do not.
namespace line {
constexpr int IMPORT_TYPING = 3;   // from typing import Union
constexpr int IMPORT_JAX = 6;      // import jax.numpy as jnp
constexpr int RAISE_NO_JAX = 8;    // raise ImportError(...) from e
constexpr int DEF = 14;            // def execute_<tool>(a: float, b: float) -> float:
constexpr int ARRAY_A = 36;        // a_arr = jnp.array(a, dtype=jnp.float32)
constexpr int ARRAY_B = 37;        // b_arr = jnp.array(b, dtype=jnp.float32)
constexpr int OP = 40;             // result = a_arr <op> b_arr
constexpr int NAN_TEST = 43;       // if jnp.isnan(result).item():
constexpr int NAN_RAISE = 44;      //     raise ValueError("Result is NaN (Not a Number)")
constexpr int INF_TEST = 45;       // if jnp.isinf(result).item():
constexpr int INF_RAISE = 46;      //     raise ValueError("Result is infinite")
constexpr int RESULT = 49;         // return float(result)
}  // namespace line

// The tool's operation on any two objects, and the same operation on two
// exact floats (what float's own operator computes, without the dispatch).
struct Operation {
    binaryfunc objects;                 // PyNumber_Add and so on
    double (*floats)(double, double);
};
inline const Operation kAdd{PyNumber_Add, [](double x, double y) { return x + y; }};
inline const Operation kSubtract{PyNumber_Subtract, [](double x, double y) { return x - y; }};
inline const Operation kMultiply{PyNumber_Multiply, [](double x, double y) { return x * y; }};

// One arithmetic tool: its module, its function and what differs between tools.
struct Tool {
    tf::ModuleSpec module;
    tf::Function function;
    Operation op;
    int shift;               // offset of the body lines
    PyObject* dtype_kwnames = nullptr;  // ("dtype",), made by the module body
};

// The parameters (a, b), both machine floats.
std::vector<tf::Param> params();
// The tool function's body, after binding.
PyObject* call(const Tool& t, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The module body.
bool body(tf::Body& b, Tool& t);

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

// Defines `tool`, the arithmetic tool with the short name NAME: module
// "quelmar.tools.NAME", source "quelmar/tools/NAME.py", function
// "execute_NAME" (qualified "quelmar.tools.NAME.execute_NAME").
#define ARITH_TOOL(NAME, MODULE_DOC, DOC, OP, SHIFT)                                                     \
    namespace {                                                                                        \
    PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);            \
    bool run_body(tf::Body& b);                                                                        \
    arith::Tool tool = {                                                                               \
        tf::ModuleSpec{"quelmar.tools." #NAME, #NAME, MODULE_DOC, "quelmar/tools/" #NAME ".py", run_body}, \
        tf::Function("execute_" #NAME, arith::line::DEF, DOC, arith::params(), entry),                 \
        OP,                                                                                            \
        SHIFT,                                                                                         \
    };                                                                                                 \
    PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {           \
        return arith::call(tool, args, nargs, kwnames);                                                \
    }                                                                                                  \
    bool run_body(tf::Body& b) { return arith::body(b, tool); }                                        \
    }
