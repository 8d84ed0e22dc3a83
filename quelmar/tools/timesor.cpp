// quelmar.tools.timesor: single-precision multiplication with JAX.
#include "arith.hpp"

ARITH_TOOL(timesor, "JAX-based multiplication tool - Cython-compiled module.",
           ARITH_DOCSTRING("Perform multiplication using JAX (a * b).", "", "", "Product",
                           ARITH_EXAMPLES("execute_timesor", "33.6", "50.0")),
           arith::kMultiply, 6)

PyMODINIT_FUNC PyInit_timesor(void) { return tf::init(tool.module); }
