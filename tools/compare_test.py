"""Tests of `ioq compare`: the model beside measured data from the command line, and what
it promises when the data, the options or the outputs are wrong.

Run from the source root: PYTHONPATH=build/release/python:python /usr/bin/python3
tools/compare_test.py
"""

import os
import sys
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import zalmor  # noqa: E402
import zalmor.derived as zd  # noqa: E402
from derived_test import debye_file  # noqa: E402
from ioq_test import ScratchDir, temporaries  # noqa: E402


class CompareCommandTest(ScratchDir):
    def setUp(self):
        super().setUp()
        rng = np.random.default_rng(4)
        q = np.arange(1, 301) * 0.05
        self.write("m.ioq", debye_file([1, 2] * 20, rng.uniform(0, 9, (40, 3)), [3.63, 9.577], q,
                                      meta=[("natoms", "40"), ("nnorm", "40")]))
        self.write("m.types", "1 Na\n2 Cl\n")
        res = zalmor.read_ioq(os.path.join(self.dir, "m.ioq"))
        keep = res.q >= 1
        x, f = res.q[keep].astype(float), zd.derive(res).total_f[keep]
        sigma = 0.01 * np.ptp(f) * np.ones_like(x)
        rows = zip(x, 0.87 * f + 0.02 + rng.normal(0, sigma), sigma)
        self.write("f.mint01", "# Q i(Q) error\n" + "".join(f"{a} {b} {c}\n" for a, b, c in rows))
        self.write("d.csv", "Q,F\n" + "".join(f"{a},{b}\n" for a, b in zip(x, f)))
        self.write("bad.dat", "1 2\n2 3\n3 x\n4 5\n")
        self.write("far.dat", "".join(f"{a} 1\n" for a in range(10, 30)))
        os.mkdir(os.path.join(self.dir, "folder.csv"))

    def run_here(self, args):
        here = os.getcwd()
        os.chdir(self.dir)
        try:
            return self.run_in_process(args)
        finally:
            os.chdir(here)

    def test_fit_printed_and_written(self):
        status, out, err = self.run_here(["compare", "m.ioq", "f.mint01", "d.csv", "--quantity",
                                          "F", "--fit", "scale,offset", "-o", "fit"])
        self.assertEqual(status, 0, err)
        lines = out.splitlines()
        self.assertEqual(len(lines), 3, out)  # each dataset, then both together
        self.assertTrue(lines[0].startswith("f.mint01: scale = "), out)
        for text in (" ± ", "offset = ", "Rw = ", "chi2/N = ", "R = "):
            self.assertIn(text, lines[0])
        scale, err_scale = (float(v) for v in lines[0].split("scale = ")[1].split(",")[0]
                            .split(" ± "))
        self.assertLess(abs(scale - 0.87), 3 * err_scale)
        self.assertTrue(lines[1].startswith("d.csv: scale = 1 ± "), out)  # the model itself
        self.assertNotIn("chi2/N", lines[1])  # no errors, no chi2
        table = np.loadtxt(os.path.join(self.dir, "fit.csv"), delimiter=",", skiprows=1)
        with open(os.path.join(self.dir, "fit.csv")) as fh:
            self.assertEqual(fh.readline().strip(),
                             "Q,observed,error,calculated,residual,dataset")
        self.assertEqual(sorted(set(table[:, -1])), [1.0, 2.0])
        self.assertTrue(np.all(np.isnan(table[table[:, -1] == 2, 2])))  # d.csv has none
        np.testing.assert_allclose(table[:, 1] - table[:, 3], table[:, 4], atol=1e-9)
        self.assertTrue(self.read("fit.png").startswith(b"\x89PNG"))

    def test_refusals_keep_the_earlier_outputs(self):
        q = ["--quantity", "F"]
        rows = [  # arguments, status, text of the last line of standard error
            (["m.ioq", "bad.dat"] + q, 1, "bad.dat:3: '3 x' is not a row of numbers"),
            (["m.ioq", "none.dat"] + q, 1, "none.dat: cannot open: No such file"),
            (["m.ioq", "far.dat"] + q, 1, "far.dat: x from 10 to 29 1/A reaches beyond the "
             "model's Q grid, 0.05 to 15 1/A; narrow it with xrange"),
            (["m.ioq", "far.dat"] + q + ["--xrange", "20", "10"], 1,
             "--xrange wants LO below HI, not 20 10"),
            (["m.ioq", "f.mint01", "--quantity", "G"], 1, "quantity G is ambiguous"),
            (["m.ioq", "f.mint01"] + q + ["--fit", "scale,tilt"], 1, "cannot fit 'tilt'"),
            (["m.ioq", "f.mint01"] + q + ["--fit", "qdamp"], 1, "qdamp damps a function of r"),
            (["m.ioq", "f.mint01"] + q + ["--qres", "nan"], 1, "--qres wants"),
            (["m.ioq", "f.mint01"] + q + ["--radiation", "neutron,xray"], 1,
             "--radiation gives 2 values for 1 datasets"),
            (["m.ioq", "f.mint01"] + q + ["--radiation", "laser"], 1, "unknown radiation"),
            (["m.ioq", "f.mint01"] + q + ["--b", "3:Na=D"], 1, "--b 3:Na=D: no dataset 3"),
            (["m.ioq", "f.mint01"] + q + ["--b", "K=3"], 1, "'K' is no atom type"),
            (["m.ioq", "f.mint01", "--quantity", "g"], 1,
             "f.mint01: x is Q, g(r) a function of r (x_unit, ioq --x-unit, says otherwise"),
            (["m.ioq", "f.mint01", "--quantity", "g", "--x-unit", "A"], 1,
             "g(r) needs the number density"),
            (["m.ioq", "f.mint01"] + q + ["--x-unit", "2theta"], 1, "needs the wavelength"),
            (["m.ioq", "d.csv"] + q + ["-o", "d"], 1, "would overwrite an input"),
            (["m.ioq", "f.mint01"] + q + ["-o", "m.types.csv"], 0, ""),
            (["m.ioq", "f.mint01"] + q + ["-o", "no/x"], 1, "cannot write: no folder"),
            (["m.ioq", "f.mint01"] + q + ["-o", "folder"], 1, "a folder is in the way"),
            (["m.ioq", "f.mint01"] + q + ["-o", "out/"], 1, "names a folder"),
            (["m.ioq", "f.mint01"], 2, "the following arguments are required: --quantity"),
        ]
        for args, want, text in rows:
            with self.subTest(" ".join(args)):
                self.write("out.csv", "EARLIER\n")
                kept = sorted(os.listdir(self.dir))
                before = {n: self.read(n) for n in kept if not n.startswith("folder")}
                status, out, err = self.run_here(["compare"] + args)
                self.assertEqual(status, want, err)
                self.assertNotIn("Traceback", err)
                if want:
                    self.assertEqual(out, "")
                    self.assertIn(text, err.splitlines()[-1])
                    if want == 1:
                        self.assertEqual(err.splitlines(), ["ioq: " + err[5:].strip()], err)
                    self.assertEqual(sorted(os.listdir(self.dir)), kept)
                for name, data in before.items():
                    self.assertEqual(self.read(name), data, f"{name} changed")
                self.assertEqual(temporaries(self.dir), [])


if __name__ == "__main__":
    unittest.main()
