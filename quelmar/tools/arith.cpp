// One arithmetic tool call: bind two operands as doubles, make two float32 JAX
// arrays, apply the operation, refuse NaN and infinite results, return a float.
#include "arith.hpp"

namespace arith {

namespace {

tf::Name n_a("a"), n_b("b"), n_jnp("jnp"), n_array("array"), n_float32("float32"), n_dtype("dtype"),
    n_isnan("isnan"), n_isinf("isinf"), n_item("item");
tf::Name m_nan("Result is NaN (Not a Number)"), m_inf("Result is infinite");

// jnp.array(value, dtype=jnp.float32). `jnp` is looked up twice and the
// operand boxed afresh, as the Python statement does: a module global that is
// rebound (by a test, or by the pipeline during a run) is seen at each use.
tf::Ref float32_array(const Tool& t, double value) {
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
    return tf::call(array.get(), {number.get(), dtype.get()}, t.dtype_kwnames);
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
    PyObject* v = value.get();
    return v == Py_True ? 1 : v == Py_False ? 0 : PyObject_IsTrue(v);
}

}  // namespace

std::vector<tf::Param> params() { return {{&n_a, tf::Kind::Double}, {&n_b, tf::Kind::Double}}; }

bool body(tf::Body& b, Tool& t) {
    if (!t.dtype_kwnames && !(t.dtype_kwnames = PyTuple_Pack(1, n_dtype.obj()))) return b.fail(tf::kModuleLine);
    return b.from_import(line::IMPORT_TYPING, "typing", {"Union"}) &&
           b.guard(line::IMPORT_JAX, line::RAISE_NO_JAX, "jax.numpy", "jnp",
                   "JAX is not installed. Install it with: pip install 'jax[cpu]' or 'jax[cuda12]' for GPU "
                   "support.") &&
           b.def(t.function);
}

PyObject* call(const Tool& t, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const tf::Function& F = t.function;
    tf::Args<2> bound;
    if (!F.bind(args, nargs, kwnames, bound)) return nullptr;

    tf::Ref a = float32_array(t, bound.dbl(0));
    if (!a) return F.fail(line::ARRAY_A + t.shift);

    tf::Ref b = float32_array(t, bound.dbl(1));
    if (!b) return F.fail(line::ARRAY_B + t.shift);

    PyObject *x = a.get(), *y = b.get();
    tf::Ref result = tf::Ref::steal(
        PyFloat_CheckExact(x) && PyFloat_CheckExact(y)
            ? PyFloat_FromDouble(t.op.floats(PyFloat_AS_DOUBLE(x), PyFloat_AS_DOUBLE(y)))
            : t.op.objects(x, y));
    if (!result) return F.fail(line::OP + t.shift);

    int nan = test(n_isnan, result.get());
    if (nan < 0) return F.fail(line::NAN_TEST + t.shift);
    if (nan) {
        PyErr_SetObject(PyExc_ValueError, m_nan.obj());
        return F.fail(line::NAN_RAISE + t.shift);
    }

    int inf = test(n_isinf, result.get());
    if (inf < 0) return F.fail(line::INF_TEST + t.shift);
    if (inf) {
        PyErr_SetObject(PyExc_ValueError, m_inf.obj());
        return F.fail(line::INF_RAISE + t.shift);
    }

    PyObject* r = result.get();
    PyObject* out = PyFloat_CheckExact(r) ? Py_NewRef(r) : PyNumber_Float(r);
    if (!out) return F.fail(line::RESULT + t.shift);
    return out;
}

}  // namespace arith
