// One arithmetic tool call: bind two operands as doubles, make two float32 JAX
// arrays, apply the operation, refuse NaN and infinite results, return a float.
#include "arith.hpp"

namespace arith {

namespace {

tf::Name n_a("a"), n_b("b"), n_jnp("jnp"), n_array("array"), n_float32("float32"), n_dtype("dtype"),
    n_isnan("isnan"), n_isinf("isinf"), n_item("item");

const Tool* tool = nullptr;
PyObject* dtype_kwnames = nullptr;  // ("dtype",), made once in the module body
tf::Function function;

// Source lines of the body (before the shift).
enum Line { DEF = 14, ARRAY_A = 36, ARRAY_B = 37, OP = 40, NAN_TEST = 43, NAN_RAISE = 44,
            INF_TEST = 45, INF_RAISE = 46, RESULT = 49 };

int at(int line) { return line + tool->shift; }

// jnp.array(value, dtype=jnp.float32)
tf::Ref float32_array(double value) {
    tf::Ref jnp = tf::lookup(n_jnp);
    if (!jnp) return nullptr;
    tf::Ref array = tf::attr(jnp.get(), n_array);
    if (!array) return nullptr;
    tf::Ref number = tf::Ref::steal(PyFloat_FromDouble(value));
    if (!number) return nullptr;
    tf::Ref jnp2 = tf::lookup(n_jnp);
    if (!jnp2) return nullptr;
    tf::Ref dtype = tf::attr(jnp2.get(), n_float32);
    if (!dtype) return nullptr;
    return tf::call(array.get(), {number.get(), dtype.get()}, dtype_kwnames);
}

// jnp.<test>(result).item(), as truth: 1 true, 0 false, -1 error.
int test(const tf::Name& name, PyObject* result) {
    tf::Ref jnp = tf::lookup(n_jnp);
    if (!jnp) return -1;
    tf::Ref fn = tf::attr(jnp.get(), name);
    if (!fn) return -1;
    tf::Ref flag = tf::call(fn.get(), {result});
    if (!flag) return -1;
    tf::Ref value = tf::call_method(flag.get(), n_item, {});
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

PyObject* refuse(const char* message, int line) {
    PyErr_SetString(PyExc_ValueError, message);
    return function.fail(at(line));
}

}  // namespace

tf::ModuleSpec module_spec(const Tool& t) {
    tool = &t;
    return tf::ModuleSpec{t.dotted, t.short_name, t.module_doc, t.source, nullptr, {}};
}

bool body(tf::Body& b, PyMethodDef* def) {
    function = tf::Function{tool->function, tool->qualname, DEF, tool->doc,
                            {{&n_a, tf::Kind::Double}, {&n_b, tf::Kind::Double}}, true};
    if (!dtype_kwnames && !(dtype_kwnames = PyTuple_Pack(1, n_dtype.obj()))) return b.fail(1);
    return b.from_import(3, "typing", {"Union"}) &&
           b.guard(6, 8, "jax.numpy", "jnp",
                   "JAX is not installed. Install it with: pip install 'jax[cpu]' or 'jax[cuda12]' for GPU "
                   "support.") &&
           b.def(DEF, def);
}

PyObject* call(const Tool&, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    tf::Args bound;
    if (!function.bind(args, nargs, kwnames, bound)) return nullptr;

    tf::Ref a = float32_array(bound.dbl[0]);
    if (!a) return function.fail(at(ARRAY_A));
    tf::Ref b = float32_array(bound.dbl[1]);
    if (!b) return function.fail(at(ARRAY_B));

    tf::Ref result = tf::Ref::steal(tool->op(a.get(), b.get()));
    if (!result) return function.fail(at(OP));

    int nan = test(n_isnan, result.get());
    if (nan < 0) return function.fail(at(NAN_TEST));
    if (nan) return refuse("Result is NaN (Not a Number)", NAN_RAISE);
    int inf = test(n_isinf, result.get());
    if (inf < 0) return function.fail(at(INF_TEST));
    if (inf) return refuse("Result is infinite", INF_RAISE);

    PyObject* out = PyNumber_Float(result.get());
    return out ? out : function.fail(at(RESULT));
}

}  // namespace arith
