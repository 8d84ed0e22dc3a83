// quelmar.tools.plusor: single-precision addition with JAX.
#include "arith.hpp"

namespace {

const arith::Tool kTool = {
    "quelmar.tools.plusor",
    "plusor",
    "JAX-based addition tool - Cython-compiled module.",
    "quelmar/tools/plusor.py",
    "execute_plusor",
    "quelmar.tools.plusor.execute_plusor",
    "\n"
    "    Perform addition using JAX.\n"
    "\n"
    "    Args:\n"
    "        a: First floating-point operand\n"
    "        b: Second floating-point operand\n"
    "\n"
    "    Returns:\n"
    "        Sum of a and b as a Python float\n"
    "\n"
    "    Raises:\n"
    "        TypeError: If inputs are not numeric\n"
    "        ValueError: If inputs are NaN or Inf\n"
    "    ",
    PyNumber_Add,
    0,
};

ARITH_MODULE(plusor, kTool)

}  // namespace
