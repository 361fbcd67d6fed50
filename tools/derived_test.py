"""Tests of the derived functions of tools/ioq (S(Q), F(Q), G(r), X-ray) against analytic
cases, and of tools/tocoords; with a zalmor binary, whole runs from a structure file to
S(Q) and g(r).

Run: PYTHONPATH=python /usr/bin/python3 tools/derived_test.py (PYTHONPATH not needed with the
package installed); ZALMOR_BINARY=path/to/zalmor selects the binary.
"""

import contextlib
import io
import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # the sibling test modules
import zalmor  # noqa: E402
import zalmor.derived as zd  # noqa: E402
import zalmor.io as zi  # noqa: E402
from ioq_test import find_zalmor  # noqa: E402
from zalmor import ioq, tocoords  # noqa: E402

IOQ = os.path.join(HERE, "ioq")
TOCOORDS = os.path.join(HERE, "tocoords")


TOOLS = {IOQ: ioq, TOCOORDS: tocoords}


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def debye_file(types, pos, b, q, nnorm=None, meta=None, title="Zalmor: model.coords", u=0.0):
    """The .ioq text zalmor writes for a model, from a double-precision Debye sum: block
    parameters, labels and layout as the program has them; u the one thermal factor of
    every pair (0: none)."""
    types = np.asarray(types)
    pos = np.asarray(pos, dtype=float)
    q = np.asarray(q, dtype=np.float32)
    n = int(types.max())
    natoms = len(types)
    nnorm = float(natoms if nnorm is None else nnorm)
    d = np.sqrt(((pos[:, None, :] - pos[None, :, :]) ** 2).sum(-1))
    iu = np.triu_indices(natoms, 1)
    r, ta, tb = d[iu], types[iu[0]], types[iu[1]]
    pairs = zi.partial_pairs(n)
    counts = np.bincount(types, minlength=n + 1)[1:]
    frac = counts / natoms
    thermal = np.exp(-0.5 * (q.astype(float) * u) ** 2)

    def pair_sum(mask):
        # A crystal has few distinct distances: each is summed once, times its count.
        dist, many = np.unique(np.round(r[mask], 9), return_counts=True)
        out = np.zeros(len(q))
        for k in range(0, len(q), 64):
            qr = q[k : k + 64, None].astype(float) * dist[None, :]
            out[k : k + 64] = np.sinc(qr / np.pi) @ many
        return out * thermal

    ioqs, limits = [], []
    total, total_limit = np.zeros(len(q)), 0.0
    for a, c in pairs:
        w = b[a - 1] * b[c - 1] * 0.01 / nnorm
        if a == c:
            s = 2 * pair_sum((ta == a) & (tb == a))
            lim = w * counts[a - 1] * (counts[a - 1] - 1)
        else:
            s = pair_sum(((ta == a) & (tb == c)) | ((ta == c) & (tb == a)))
            lim = w * counts[a - 1] * counts[c - 1]
        ioqs.append(w * s)
        limits.append(lim)
        total += (1 if a == c else 2) * w * s
        total_limit += (1 if a == c else 2) * lim
    ioqs.append(total)
    limits.append(total_limit)
    labels = [f"i{a}{c}(Q)" for a, c in pairs] + ["Total i(Q)"]

    text = f"# zalmor-ioq {2 if meta else 1}\n"
    for key, value in meta or []:
        text += f"# meta {key} {quote(value)}\n"
    for k, (label, y, lim) in enumerate(zip(labels, ioqs, limits)):
        a, c = pairs[min(k, len(pairs) - 1)]
        ut = [0.0] * 30
        ut[0], ut[1], ut[2], ut[16] = len(labels), n, 1.0, lim
        ut[3], ut[4] = frac[a - 1], frac[c - 1]
        ut[20 : 20 + min(n, 10)] = b[:10]
        f32 = lambda v: str(np.float32(v))
        text += ("\n\n" if k else "") + f"# block {k + 1}\n"
        text += f"# field x float32[] {len(q) + 1} rows 0\n# field y float32[] {len(q)} rows\n"
        text += f"# field e float32[] {len(q)} rows\n"
        text += f'# field ylabel string 40 "{label:<40}"\n'
        text += "# field ut float32[] 30 " + " ".join(f32(v) for v in ut) + "\n"
        text += f'# field title string 80 "{title:<80}"\n'
        text += f"# rows {len(q)} columns x y e\n"
        text += "".join(f"{f32(qq)} {f32(yy)} 0\n" for qq, yy in zip(q, y))
    return text


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="derived_test.")
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as fh:
            fh.write(text)
        return path

    def tool(self, tool, *args):
        """Runs a tool's main() in this process, in the scratch folder (starting Python with
        numpy and ASE for every case would take most of the time); (status, stdout, stderr)."""
        out, err = io.StringIO(), io.StringIO()
        here = os.getcwd()
        os.chdir(self.dir)
        try:
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                try:
                    status = TOOLS[tool].main(list(args))
                except SystemExit as e:
                    status = e.code
        finally:
            os.chdir(here)
        return status, out.getvalue(), err.getvalue()

    def table(self, *args):
        status, out, err = self.tool(IOQ, *args)
        self.assertEqual(status, 0, err)
        header = out.splitlines()[0].split(",")
        data = np.loadtxt(io.StringIO(out), delimiter=",", skiprows=1, ndmin=2)
        return {name: data[:, k] for k, name in enumerate(header)}, err


def read(path):
    with open(path) as fh:
        return fh.read()


def random_sphere(n, radius, rng, dmin=0.0):
    """n points uniform in a sphere, no two closer than dmin."""
    pts = []
    while len(pts) < n:
        p = rng.uniform(-radius, radius, 3)
        if p @ p > radius * radius:
            continue
        if dmin and pts and (((np.array(pts) - p) ** 2).sum(1) < dmin * dmin).any():
            continue
        pts.append(p)
    return np.array(pts)


class AnalyticTest(Scratch):
    def test_dimer(self):
        # Two atoms of types 1 and 2 at d: (1/N) sum_{i != j} = sinc(Qd), so
        # S_12 = 1 + sinc / (c1 c2) = 1 + 4 sinc... halved by the unlike partial counting each
        # pair once: S_12 = 1 + 2 sinc(Qd); S_11 = S_22 = 1 (no pairs).
        d, b = 2.5, [5.0, 10.0]
        q = np.arange(0.0, 40.0, 0.02)
        path = self.write("dimer.ioq", debye_file([1, 2], [[0, 0, 0], [0, 0, d]], b, q))
        cols, err = self.table("sq", path)
        self.assertIn("N = 2 atoms", err)
        sinc = np.sinc(q * d / np.pi)
        np.testing.assert_allclose(cols["S_1-2(Q)"], 1 + 2 * sinc, atol=1e-6)
        np.testing.assert_allclose(cols["S_1-1(Q)"], 1.0, atol=1e-12)
        mean_b = 7.5
        np.testing.assert_allclose(cols["S(Q)"], 1 + 2 * 0.25 * 50 * 2 * sinc / mean_b ** 2,
                                   atol=1e-6)
        cols, _ = self.table("fq", path)  # barn per atom: 0.01 * 2 b1 b2 / 2 * sinc
        np.testing.assert_allclose(cols["F(Q)"], 0.5 * sinc, atol=1e-7)
        np.testing.assert_allclose(cols["F(Q)"], cols["F_1-1(Q)"] + cols["F_2-2(Q)"]
                                   + cols["F_1-2(Q)"], atol=1e-9)
        # D(r) = 0.5 delta(r - d) / d: a peak at d whose area is 0.5 / d.
        cols, err = self.table("gr", path, "--rmax", "5", "--dr", "0.01")
        r, dr = cols["r"], cols["D(r)"]
        self.assertAlmostEqual(r[np.argmax(dr)], d, delta=0.011)
        near = np.abs(r - d) < 0.5
        # (Qmax 40 cuts the peak's sin(40 x)/x tails: 1.5% of the area lies beyond 0.5 A.)
        self.assertAlmostEqual(np.trapz(dr[near], r[near]), 0.5 / d, delta=0.015 / d)
        self.assertIn("no density", err)
        for command, extra in (("sq", []), ("fq", []), ("gr", ["--rmax", "5", "--density", "0.1"]),
                               ("xray", ["--elements", "Si,O"])):
            with self.subTest(plot=command):
                png = os.path.join(self.dir, command + ".png")
                status, out, err = self.tool(IOQ, command, path, "--plot", png, *extra)
                self.assertEqual((status, out), (0, ""), err)
                with open(png, "rb") as fh:
                    self.assertEqual(fh.read(8), b"\x89PNG\r\n\x1a\n")
        # With nnorm 1 the stored values double; --nnorm undoes that.
        path1 = self.write("dimer1.ioq", debye_file([1, 2], [[0, 0, 0], [0, 0, d]], b, q, nnorm=1))
        cols, err = self.table("sq", path1, "--nnorm", "1")
        self.assertIn("N = 2 atoms", err)
        np.testing.assert_allclose(cols["S_1-2(Q)"], 1 + 2 * sinc, atol=1e-6)

    def test_ideal_gas_tends_to_one_and_the_sphere_term_takes_the_small_angle_peak(self):
        rng = np.random.default_rng(7)
        radius, n = 15.0, 300
        pos = random_sphere(n, radius, rng)
        types = 1 + (np.arange(n) % 3 == 0)  # 200 of type 1, 100 of type 2
        q = np.arange(0.02, 12.0, 0.02)
        path = self.write("gas.ioq", debye_file(types, pos, [4.0, -2.0], q))
        plain, _ = self.table("sq", path)
        cols, err = self.table("sq", path, "--sphere", str(radius))
        self.assertIn("N = 300 atoms", err)
        low = q < 0.3
        self.assertGreater(plain["S(Q)"][low].max(), 50)  # the model's own shape
        # What is left at low Q is the model's own fluctuation, small beside the peak.
        self.assertLess(np.abs(cols["S(Q)"][low] - 1).max(),
                        0.05 * np.abs(plain["S(Q)"][low] - 1).max())
        high = q > 2
        for name in ("S(Q)", "S_1-1(Q)", "S_2-2(Q)", "S_1-2(Q)"):
            with self.subTest(name):
                s = cols[name][high]
                self.assertLess(abs(s.mean() - 1), 0.02)
                self.assertLess(np.abs(s - 1).max(), 0.5)
                np.testing.assert_allclose(plain[name][q > 4], s[q[high] > 4], atol=0.02)

    def test_nnorm_and_types_from_the_metadata(self):
        q = np.arange(0.1, 5, 0.1)
        pos = [[0, 0, 0], [0, 0, 2.0], [0, 2.0, 0]]
        meta = [("program", "zalmor"), ("model_title", "three atoms; types 1=Si 2=O"),
                ("answer", "model"), ("answer", "1"), ("answer", "6"), ("answer", "")]
        path = self.write("m.ioq", debye_file([1, 2, 2], pos, [4.1, 5.8], q, nnorm=6, meta=meta))
        run = zi.load(path)
        self.assertEqual([b.name for b in run], ["Si-Si", "O-O", "Si-O", "Total"])
        res = zalmor.read_ioq(path)
        self.assertEqual((res.natoms, res.nnorm, res.elements), (3, 6.0, ["Si", "O"]))
        partial = zd.derive(res).fz[(2, 2)]
        d = 2 * math.sqrt(2)
        np.testing.assert_allclose(partial, 1 + 2 * np.sinc(q * d / np.pi) * 3 / 4, atol=1e-5)
        # The same run without its answers: the types' zero-Q limits disagree under nnorm = N.
        bare = self.write("bare.ioq", debye_file([1, 2, 2], pos, [4.1, 5.8], q, nnorm=6))
        status, _, err = self.tool(IOQ, "sq", bare)
        self.assertEqual(status, 0)
        self.assertIn("disagree on N", err)
        cols, err = self.table("sq", bare, "--nnorm", "6")
        self.assertNotIn("disagree", err)
        np.testing.assert_allclose(cols["S_2-2(Q)"], partial, atol=1e-6)

    def test_xray_reweighting_equals_the_debye_sum_with_form_factors(self):
        rng = np.random.default_rng(3)
        pos = random_sphere(40, 6.0, rng, dmin=1.5)
        types = 1 + (np.arange(40) % 4 == 0)
        q = np.arange(0.0, 20.0, 0.05)
        path = self.write("x.ioq", debye_file(types, pos, [4.15, 5.8], q))
        self.write("x.types", "1 Si\n2 O  # oxygen\n")
        cols, _ = self.table("xray", path)
        import periodictable

        f = {1: periodictable.Si.xray.f0(q), 2: periodictable.O.xray.f0(q)}
        direct = np.zeros(len(q))
        for i in range(40):
            for j in range(40):
                if i != j:
                    rij = np.linalg.norm(pos[i] - pos[j])
                    direct += f[types[i]] * f[types[j]] * np.sinc(q * rij / np.pi)
        direct /= 40
        np.testing.assert_allclose(cols["i_X(Q)"], direct, rtol=2e-5, atol=1e-4 * direct.max())
        np.testing.assert_allclose(cols["S_X(Q)"][q > 0], (1 + direct / (
            (0.75 * f[1] + 0.25 * f[2]) ** 2))[q > 0], rtol=1e-4, atol=1e-4)
        same, _ = self.table("xray", path, "--elements", "Si,O")
        np.testing.assert_array_equal(same["i_X(Q)"], cols["i_X(Q)"])

    def test_refusals(self):
        q = np.arange(0.1, 5, 0.1)
        path = self.write("z.ioq", debye_file([1, 2], [[0, 0, 0], [0, 0, 2]], [0.0, 5.0], q))
        cases = [  # arguments, text in stderr
            (["xray", path], "--elements"),
            (["xray", path, "--elements", "Si"], "1 elements given for 2"),
            (["xray", path, "--elements", "Si,Qq"], "'Qq' is not an element"),
            (["sq", path, "--bbar", "1,2,3"], "3 values for 2 atom types"),
            (["sq", path, "--sphere"], "names no sphere radius"),
            (["xray", path, "--elements", "Si,O"], "b_bar 0"),
            (["gr", path, "--rmax", "5", "--density", "0"], "--density wants"),
            (["sq", path, "--plot", os.path.join(self.dir, "s.pdf")], ".png or .svg"),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                status, out, err = self.tool(IOQ, *args)
                self.assertEqual((status, out), (1, ""))
                self.assertIn(text, err)
        self.write("bad.types", "1 Si\nO\n")
        status, _, err = self.tool(IOQ, "info", self.write("bad.ioq", read(path)))
        self.assertEqual(status, 1)
        self.assertIn("bad.types:2: expected", err)


def lattice_sphere(cell, basis, radius):
    """The points of a cubic lattice (cell edge, fractional basis) within radius of a
    lattice point, and the basis index of each."""
    k = np.arange(-int(radius / cell) - 1, int(radius / cell) + 2)
    grid = np.array(np.meshgrid(k, k, k, indexing="ij")).reshape(3, -1).T
    pos = ((grid[:, None, :] + np.asarray(basis)[None]) * cell).reshape(-1, 3)
    which = np.tile(np.arange(len(basis)), len(grid))
    inside = (pos ** 2).sum(1) < radius ** 2
    return pos[inside], which[inside]


class SphereOverlapTest(Scratch):
    """g(r) of a sphere cut from a bulk, with --sphere: the bulk's, not damped by the
    sphere's overlap."""

    def test_overlap_is_the_pair_density_behind_the_shape_term(self):
        # rho int 4 pi r^2 gamma(r) sin(Qr)/(Qr) dr = N Phi(QR)^2: the overlap that g(r) is
        # divided by must be the one whose transform --sphere takes out of S(Q).
        radius, rho = 9.0, 0.07
        natoms = rho * 4 / 3 * math.pi * radius ** 3
        r = np.linspace(0, 2 * radius, 20001)
        q = np.array([0.05, 0.2, 0.5, 0.9, 1.7])
        shape = [rho * np.trapz(4 * np.pi * r ** 2 * zd.sphere_overlap(r, radius)
                                * np.sinc(qq * r / np.pi), r) for qq in q]
        np.testing.assert_allclose(shape, natoms * zd.sphere_amplitude(q, radius) ** 2,
                                   rtol=1e-6, atol=1e-6 * natoms)
        self.assertEqual(zd.sphere_overlap(2.5 * radius, radius), 0.0)

    def test_coordination_numbers_of_crystal_spheres(self):
        # Each shell as the model holds it, per atom, divided by the overlap at the shell:
        # what an atom of the bulk has (12 in fcc; a sphere cut from rock salt holds its
        # two types unequally, so its own counts are the reference). Damped by the
        # overlap, g(r) gives 5 to 16% less here.
        q = np.arange(0.02, 20.001, 0.02)
        fcc = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
        salt = fcc + [[0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5], [0.5, 0.5, 0.5]]
        salt_types, salt_b = [1, 1, 1, 1, 2, 2, 2, 2], [3.63, 9.577]
        cases = [  # name, cell, basis, its types, b, radius, column, A, B, shell, bulk
            ("fcc", 3.6, fcc, [1, 1, 1, 1], [5.0], 14.0, "g(r)", 1, 1, (2.0, 3.1), 12),
            ("rock salt Na-Cl", 5.6, salt, salt_types, salt_b, 12.0, "g_1-2(r)", 1, 2,
             (2.2, 3.4), None),
            ("rock salt Cl-Cl", 5.6, salt, salt_types, salt_b, 12.0, "g_2-2(r)", 2, 2,
             (3.4, 4.4), None),
        ]
        for name, cell, basis, basis_types, b, radius, column, ta, tb, (lo, hi), bulk in cases:
            with self.subTest(name):
                pos, which = lattice_sphere(cell, basis, radius)
                types = np.asarray(basis_types)[which]
                rho = len(basis) / cell ** 3
                path = self.write("x.ioq", debye_file(types, pos, b, q, u=0.07))
                cols, err = self.table("gr", path, "--sphere", "--lorch", "--rmax", "5",
                                       "--dr", "0.01", "--density", str(rho))
                self.assertIn("sphere radius", err)
                r, g = cols["r"], cols[column]
                shell = (r > lo) & (r < hi)
                got = 4 * np.pi * rho * np.mean(types == tb) * np.trapz(
                    r[shell] ** 2 * g[shell], r[shell])
                d = np.sqrt(((pos[:, None] - pos[None]) ** 2).sum(-1))
                in_shell = (d > lo) & (d < hi)
                held = in_shell[types == ta][:, types == tb].sum() / np.sum(types == ta)
                shell_r = d[in_shell].mean()
                sphere = (3 * len(pos) / (4 * np.pi * rho)) ** (1 / 3)
                x = shell_r / sphere
                want = held / (1 - 3 * x / 4 + x ** 3 / 16)
                if bulk:
                    self.assertAlmostEqual(want, bulk, delta=0.01 * bulk)
                self.assertAlmostEqual(got, want, delta=0.01 * want)

    def test_every_column_is_corrected_and_r_stops_below_the_diameter(self):
        pos, which = lattice_sphere(4.0, [[0, 0, 0], [0.5, 0.5, 0.5]], 9.0)
        types = 1 + which
        q = np.arange(0.02, 16.001, 0.02)
        path = self.write("bcc.ioq", debye_file(types, pos, [4.0, 6.0], q, u=0.08))
        rho = 2 / 4.0 ** 3
        cols, err = self.table("gr", path, "--sphere", "--rmax", "30", "--dr", "0.05",
                               "--density", str(rho))
        diameter = 2 * (3 * len(pos) / (4 * np.pi * rho)) ** (1 / 3)
        r = cols["r"]
        self.assertLess(r[-1], diameter)
        self.assertGreater(r[-1], diameter - 0.05 - 1e-9)
        self.assertIn(f"r stops below {diameter:.6g} A", err)
        for name, v in cols.items():
            self.assertTrue(np.all(np.isfinite(v)), name)
        # D, G and g are one function in three normalisations, corrected alike.
        c = np.bincount(types)[1:] / len(types)
        x = 0.1 * c * np.array([4.0, 6.0])  # c_A b_A in barn^(1/2)
        np.testing.assert_allclose(cols["G(r)"], cols["D(r)"] / (4 * np.pi * rho * r),
                                   rtol=1e-6, atol=1e-9)
        # (the file keeps c in single precision)
        np.testing.assert_allclose(cols["g(r)"], 1 + cols["G(r)"] / x.sum() ** 2,
                                   atol=1e-6 * np.abs(cols["g(r)"]).max())
        weighted = sum(w * (cols[f"g_{p}(r)"] - 1) for p, w in
                       (("1-1", x[0] ** 2), ("2-2", x[1] ** 2), ("1-2", 2 * x[0] * x[1])))
        np.testing.assert_allclose(cols["G(r)"], weighted, atol=1e-6 * np.abs(weighted).max())


class ToCoordsTest(Scratch):
    def test_formats_types_and_answers(self):
        import ase
        import ase.io

        water = ase.Atoms("OH2OH2", positions=[[0, 0, 0], [0.96, 0, 0], [-0.24, 0.93, 0],
                                               [3, 3, 3], [3.96, 3, 3], [2.76, 3.93, 3]],
                          cell=[8, 8, 8], pbc=True)
        dump = ("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n6\nITEM: BOX BOUNDS pp pp pp\n"
                "0 8\n0 8\n0 8\nITEM: ATOMS id type x y z\n"
                + "".join(f"{k + 1} {1 if a.symbol == 'H' else 2} {a.x} {a.y} {a.z}\n"
                          for k, a in enumerate(water)))
        self.write("w.dump", dump)
        for fmt, name in (("extxyz", "w.xyz"), ("cif", "w.cif"), ("proteindatabank", "w.pdb"),
                          ("vasp", "POSCAR"), ("lammps-data", "w.data"),
                          ("lammps-data", "full.data"), ("rmc6f", "w.rmc6f"),
                          ("lammps-dump-text", "w.dump")):
            with self.subTest(name):
                if name == "full.data":
                    ase.io.write(os.path.join(self.dir, name), water, format=fmt,
                                 atom_style="full")
                elif fmt != "lammps-dump-text":
                    ase.io.write(os.path.join(self.dir, name), water, format=fmt)
                extra = ["--format", fmt, "--lammps-types", "H,O"] if fmt.startswith(
                    "lammps") else []
                status, _, err = self.tool(TOCOORDS, name, "-o", "w", "--types", "O,D",
                                           "--b", "O=5.8", *extra)
                self.assertEqual(status, 0, err)
                lines = read(os.path.join(self.dir, "w.coords")).splitlines()
                self.assertTrue(lines[0].startswith(f"Converted from {name} by tocoords;"))
                self.assertTrue(lines[0].endswith("; 6 atoms; types 1=O 2=D"))
                self.assertEqual(zi.types_from_title(lines[0]), {1: "O", 2: "D"})
                records = np.loadtxt(lines[1:], ndmin=2)
                self.assertEqual(records.shape, (6, 5))
                np.testing.assert_array_equal(records[:, 0], np.arange(1, 7))
                self.assertEqual(sorted(records[:, 1]), [1, 1, 2, 2, 2, 2])
                self.assertEqual(read(os.path.join(self.dir, "w.types")), "1 O\n2 D\n")
                self.assertEqual(read(os.path.join(self.dir, "w.answers")).split("\n"),
                                 ["w", "1", "", "", "5.8", "6.674", "0", "", "", "", "w", ""])

    def test_sphere_supercell_and_limits(self):
        import ase.io
        from ase.spacegroup import crystal

        nacl = crystal(["Na", "Cl"], [(0, 0, 0), (0.5, 0.5, 0.5)], spacegroup=225,
                       cellpar=[5.64, 5.64, 5.64, 90, 90, 90])
        ase.io.write(os.path.join(self.dir, "nacl.cif"), nacl)
        status, _, err = self.tool(TOCOORDS, "nacl.cif", "--supercell", "4,4,4", "--sphere", "8")
        self.assertEqual(status, 0, err)
        lines = read(os.path.join(self.dir, "nacl.coords")).splitlines()
        self.assertIn("supercell 4x4x4; sphere of radius 8 A cut from the periodic box, centred; "
                      "density 0.04459", lines[0])
        xyz = np.loadtxt(lines[1:])[:, 2:]
        self.assertLess(np.sqrt((xyz ** 2).sum(1)).max(), 8.0)
        self.assertEqual(len(xyz), int(lines[0].split("; ")[-2].split()[0]))
        self.assertNotIn("wider than the box", err)
        # Types without atoms: within the numbering they stay, at its end zalmor does not
        # count them, so their b_bar is not among the answers.
        for types, answers in (("Na,K,Cl", ["3.63", "3.67", "9.577"]),
                               ("Na,Cl,K", ["3.63", "9.577"])):
            with self.subTest(types=types):
                status, _, err = self.tool(TOCOORDS, "nacl.cif", "--types", types,
                                           "--b", "Na=3.63", "--b", "Cl=9.577", "--b", "K=3.67")
                self.assertEqual(status, 0, err)
                self.assertEqual(read(os.path.join(self.dir, "nacl.answers")).split("\n")[4:-6],
                                 answers)
        self.assertIn("no atoms of K", err)
        cases = [  # arguments, text in stderr
            (["nacl.cif", "--supercell", "26,26,26"],
             "more than the 34500 that zalmor takes; cut a sphere with --sphere R (a radius of 54 A"),
            (["nacl.cif", "--types", "Na"], "the model has Cl, which --types Na does not name"),
            (["nacl.cif", "--types", "Na,Cl,Xy"], "'Xy' is not an element, isotope or ion"),
            (["nacl.cif", "--b", "K=3"], "--b names K, which is no type"),
            (["nacl.cif", "--supercell", "2,2"], "three counts"),
            (["missing.cif"], "missing.cif: no such file"),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                status, _, err = self.tool(TOCOORDS, *args)
                self.assertEqual(status, 1)
                self.assertIn(text, err)

    def test_xyz_errors_name_the_line(self):
        good = "2\ncomment\nSi 0 0 0\nO 0 0 1.6\n"
        cases = [  # text, message
            ("two\ncomment\n", "x.xyz:1: expected the number of atoms"),
            ("2\ncomment\nSi 0 0 0\nO 0 zero 1.6\n", "x.xyz:4: expected 'symbol x y z' (atom 2 "
                                                     "of 2), got 'O 0 zero 1.6'"),
            ("3\ncomment\nSi 0 0 0\nO 0 0 1.6\n", "x.xyz:5: file ends after 2 of 3 atoms"),
            ("2\ncomment\nSi 0 0 0\nO 0 0 1.6\n2\n", "x.xyz:6: expected a comment line"),
        ]
        self.write("x.xyz", good)
        self.assertEqual(self.tool(TOCOORDS, "x.xyz")[0], 0)
        for text, message in cases:
            with self.subTest(message):
                self.write("x.xyz", text)
                status, _, err = self.tool(TOCOORDS, "x.xyz")
                self.assertEqual(status, 1)
                self.assertIn(message, err)
        self.write("x.xyz", good)
        status, _, err = self.tool(TOCOORDS, "x.xyz", "--sphere", "5")
        self.assertEqual(status, 1)
        self.assertIn("no periodic box", err)


@unittest.skipUnless(find_zalmor(), "no zalmor binary under build/")
class WholeRunTest(Scratch):
    """From a structure file through tocoords and zalmor to S(Q) and g(r)."""

    def run_zalmor(self, name, qmax, dq):
        answers = read(os.path.join(self.dir, name + ".answers")).split("\n")
        self.assertEqual(answers[-6:], ["0", "", "", "", name, ""])
        answers[-5:-3] = [str(qmax), str(dq)]  # a coarse grid keeps the run short
        p = subprocess.run([os.path.abspath(find_zalmor())], input="\n".join(answers),
                           capture_output=True, text=True, cwd=self.dir, timeout=300)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        return os.path.join(self.dir, name + ".ioq")

    def test_crystal_from_cif_has_its_bragg_peaks_and_neighbour_distance(self):
        import ase.io
        from ase.spacegroup import crystal

        a = 5.64
        nacl = crystal(["Na", "Cl"], [(0, 0, 0), (0.5, 0.5, 0.5)], spacegroup=225,
                       cellpar=[a, a, a, 90, 90, 90])
        ase.io.write(os.path.join(self.dir, "rock.cif"), nacl)
        status, _, err = self.tool(TOCOORDS, "rock.cif", "--sphere", "14")
        self.assertEqual(status, 0, err)
        path = self.run_zalmor("rock", 12, 0.04)
        status, out, _ = self.tool(IOQ, "info", path)
        self.assertIn("Na-Cl", out)
        cols, err = self.table("sq", path, "--sphere")
        self.assertIn("sphere radius", err)
        q, s = cols["Q"], cols["S(Q)"]
        peaks = q[1:-1][(s[1:-1] > s[:-2]) & (s[1:-1] >= s[2:]) & (s[1:-1] > 1.5) & (q[1:-1] > 1)]
        # Fm-3m: h, k, l all even or all odd: h^2 + k^2 + l^2 = 3, 4, 8, 11, 12, 16, 19, 20, 24,
        # ...; the odd ones are weak with
        # b_Na and b_Cl of one sign; (311) and (222) merge in a crystallite of this size.
        allowed = [2 * math.pi / a * math.sqrt(h * h + k * k + l * l)
                   for h in range(12) for k in range(12) for l in range(12)
                   if h % 2 == k % 2 == l % 2 and h + k + l > 0]
        for h in (4, 8, 20, 24):
            e = 2 * math.pi / a * math.sqrt(h)
            self.assertLess(np.abs(peaks - e).min(), 0.05, f"no peak near {e:.3f}: {peaks}")
        for p in peaks:
            self.assertLess(min(abs(p - e) for e in allowed), 0.1, f"stray peak {p}: {peaks}")
        cols, _ = self.table("gr", path, "--sphere", "--rmax", "6", "--dr", "0.02", "--lorch")
        r, g = cols["r"], cols["g(r)"]
        # The first peak of the total is Na-Cl at a/2; the next, taller one the 12 like
        # neighbours at a/sqrt(2), weighted by b_Cl^2.
        first = np.flatnonzero((g[1:-1] > g[:-2]) & (g[1:-1] >= g[2:]) & (g[1:-1] > 1.5))[0] + 1
        self.assertAlmostEqual(r[first], a / 2, delta=0.05)
        self.assertAlmostEqual(r[np.argmax(g)], a / math.sqrt(2), delta=0.05)
        self.assertAlmostEqual(r[np.argmax(cols["g_Na-Cl(r)"])], a / 2, delta=0.05)
        self.assertAlmostEqual(r[np.argmax(cols["g_Na-Na(r)"])], a / math.sqrt(2), delta=0.05)

    def test_random_dense_model(self):
        import ase
        import ase.io

        rng = np.random.default_rng(11)
        dmin = 2.4
        pos = random_sphere(300, 11.0, rng, dmin=dmin)
        ase.io.write(os.path.join(self.dir, "dense.xyz"),
                     ase.Atoms(["Si", "O", "O"] * 100, positions=pos), format="xyz")
        status, _, err = self.tool(TOCOORDS, "dense.xyz")
        self.assertEqual(status, 0, err)
        path = self.run_zalmor("dense", 30, 0.05)
        density = 300 / (4 / 3 * math.pi * 11.0 ** 3)
        cols, _ = self.table("sq", path, "--sphere", "11")
        high = cols["Q"] > 12
        self.assertLess(abs(cols["S(Q)"][high].mean() - 1), 0.01)
        self.assertLess(np.abs(cols["S(Q)"][high] - 1).max(), 0.15)
        # The Lorch window damps the ripples that cutting the transform at Qmax brings.
        cols, _ = self.table("gr", path, "--sphere", "11", "--rmax", "8", "--dr", "0.02",
                             "--density", str(density), "--lorch")
        r, g = cols["r"], cols["g(r)"]
        self.assertAlmostEqual(r[np.argmax(g)], dmin, delta=0.15)
        self.assertLess(np.abs(g[r < dmin - 0.4]).max(), 0.25)


if __name__ == "__main__":
    unittest.main()
