"""Tests of zalmor.derived and the radiation, convention and file options of tools/ioq:
each formula against an evaluation written here from periodictable's tables and from
double-precision Debye sums, the conventions against each other on the same partials,
and every file format read back the way the programs that load it read it.

Run: PYTHONPATH=python /usr/bin/python3 tools/conventions_test.py; ZALMOR_BINARY=path/to/zalmor selects the
binary for the whole-run case.
"""

import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import periodictable as pt
import scipy.constants as sc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import zalmor.derived as zd  # noqa: E402
import zalmor.io as zi  # noqa: E402
from derived_test import IOQ, Scratch, debye_file, random_sphere  # noqa: E402
from ioq_test import find_zalmor  # noqa: E402


def debye(pos, factors, q):
    """(1/N) sum_{i != j} Re(f_i f_j*) sin(Q r_ij)/(Q r_ij), factors one row per atom."""
    n = len(pos)
    out = np.zeros(len(q))
    for i in range(n):
        for j in range(n):
            if i != j:
                rij = np.linalg.norm(pos[i] - pos[j])
                out += np.real(factors[i] * np.conj(factors[j])) * np.sinc(q * rij / np.pi)
    return out / n


def read_pdf_file(path):
    """As PDF-fitting programs read .gr/.sq/.fq: header values by `key = value` search in
    the text before `#### start data`; data rows after it, the `#L` line naming the columns."""
    with open(path) as fh:
        text = fh.read()
    head, sep, data = text.partition("#### start data")
    assert sep, "no '#### start data'"
    meta = {}
    for key in ("qmax", "qdamp", "qbroad", "stype", "composition", "radiation"):
        m = re.search(r"^" + re.escape(key) + r" *= *(.+)$", head, re.M)
        if m:
            meta[key] = m.group(1).strip()
    lines = data.strip().splitlines()
    assert lines[0].startswith("#L "), lines[0]
    names = lines[0][3:].split()
    rows = np.array([[float(v) for v in ln.split()] for ln in lines[1:] if ln.strip()])
    return meta, names, rows


class FormulaTest(unittest.TestCase):
    def test_scattering_factors_against_periodictable(self):
        q = np.array([0.0, 0.5, 3.0, 12.0])
        li6, li7 = pt.Li[6].neutron, pt.Li[7].neutron
        cases = [  # what, computed, independent
            ("b of Si", zd.mixture_length("Si")[0], pt.Si.neutron.b_c),
            ("b of D", zd.mixture_length("D")[0], pt.D.neutron.b_c),
            ("isotope mixture 6Li:0.95,7Li:0.05", zd.mixture_length("6Li:0.95,7Li:0.05")[0],
             0.95 * complex(li6.b_c, li6.b_c_i or 0) + 0.05 * complex(li7.b_c, li7.b_c_i or 0)),
            ("absorption of the mixture", zd.mixture_length("Li[6]:0.5,Li[7]:0.5")[1],
             0.5 * li6.absorption + 0.5 * li7.absorption),
            ("complex b of Gd", zd.mixture_length("Gd")[0],
             complex(pt.Gd.neutron.b_c, pt.Gd.neutron.b_c_i)),
            ("f0 of Si", zd.xray_factor("Si", q), pt.Si.xray.f0(q)),
            ("f0 of the ion Fe2+", zd.xray_factor("Fe2+", q), pt.Fe.ion[2].xray.f0(q)),
            ("f0 of Cl-", zd.xray_factor("Cl-", q), pt.Cl.ion[-1].xray.f0(q)),
            ("f0 + f' + i f'' of Cu at 8.9 keV", zd.xray_factor("Cu", q, energy=8.9),
             pt.Cu.xray.f0(q) + pt.Cu.xray.scattering_factors(energy=8.9)[0] - 29
             + 1j * pt.Cu.xray.scattering_factors(energy=8.9)[1]),
        ]
        for what, got, want in cases:
            with self.subTest(what):
                np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)
        self.assertAlmostEqual(zd.pair_weight(3 + 4j, 1 - 2j), (3 * 1 + 4 * -2))

    def test_mott_bethe_and_its_zero_q_limit(self):
        # The constant m e^2 / (8 pi eps0 h^2) from CODATA, not from the Bohr radius.
        const = sc.m_e * sc.e ** 2 / (8 * math.pi * sc.epsilon_0 * sc.h ** 2) * 1e-10  # 1/A
        self.assertAlmostEqual(const, zd.MOTT_BETHE, places=9)
        for el in ("O", "Si", "Na", "Cl", "Au"):
            with self.subTest(el):
                elem = getattr(pt, el)
                f00 = elem.xray.f0(0.0)  # the fit's own Z
                q = np.array([0.5, 2.0, 8.0, 30.0])
                s = q / (4 * math.pi)
                want = const * (f00 - elem.xray.f0(q)) / s ** 2
                np.testing.assert_allclose(zd.electron_factor(el, q).real, want, rtol=1e-9)
                # Q -> 0: f_e(Q) = f_e(0) - k Q^2 + O(Q^4); extrapolated from small Q, where
                # the direct formula still has digits to spare.
                qs = np.array([0.05, 0.1, 0.15])
                fs = const * (f00 - elem.xray.f0(qs)) / (qs / (4 * math.pi)) ** 2
                f0_extrapolated = np.polyfit(qs ** 2, fs, 2)[-1]
                at0 = zd.electron_factor(el, [0.0]).real[0]
                self.assertTrue(math.isfinite(at0))
                self.assertAlmostEqual(at0, f0_extrapolated, delta=1e-6 * at0)
                rel = zd.electron_factor(el, [0.0], energy=200.0).real[0]
                self.assertAlmostEqual(rel / at0, 1 + 200.0 / (sc.m_e * sc.c ** 2 / sc.e / 1e3))

    def test_conventions_convert_into_each_other_and_keep_the_total(self):
        rng = np.random.default_rng(5)
        q = np.linspace(0.1, 20, 50)
        c = [0.3, 0.7]
        fz = {(1, 1): 1 + rng.normal(0, 0.3, 50), (2, 2): 1 + rng.normal(0, 0.3, 50),
              (1, 2): 1 + rng.normal(0, 0.3, 50)}
        x = [0.1 * (3.63 - 0.2j), 0.1 * 9.577]
        total, parts = zd.weighted_total(c, x, fz)
        # Independent: over ordered pairs.
        want = sum(c[a - 1] * c[b - 1] * np.real(x[a - 1] * np.conj(x[b - 1]))
                   * (fz[tuple(sorted((a, b)))] - 1) for a in (1, 2) for b in (1, 2))
        np.testing.assert_allclose(total, want, rtol=1e-12)
        np.testing.assert_allclose(sum(parts.values()), total, rtol=1e-12)
        al = zd.ashcroft_langreth(c, fz)
        al_total = sum(math.sqrt(c[a - 1] * c[b - 1]) * np.real(x[a - 1] * np.conj(x[b - 1]))
                       * (al[tuple(sorted((a, b)))] - (a == b)) for a in (1, 2) for b in (1, 2))
        snn, snc, scc = zd.bhatia_thornton(c, fz)
        cases = [
            ("FZ -> AL -> FZ", zd.faber_ziman_from_al(c, al)[(1, 2)], fz[(1, 2)]),
            ("AL total", al_total, total),
            ("BT total", zd.total_from_bt(c, x, snn, snc, scc), total),
            ("S_NN is the number-number sum", snn,
             sum(c[a - 1] * c[b - 1] * fz[tuple(sorted((a, b)))] for a in (1, 2) for b in (1, 2))),
        ]
        for what, got, want in cases:
            with self.subTest(what):
                np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-12)
        # An ideal random mixture: every S_AB = 1.
        ones = {p: np.ones(5) for p in fz}
        snn, snc, scc = zd.bhatia_thornton(c, ones)
        np.testing.assert_allclose([snn, snc, scc], [np.ones(5), np.zeros(5),
                                                     np.full(5, c[0] * c[1])], atol=1e-15)
        np.testing.assert_allclose(zd.ashcroft_langreth(c, ones)[(1, 2)], 0.0, atol=1e-15)
        with self.assertRaisesRegex(zd.DerivedError, "binary"):
            zd.bhatia_thornton([0.2, 0.3, 0.5], fz)
        mean2, meansq = zd.norms(c, x)
        self.assertAlmostEqual(mean2, abs(0.3 * x[0] + 0.7 * x[1]) ** 2)
        self.assertAlmostEqual(meansq, 0.3 * abs(x[0]) ** 2 + 0.7 * abs(x[1]) ** 2)

    def test_windows_broadening_and_resolution(self):
        qmax = 25.0
        q = np.linspace(0, qmax, 2001)
        cases = [("none", np.ones_like(q)),
                 ("lorch", np.sin(np.pi * q / qmax) / np.where(q > 0, np.pi * q / qmax, 1)),
                 ("warren", np.exp(-math.log(10) * q ** 2 / qmax ** 2))]
        cases[1][1][0] = 1.0
        for name, want in cases:
            with self.subTest(name):
                np.testing.assert_allclose(zd.window(name, q, qmax), want, atol=1e-12)
        # A sine transform of a known pair: h = sinc(Q d) transforms to a peak at d of area
        # pi/(2 d) (2/pi) ... checked against scipy quadrature at three r.
        from scipy.integrate import quad

        d = 2.3
        h = np.sinc(q * d / np.pi)
        r = np.array([1.0, 2.0, 3.7])
        got = zd.sine_transform(q, h, r)[0]
        want = [(2 / np.pi) * quad(lambda k: k * np.sinc(k * d / np.pi) * np.sin(k * rr), 0,
                                   qmax, limit=400)[0] for rr in r]
        np.testing.assert_allclose(got, want, atol=2e-4)
        # Qbroad: a narrow Gaussian at r0 comes out with width sqrt(s^2 + (qb r0)^2), same area.
        r = np.arange(0.005, 20, 0.005)
        r0, s, qb = 10.0, 0.05, 0.02
        g = np.exp(-0.5 * ((r - r0) / s) ** 2)
        b = zd.qbroad(r, g, qb)
        self.assertAlmostEqual(np.trapz(b, r), np.trapz(g, r), delta=1e-3 * np.trapz(g, r))
        width = math.sqrt(np.trapz(b * (r - r0) ** 2, r) / np.trapz(b, r))
        self.assertAlmostEqual(width, math.hypot(s, qb * r0), delta=0.01 * width)
        # Gaussian Q resolution: the interior equals a direct convolution integral.
        qq = np.arange(0, 20, 0.01)
        y = np.sin(3 * qq) * np.exp(-0.1 * qq)
        sig = 0.05
        smooth = zd.gaussian_resolution(qq, y, sig)
        for k in (500, 1000, 1500):
            w = np.exp(-0.5 * ((qq - qq[k]) / sig) ** 2)
            self.assertAlmostEqual(smooth[k], np.trapz(w * y, qq) / np.trapz(w, qq), places=6)

    def test_two_theta(self):
        lam = 1.5406
        q = np.array([1.0, 4.0, 8.0, 9.0])
        tt = zd.two_theta(q, lam)
        np.testing.assert_allclose(4 * np.pi * np.sin(np.radians(tt[:3] / 2)) / lam, q[:3])
        self.assertTrue(np.isnan(tt[3]))  # beyond 4 pi / lambda


class RunTest(Scratch):
    def model(self, types=(1, 2), b=(4.15, 5.8), n=30, seed=3):
        rng = np.random.default_rng(seed)
        pos = random_sphere(n, 5.5, rng, dmin=1.6)
        t = np.array([types[k % len(types)] for k in range(n)])
        q = np.arange(0.0, 20.0, 0.05)
        path = self.write("m.ioq", debye_file(t, pos, list(b), q))
        return path, pos, t, q

    def test_every_radiation_reweights_to_its_own_debye_sum(self):
        path, pos, t, q = self.model()
        self.write("m.types", "1 Si\n2 O\n")
        c = np.array([np.mean(t == 1), np.mean(t == 2)])
        li = sum(x * complex(pt.Li[m].neutron.b_c, pt.Li[m].neutron.b_c_i or 0)
                 for m, x in ((6, 0.95), (7, 0.05)))
        cases = [  # options, factor per type (as in the unit of F), normaliser
            ([], {1: 0.415, 2: 0.58}),
            (["--b", "Si=6Li:0.95,7Li:0.05", "--b", "2=-3.74"], {1: 0.1 * li, 2: -0.374}),
            (["--radiation", "xray"], {1: pt.Si.xray.f0(q), 2: pt.O.xray.f0(q)}),
            (["--radiation", "xray", "--energy", "17.48"],
             {e: getattr(pt, s).xray.f0(q) + getattr(pt, s).xray.scattering_factors(
                 energy=17.48)[0] - getattr(pt, s).number + 1j * getattr(pt, s).xray.
              scattering_factors(energy=17.48)[1] for e, s in ((1, "Si"), (2, "O"))}),
            (["--radiation", "electron"], {1: zd.electron_factor("Si", q),
                                           2: zd.electron_factor("O", q)}),
        ]
        for opts, f in cases:
            for norm in ("mean-squared", "mean-square"):
                with self.subTest(opts=opts, norm=norm):
                    cols, _ = self.table("fq", path, "--norm", norm, *opts)
                    fa = [np.broadcast_to(np.asarray(f[k], complex), q.shape) for k in t]
                    want = debye(pos, fa, q)
                    np.testing.assert_allclose(cols["F(Q)"], want, rtol=3e-5,
                                               atol=3e-5 * np.abs(want).max())
                    m = c[0] * np.asarray(f[1]) + c[1] * np.asarray(f[2])
                    nrm = (np.abs(m) ** 2 if norm == "mean-squared" else
                           c[0] * np.abs(f[1]) ** 2 + c[1] * np.abs(f[2]) ** 2)
                    sq, _ = self.table("sq", path, "--norm", norm, *opts)
                    np.testing.assert_allclose(sq["S(Q)"], 1 + want / nrm, rtol=3e-5,
                                               atol=3e-5 * np.abs(want / nrm).max())

    def test_every_convention_has_the_same_total_and_its_parts_add_up(self):
        path, pos, t, q = self.model()
        old, _ = self.table("fq", path)
        for conv in zd.CONVENTIONS:
            with self.subTest(conv):
                new, _ = self.table("fq", path, "--convention", conv)
                np.testing.assert_allclose(new["F(Q)"], old["F(Q)"], rtol=1e-7, atol=1e-9)
                parts = [v for k, v in new.items() if k.startswith("F_")]
                np.testing.assert_allclose(sum(parts), new["F(Q)"], rtol=1e-6, atol=1e-7)
                s, _ = self.table("sq", path, "--convention", conv)
                self.assertEqual(len(s), 5)  # Q, S(Q) and three partials

    def test_real_space_functions_are_one_function(self):
        path, pos, t, q = self.model()
        self.write("m.types", "1 Si\n2 O\n")
        rho, qdamp = 0.05, 0.04
        for rad in zd.RADIATIONS:
            for win in zd.WINDOWS:
                with self.subTest(radiation=rad, window=win):
                    cols, _ = self.table("gr", path, "--radiation", rad, "--window", win,
                                         "--rmax", "8", "--dr", "0.05", "--density", str(rho),
                                         "--qdamp", str(qdamp))
                    s, _ = self.table("sq", path, "--radiation", rad)
                    r = cols["r"]
                    qq, h = s["Q"], s["S(Q)"] - 1
                    m = zd.window(win, qq, qq.max())
                    want = np.array([(2 / np.pi) * np.trapz(qq * h * m * np.sin(qq * rr), qq)
                                     for rr in r]) * np.exp(-0.5 * (qdamp * r) ** 2)
                    np.testing.assert_allclose(cols["G_PDF(r)"], want, rtol=1e-5,
                                               atol=1e-6 * np.abs(want).max())
                    np.testing.assert_allclose(cols["g(r)"], 1 + want / (4 * np.pi * rho * r),
                                               rtol=1e-5, atol=1e-6)
                    w = cols["D(r)"][5] / cols["G_PDF(r)"][5]
                    np.testing.assert_allclose(cols["T(r)"], cols["D(r)"]
                                               + 4 * np.pi * rho * r * w, rtol=1e-6)
                    np.testing.assert_allclose(cols["G(r)"], cols["D(r)"] / (4 * np.pi * rho * r),
                                               rtol=1e-6)

    def test_files_load_as_their_programs_load_them(self):
        path, pos, t, q = self.model()
        self.write("m.types", "1 Si\n2 O\n")
        sq, _ = self.table("sq", path, "--radiation", "xray")
        gr, _ = self.table("gr", path, "--rmax", "6", "--dr", "0.05", "--radiation", "xray")
        cases = [  # command options, file, check
            (["sq", "--radiation", "xray", "--format", "sq"], "a.sq", ("Q", "S"), sq["S(Q)"]),
            (["fq", "--radiation", "xray", "--format", "fq"], "a.fq", ("Q", "F"),
             sq["Q"] * (sq["S(Q)"] - 1)),
            (["gr", "--radiation", "xray", "--format", "gr", "--rmax", "6", "--dr", "0.05",
              "--qdamp", "0"], "a.gr", ("r", "G"), gr["G_PDF(r)"]),
        ]
        for opts, name, cols, want in cases:
            with self.subTest(name):
                status, _, err = self.tool(IOQ, opts[0], path, "-o", name, *opts[1:])
                self.assertEqual(status, 0, err)
                meta, names, rows = read_pdf_file(os.path.join(self.dir, name))
                self.assertEqual(tuple(names[:2]), cols)
                self.assertEqual(meta["stype"], "X")
                self.assertAlmostEqual(float(meta["qmax"]), q.max(), places=5)
                self.assertEqual(float(meta["qdamp"]), 0.0)
                self.assertIn("Si", meta["composition"])
                # (the CSV it is compared with keeps 8 digits)
                np.testing.assert_allclose(rows[:, 1], want, rtol=2e-7,
                                           atol=2e-7 * np.abs(want).max())
                # numpy, as anyone would: skip to the #L line.
                with open(os.path.join(self.dir, name)) as fh:
                    lines = fh.read().splitlines()
                skip = lines.index("#### start data") + 2
                np.testing.assert_allclose(np.loadtxt(os.path.join(self.dir, name),
                                                      skiprows=skip), rows)
        status, _, err = self.tool(IOQ, "gr", path, "--rmax", "6", "--dr", "0.05",
                                   "--format", "xy", "-o", "g.xy", "--column", "D(r)",
                                   "--radiation", "xray")
        self.assertEqual(status, 0, err)
        with open(os.path.join(self.dir, "g.xy")) as fh:
            text = fh.read()
        rows = [ln for ln in text.splitlines() if not ln.startswith("#")]
        self.assertTrue(all(re.fullmatch(r"-?\d\.\d{10}e[+-]\d\d -?\d\.\d{10}e[+-]\d\d", ln)
                            for ln in rows), rows[:3])
        xy = np.loadtxt(os.path.join(self.dir, "g.xy"))
        np.testing.assert_allclose(xy[:, 1], gr["D(r)"], rtol=2e-7,
                                   atol=2e-7 * np.abs(gr["D(r)"]).max())
        status, _, err = self.tool(IOQ, "gr", path, "--rmax", "6", "--dr", "0.05",
                                   "--format", "npz", "-o", "g.npz", "--density", "0.05")
        self.assertEqual(status, 0, err)
        with np.load(os.path.join(self.dir, "g.npz")) as z:
            self.assertEqual(set(z.files) >= {"r", "G_PDF(r)", "g(r)", "T(r)", "D(r)", "G(r)",
                                              "g_Si-O(r)", "header"}, True)
            np.testing.assert_allclose(z["r"], gr["r"])
        # A powder pattern: 2 theta and the coherent scattering per atom.
        lam = 1.0
        cols, _ = self.table("sq", path, "--radiation", "xray", "--wavelength", str(lam))
        np.testing.assert_allclose(cols["2theta"], 2 * np.degrees(np.arcsin(cols["Q"] * lam
                                                                             / (4 * np.pi))),
                                   rtol=1e-6)
        self.assertLessEqual(cols["Q"].max(), 4 * np.pi / lam)

    def test_refusals_are_one_line(self):
        path, pos, t, q = self.model(b=(0.0, 5.8))
        three, *_ = self.model(types=(1, 2, 3), b=(1.0, 2.0, 3.0), n=12)
        with open(three) as fh:
            three = self.write("three.ioq", fh.read())
        path = self.write("zero.ioq", debye_file(t, pos, [0.0, 5.8], q))
        self.write("zero.types", "1 Si\n2 O\n")
        ok = self.write("ok.ioq", debye_file(t, pos, [4.0, 5.8], q))
        self.write("ok.types", "1 Fe2+\n2 O\n")
        cases = [  # arguments, text in the message
            (["sq", path, "--radiation", "xray"], "holds no unweighted partial"),
            (["sq", three, "--convention", "bhatia-thornton"], "binary"),
            (["sq", ok, "--b", "Xx=3"], "'Xx' is no atom type"),
            (["sq", ok, "--b", "1=6Li:0.5,7Li:0.4"], "add up to 0.9"),
            (["sq", ok, "--b", "1"], "--b '1' is not LABEL=VALUE"),
            (["sq", ok, "--energy", "10"], "neutrons take none"),
            (["sq", ok, "--radiation", "xray", "--energy", "nan"], "--energy wants"),
            (["sq", ok, "--radiation", "electron"], "is an ion"),
            (["sq", ok, "--format", "gr", "-o", "x.gr"], "use it with ioq gr"),
            (["sq", ok, "--format", "xy"], "give -o OUT"),
            (["sq", ok, "--format", "sq", "-o", "x.sq", "--wavelength", "1"], "2 theta"),
            (["gr", ok, "--rmax", "5", "--qdamp", "-1"], "--qdamp wants"),
            (["gr", ok, "--rmax", "5", "--format", "xy", "-o", "a.xy", "--column", "X"],
             "no such function"),
            (["sq", ok, "--plot", "a.png", "--xlim", "3", "1"], "--xlim wants LO below HI"),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                status, out, err = self.tool(IOQ, *args)
                self.assertEqual((status, out), (1, ""), err)
                self.assertNotIn("Traceback", err)
                last = err.splitlines()[-1]
                self.assertTrue(last.startswith("ioq: "), err)
                self.assertIn(text, last)

    def test_all_writes_both_radiations_and_their_plots(self):
        path, pos, t, q = self.model()
        self.write("m.types", "1 Si\n2 O\n")
        status, out, err = self.tool(IOQ, "all", path, "-o", "res", "--rmax", "8")
        self.assertEqual(status, 0, err)
        for rad in ("neutron", "xray"):
            for ext in ("sq", "fq", "gr"):
                with self.subTest(rad=rad, ext=ext):
                    meta, names, rows = read_pdf_file(os.path.join(self.dir, "res",
                                                                   f"m_{rad}.{ext}"))
                    self.assertEqual(meta["stype"], "N" if rad == "neutron" else "X")
                    self.assertTrue(np.all(np.isfinite(rows)))
                    with open(os.path.join(self.dir, "res", f"m_{rad}_{ext}.png"), "rb") as fh:
                        self.assertEqual(fh.read(8), b"\x89PNG\r\n\x1a\n")


def out_of(run):
    status, out, err = run
    assert status == 0, err
    return out


def pair_sums(pos, q):
    """sin(Q r_ij)/(Q r_ij) of every ordered pair i != j, one row per pair, with (i, j)."""
    n = len(pos)
    ii, jj = np.nonzero(~np.eye(n, dtype=bool))
    r = np.linalg.norm(pos[ii] - pos[jj], axis=1)
    return ii, jj, np.sinc(np.outer(r, q) / np.pi)


class HandWorkedTest(Scratch):
    """Each formula of the guide's section 8 evaluated here from its definition, not from the
    module's functions, against what ioq writes."""

    def model(self, types, b, n=30, seed=3, q=None, u=0.0, dmin=1.6, radius=5.5, name="m"):
        rng = np.random.default_rng(seed)
        pos = random_sphere(n, radius, rng, dmin=dmin)
        t = np.array([types[k % len(types)] for k in range(n)])
        q = np.arange(0.0, 20.0, 0.05) if q is None else q
        path = self.write(f"{name}.ioq", debye_file(t, pos, list(b), q, u=u))
        return path, pos, t, q

    def test_bhatia_thornton_from_number_and_concentration_fluctuations(self):
        # (1/N) sum_ij of n_i n_j, n_i c_j' and c_i' c_j' (n = 1, c' = theta_1 - c1) times
        # sin(Q r_ij)/(Q r_ij), the self terms included: the definitions of S_NN, S_NC, S_CC.
        path, pos, t, q = self.model((1, 2, 2), (4.15, 5.8))
        n = len(t)
        c1 = np.mean(t == 1)
        c2 = 1 - c1
        dc = (t == 1) - c1
        ii, jj, s = pair_sums(pos, q)
        want = {"S_NN(Q)": 1 + s.sum(0) / n,
                "S_NC(Q)": (dc[jj][:, None] * s).sum(0) / n,  # self terms sum dc_i = 0
                "S_CC(Q)": (np.sum(dc ** 2) + ((dc[ii] * dc[jj])[:, None] * s).sum(0)) / n}
        bt, _ = self.table("sq", path, "--convention", "bhatia-thornton")
        # The partials are stored in single precision, relative to S_NN's own scale.
        tol = 1e-6 * np.abs(want["S_NN(Q)"]).max()
        for name, w in want.items():
            with self.subTest(name):
                np.testing.assert_allclose(bt[name], w, rtol=0, atol=tol)
        # The same three from the Ashcroft-Langreth partials, written out for a binary.
        al, _ = self.table("sq", path, "--convention", "ashcroft-langreth")
        a11, a22, a12 = al["S_1-1(Q)"], al["S_2-2(Q)"], al["S_1-2(Q)"]
        r = math.sqrt(c1 * c2)
        from_al = {"S_NN(Q)": c1 * a11 + c2 * a22 + 2 * r * a12,
                   "S_NC(Q)": c1 * c2 * (a11 - a22 + (c2 - c1) / r * a12),
                   "S_CC(Q)": c1 * c2 * (c2 * a11 + c1 * a22 - 2 * r * a12)}
        for name, w in from_al.items():
            with self.subTest("from Ashcroft-Langreth", name=name):
                np.testing.assert_allclose(bt[name], w, rtol=0, atol=tol)
        # Ashcroft-Langreth from Faber-Ziman by hand; the self term c1 c2 of S_CC at large Q.
        fz, _ = self.table("sq", path)
        for name, w in (("S_1-1(Q)", 1 + c1 * (fz["S_1-1(Q)"] - 1)),
                        ("S_2-2(Q)", 1 + c2 * (fz["S_2-2(Q)"] - 1)),
                        ("S_1-2(Q)", r * (fz["S_1-2(Q)"] - 1))):
            with self.subTest("AL from FZ", name=name):
                np.testing.assert_allclose(al[name], w, rtol=0, atol=tol)
        self.assertAlmostEqual(np.sum(dc ** 2) / n, c1 * c2, places=12)

    def test_keen_forms_normalisations_and_the_complex_product(self):
        path, pos, t, q = self.model((1, 2, 2), (4.15, 5.8))
        self.write("m.types", "1 Cu\n2 O\n")
        c = np.array([np.mean(t == 1), np.mean(t == 2)])
        gd = complex(pt.Gd.neutron.b_c, pt.Gd.neutron.b_c_i)
        e = 8.9  # keV, just above the Cu K edge: f' and f'' of Cu are large
        f1cu, f2cu = pt.Cu.xray.scattering_factors(energy=e)
        f1o, f2o = pt.O.xray.scattering_factors(energy=e)
        fcu, fo = pt.Cu.xray.f0(q) + f1cu - 29, pt.O.xray.f0(q) + f1o - 8
        cases = [  # options, <x>^2, <x^2>, product of x_1 x_2 written out, unit factor
            (["--radiation", "neutron"], (0.1 * (c[0] * 4.15 + c[1] * 5.8)) ** 2,
             0.01 * (c[0] * 4.15 ** 2 + c[1] * 5.8 ** 2), 0.01 * 4.15 * 5.8),
            (["--b", "1=Gd"], 0.01 * ((c[0] * gd.real + c[1] * 5.8) ** 2 + (c[0] * gd.imag) ** 2),
             0.01 * (c[0] * (gd.real ** 2 + gd.imag ** 2) + c[1] * 5.8 ** 2),
             0.01 * gd.real * 5.8),
            (["--radiation", "xray", "--energy", str(e)],
             (c[0] * fcu + c[1] * fo) ** 2 + (c[0] * f2cu + c[1] * f2o) ** 2,
             c[0] * (fcu ** 2 + f2cu ** 2) + c[1] * (fo ** 2 + f2o ** 2),
             fcu * fo + f2cu * f2o),
        ]
        for opts, mean2, meansq, prod in cases:
            with self.subTest(opts=opts):
                f, _ = self.table("fq", path, *opts)
                s, _ = self.table("sq", path, *opts)
                s2, _ = self.table("sq", path, "--norm", "mean-square", *opts)
                fz, _ = self.table("sq", path)  # radiation-free partials
                big = np.abs(f["F(Q)"]).max()
                np.testing.assert_allclose(f["F_Cu-O(Q)"], 2 * c[0] * c[1] * prod
                                           * (fz["S_Cu-O(Q)"] - 1), rtol=1e-6, atol=1e-7 * big)
                for name, got, want in (
                        ("S(Q)-1", f["S(Q)-1"], f["F(Q)"] / mean2),
                        ("S'(Q)-1", f["S'(Q)-1"], f["F(Q)"] / meansq),
                        ("Q(S(Q)-1)", f["Q(S(Q)-1)"], q * f["F(Q)"] / mean2),
                        ("S(Q), <x>^2", s["S(Q)"], 1 + f["F(Q)"] / mean2),
                        ("S(Q), <x^2>", s2["S(Q)"], 1 + f["F(Q)"] / meansq)):
                    with self.subTest(name):
                        np.testing.assert_allclose(got, want, rtol=2e-7,
                                                   atol=2e-7 * np.abs(want).max())
        # D(r) = W G_PDF(r): W = <b>^2 in barn for neutrons, 1 for Q-dependent factors.
        for opts, w in ((["--radiation", "neutron"], cases[0][1]),
                        (["--radiation", "xray"], 1.0)):
            with self.subTest("D = W G_PDF", opts=opts):
                g, _ = self.table("gr", path, "--rmax", "6", "--dr", "0.1", "--window",
                                  "none", *opts)
                np.testing.assert_allclose(g["D(r)"], w * g["G_PDF(r)"], rtol=1e-6,
                                           atol=1e-7 * np.abs(g["D(r)"]).max())

    def test_pdf_of_one_distance_with_qdamp_and_qbroad(self):
        # Two atoms at d with sigma on their distance: S(Q) - 1 = sinc(Qd) exp(-Q^2 sigma^2/2),
        # whose transform is [N(r - d) - N(r + d)] / d, N a normal density of width sigma.
        d, sigma = 2.5, 0.15
        q = np.arange(0.0, 30.0, 0.01)
        path = self.write("two.ioq", debye_file(np.array([1, 1]), np.array(
            [[0, 0, 0], [0, 0, d]], float), [5.0], q, u=sigma))

        def normal(x, s):
            return np.exp(-0.5 * (x / s) ** 2) / (s * math.sqrt(2 * math.pi))

        def g(*opts):
            cols, _ = self.table("gr", path, "--rmax", "6", "--dr", "0.01", "--window", "none",
                                 *opts)
            return cols["r"], cols["G_PDF(r)"]

        r, plain = g("--qdamp", "0")
        exact = (normal(r - d, sigma) - normal(r + d, sigma)) / d
        np.testing.assert_allclose(plain, exact, atol=2e-3 * exact.max())
        qdamp = 0.08
        r, damped = g("--qdamp", str(qdamp))
        np.testing.assert_allclose(damped, exact * np.exp(-0.5 * (qdamp * r) ** 2),
                                   atol=2e-3 * exact.max())
        # Qbroad: the peak at d widens to sqrt(sigma^2 + Qbroad^2 d^2), its area kept; with
        # Qdamp as well the broadened peak is then damped by the envelope.
        qb = 0.04
        near = np.abs(r - d) < 1.0
        area0 = np.trapz(plain[near], r[near])
        for opts, scale in ((["--qbroad", str(qb)], 1.0),
                            (["--qbroad", str(qb), "--qdamp", str(qdamp)], None)):
            with self.subTest(opts=opts):
                r, b = g(*opts)
                if scale is None:
                    b = b / np.exp(-0.5 * (qdamp * r) ** 2)
                area = np.trapz(b[near], r[near])
                self.assertAlmostEqual(area, area0, delta=2e-3 * area0)
                width = math.sqrt(np.trapz(b[near] * (r[near] - d) ** 2, r[near]) / area)
                self.assertAlmostEqual(width, math.hypot(sigma, qb * d), delta=0.01 * width)

    def test_first_look_files_hold_the_functions_they_name(self):
        path, pos, t, q = self.model((1, 2), (3.63, 9.577), n=40, radius=6.5)
        self.write("m.types", "1 Na\n2 Cl\n")
        status, out, err = self.tool(IOQ, "all", path, "-o", "res", "--rmax", "8")
        self.assertEqual(status, 0, err)
        for rad in ("neutron", "xray"):
            with self.subTest(rad):
                base = os.path.join(self.dir, "res", "m_" + rad)
                _, _, sq = read_pdf_file(base + ".sq")
                _, _, fq = read_pdf_file(base + ".fq")
                _, _, gr = read_pdf_file(base + ".gr")
                with open(base + ".gr") as fh:
                    qmin = float(re.search(r"^qmin = (\S+)$", fh.read(), re.M).group(1))
                np.testing.assert_allclose(fq[:, 0], sq[:, 0])
                np.testing.assert_allclose(fq[:, 1], sq[:, 0] * (sq[:, 1] - 1), rtol=1e-7,
                                           atol=1e-8 * np.abs(fq[:, 1]).max())
                keep = sq[:, 0] >= qmin - 1e-6  # the header gives Q to 6 digits
                qq, h = sq[keep, 0], sq[keep, 1] - 1
                want = [(2 / np.pi) * np.trapz(qq * h * np.sin(qq * rr), qq) for rr in gr[:, 0]]
                np.testing.assert_allclose(gr[:, 1], want, rtol=1e-6,
                                           atol=1e-7 * np.abs(want).max())
                # G(r) = 4 pi rho r (g(r) - 1), rho from --density here
                cols, _ = self.table("gr", path, "--rmax", "8", "--density", "0.04",
                                     "--qmin", str(qmin - 1e-6), "--window", "none",
                                     *(["--radiation", "xray"] if rad == "xray" else []))
                np.testing.assert_allclose(cols["G_PDF(r)"], 4 * np.pi * 0.04 * cols["r"]
                                           * (cols["g(r)"] - 1), rtol=1e-6,
                                           atol=1e-5 * np.abs(want).max())  # CSV's 8 digits
                np.testing.assert_allclose(np.interp(cols["r"], gr[:, 0], gr[:, 1]),
                                           cols["G_PDF(r)"], rtol=1e-5,
                                           atol=1e-6 * np.abs(want).max())

    def test_powder_pattern_in_two_theta(self):
        path, pos, t, q = self.model((1, 2), (4.15, 5.8))
        c = np.array([np.mean(t == 1), np.mean(t == 2)])
        lam = 1.5406
        cols, _ = self.table("sq", path, "--wavelength", str(lam))
        f, _ = self.table("fq", path)
        theta = np.radians(cols["2theta"] / 2)
        np.testing.assert_allclose(cols["Q"], 4 * np.pi * np.sin(theta) / lam, rtol=2e-7)
        # Worked by hand: Q = 2 1/A at Cu K-alpha lies at 2 theta = 2 asin(0.245194) = 28.3866
        k = int(np.argmin(np.abs(cols["Q"] - 2.0)))
        self.assertAlmostEqual(cols["2theta"][k], 28.3866, places=3)
        k = np.searchsorted(f["Q"], cols["Q"])
        self_term = 0.01 * (c[0] * 4.15 ** 2 + c[1] * 5.8 ** 2)
        np.testing.assert_allclose(cols["I(2theta)"], self_term + f["F(Q)"][k], rtol=1e-6)

    def test_five_types_in_every_radiation_and_convention(self):
        labels = ("Si", "O", "Na", "Cl", "Ca")
        b = (4.1491, 5.803, 3.63, 9.577, 4.70)
        q = np.arange(2500) * 0.01
        path, pos, t, q = self.model((1, 2, 3, 4, 5, 2, 2), b, n=40, radius=7.0, q=q,
                                     name="five")
        self.write("five.types", "".join(f"{k + 1} {e}\n" for k, e in enumerate(labels)))
        c = np.array([np.mean(t == k) for k in range(1, 6)])
        factors = {"neutron": [0.1 * v for v in b],
                   "xray": [getattr(pt, e).xray.f0(q) for e in labels],
                   "electron": None}
        for rad in zd.RADIATIONS:
            for conv in ("faber-ziman", "ashcroft-langreth"):
                with self.subTest(radiation=rad, convention=conv):
                    opts = ["--radiation", rad, "--convention", conv]
                    f, _ = self.table("fq", path, *opts)
                    s, _ = self.table("sq", path, *opts)
                    self.assertEqual(len(s), 2 + 15)  # Q, S(Q), 15 pairs
                    self.assertEqual(len(f["Q"]), 2500)
                    if factors[rad] is not None:
                        fa = [np.broadcast_to(np.asarray(factors[rad][k - 1], complex), q.shape)
                              for k in t]
                        want = debye(pos, fa, q)
                        np.testing.assert_allclose(f["F(Q)"], want, rtol=3e-5,
                                                   atol=3e-5 * np.abs(want).max())
                    if conv == "ashcroft-langreth":
                        fz, _ = self.table("sq", path, "--radiation", rad)
                        for a, bb in ((1, 1), (2, 5), (3, 4)):
                            name = f"S_{labels[a - 1]}-{labels[bb - 1]}(Q)"
                            w = (a == bb) + math.sqrt(c[a - 1] * c[bb - 1]) * (fz[name] - 1)
                            np.testing.assert_allclose(s[name], w, rtol=1e-6, atol=1e-6)
                    g, _ = self.table("gr", path, *opts, "--rmax", "10", "--density", "0.05")
                    self.assertTrue(np.all(np.isfinite(g["g(r)"])))
                    self.assertEqual(sum(k.startswith("g_") for k in g), 15)
            with self.subTest(radiation=rad, convention="bhatia-thornton"):
                status, out, err = self.tool(IOQ, "sq", path, "--radiation", rad,
                                             "--convention", "bhatia-thornton")
                self.assertEqual((status, out), (1, ""))
                self.assertIn("binary", err)

    def test_null_scattering_alloy_reweights_to_other_radiations(self):
        # Ti (b < 0) and Zr (b > 0) in the proportion where <b> = 0: 2 Ti per Zr with
        # b_Ti = -b_Zr / 2 exactly, and the real lengths, where <b> is 0 only to rounding.
        for b in ((-3.5, 7.0), (-3.438, 6.876)):
            with self.subTest(b=b):
                path, pos, t, q = self.model((1, 1, 2), b, name="tizr")
                self.write("tizr.types", "1 Ti\n2 Zr\n")
                for rad, fac in (("xray", {1: pt.Ti.xray.f0(q), 2: pt.Zr.xray.f0(q)}),
                                 ("electron", None)):
                    for conv in zd.CONVENTIONS:
                        cols, _ = self.table("sq", path, "--radiation", rad, "--convention",
                                             conv)
                        self.assertTrue(np.all(np.isfinite(cols["S(Q)"])), (rad, conv))
                    if fac:
                        fa = [np.asarray(fac[k], complex) for k in t]
                        want = debye(pos, fa, q)
                        f, _ = self.table("fq", path, "--radiation", rad)
                        np.testing.assert_allclose(f["F(Q)"], want, rtol=3e-5,
                                                   atol=3e-5 * np.abs(want).max())
                # Neutrons: F(Q) is defined, S(Q) over <b>^2 is not; over <b^2> it is.
                f, _ = self.table("fq", path, "--radiation", "neutron")
                want = debye(pos, [0.1 * b[k - 1] for k in t], q)
                np.testing.assert_allclose(f["F(Q)"], want, rtol=3e-5,
                                           atol=3e-5 * np.abs(want).max())
                self.assertNotIn("S(Q)-1", f)
                s2, _ = self.table("sq", path, "--norm", "mean-square", "--radiation", "neutron")
                meansq = 0.01 * np.mean([b[k - 1] ** 2 for k in t])
                np.testing.assert_allclose(s2["S(Q)"], 1 + want / meansq, rtol=3e-5,
                                           atol=3e-5 * np.abs(want / meansq).max())
                for args in (["sq", "--radiation", "neutron"],
                             ["sq", "--radiation", "neutron", "--convention", "bhatia-thornton"],
                             ["gr", "--radiation", "neutron", "--rmax", "5"],
                             ["fq", "--radiation", "neutron", "--format", "fq", "-o", "x.fq"]):
                    with self.subTest(args=args):
                        status, out, err = self.tool(IOQ, args[0], path, *args[1:])
                        self.assertEqual((status, out), (1, ""), err)
                        last = err.splitlines()[-1]
                        self.assertTrue(last.startswith("ioq: "), err)
                        self.assertIn("null-scattering", last)
                        self.assertIn("<b>^2 (the Faber-Ziman normalisation)", last)
                # What divides by <b>^2 is left out, with a word; never written as inf or nan.
                f2, err = self.table("fq", path, "--norm", "mean-square")
                self.assertEqual([k for k in f2 if "S" in k], ["S'(Q)-1"])
                self.assertIn("S(Q)-1, Q(S(Q)-1) left out", err)
                self.assertTrue(all(np.all(np.isfinite(v)) for v in f2.values()))
                status, out, err = self.tool(IOQ, "all", path, "-o", "res", "--rmax", "6")
                self.assertEqual(status, 0, err)
                self.assertIn("neutron: <b>", err)
                self.assertEqual(sorted(os.listdir(os.path.join(self.dir, "res"))),
                                 sorted(["tizr_neutron_F.csv", "tizr_neutron_fq.png"]
                                        + [f"tizr_xray{x}" for x in (".sq", ".fq", ".gr",
                                                                     "_sq.png", "_fq.png",
                                                                     "_gr.png")]))
                with open(os.path.join(self.dir, "res", "tizr_neutron_F.csv")) as fh:
                    self.assertEqual(fh.read(), out_of(self.tool(IOQ, "fq", path)))
                shutil.rmtree(os.path.join(self.dir, "res"))


class ProgramRunTest(Scratch):
    def test_nacl_example_in_every_radiation_and_convention(self):
        binary = find_zalmor()
        if not binary:
            self.skipTest("no zalmor binary (set ZALMOR_BINARY)")
        examples = os.path.join(HERE, os.pardir, "examples")
        for name in ("nacl.coords", "nacl.answers", "nacl.types"):
            shutil.copy(os.path.join(examples, name), self.dir)
        with open(os.path.join(self.dir, "nacl.answers")) as fh:
            subprocess.run([binary], stdin=fh, cwd=self.dir, check=True,
                           stdout=subprocess.DEVNULL)
        path = os.path.join(self.dir, "nacl.ioq")
        run = zi.load(path)
        self.assertEqual([b.name for b in run], ["Na-Na", "Cl-Cl", "Na-Cl", "Total"])
        for rad in zd.RADIATIONS:
            for conv in zd.CONVENTIONS:
                with self.subTest(radiation=rad, convention=conv):
                    d = zd.derive(run, radiation=rad, convention=conv)
                    self.assertEqual(len(d.q), 2500)
                    self.assertTrue(np.all(np.isfinite(d.total_s)))
        status, out, err = self.tool(IOQ, "all", path, "-o", "all")
        self.assertEqual(status, 0, err)
        self.assertIn("all/nacl_xray_gr.png", out)


if __name__ == "__main__":
    unittest.main()
