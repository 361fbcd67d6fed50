"""zalmor.debye on periodic boxes: the continuum subtraction, Bragg peaks, the defaults taken
from atoms with a cell, wrapping, and refusals."""

import math

import numpy as np
import pytest

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


def test_ideal_gas_has_structure_factor_one():
    n, density = 20000, 0.05
    length = (n / density) ** (1 / 3)
    rng = np.random.default_rng(4)
    atoms = BoxAtoms(rng.uniform(0, length, (n, 3)), ["Ar"] * n, np.eye(3) * length)
    q = np.arange(1.0, 20.0 + 1e-9, 0.01)
    res = zalmor.debye(atoms, q, b={"Ar": 1.909})
    assert res.cutoff == pytest.approx(length / 2)
    assert res.volume == pytest.approx(length ** 3)
    assert res.q_min == pytest.approx(2 * math.pi / res.cutoff)
    s = 1 + res.blocks[-1].astype(np.float64) * 100 / np.float64(np.float32(1.909)) ** 2
    assert abs(s.mean() - 1) < 0.003
    half = len(s) // 2
    assert abs(s[:half].mean() - s[half:].mean()) < 0.005


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
])
def test_refusals(kwargs, match):
    positions = np.random.default_rng(1).uniform(0, 12, (20, 3))
    kwargs = {"periodic": np.eye(3) * 12, **kwargs}
    with pytest.raises(ValueError, match=match):
        zalmor.debye((positions, ["Na"] * 20), [1.0, 2.0], b={"Na": 3.63}, **kwargs)
