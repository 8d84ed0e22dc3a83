// quelmar.tools.minusor: single-precision subtraction with JAX.
#include "arith.hpp"

ARITH_TOOL(minusor, "JAX-based subtraction tool - Cython-compiled module.",
           ARITH_DOCSTRING("Perform subtraction using JAX (a - b).", " (minuend)", " (subtrahend)", "Difference",
                           ARITH_EXAMPLES("execute_minusor", "7.3", "-5.0")),
           arith::kSubtract, 6)

PyMODINIT_FUNC PyInit_minusor(void) { return tf::init(tool.module); }
