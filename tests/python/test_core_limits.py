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
