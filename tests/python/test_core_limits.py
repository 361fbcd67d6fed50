"""What the compiled core decides for every caller: the accuracy of a periodic box's sums at
the smallest Q, the ranges and the memory a request must keep (refused before any work, with
the value and the limit named), and calls that can be interrupted."""

import math

import numpy as np
import pytest
from scipy import integrate

import zalmor


def periodic_total(positions, symbols, b, cell, cutoff, q, window=False):
    """The total of a periodic box in float64 pair by pair: (0.01 / N) (2 sum_{i<j, r < rc}
    b_i b_j w(r) sinc(Q r) - (sum_t N_t b_t)^2 / V 4 pi int_0^rc r^2 w(r) sinc(Q r) dr), w the
    sinc window or 1 (docs/engines.md, "Periodic boxes")."""
    pos = np.asarray(positions, dtype=np.float64)
    inv = np.linalg.inv(cell)
    d = pos[:, None, :] - pos[None, :, :]
    frac = d @ inv
    frac -= np.round(frac)
    r = np.linalg.norm(frac @ cell, axis=-1)
    iu = np.triu_indices(len(pos), 1)
    r = r[iu]
    bb = np.array([b[s] for s in symbols])
    w = (bb[:, None] * bb[None, :])[iu]
    keep = r < cutoff
    r, w = r[keep], w[keep]
    weight = (lambda x: np.sinc(x / cutoff)) if window else (lambda x: np.ones_like(x))
    volume = abs(np.linalg.det(cell))
    out = []
    for qk in np.asarray(q, dtype=np.float64):
        pairs = 2.0 * np.sum(w * weight(r) * np.sinc(qk * r / math.pi))
        cont, _ = integrate.quad(lambda x: x * x * weight(np.array(x)) * np.sinc(qk * x / math.pi),
                                 0.0, cutoff, epsabs=0, epsrel=1e-12, limit=200)
        out.append(0.01 * (pairs - bb.sum() ** 2 / volume * 4 * math.pi * cont) / len(pos))
    return np.array(out)


@pytest.mark.parametrize("window", [False, True])
def test_periodic_box_is_exact_down_to_the_smallest_q(window):
    # Q from subnormal up past where the sums change from power series to sin(Q r) / r:
    # every value within the contract of a float64 evaluation, none refused.
    rng = np.random.default_rng(7)
    cell = np.array([[14.0, 0, 0], [1.0, 13.0, 0], [0.5, -1.0, 13.5]])
    n = 300
    positions = rng.uniform(0, 1, (n, 3)) @ cell
    symbols = ["Si", "O", "O"] * (n // 3)
    b = {"Si": 4.1491, "O": 5.803}
    cutoff = 6.0
    q = np.array([1e-40, 1e-8, 1e-6, 1e-4, 0.01, 0.0165, 0.0167, 0.05, 0.5, 3.0],
                 dtype=np.float32)
    res = zalmor.debye((positions, symbols), q, b=b, periodic=cell, cutoff=cutoff,
                       modification="sinc" if window else None)
    want = periodic_total(positions.astype(np.float32), symbols, b, cell, cutoff, q, window)
    scale = max(np.abs(want).max(), 0.01 * np.mean([b[s] ** 2 for s in symbols]))
    np.testing.assert_allclose(res.total, want, rtol=0, atol=1e-6 * scale)


@pytest.mark.parametrize("kwargs, error, match", [
    ({"engine": None}, ValueError, "engine must be auto, pairs, moments or reference, not None"),
    ({"threads": 0}, ValueError, "threads must be at least 1, not 0"),
    ({"threads": 2.5}, TypeError, "threads must be a whole number or None, not 2.5"),
    ({"threads": True}, TypeError, "not True"),
    ({"progress": 5}, TypeError, "progress must be a function of the fraction done"),
    ({"q": [0.5, float("nan")]}, ValueError, "Q value 2 is NAN, not a finite number"),
    ({"thermal": 1e20}, ValueError, "RMS variation 1E[+]20 A times Qmax 1 is 1E[+]20, beyond"),
    ({"thermal": -1.0}, ValueError, "u .* and r are at least 0 A, not -1"),
    ({"thermal": (0.1, -3.0, 0.2)}, ValueError, "not 0.1, 0.2 and r = -3"),
])
def test_arguments_are_refused_in_one_line_naming_the_value(kwargs, error, match):
    positions = np.random.default_rng(2).uniform(0, 10, (30, 3))
    args = dict({"q": [0.5, 1.0]}, **kwargs)
    with pytest.raises(error, match=match) as caught:
        zalmor.debye((positions, ["Si", "O", "O"] * 10), **args)
    assert "\n" not in str(caught.value) and "incompatible" not in str(caught.value)


def test_more_threads_than_cores_run_on_the_cores_with_a_warning():
    positions = np.random.default_rng(2).uniform(0, 10, (30, 3))
    box = (positions, ["Si", "O", "O"] * 10)
    q = np.arange(1, 50, dtype=np.float32) * np.float32(0.2)
    with pytest.warns(UserWarning, match=r"runs on \d+ threads?, not the 10000000000 asked for"):
        many = zalmor.debye(box, q, threads=10**10)
    np.testing.assert_array_equal(many.total, zalmor.debye(box, q, threads=np.int64(1)).total)
    with pytest.warns(UserWarning, match="not the 5000 asked for"):
        zalmor.pair_distribution(box, rmax=5.0, threads=5000)


# Each child runs under an address-space limit of 1 GiB; every request below needs more.
MEMORY_CHILD = """
import resource, sys, numpy as np, zalmor
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
pos = np.random.default_rng(1).uniform(0, 20, (300, 3))
box = (pos, ["Si", "O", "O"] * 100)
q = np.arange(1, 40_000_001, dtype=np.float32) * np.float32(1e-6)
calls = {"finite": lambda: zalmor.debye(box, q),
         "periodic": lambda: zalmor.debye(box, q, periodic=np.eye(3) * 20.0),
         "reference": lambda: zalmor.debye(box, q, engine="reference"),
         "pairs": lambda: zalmor.pair_distribution((pos, ["Si", "O", "Na", "Cl", "K"] * 60),
                                                    rmax=10, dr=1e-6, periodic=np.eye(3) * 20.0),
         # Each frame's blocks fit; the sums over the frames beside them do not, and were
         # once found out only when numpy could not allocate them, after the first frame.
         "average": lambda: zalmor.average([(pos[:2], ["Si", "O"])] * 3, q[:4_000_000],
                                           progress=False),
         # The same of the pair counts over frames.
         "pair frames": lambda: zalmor.pair_distribution([(pos[:2], ["Si", "O"])] * 3,
                                                         rmax=16, dr=4e-6)}
try:
    calls[sys.argv[1]]()
except MemoryError as e:
    print(e)
"""


@pytest.mark.parametrize("call", ["finite", "periodic", "reference", "pairs", "average",
                                  "pair frames"])
def test_a_request_that_cannot_fit_is_refused_before_the_work(call):
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", MEMORY_CHILD, call], capture_output=True,
                         text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.startswith("Out of memory: "), run.stdout
    assert "needs about" in run.stdout and "available" in run.stdout


# The child reports its first progress, then waits to be interrupted; a calculation that ran
# to its end instead prints "finished".
INTERRUPT_CHILD = """
import sys, numpy as np, zalmor
n = 30000
pos = np.random.default_rng(1).uniform(0, (n / 0.05) ** (1 / 3), (n, 3))
q = np.arange(1, 2001, dtype=np.float32) * np.float32(0.025)
started = []
def progress(f):
    if not started:
        started.append(f)
        print("started", flush=True)
call = {"debye": lambda: zalmor.debye((pos, ["Si", "O"] * (n // 2)), q, engine="pairs",
                                      progress=progress),
        "periodic": lambda: zalmor.debye((pos, ["Si", "O"] * (n // 2)), q, progress=progress,
                                         periodic=np.eye(3) * (n / 0.05) ** (1 / 3))}
try:
    call[sys.argv[1]]()
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
print("usable", zalmor.debye((pos[:50], ["Si"] * 50), q[:5]).total.shape)
"""


@pytest.mark.parametrize("call", ["debye", "periodic"])
def test_ctrl_c_stops_a_long_calculation_and_leaves_python_usable(call):
    import signal
    import subprocess
    import sys

    child = subprocess.Popen([sys.executable, "-c", INTERRUPT_CHILD, call],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "started"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    except subprocess.TimeoutExpired:
        child.kill()
        pytest.fail("the child neither stopped nor finished within 300 s of its interrupt")
    assert out.split() == ["interrupted", "usable", "(5,)"], (out, err[-2000:])
