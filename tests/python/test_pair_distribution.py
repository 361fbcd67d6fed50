"""zalmor.pair_distribution: g_AB(r) and coordination numbers straight from the pair counts,
in periodic boxes (minimum image, triclinic cells) and in finite spheres (overlap
normalisation), against exact shell counts, ideal gases, the Fourier transform of the
periodic Debye sums and the quartz bond."""

import math

import numpy as np
import pytest
from ase.build import bulk
from ase.spacegroup import crystal

import zalmor
import zalmor.derived as zd
import zalmor.io


def test_fcc_shells_in_a_triclinic_cell():
    # The primitive cell of fcc is rhombohedral (60 degrees between its rows); some positions
    # lie outside the cell, a whole number of lattice vectors away.
    atoms = bulk("Cu", "fcc", a=3.6).repeat((6, 6, 6))
    shift = np.random.default_rng(2).integers(-2, 3, (len(atoms), 3)) @ atoms.get_cell()[:]
    atoms.positions += shift
    pd = zalmor.pair_distribution(atoms, rmax=6.0, dr=0.01)
    assert pd.labels == [("Cu", "Cu")]
    a = 3.6
    shells = [(2.4, 2.7, 12), (3.5, 3.7, 6), (4.3, 4.5, 24), (5.0, 5.2, 12), (5.6, 5.8, 24)]
    for lo, hi, number in shells:
        assert pd.coordination("Cu", "Cu", lo, hi) == number
    assert pd.coordination("Cu", "Cu", 0.0, 2.4) == 0
    n = pd.n("Cu", "Cu")
    assert n[np.argmin(np.abs(pd.edges[1:] - 3.0))] == 12
    assert n[-1] == 78
    # The first shell as a g(r) peak: 12 neighbours at a / sqrt(2) over the density.
    first = (pd.r > 2.4) & (pd.r < 2.7)
    dv = 4 * math.pi / 3 * np.diff(pd.edges ** 3)[first]
    assert np.sum(pd.g("Cu", "Cu")[first] * dv) * pd.density * (1 - 1 / pd.natoms) == \
        pytest.approx(12)
    assert pd.density == pytest.approx(4 / a ** 3)


def ideal_gas_chi2(pd, keep):
    """The mean square deviation of the counts from an ideal gas's, in Poisson standard
    deviations, with the mean g and the slope of g over the bins kept."""
    g = pd.g("Ar", "Ar")[keep]
    expected = pd.counts[0][keep] / g  # the ideal gas's pairs: g is count over them
    chi2 = float(np.mean((pd.counts[0][keep] - expected) ** 2 / expected))
    slope = np.polyfit(pd.r[keep] / pd.r[keep].max(), g, 1)[0]
    return chi2, float(np.sum(pd.counts[0][keep]) / np.sum(expected)), slope


def test_ideal_gas_box_and_sphere():
    rng = np.random.default_rng(11)
    n, density = 12000, 0.05
    length = (n / density) ** (1 / 3)
    box = zalmor.pair_distribution((rng.uniform(0, length, (n, 3)), ["Ar"] * n), dr=0.1,
                                   periodic=np.eye(3) * length)
    assert box.edges[-1] == pytest.approx(length / 2, abs=0.1)
    chi2, ratio, slope = ideal_gas_chi2(box, box.r > 1.0)
    assert chi2 < 1.3 and abs(ratio - 1) < 6e-4 and abs(slope) < 0.004

    # Uniform in a sphere: the pairs thin out as the overlap gamma(r), which the
    # normalisation takes out up to r = 1.5 R (where gamma is 0.04). The counts of one
    # sphere vary together more than a box's (they follow its own radial density): over
    # four seeds the thirds of the range came out within 0.006 of 1, the slopes below 0.03.
    radius = 36.0
    v = rng.normal(size=(n, 3))
    ball = v * (radius * rng.uniform(0, 1, n) ** (1 / 3) / np.linalg.norm(v, axis=1))[:, None]
    sphere = zalmor.pair_distribution((ball, ["Ar"] * n), dr=0.2, sphere=radius)
    for lo, hi in ((1.0, radius / 2), (radius / 2, radius), (radius, 1.5 * radius)):
        ratio = ideal_gas_chi2(sphere, (sphere.r > lo) & (sphere.r < hi))[1]
        assert abs(ratio - 1) < 0.01, (lo, hi)
    assert abs(ideal_gas_chi2(sphere, (sphere.r > 1.0) & (sphere.r < 1.5 * radius))[2]) < 0.04
    assert np.all(np.isnan(sphere.g("Ar", "Ar")[sphere.r > 2 * radius]))
    # Without a radius: the sphere of the model's radius of gyration.
    guessed = zalmor.pair_distribution((ball, ["Ar"] * n), rmax=4.0)
    assert guessed.sphere == pytest.approx(radius, rel=0.005)


def test_sine_transform_of_the_periodic_debye_sums(tmp_path):
    # A rock-salt crystal with large random displacements; the sums' thermal factor
    # exp(-Q^2 u^2 / 2) keeps the transform free of termination ripples and is, on
    # r (g(r) - 1), a Gaussian of width u (odd about r = 0), applied here to the counts.
    rng = np.random.default_rng(5)
    atoms = bulk("NaCl", "rocksalt", a=5.64, cubic=True).repeat((6, 6, 6))
    atoms.positions += rng.normal(0, 0.25, atoms.positions.shape)
    b, u = {"Na": 3.63, "Cl": 9.577}, 0.1
    q = np.arange(1, 4501, dtype=np.float32) * np.float32(0.01)
    res = zalmor.debye(atoms, q, thermal=u, b=b)
    pd = zalmor.pair_distribution(atoms, dr=0.01, b=b)
    assert pd.edges[-1] == pytest.approx(res.cutoff, abs=0.01)
    r = pd.r
    four_pi_rho_r = 4 * math.pi * pd.density * r
    kernel = (np.exp(-0.5 * ((r[:, None] - r[None, :]) / u) ** 2)
              - np.exp(-0.5 * ((r[:, None] + r[None, :]) / u) ** 2)) / (u * math.sqrt(2 * math.pi))

    def broadened(g):
        return 1 + kernel @ (four_pi_rho_r * (g - 1) * pd.dr) / four_pi_rho_r

    # What ioq gr makes of the file.
    res.to_ioq(tmp_path / "box.ioq")
    fourier = zd.real_space(zd.derive(zalmor.io.load(tmp_path / "box.ioq")), r,
                            density=pd.density)
    direct = pd.functions()
    away = (r > 1.0) & (r < res.cutoff - 6 * u)
    assert np.max(fourier["g_Na-Cl(r)"][away]) > 2.5
    for name in ("g_Na-Na(r)", "g_Cl-Cl(r)", "g_Na-Cl(r)"):
        g = direct[name]
        if name != "g_Na-Cl(r)":
            # The sums subtract N_A^2 / V of like pairs, not N_A (N_A - 1) / V.
            g = g * (1 - 1 / pd.numbers["Na"])
        # Observed up to 0.0025: the bins of 0.01 A under a Gaussian of 0.1 A.
        assert np.max(np.abs(broadened(g) - fourier[name])[away]) < 0.006, name
    # The total keeps the 1/N_A of the like pairs (0.0035 here).
    assert np.max(np.abs(broadened(direct["g(r)"]) - fourier["g(r)"])[away]) < 0.01
    assert set(direct) >= {"G_PDF(r)", "D(r)", "G(r)", "g(r)", "T(r)"}
    assert np.allclose(direct["G_PDF(r)"], four_pi_rho_r * (direct["g(r)"] - 1))
    assert np.allclose(direct["D(r)"], four_pi_rho_r * direct["G(r)"])


@pytest.fixture(scope="module")
def quartz_sphere():
    # The usual coordinates of alpha-quartz put the origin on a two-fold axis; the
    # International Tables' origin of P3_2 21, which ASE takes, is 2/3 c away.
    cell = crystal(["Si", "O"], basis=[(0.4697, 0, 2 / 3), (0.4135, 0.2669, 0.1191 + 2 / 3)],
                   spacegroup=154, cellpar=[4.916, 4.916, 5.405, 90, 90, 120])
    big = cell.repeat((11, 11, 10))
    centre = big.get_cell()[:].sum(axis=0) / 2 + np.array([0.3, -0.7, 0.45])
    keep = np.linalg.norm(big.positions - centre, axis=1) < 20.0
    symbols = list(np.array(big.get_chemical_symbols())[keep])
    return big.positions[keep], symbols


def test_quartz_sphere_has_four_oxygens_around_silicon(quartz_sphere):
    pd = zalmor.pair_distribution(quartz_sphere)
    assert pd.sphere == pytest.approx(20.0, abs=0.1)
    assert pd.labels == [("O", "O"), ("Si", "Si"), ("O", "Si")]
    # Surface atoms have lost neighbours: counted per atom, 3.76 O around a Si.
    per_si = pd.counts[2][pd.r < 2.0].sum() / pd.numbers["Si"]
    assert per_si < 3.8
    # The overlap puts them back. Spheres about other centres give 4 +- 0.02: the number of
    # each element a cut sphere holds is not quite the crystal's.
    assert pd.coordination("Si", "O", 0.0, 2.0) == pytest.approx(4.0, abs=0.03)
    assert pd.coordination("Si", "Si", 2.5, 3.4) == pytest.approx(4.0, abs=0.03)
    assert pd.n("O", "Si")[np.searchsorted(pd.edges[1:], 2.0)] == pytest.approx(2.0, abs=0.03)
    g = pd.g("Si", "O")
    assert pd.r[np.argmax(g)] == pytest.approx(1.61, abs=0.01)


def test_counts_do_not_depend_on_threads(quartz_sphere):
    one = zalmor.pair_distribution(quartz_sphere, threads=1)
    two = zalmor.pair_distribution(quartz_sphere, threads=2)
    assert one.counts.dtype == np.int64 and np.array_equal(one.counts, two.counts)
    # Every pair of the sphere is within 2R.
    n = len(quartz_sphere[1])
    assert one.counts.sum() == n * (n - 1) // 2
    atoms = bulk("NaCl", "rocksalt", a=5.64, cubic=True).repeat((4, 4, 4))
    atoms.positions += np.random.default_rng(3).normal(0, 0.3, atoms.positions.shape)
    one = zalmor.pair_distribution(atoms, dr=0.003, threads=1)
    two = zalmor.pair_distribution(atoms, dr=0.003, threads=2)
    assert np.array_equal(one.counts, two.counts) and one.counts.sum() > 0


def test_refusals():
    positions = np.random.default_rng(1).uniform(0, 12, (20, 3))
    box = (positions, ["Na"] * 20)
    with pytest.raises(ValueError, match=r"rmax 6\.5 A is above half the smallest width of the "
                                         r"cell, 6 A"):
        zalmor.pair_distribution(box, rmax=6.5, periodic=np.eye(3) * 12)
    # Half the width typed in is taken, though the cell's faces give it a rounding lower.
    rocksalt = bulk("NaCl", "rocksalt", a=5.64, cubic=True).repeat(3)
    assert zalmor.pair_distribution(rocksalt, rmax=8.46).counts.sum() > 0
    with pytest.raises(ValueError, match=r"8\.4600001 A is above .* 8\.4599"):
        zalmor.pair_distribution(rocksalt, rmax=8.4600001)
    from zalmor import _core
    with pytest.raises(ValueError, match=r"r_max 6\.2 A .* 6 A"):
        _core.pair_counts(positions.astype(np.float32), np.ones(20, np.int32), 1, 0.1, 62,
                          list(np.eye(3).reshape(9) * 12))
    with pytest.raises(ValueError, match="finite models"):
        zalmor.pair_distribution(box, periodic=np.eye(3) * 12, sphere=5.0)
    with pytest.raises(ValueError, match="dr"):
        zalmor.pair_distribution(box, dr=0.0)
    # Too many bins for the counts once ended in a type error of the compiled part; the
    # core's own limit is told in its own words.
    with pytest.raises(ValueError, match=r"makes 5e\+31 bins"):
        zalmor.pair_distribution(box, periodic=np.eye(3) * 1e30)
    with pytest.raises(ValueError, match=r"number of bins must be 1 to 16777216, not 60000000"):
        zalmor.pair_distribution(box, periodic=np.eye(3) * 12, dr=1e-7)
