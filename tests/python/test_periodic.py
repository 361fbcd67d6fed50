"""zalmor.debye on periodic boxes: the continuum subtraction, Bragg peaks, a dense random box
against its exact S(k), the modification function, thermal factors, the defaults taken from
atoms with a cell, wrapping, what the files keep, and refusals."""

import math
import os

import numpy as np
import pytest
from conftest import EXAMPLES

import zalmor


class BoxAtoms:
    """What zalmor.debye reads of an ase.Atoms: positions, symbols, cell and pbc."""

    def __init__(self, positions, symbols, cell, pbc=(True, True, True)):
        self._positions = np.asarray(positions, dtype=np.float64)
        self._symbols = list(symbols)
        self._cell = np.asarray(cell, dtype=np.float64)
        self.pbc = np.array(pbc, dtype=bool)

    def get_positions(self):
        return self._positions

    def get_chemical_symbols(self):
        return self._symbols

    def get_cell(self):
        return self._cell


def fcc(cells, a):
    basis = np.array([[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]])
    grid = np.array([(x, y, z) for x in range(cells) for y in range(cells) for z in range(cells)])
    return ((grid[:, None, :] + basis[None, :, :]).reshape(-1, 3) * a)


def ideal_gas_structure_factor(n, density, symbols, b, q, cutoff=None, seed=4):
    length = (n / density) ** (1 / 3)
    rng = np.random.default_rng(seed)
    names = np.array(symbols)[rng.integers(0, len(symbols), n)]
    atoms = BoxAtoms(rng.uniform(0, length, (n, 3)), names, np.eye(3) * length)
    res = zalmor.debye(atoms, q, b=b, cutoff=cutoff)
    b2 = sum(np.float64(np.float32(b[e])) ** 2 * np.mean(names == e) for e in symbols)
    return res, length, 1 + res.blocks[-1].astype(np.float64) * 100 / b2


def test_ideal_gas_has_structure_factor_one():
    q = np.arange(1.0, 20.0 + 1e-9, 0.01)
    res, length, s = ideal_gas_structure_factor(20000, 0.05, ["Ar"], {"Ar": 1.909}, q)
    assert res.cutoff == pytest.approx(length / 2)
    assert res.volume == pytest.approx(length ** 3)
    assert res.q_min == pytest.approx(2 * math.pi / res.cutoff)
    assert abs(s.mean() - 1) < 0.003
    half = len(s) // 2
    assert abs(s[:half].mean() - s[half:].mean()) < 0.005
    # A larger box's sums are noise about zero, far below their error bound's share of the
    # largest |i(Q)|: it was refused until the bound was judged against 1 in S(Q).
    q = np.arange(1, 2501) * np.float32(0.02)
    res, _, s = ideal_gas_structure_factor(100000, 0.07, ["Si", "O", "O"],
                                           {"Si": 4.1491, "O": 5.803}, q, cutoff=20.0, seed=1)
    above = s[q >= 1.0]
    assert abs(above.mean() - 1) < 0.003
    assert abs(above[: len(above) // 2].mean() - above[len(above) // 2:].mean()) < 0.005


def test_fcc_bragg_peaks_and_defaults():
    a, cells = 3.6, 10
    length = cells * a
    positions = fcc(cells, a)
    atoms = BoxAtoms(positions, ["Cu"] * len(positions), np.eye(3) * length)
    q = np.arange(2.0, 4.2, 0.002, dtype=np.float32)
    res = zalmor.debye(atoms, q, b={"Cu": 7.718}, thermal=0.05)
    total = res.blocks[-1]
    q111 = 2 * math.pi * math.sqrt(3) / a
    q200 = 2 * math.pi * 2 / a
    middle = (q111 + q200) / 2
    low, high = (q > 2.2) & (q < middle), (q >= middle)
    assert q[low][np.argmax(total[low])] == pytest.approx(q111, abs=0.02)
    assert q[high][np.argmax(total[high])] == pytest.approx(q200, abs=0.02)
    # Given as positions and the cell rows, the same box gives the same floats.
    again = zalmor.debye((positions, ["Cu"] * len(positions)), q, b={"Cu": 7.718}, thermal=0.05,
                         periodic=np.eye(3) * length)
    assert np.array_equal(again.blocks[-1], total)
    assert np.array_equal(again.zero_q, res.zero_q)
    # Not periodic along one axis: a finite model, as before.
    finite = zalmor.debye(BoxAtoms(positions, ["Cu"] * len(positions), np.eye(3) * length,
                                   pbc=(True, True, False)), q[:5], b={"Cu": 7.718})
    assert finite.cutoff is None and finite.q_min is None


def test_positions_are_wrapped_into_the_cell(tmp_path):
    rng = np.random.default_rng(9)
    cell = np.array([[12.0, 0, 0], [3.0, 11.0, 0], [0, 2.0, 13.0]])
    # On a grid of 2^-8 A, moving by whole lattice vectors and back is exact.
    frac = np.round(rng.uniform(0, 1, (300, 3)) * 256) / 256
    inside = frac @ cell
    symbols = ["Na", "Cl"] * 150
    shift = rng.integers(-3, 4, (300, 3)) @ cell
    q = np.arange(0.5, 12.0, 0.05)
    b = {"Na": 3.63, "Cl": 9.577}
    one = zalmor.debye((inside, symbols), q, b=b, periodic=cell, cutoff=4.0)
    seen = []
    two = zalmor.debye((inside + shift, symbols), q, b=b, periodic=cell, cutoff=4.0, threads=2,
                       progress=seen.append)
    assert seen and seen[-1] == 1.0 and seen == sorted(seen)
    for x, y in zip(one.blocks, two.blocks, strict=True):
        assert np.allclose(x, y, rtol=0, atol=1e-6 * np.abs(x).max())
    assert one.cutoff == 4.0
    # The file keeps what makes the blocks a periodic box's.
    one.to_ioq(tmp_path / "box.ioq")
    back = zalmor.read_ioq(tmp_path / "box.ioq")
    assert (back.volume, back.cutoff, back.q_min) == (one.volume, one.cutoff, one.q_min)
    assert back.labels == one.labels and np.array_equal(back.blocks[-1], one.blocks[-1])


@pytest.mark.parametrize("kwargs, match", [
    ({"cutoff": 6.1}, r"6\.1.*6 A"),
    ({"cutoff": 0.0}, "positive"),
    ({"periodic": np.zeros((3, 3))}, "volume"),
    ({"periodic": np.eye(2)}, "shape"),
    ({"periodic": np.eye(3) * 1e30}, "above 10000 A"),  # once a length error of std::vector
])
def test_refusals(kwargs, match):
    positions = np.random.default_rng(1).uniform(0, 12, (20, 3))
    kwargs = {"periodic": np.eye(3) * 12, **kwargs}
    with pytest.raises(ValueError, match=match):
        zalmor.debye((positions, ["Na"] * 20), [1.0, 2.0], b={"Na": 3.63}, **kwargs)


def test_short_cutoff_in_a_large_sparse_box_runs_in_little_memory():
    # Its cell lists once took bins a third of the cutoff wide: 600^3 of them here.
    import subprocess
    import sys
    import textwrap

    script = textwrap.dedent("""
        import resource
        import numpy as np
        import zalmor
        resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
        xyz = np.random.default_rng(2).uniform(0, 400, (2000, 3))
        res = zalmor.debye((xyz, ["Na", "Cl"] * 1000), [1.0, 2.0], b={"Na": 3.63, "Cl": 9.577},
                           periodic=np.eye(3) * 400, cutoff=2.0)
        assert np.all(np.isfinite(res.total))
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=300, check=False)
    assert run.returncode == 0, run.stderr[-2000:]


def rsa_box(n, density, diameter, seed):
    """Random sequential addition of hard spheres into a periodic cube: each candidate is
    kept when it overlaps no sphere placed before it, so that the box has a liquid's
    structure. Positions and the cube's edge."""
    from scipy.spatial import cKDTree

    length = (n / density) ** (1 / 3)
    rng = np.random.default_rng(seed)
    pts = np.empty((0, 3))
    while len(pts) < n:
        c = rng.uniform(0, length, (4 * n, 3))
        if len(pts):
            d, _ = cKDTree(pts, boxsize=length).query(c, distance_upper_bound=diameter)
            c = c[~np.isfinite(d)]
        earlier = {}
        for i, j in cKDTree(c, boxsize=length).query_pairs(diameter, output_type="ndarray"):
            earlier.setdefault(max(i, j), []).append(min(i, j))
        keep = np.ones(len(c), dtype=bool)
        for j in range(len(c)):
            keep[j] = not any(keep[i] for i in earlier.get(j, ()))
        pts = np.vstack([pts, c[keep]])[:n]
    return pts, length


def test_dense_random_box_matches_exact_structure_factor():
    # 3000 hard spheres at packing fraction 0.3: S(Q) swings from 0.83 to 1.27 over 3..10.
    n, density, kmax = 3000, 0.05, 10.125
    diameter = (0.3 * 6 / (math.pi * density)) ** (1 / 3)
    pts, length = rsa_box(n, density, diameter, 3)
    # S(k) = |sum_j exp(i k.r_j)|^2 / N on the box's reciprocal lattice k = 2 pi m / L, with
    # exp(i k.r) as the product of its three axes' factors (half the lattice: S(-k) = S(k)).
    m = np.arange(-int(kmax * length / (2 * math.pi)), int(kmax * length / (2 * math.pi)) + 1)
    kk = 2 * math.pi / length * m
    ph = np.exp(1j * kk[:, None, None] * pts.T[None, :, :]).astype(np.complex64)
    ks, sk = [], []
    for i in range(len(m) // 2, len(m)):
        amp = (ph[:, 1, :] * ph[i, 0, :]) @ ph[:, 2, :].T
        kmag = np.sqrt(kk[i] ** 2 + kk[:, None] ** 2 + kk[None, :] ** 2)
        sel = (kmag <= kmax) & (kmag > 0)
        ks.append(kmag[sel])
        sk.append(np.abs(amp[sel]).astype(np.float64) ** 2 / n)
    ks, sk = np.concatenate(ks), np.concatenate(sk)
    q = np.arange(1, 2061) * 0.005
    res = zalmor.debye((pts, ["Ar"] * n), q, b={"Ar": 1.0}, periodic=np.eye(3) * length)
    s_debye = 1 + res.total.astype(np.float64) * 100
    # The periodic result read at each lattice vector's |k|: both shell means then weigh the
    # same Q values, so the comparison leaves only the truncation at the cutoff and the
    # scatter of single lattice vectors' S(k) (about 1 / sqrt(points in the shell)).
    at_k = np.interp(ks, q, s_debye)
    swing = []
    for lo in np.arange(3.0, 10.0, 0.25):
        shell = (ks >= lo) & (ks < lo + 0.25)
        assert shell.sum() > 3000
        exact = sk[shell].mean()
        assert abs(exact - at_k[shell].mean()) < 0.03, f"shell {lo} to {lo + 0.25}"
        swing.append(exact)
    assert max(swing) > 1.2 and min(swing) < 0.85


def test_sinc_modification_and_what_the_file_keeps(tmp_path):
    rng = np.random.default_rng(12)
    cell = np.array([[13.0, 0, 0], [2.0, 12.0, 0], [-1.0, 1.5, 12.5]])
    positions = rng.uniform(0, 1, (250, 3)) @ cell
    symbols = ["Na", "Cl"] * 125
    b = {"Na": 3.63, "Cl": 9.577}
    q = np.arange(0.0, 15.0, 0.05)
    rc = 5.5
    res = zalmor.debye((positions, symbols), q, b=b, periodic=cell, cutoff=rc,
                       modification="sinc", thermal=0.06)
    assert res.modification == "sinc"
    # The total in double: minimum images by trying the 27 neighbouring lattice vectors, each
    # pair weighted by sinc(pi r / rc), less the weighted continuum of the composition.
    box = zalmor.structure.model((positions, symbols), periodic=cell)
    xyz, cell = box.xyz.astype(np.float64), box.cell
    bb = np.where(np.array(symbols) == "Na", np.float32(3.63), np.float32(9.577)).astype(float)
    shifts = np.array([(i, j, k) for i in (-1, 0, 1) for j in (-1, 0, 1) for k in (-1, 0, 1)]) @ cell
    d = xyz[None, :, None, :] - xyz[:, None, None, :] + shifts[None, None, :, :]
    r = np.sqrt(np.min(np.sum(d * d, axis=-1), axis=-1))
    iu = np.triu_indices(len(xyz), 1)
    r, w = r[iu].astype(np.float32).astype(float), (bb[:, None] * bb[None, :])[iu]
    inside = r < rc
    r, w = r[inside], w[inside] * np.sinc(r[inside] / rc)
    qd = q.astype(np.float32).astype(float)
    pairs = 2 * 0.01 * (w[None, :] * np.sinc(qd[:, None] * r[None, :] / math.pi)).sum(axis=1)
    a = math.pi / rc
    with np.errstate(invalid="ignore", divide="ignore"):
        k = np.where(qd == 0, 4 * rc ** 3 / math.pi,
                     4 * math.pi * np.sin(qd * rc) / (qd * (a * a - qd * qd)))
    mean_b = bb.mean()
    volume = abs(np.linalg.det(cell))
    want = (pairs / len(xyz) - 0.01 * mean_b ** 2 * len(xyz) / volume * k) \
        * np.exp(-0.5 * (0.06 * qd) ** 2)
    scale = np.abs(want).max()
    np.testing.assert_allclose(res.total, want, rtol=0, atol=3e-6 * scale)
    assert res.zero_q[-1] == pytest.approx(want[0], abs=1e-6 * scale)

    res.to_ioq(tmp_path / "box.ioq")
    text = (tmp_path / "box.ioq").read_text()
    assert '# meta modification "sinc(pi r/rc)"' in text
    assert f'# meta periodic_q_min "{2 * math.pi / rc!r}"' in text
    back = zalmor.read_ioq(tmp_path / "box.ioq")
    assert (back.modification, back.q_min, back.cutoff) == ("sinc", res.q_min, rc)
    plain = zalmor.debye((positions, symbols), q, b=b, periodic=cell, cutoff=rc)
    plain.to_ioq(tmp_path / "plain.ioq")
    assert zalmor.read_ioq(tmp_path / "plain.ioq").modification is None
    with pytest.raises(ValueError, match="modification"):
        zalmor.debye((positions, symbols), q, b=b, periodic=cell, modification="lorch")


def test_thermal_options_on_a_periodic_box():
    # Every pair and the continuum take the same factor exp(-(u Q)^2 / 2) when u is one for
    # all: the broadened blocks are the plain ones times it. Option 2 with one u for every
    # pair, and option 3 with the same u on both sides of its distance, are option 1.
    rng = np.random.default_rng(5)
    cell = np.eye(3) * 16.0
    positions = rng.uniform(0, 16.0, (600, 3))
    symbols = ["Si", "O", "O"] * 200
    b = {"Si": 4.1491, "O": 5.803}
    q = np.arange(1, 601, dtype=np.float32) * np.float32(0.025)
    u = 0.09
    plain = zalmor.debye((positions, symbols), q, b=b, periodic=cell)
    one = zalmor.debye((positions, symbols), q, b=b, periodic=cell, thermal=u)
    damp = np.exp(-0.5 * (u * q.astype(np.float64)) ** 2)
    for k, y in enumerate(one.blocks):
        scale = np.abs(plain.blocks[k]).max()
        np.testing.assert_allclose(y, plain.blocks[k] * damp, rtol=0, atol=3e-6 * scale)
        assert one.zero_q[k] == plain.zero_q[k]
    per_pair = zalmor.debye((positions, symbols), q, b=b, periodic=cell,
                            thermal={p: u for p in plain.labels})
    split = zalmor.debye((positions, symbols), q, b=b, periodic=cell, thermal=(u, 2.4, u))
    assert (per_pair.thermal_option, split.thermal_option) == (2, 3)
    for k, y in enumerate(one.blocks):
        scale = np.abs(y).max()
        np.testing.assert_allclose(per_pair.blocks[k], y, rtol=0, atol=3e-6 * scale)
        np.testing.assert_allclose(split.blocks[k], y, rtol=0, atol=3e-6 * scale)
    with pytest.raises(ValueError, match="periodic"):
        zalmor.debye((positions, symbols), q, b=b, periodic=cell,
                     thermal=os.path.join(EXAMPLES, "nacl.urms"))
