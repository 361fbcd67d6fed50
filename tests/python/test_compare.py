"""zalmor.read_data and zalmor.compare: measured data read from every layout, and fits to data
made here from a known model, whose scale, background and resolution must come back."""

import contextlib
import io

import numpy as np
import pytest

import zalmor
import zalmor.derived as zd
from zalmor import ioq

ase = pytest.importorskip("ase")

Q = np.arange(1, 401, dtype=np.float32) * 0.05  # 0.05 to 20 1/A
LOW = 1.2  # 1/A: above the boxes' q_min, 2 pi / 5.5 A


def box(seed, symbols=("Na", "Cl"), n=48, side=11.0):
    rng = np.random.default_rng(seed)
    return ase.Atoms([symbols[k % 2] for k in range(n)], positions=rng.uniform(0, side, (n, 3)),
                     cell=[side] * 3, pbc=True)


@pytest.fixture(scope="module")
def models():
    """One frame (no errors) and a mean over four (the model's standard error)."""
    return {"frame": zalmor.debye(box(1), Q),
            "average": zalmor.average([box(s) for s in range(4)], Q, progress=False)}


def function(res, quantity, r=None, qres=None, qdamp=None):
    """The model's quantity and its error from zalmor.derived, at Q or at r."""
    d = zd.derive(res, qres=qres)
    if r is None:
        return zd.q_function(d, quantity)
    f = zd.real_space(d, r, qdamp=qdamp)
    return f[quantity], f.errors.get(quantity)


def truth(res, quantity, x, qres=None, qdamp=None):
    """The function the data are made of, exactly at x: the model's own where x are its Q
    (from LOW on), else the frame's sums taken at x."""
    if quantity.endswith("(r)"):
        return function(res, quantity, r=x, qdamp=qdamp)
    if len(x) == np.sum(Q >= LOW) and np.all(x == Q[Q >= LOW]):
        m, dm = function(res, quantity, qres=qres)
        return m[Q >= LOW], None if dm is None else dm[Q >= LOW]
    return function(zalmor.debye(box(1), x), quantity, qres=qres)


FITS = [  # model, quantity, x (None: the model's Q from LOW), truth, resolution, fitted
    ("frame", "F(Q)", None, {"scale": 0.87, "offset": 0.02}, {}, ("scale", "offset")),
    # off the model's grid: interpolated
    ("frame", "S(Q)", np.linspace(1.23, 19.0, 300), {"scale": 0.87}, {}, ("scale",)),
    ("frame", "S(Q)", None, {"scale": 0.9}, {"qres": 0.08}, ("scale", "qres")),
    ("frame", "G_PDF(r)", np.linspace(1.5, 8.0, 261), {"scale": 1.1, "slope": -0.01},
     {"qdamp": 0.04}, ("scale", "slope", "qdamp")),
    # the data hold what the model misses by its own error: only sigma^2 = error^2 +
    # (scale dm)^2 gives chi2/N near 1
    ("average", "F(Q)", None, {"scale": 0.87, "offset": 0.02}, {}, ("scale", "offset")),
    # a structure is summed at the data's own Q
    ("structure", "i(Q)", np.sort(np.random.default_rng(5).uniform(LOW, 15, 200)),
     {"scale": 0.87, "offset": 0.02}, {}, ("scale", "offset")),
]


@pytest.mark.parametrize("kind, quantity, x, made, resolution, fitted", FITS)
def test_fit_recovers_what_the_data_were_made_with(models, kind, quantity, x, made,
                                                   resolution, fitted):
    rng = np.random.default_rng(7)
    res = models["average" if kind == "average" else "frame"]
    x = Q[Q >= LOW].astype(float) if x is None else x
    m, dm = truth(res, quantity, x, **resolution)
    if dm is not None:
        m = m + rng.normal(0, dm)
    sigma = 0.02 * np.ptp(m) * np.ones_like(x)
    background = lambda p: p.get("offset", 0) + p.get("slope", 0) * x  # noqa: E731
    y = made["scale"] * m + background(made) + rng.normal(0, sigma)
    c = zalmor.compare(box(1) if kind == "structure" else res, (x, y, sigma), quantity=quantity,
                       fit=fitted, **{k: 0.5 * v for k, v in resolution.items()})
    for name, want in {**made, **resolution}.items():
        value, err = c.params[name]
        assert abs(value - want) < 3 * err, (name, value, err, want)
    dof = len(x) - len(fitted)
    assert c.dof == dof and abs(c.reduced_chi2 - 1) < 4 * np.sqrt(2 / dof), c.summary()
    if kind == "average":
        assert c.reduced_chi2_data > 1 + 4 * np.sqrt(2 / dof)
    # Rw of the fitted parameters on the exact function (an interpolated model's is near)
    p = {k: v for k, (v, _) in c.params.items()}
    calc = p["scale"] * truth(res, quantity, x, qres=p.get("qres"),
                              qdamp=p.get("qdamp"))[0] + background(p)
    rw = np.sqrt(np.sum(((y - calc) / sigma) ** 2) / np.sum((y / sigma) ** 2))
    assert rw == pytest.approx(c.rw, rel=1e-6 if c.interpolation_error is None else 1e-2)


def test_a_resolution_the_data_do_not_show_is_reported_not_refused(models):
    # Fitted towards 0, a width below the grid's step changes nothing: once refused as
    # "cannot be told apart".
    x = Q[Q >= LOW].astype(float)
    m = function(models["frame"], "F(Q)")[0][Q >= LOW]
    c = zalmor.compare(models["frame"], (x, m, 0.01 + 0 * x), quantity="F", fit="scale,qres")
    assert c.params["scale"][0] == pytest.approx(1, abs=1e-6)
    assert np.isnan(c.params["qres"][1]) and "not determined" in c.summary()


def test_two_isotopic_samples_recover_their_own_scales():
    water = box(3, symbols=("O", "H", "H"), n=60)
    water.symbols[:] = ["O" if k % 3 == 0 else "H" for k in range(60)]
    res = zalmor.debye(water, Q)
    x = Q[Q >= LOW].astype(float)
    rng = np.random.default_rng(11)
    made = []
    for scale, b in ((0.9, None), (1.2, {2: "D"})):
        f = zd.derive(res, b_given=b).total_f[Q >= LOW]
        sigma = 0.01 * np.ptp(f) * np.ones_like(x)
        made.append((x, scale * f + rng.normal(0, sigma), sigma))
    c = zalmor.compare(res, made, quantity="F", b=[None, {"H": "D"}])
    for one, scale in zip(c.datasets, (0.9, 1.2)):
        value, err = one.params["scale"]
        assert abs(value - scale) < 3 * err
    assert set(c.params) == {"scale[1]", "scale[2]"}
    w = np.concatenate([1 / one.error ** 2 for one in c.datasets])
    r = np.concatenate([one.residual for one in c.datasets])
    y = np.concatenate([one.observed for one in c.datasets])
    assert c.rw == pytest.approx(np.sqrt(np.sum(w * r * r) / np.sum(w * y * y)))
    # the other isotope's weights do not fit
    wrong = zalmor.compare(res, made[1], quantity="F")
    assert wrong.rw > 3 * c.datasets[1].rw


def in_process(args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = ioq.main(args)
    assert status == 0, err.getvalue()


X = np.linspace(0.5, 10.0, 20)
Y = np.sin(X)
E = 0.01 + 0.001 * X
LINES = "".join(f"{a:.12g} {b:.12g} {c:.12g}\n" for a, b, c in zip(X, Y, E))


@pytest.mark.parametrize("name, text, options, x, error", [
    ("a.dat", "Free header of a reduction\nsample: water\n# Q  i(Q)\n"
     + "".join(f"{a:.12g}\t{b:.12g}\n" for a, b in zip(X, Y)), {}, X, None),
    ("a.mint01", "# Q value error\n" + LINES, {}, X, E),
    ("a.csv", "Q,F,dy\n" + LINES.replace(" ", ","), {}, X, E),
    ("a.csv", "Q,F,S,dF\n" + "".join(f"{a},{b},9,{c}\n" for a, b, c in zip(X, Y, E)), {}, X, E),
    ("a.fq", "[PDFgetX3]\nqmax = 25\n#### start data\n#S 1\n#L Q F dQ dF\n"
     + "".join(f"{a:.12g} {b:.12g} 0 {c:.12g}\n" for a, b, c in zip(X, Y, E)), {}, X, E),
    ("a.iq", "#### start data\n#L Q I dI\n" + LINES.replace("\n", " \n"),
     {"usecols": ("Q", "I")}, X, None),
    ("nm.dat", "".join(f"{10 * a:.12g} {b:.12g} {c:.12g}\n" for a, b, c in zip(X, Y, E)),
     {"x_unit": "1/nm"}, X, E),
    ("tth.xy", "".join(f"{t:.12g} {b:.12g}\n" for t, b in
                      zip(np.degrees(2 * np.arcsin(X * 0.1 / (4 * np.pi))), Y)),
     {"x_unit": "2theta", "wavelength": 0.1}, X, None),
    ("a.npz", None, {}, X, E),
])
def test_every_layout_reads_back(tmp_path, name, text, options, x, error):
    path = tmp_path / name
    if text is None:
        np.savez(path, Q=X, F=Y, dF=E, header=np.array(["qmax = 25"]))
    else:
        path.write_text(text)
    d = zalmor.read_data(str(path), **options)
    np.testing.assert_allclose(d.x, x, rtol=1e-10)
    np.testing.assert_allclose(d.y, Y, rtol=1e-10)
    assert (d.error is None) == (error is None)
    if error is not None:
        np.testing.assert_allclose(d.error, error, rtol=1e-10)


def test_our_own_gr_reads_back_as_g_of_r(tmp_path, models):
    models["average"].to_ioq(tmp_path / "m.ioq")
    out = tmp_path / "m.gr"
    in_process(["gr", str(tmp_path / "m.ioq"), "--rmax", "6", "--dr", "0.05", "--format", "gr",
                "-o", str(out)])
    d = zalmor.read_data(str(out))
    assert d.axis == "r" and d.meta["qmax"] == "20" and d.error is not None
    g, dg = function(models["average"], "G_PDF(r)", r=d.x)
    np.testing.assert_allclose(d.y, g, atol=1e-7 * np.abs(g).max())
    c = zalmor.compare(models["average"], str(out), quantity="G_PDF(r)", fit=())
    assert c.rw < 1e-6 and c.params == {}


ROWS = "".join(f"{k}e3 2\n" for k in range(1, 8))
HOSTILE = [  # file text (or arrays), read options, compare options, what the message says
    ("1 2\n3 4\n5 6\nx 8\n7 9\n9 9\n11 1\n", {}, None, "a.dat:4: 'x 8' is not a row of numbers"),
    ("1 2\n3 nan\n5 6\n7 8\n9 9\n11 1\n", {}, None, "a.dat:2: y is nan, not a finite number"),
    ("1 2\n3 4\n2 6\n7 8\n9 9\n11 1\n", {}, None, "a.dat:3: x 2 does not increase"),
    ("1 2 0.1\n3 4 -1\n5 6 1\n7 8 1\n9 9 1\n11 1 1\n", {}, None, "a.dat:2: negative error -1"),
    ("1 2\n3 4\n", {}, None, "2 data points; a comparison needs at least 6"),
    ("1 2\n3 4 5\n", {}, None, "a.dat:2: 3 values; the rows before have 2"),
    (ROWS, {"usecols": (0, 5)}, None, "no column 5: the file has 2"),
    (ROWS, {"usecols": ("Q", "F")}, None, "no column named 'Q' (the file names no columns)"),
    (ROWS, {"x_unit": "furlong"}, None, "x_unit 'furlong' is not one of"),
    (ROWS, {"x_unit": "2theta"}, None, "needs the wavelength"),
    (ROWS, {"x_unit": "2theta", "wavelength": 1.0}, None, "a.dat:1: 2theta 1000 is not "
     "between 0 and 180"),
    ("7 2\n" * 7, {}, None, "x 7 does not increase"),
    ("\0\1\2\n", {}, None, "not a text file"),
    (ROWS.replace(" 2\n", " 1e300\n"), {}, None, "a.dat:1: y 1e+300 is beyond 1e+100"),
    (ROWS.replace(" 2\n", " 2 1e-300\n"), {}, None, "error 1e-300 is below 1e-100"),
    ("PK\3\4 not a zip", {}, None, "not a numpy .npz archive"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "F", "fit": "scale,qdamp"},
     "qdamp damps a function of r"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "G"}, "quantity G is ambiguous"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "Z(Q)"}, "unknown quantity 'Z(Q)'"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "F", "fit": "tilt"}, "cannot fit 'tilt'"),
    ((np.arange(10, 30.0), np.ones(20)), {}, {"quantity": "F"},
     "x from 10 to 29 1/A reaches beyond the model's Q grid, 0.05 to 20 1/A; narrow it"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "F", "xrange": (2, 2.5)},
     "1 point in the range, fewer than the 1 fitted parameter plus one"),
    ((np.arange(1, 9.0), np.ones(8), np.zeros(8) + [0, 1] * 4), {}, {"quantity": "F"},
     "the error at x = 1 is 0"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "F", "fit": "scale,offset",
                                          "model": "flat"},
     "the parameters scale, offset cannot all be told apart"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "g(r)", "model": "finite", "q": Q},
     "g(r) needs the number density"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "G_PDF", "model": "finite"},
     "a function of r from a structure needs the Q range"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "F", "b": {"K": 3}}, "b names K"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "F", "radiation": ["neutron"] * 2},
     "radiation gives 2 values for 1 datasets"),
    ((np.arange(1, 9.0), np.ones(8)), {}, {"quantity": "F", "qres": float("nan")},
     "qres wants a number from 0 to 10 1/A, not nan"),
]


MODELS = {  # a finite model (no density), and one whose every function is 0
    "finite": lambda: (box(1).positions, list(box(1).symbols)),
    "flat": lambda: zalmor.Result(Q, ["Na", "Cl"], [np.zeros(len(Q))] * 4, [0.0] * 4,
                                  {"Na": 0.5, "Cl": 0.5}, {"Na": 3.63, "Cl": 9.577}, 2, 2),
}


@pytest.mark.parametrize("data, read, options, message", HOSTILE)
def test_refusals_name_the_file_line_and_reason(tmp_path, models, data, read, options, message):
    if isinstance(data, str):
        name = "a.npz" if data.startswith("PK") else "a.dat"
        (tmp_path / name).write_text(data)
        data = str(tmp_path / name)
    with pytest.raises(ValueError) as caught:
        if options is None:
            zalmor.read_data(data, **read)
        else:
            zalmor.compare(MODELS.get(options.pop("model", None), lambda: models["frame"])(),
                           data, **options)
    text = str(caught.value)
    assert message in text and "\n" not in text
