"""Test-only start of the tool host, with tool functions replaced inside its workers.

Run as a script, it starts the host (the arguments go to the host's ``main``)
and names itself in ``QUELMAR_HOST_TEST_SETUP``, so that every worker runs
this file after importing its tool modules. In a worker it replaces:

* ``execute_plusor``: prints during the call, through ``print``, straight to
  fd 1 with ``os.write`` (as native code would) and from a child process;
  then it returns the real sum.
* ``execute_timesor``: waits until the file named by ``QUELMAR_TEST_GATE``
  exists (a test creates it, e.g. when a progress notification of the call
  arrives), then returns the real product. It gives up after a minute so that
  a host that never releases it fails the test instead of hanging it. A call
  with ``a == -1`` waits for the gate without end: a stuck call; with
  ``a == -2`` it ignores interrupts too, so that only a kill ends it (and
  creates the gate's name followed by ".deaf" when it begins).
* ``execute_minusor``: with ``a == 13`` the worker dies of a segmentation
  fault (a native crash); otherwise the real difference.
"""

import ctypes
import os
import sys
import time

NOISE = ("noise from print", "noise from fd 1", "noise from a child process")
GATE_ENV = "QUELMAR_TEST_GATE"


def _patch_worker():
    import quelmar.tools.minusor as minusor
    import quelmar.tools.plusor as plusor
    import quelmar.tools.timesor as timesor

    real_plusor, real_timesor, real_minusor = plusor.execute_plusor, timesor.execute_timesor, minusor.execute_minusor

    def noisy_plusor(a, b):
        print(NOISE[0])
        sys.stdout.flush()
        os.write(1, (NOISE[1] + "\n").encode())
        os.system(f"echo '{NOISE[2]}'")
        return real_plusor(a, b)

    def gated_timesor(a, b):
        if a == -2:
            open(os.environ[GATE_ENV] + ".deaf", "w").close()  # tells the test the call has begun
        while a == -2:  # deaf to interrupts: only a kill ends it
            try:
                time.sleep(1)
            except KeyboardInterrupt:
                pass
        deadline = time.monotonic() + (float("inf") if a == -1 else 60)
        while not os.path.exists(os.environ[GATE_ENV]):
            if time.monotonic() > deadline:
                raise TimeoutError("no progress notification released the call")
            time.sleep(0.02)
        return real_timesor(a, b)

    def crashing_minusor(a, b):
        if a == 13:
            ctypes.string_at(0)  # a native fault: the worker dies of SIGSEGV
        return real_minusor(a, b)

    for fake, real in ((noisy_plusor, real_plusor), (gated_timesor, real_timesor), (crashing_minusor, real_minusor)):
        fake.__doc__ = real.__doc__
    plusor.execute_plusor = noisy_plusor
    timesor.execute_timesor = gated_timesor
    minusor.execute_minusor = crashing_minusor


if __name__ == "__main__":
    from quelmar.host.__main__ import main
    from quelmar.host.worker import TEST_SETUP_ENV

    os.environ[TEST_SETUP_ENV] = os.path.abspath(__file__)
    os.environ[GATE_ENV] = sys.argv[1]
    sys.exit(main(sys.argv[2:]))
elif __name__ == "quelmar_host_test_setup":
    _patch_worker()
