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
    "\n"
    "    Perform subtraction using JAX (a - b).\n"
    "\n"
    "    Args:\n"
    "        a: First floating-point operand (minuend)\n"
    "        b: Second floating-point operand (subtrahend)\n"
    "\n"
    "    Returns:\n"
    "        Difference of a and b as a Python float\n"
    "\n"
    "    Raises:\n"
    "        TypeError: If inputs are not numeric\n"
    "        ValueError: If inputs are NaN or Inf\n"
    "\n"
    "    Examples:\n"
    "        >>> execute_minusor(10.5, 3.2)\n"
    "        7.3\n"
    "        >>> execute_minusor(5, 10)\n"
    "        -5.0\n"
    "    ",
    PyNumber_Subtract,
    6,
};

ARITH_MODULE(minusor, kTool)

}  // namespace
