// quelmar.tools.plusor: single-precision addition with JAX.
#include "arith.hpp"

ARITH_TOOL(plusor, "JAX-based addition tool - Cython-compiled module.",
           ARITH_DOCSTRING("Perform addition using JAX.", "", "", "Sum", ""), arith::kAdd, 0)

PyMODINIT_FUNC PyInit_plusor(void) { return tf::init(tool.module); }
