"""Importing the module: what the dynamic linker does at load time."""

import os
import subprocess
import sys

import pytest

import tamsa

PROBE = """
import tamsa
with open("/proc/self/maps") as maps:
    print("libhwy mapped" if "libhwy" in maps.read() else "no libhwy")
"""


def test_import_skips_highways_timer_measurement():
    # Highway's shared library measures its timer's resolution as it is loaded, milliseconds of
    # every import; the module's own definition answers that call. The linker's account of its
    # bindings shows which definition each call reached.
    env = dict(os.environ, LD_DEBUG="bindings")
    env.pop("TAMSA_CPU", None)
    run = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True,
                         timeout=120, check=True)
    if "no libhwy" in run.stdout:
        pytest.skip("a module built without the vector kernels does not load Highway")
    module = os.path.basename(tamsa.__file__)
    bound = [line for line in run.stderr.splitlines() if "TimerResolution" in line]
    assert bound, "no binding of the timer measurement: " + run.stderr[-2000:]
    for line in bound:
        target = line.split(" to ", 1)[1]
        assert module in target and "libhwy" not in target, line
