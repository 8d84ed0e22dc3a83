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
    "\n"
    "    Perform multiplication using JAX (a * b).\n"
    "\n"
    "    Args:\n"
    "        a: First floating-point operand\n"
    "        b: Second floating-point operand\n"
    "\n"
    "    Returns:\n"
    "        Product of a and b as a Python float\n"
    "\n"
    "    Raises:\n"
    "        TypeError: If inputs are not numeric\n"
    "        ValueError: If inputs are NaN or Inf\n"
    "\n"
    "    Examples:\n"
    "        >>> execute_timesor(10.5, 3.2)\n"
    "        33.6\n"
    "        >>> execute_timesor(5, 10)\n"
    "        50.0\n"
    "    ",
    PyNumber_Multiply,
    6,
};

ARITH_MODULE(timesor, kTool)

}  // namespace
