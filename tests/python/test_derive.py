"""zalmor.derived.derive on every kind of Result, and the standard errors of a frame average
carried into S(Q), F(Q) and G(r)."""

import math

import ase
import numpy as np
import pytest

import zalmor
import zalmor.derived as zd
import zalmor.io

B = {"Zr": 7.16, "Cu": 7.718}
Q = np.arange(1, 301, dtype=np.float32) * np.float32(0.05)


def frames(n, seed=3):
    rng = np.random.default_rng(seed)
    grid = np.array([[i, j, k] for i in range(4) for j in range(4) for k in range(4)], float)
    symbols = ["Zr" if k % 3 == 0 else "Cu" for k in range(64)]
    return [ase.Atoms(symbols, positions=2.6 * grid + rng.normal(0, 0.15, grid.shape),
                      cell=[10.4] * 3, pbc=True) for _ in range(n)]


@pytest.fixture(scope="module")
def average():
    return zalmor.average(frames(4), Q, b=B)


def test_every_result_goes_the_same_way(average, tmp_path):
    # The same blocks from zalmor.average, zalmor.read_ioq and zalmor.io.load give the same
    # floats; zalmor.debye's Result is taken as it is.
    path = tmp_path / "avg.ioq"
    average.to_ioq(path)
    ways = {"average": average, "read_ioq": zalmor.read_ioq(path),
            "io.load": zalmor.io.load(str(path))}
    got = {k: zd.derive(v, radiation="xray") for k, v in ways.items()}
    for name, d in got.items():
        np.testing.assert_array_equal(d.total_s, got["average"].total_s, err_msg=name)
        np.testing.assert_array_equal(d.total_s_err, got["average"].total_s_err, err_msg=name)
        assert d.q_min == pytest.approx(average.q_min) and d.nframes == 4
    one = zalmor.debye(frames(1)[0], Q, b=B)
    d = zd.derive(one)
    assert d.total_s_err is None and d.fz_err is None
    assert np.all(np.isfinite(d.total_s))
    g = zd.real_space(d, np.arange(1, 500) * 0.01, density=zd.density_of(one))
    assert g.errors == {} and np.all(np.isfinite(g["g(r)"]))
    with pytest.raises(zd.DerivedError, match="not str"):
        zd.derive(str(path))


def test_errors_scale_with_each_linear_map(average):
    d = zd.derive(average)
    comp = d.comp
    scale = comp.nnorm / comp.natoms
    c, b = comp.c, comp.b_run
    for k, (ta, tb) in enumerate([(1, 1), (2, 2), (1, 2)]):
        w = 0.01 * b[ta - 1] * b[tb - 1] * c[ta - 1] * c[tb - 1]
        np.testing.assert_allclose(d.fz_err[(ta, tb)], scale * np.float64(average.stderr[k]) / w,
                                   rtol=1e-12)
    # Neutrons unchanged: S(Q) from the total block, whose own error divides alike.
    np.testing.assert_allclose(d.total_s_err, scale * np.float64(average.stderr[-1])
                               / (0.01 * comp.mean_b ** 2), rtol=1e-9)
    # Reweighted: the partials' errors add with the weights' magnitudes (they come from the
    # same frames, so they are not independent: this is the bound for full correlation).
    x = zd.derive(average, radiation="xray")
    f = [zd.xray_factor(e, x.q).real for e in average.elements]
    bound = sum((1 if ta == tb else 2) * c[ta - 1] * c[tb - 1] * f[ta - 1] * f[tb - 1]
                * x.fz_err[(ta, tb)] for ta, tb in x.fz)
    np.testing.assert_allclose(x.total_f_err, bound, rtol=1e-12)
    al = zd.derive(average, convention="ashcroft-langreth")
    np.testing.assert_allclose(al.partials_err["S_Zr-Cu(Q)"],
                               math.sqrt(c[0] * c[1]) * d.fz_err[(1, 2)], rtol=1e-12)
    # Identical frames: no spread, no error anywhere.
    same = zalmor.average([frames(1)[0]] * 3, Q, b=B)
    z = zd.derive(same)
    g = zd.real_space(z, np.arange(1, 300) * 0.02, density=zd.density_of(same))
    assert not np.any(z.total_s_err) and not any(np.any(v) for v in g.errors.values())


def test_transform_error_is_the_spread_of_transformed_samples():
    # Independent errors per Q value: transform many draws of h + e * noise by the
    # trapezoid rule written out here; their spread is the error the transform states.
    q = np.linspace(0.1, 20, 400)
    h = np.sinc(2.5 * q / np.pi) * np.exp(-0.01 * q * q)
    e = 0.02 + 0.01 * np.sin(q)
    r = np.array([0.7, 2.5, 4.0, 9.3])
    _, err = zd.sine_transform(q, h, r, errors=e)
    rng = np.random.default_rng(11)
    draws = h + e * rng.standard_normal((4000, len(q)))
    qq = np.concatenate(([0.0], q))
    samples = [(2 / np.pi) * np.trapz(np.concatenate(([0.0], d))[None, :] * qq
                                      * np.sin(np.outer(r, qq)), qq, axis=1) for d in draws]
    np.testing.assert_allclose(np.std(samples, axis=0), err[0], rtol=0.05)


def test_partials_that_cannot_be_formed_are_left_out_or_refused():
    rng = np.random.default_rng(2)
    pos = rng.uniform(0, 8, (20, 3))
    res = zalmor.debye((pos, ["Si", "O"] * 10), Q, b={"Si": 0.0, "O": 5.8})
    d = zd.derive(res)  # the neutron total needs no partial: the b = 0 ones are left out
    assert set(d.fz) == {(2, 2)} and "b_bar 0 x 0 = 0" in d.left_out[(1, 1)]
    assert np.all(np.isfinite(d.total_s))
    with pytest.raises(zd.DerivedError, match=r"block 1 \(Si-Si\) was calculated with b_bar "
                       r"0 x 0 = 0: it holds no unweighted partial to reweight"):
        zd.derive(res, radiation="xray")
    with pytest.raises(zd.DerivedError, match="every Faber-Ziman partial"):
        zd.derive(res, convention="bhatia-thornton")
    with pytest.raises(zd.DerivedError, match="--bbar gives 1 values for 2 atom types"):
        zd.derive(res, bbar=[1.0])
