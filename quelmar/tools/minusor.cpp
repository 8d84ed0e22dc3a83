// quelmar.tools.minusor: single-precision subtraction with JAX.
#include "arith.hpp"

namespace {

const arith::Tool kTool = {
    "quelmar.tools.minusor",
    "minusor",
    "JAX-based subtraction tool - Cython-compiled module.",
    "quelmar/tools/minusor.py",
    "execute_minusor",
    "quelmar.tools.minusor.execute_minusor",
    ARITH_DOCSTRING("Perform subtraction using JAX (a - b).", " (minuend)", " (subtrahend)", "Difference",
                    ARITH_EXAMPLES("execute_minusor", "7.3", "-5.0")),
    PyNumber_Subtract,
    6,
};

ARITH_MODULE(minusor, kTool)

}  // namespace
