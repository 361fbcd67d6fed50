"""Shared pieces of the package tests: the program to compare with, the NaCl example and the
program's Q grid.

Run from the source root: PYTHONPATH=build/<preset>/python:python /usr/bin/python3 -m pytest
tests/python (ctest does this); ZALMOR_BINARY names the program, else the tests that compare
with it are skipped.
"""

import os
import shutil
import subprocess

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")
NACL_B = {"Na": 3.63, "Cl": 9.577}


def program_grid(qmax, dq, from_zero=False):
    """The Q values the program makes of Qmax and delta-Q: (i Qmax) / n in float."""
    qmax, dq = np.float32(qmax), np.float32(dq)
    n = int(round(float(qmax / dq)))
    start = 0 if from_zero else 1
    i = np.arange(start, n + 1, dtype=np.float32)
    return (i * qmax) / np.float32(n)


def read_coords(path):
    """Positions and element symbols of examples/nacl.coords (type 1 Na, 2 Cl)."""
    data = np.loadtxt(path, skiprows=1)
    symbols = ["Na" if t == 1 else "Cl" for t in data[:, 1].astype(int)]
    return data[:, 2:5], symbols


@pytest.fixture(scope="session")
def nacl():
    return read_coords(os.path.join(EXAMPLES, "nacl.coords"))


@pytest.fixture(scope="session")
def program():
    path = os.environ.get("ZALMOR_BINARY")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("no zalmor program (set ZALMOR_BINARY)")
    return path


@pytest.fixture
def run_program(program, tmp_path):
    """Runs the program on answer lines in a scratch copy of examples/; the path of the
    .ioq file it wrote."""
    def run(answers, output):
        work = tmp_path / "examples"
        if not work.exists():
            shutil.copytree(EXAMPLES, work)
        subprocess.run([program], input="\n".join(answers) + "\n", text=True, cwd=work,
                       check=True, capture_output=True)
        return work / (output + ".ioq")
    return run


def assert_same_floats(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.dtype == np.float32 and b.dtype == np.float32
    assert a.shape == b.shape
    differ = np.flatnonzero(a.view(np.uint32) != b.view(np.uint32))
    assert differ.size == 0, f"{differ.size} values differ, first at {differ[0]}: {a[differ[0]]} {b[differ[0]]}"
