"""Test-only start of the tool host, with two tool functions replaced.

* ``execute_plusor`` prints during the call: through ``print``, straight to
  fd 1 with ``os.write`` (as native code would) and from a child process;
  then it returns the real sum.
* ``execute_timesor`` waits until the file named by the first argument exists
  (the test creates it when a progress notification of the call arrives),
  then returns the real product. It gives up after a minute so that a host
  that never reports progress fails the test instead of hanging it.

The remaining arguments go to the host's ``main``.
"""

import os
import sys
import time

import quelmar.tools.plusor as plusor
import quelmar.tools.timesor as timesor
from quelmar.host.__main__ import main

NOISE = ("noise from print", "noise from fd 1", "noise from a child process")

_real_plusor = plusor.execute_plusor
_real_timesor = timesor.execute_timesor


def noisy_plusor(a, b):
    print(NOISE[0])
    sys.stdout.flush()
    os.write(1, (NOISE[1] + "\n").encode())
    os.system(f"echo '{NOISE[2]}'")
    return _real_plusor(a, b)


def gated_timesor(a, b):
    deadline = time.monotonic() + 60
    while not os.path.exists(GATE):
        if time.monotonic() > deadline:
            raise TimeoutError("no progress notification released the call")
        time.sleep(0.02)
    return _real_timesor(a, b)


noisy_plusor.__doc__ = _real_plusor.__doc__
gated_timesor.__doc__ = _real_timesor.__doc__
plusor.execute_plusor = noisy_plusor
timesor.execute_timesor = gated_timesor

if __name__ == "__main__":
    GATE = sys.argv[1]
    sys.exit(main(sys.argv[2:]))
