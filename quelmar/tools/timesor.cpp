// quelmar.tools.timesor: single-precision multiplication with JAX.
#include "arith.hpp"

namespace {

const arith::Tool kTool = {
    "quelmar.tools.timesor",
    "timesor",
    "JAX-based multiplication tool - Cython-compiled module.",
    "quelmar/tools/timesor.py",
    "execute_timesor",
    "quelmar.tools.timesor.execute_timesor",
    ARITH_DOCSTRING("Perform multiplication using JAX (a * b).", "", "", "Product",
                    ARITH_EXAMPLES("execute_timesor", "33.6", "50.0")),
    PyNumber_Multiply,
    6,
};

ARITH_MODULE(timesor, kTool)

}  // namespace
