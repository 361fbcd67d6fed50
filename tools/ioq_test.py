"""Tests of tools/ioq: the .ioq reader against hand-written files, the info/csv/plot commands,
and (when a zalmor binary has been built) a file written by the program itself.

Run from the source root: PYTHONPATH=python /usr/bin/python3 tools/ioq_test.py (the
PYTHONPATH is not needed once the package is installed); ZALMOR_BINARY=path/to/zalmor selects
the binary for the test of a real run.
"""

import contextlib
import glob
import io
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TOOL = os.path.join(HERE, "ioq")


import zalmor.io as zi  # noqa: E402
from zalmor import ioq  # noqa: E402


def ut_line(ntypes, zero_q, bbars):
    ut = [0.0] * 30
    ut[0], ut[1], ut[2], ut[16] = 2 * ntypes, ntypes, 1.0, zero_q
    ut[3] = ut[4] = 1.0 / ntypes  # equal numbers of atoms of each type
    ut[20 : 20 + len(bbars)] = bbars
    return "# field ut float32[] 30 " + " ".join(repr(v) for v in ut) + "\n"


def block_text(number, label, zero_q, qs, ys, title="Zalmor: nacl.coords"):
    """One block as zalmor lays it out (the fields that the tool looks at, in file order)."""
    pad = lambda s, n: s + " " * (n - len(s))
    text = "\n\n" if number > 1 else ""
    text += f"# block {number}\n"
    text += f'# field file string 80 "{pad("", 80)}"\n'
    text += f"# field ntc int32 0 {len(qs)}\n"
    text += f"# field x float32[] {len(qs) + 1} rows 0\n"
    text += f"# field y float32[] {len(ys)} rows\n"
    text += f"# field e float32[] {len(ys)} rows\n"
    text += f'# field xlabel string 40 "{pad("Q / Inverse Angstroms", 40)}"\n'
    text += f'# field ylabel string 40 "{pad(label, 40)}"\n'
    text += "# field delta float32 0 0\n"
    text += ut_line(2, zero_q, [3.63, 9.577])
    text += f'# field title string 80 "{pad(title, 80)}"\n'
    text += f"# rows {len(qs)} columns x y e\n"
    for q, y in zip(qs, ys):
        text += f"{q} {y} 0\n"
    return text


QS = ["0.5", "1", "1.5"]
NACL = ("# zalmor-ioq 1\n"
        + block_text(1, "i11(Q)", 2.5, QS, ["1.25", "-0.5", "2e-3"])
        + block_text(2, "i22(Q)", 0.0, QS, ["0", "-1", "7"])
        + block_text(3, "i12(Q)", 1.5, QS, ["0.25", "nan", "-inf"])
        + block_text(4, "Total i(Q)", 6.0, QS, ["3.5", "1", "1e+30"]))


class ScratchDir(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ioq_test.")
        self.addCleanup(shutil.rmtree, self.dir)

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as fh:
            return fh.read()

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as fh:
            fh.write(text.encode("latin-1") if isinstance(text, str) else text)
        return path

    def run_in_process(self, args):
        import contextlib

        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                status = ioq.main(args)
            except SystemExit as e:
                status = e.code
        return status, out.getvalue(), err.getvalue()

    def run_tool(self, *args):
        """Runs the command as a user would; returns (status, stdout, stderr)."""
        p = subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True)
        return p.returncode, p.stdout, p.stderr


class ReaderTest(unittest.TestCase):
    def test_reads_fields_rows_and_tail_values(self):
        f = zi.parse_ioq(NACL)
        self.assertEqual(f.version, 1)
        self.assertEqual([b.number for b in f.blocks], [1, 2, 3, 4])
        b = f.blocks[2]
        self.assertEqual(b.rows, 3)
        self.assertEqual(b.label, "i12(Q)")
        self.assertEqual(b.fields["ntc"].value, 3)
        # x keeps its value beyond the rows after them.
        np.testing.assert_array_equal(b.fields["x"].value, np.float32([0.5, 1, 1.5, 0]))
        np.testing.assert_array_equal(b.q, np.float32([0.5, 1, 1.5]))
        self.assertTrue(math.isnan(b.iq[1]))
        self.assertEqual(b.iq[2], -np.inf)
        self.assertEqual(b.ut[16], np.float32(1.5))
        self.assertEqual(b.fields["ut"].extent, 30)

    def test_texts_unquote_every_byte(self):
        text = ('# zalmor-ioq 1\n# block 1\n'
                '# field s string 9 "a\\"b\\\\c\\x00\\xE9\\x0a "\n'
                '# field empty string 0 ""\n'
                '# field none float32[] 0\n'
                '# field r float32 0 -nan\n'
                '# rows 0 columns\n')
        b = zi.parse_ioq(text).blocks[0]
        self.assertEqual(b.fields["s"].value, b'a"b\\c\x00\xe9\n ')
        self.assertEqual(b.fields["empty"].value, b"")
        self.assertEqual(len(b.fields["none"].value), 0)
        r = b.fields["r"].value
        self.assertTrue(math.isnan(r) and math.copysign(1, r) < 0)

    def test_reals_are_read_like_the_program_reads_them(self):
        cases = [  # token, float32 value or None for refused
            ("2.5", 2.5), ("-0", -0.0), (".5", 0.5), ("5.", 5.0), ("1E5", 1e5), ("007", 7.0),
            ("1e-45", 1.401298464324817e-45), ("3.4028235e38", 3.4028234663852886e38),
            ("inf", math.inf), ("-Infinity", -math.inf), ("nan(0x1)", math.nan), ("NaN", math.nan),
            ("+1", None), ("1e", None), ("1e+", None), (".", None), ("", None), ("0x1p3", None),
            (" 1", None), ("1 ", None), ("1_0", None), ("infi", None), ("nan1", None),
            ("1e39", None), ("3.4028236e38", None), ("1e-46", None), ("0e-99", 0.0),
        ]
        for tok, want in cases:
            with self.subTest(tok=tok):
                got = zi.parse_real(tok.encode())
                if want is None:
                    self.assertIsNone(got)
                elif math.isnan(want):
                    self.assertTrue(math.isnan(got))
                else:
                    self.assertIsInstance(got, np.float32)
                    self.assertEqual(float(got), want)
                    self.assertEqual(math.copysign(1, got), math.copysign(1, want))

    def test_malformed_files_are_refused_at_their_line(self):
        good = ('# zalmor-ioq 1\n# block 1\n'
                '# field s string 3 "a\\"b"\n'
                '# field n int32 0 -4\n'
                '# field x float32[] 3 rows 9\n'
                '# field y float32[] 2 rows\n'
                '# rows 2 columns x y\n'
                '1 2\n'
                '4 5\n'
                '\n\n# block 2\n# rows 0 columns\n')
        zi.parse_ioq(good)  # the edits below are what is wrong

        def edit(old, new):
            self.assertIn(old, good)
            return good.replace(old, new, 1)

        cases = [  # what, text, line named in the message
            ("empty", "", 1),
            ("other format", edit("zalmor-ioq", "zalmor-iox"), 1),
            ("other version", edit("ioq 1", "ioq 3"), 1),
            ("no final line end", good[:-1], 13),
            ("rows cut short", good[: good.index("4 5")], 9),
            ("one blank line", edit("\n\n\n# block 2", "\n\n# block 2"), 11),
            ("block out of order", edit("# block 2", "# block 3"), 12),
            ("CR line ends", good.replace("\n", "\r\n"), 1),
            ("text length", edit("string 3", "string 4"), 3),
            ("bad escape", edit('\\"b', '\\qb'), 3),
            ("raw byte in text", edit('a\\"b', 'a\tb'), 3),
            ("int overflow", edit("-4", "2147483648"), 4),
            ("scalar with extent", edit("int32 0", "int32 1"), 4),
            ("unknown type", edit("int32", "int64"), 4),
            ("two blanks", edit("int32 0 -4", "int32 0  -4"), 4),
            ("tail beyond extent", edit("rows 9", "rows 9 10 11 12"), 5),
            ("rows field not a column", edit("columns x y", "columns x"), 7),
            ("unknown column", edit("columns x y", "columns x y z"), 7),
            ("row count against extents", edit("# rows 2", "# rows 3"), 7),
            ("too many values", edit("4 5\n", "4 5 6\n"), 9),
            ("bad real in row", edit("4 5\n", "4 +5\n"), 9),
            ("trailing blank in row", edit("4 5\n", "4 5 \n"), 9),
            ("trailing blank after columns", edit("columns x y", "columns x y "), 7),
            ("trailing blank, no columns", edit("# rows 0 columns", "# rows 0 columns "), 13),
            ("field twice", edit("# field n int32", "# field s int32"), 4),
            ("short array", "# zalmor-ioq 1\n# block 1\n# field a float32[] 2 1\n# rows 0 columns\n", 3),
        ]
        for what, text, line in cases:
            with self.subTest(what):
                with self.assertRaises(zi.IoqError) as cm:
                    zi.parse_ioq(text, "f.ioq")
                self.assertIn(f"f.ioq:{line}:", str(cm.exception))


META = ('# zalmor-ioq 2\n'
        '# meta program "zalmor"\n'
        '# meta created "2026-12-07T12:00:00Z"\n'
        '# meta model_title "Converted from q.cif by tocoords; types 1=Na 2=Cl"\n'
        '# meta answer "nacl"\n'
        '# meta answer ""\n'
        '# meta answer "a \\"quoted\\" \\\\ \\xC3\\xA9"\n')


class MetadataTest(ScratchDir):
    def test_version_2_keeps_meta_lines_in_order(self):
        f = zi.parse_ioq(META + NACL.split("\n", 1)[1])
        self.assertEqual(f.version, 2)
        self.assertEqual(len(f.blocks), 4)
        self.assertEqual(f.meta_value("program"), "zalmor")
        self.assertEqual(f.meta_values("answer"), ["nacl", "", 'a "quoted" \\ \u00e9'])
        self.assertIsNone(f.meta_value("host"))
        self.assertEqual(zi.parse_ioq(META).blocks, [])  # meta lines only

    def test_malformed_meta_is_refused_at_its_line(self):
        cases = [  # what, text, line
            ("meta in version 1", META.replace("ioq 2", "ioq 1"), 2),
            ("no text", META.replace('program "zalmor"', "program"), 2),
            ("unquoted", META.replace('"zalmor"', "zalmor"), 2),
            ("bad escape", META.replace('"zalmor"', '"\\z"'), 2),
            ("two blanks", META.replace('program "', 'program  "'), 2),
            ("meta after a block", "# zalmor-ioq 2\n" + block_text(1, "i11(Q)", 1, QS, QS)
             .replace("# rows", '# meta x "y"\n# rows'), 13),
        ]
        for what, text, line in cases:
            with self.subTest(what):
                with self.assertRaises(zi.IoqError) as cm:
                    zi.parse_ioq(text, "m.ioq")
                self.assertIn(f"m.ioq:{line}:", str(cm.exception))

    def test_block_parameter_names_match_the_program(self):
        # The program names the slots of ut in one table; the reader must use the same ones.
        import re
        with open(os.path.join(ROOT, "src", "output", "block_params.hpp")) as f:
            header = f.read()
        slots = dict(re.findall(r"(k\w+) = (\d+),", header))
        names = re.findall(r"\{BlockParam::(k\w+), \"(\w+)\"", header)
        self.assertEqual({name: int(slots[slot]) for slot, name in names}, zi.BLOCK_PARAMS)

    def test_type_names_from_types_file_or_model_title(self):
        path = self.write("run.ioq", NACL)
        self.assertEqual([b.name for b in zi.load(path)], ["i11(Q)", "i22(Q)", "i12(Q)", "Total"])
        self.write("run.types", "# type element\n1 Na\n2 Cl\n")
        run = zi.load(path)
        self.assertEqual([b.name for b in run], ["Na-Na", "Cl-Cl", "Na-Cl", "Total"])
        self.assertEqual([b.pair for b in run], [(1, 1), (2, 2), (1, 2), None])
        status, out, _ = self.run_tool("csv", path)
        self.assertEqual(out.splitlines()[0], "Q,Na-Na,Cl-Cl,Na-Cl,Total i(Q)")
        status, out, _ = self.run_tool("info", path)
        self.assertIn("types: 1=Na 2=Cl (from", out)
        self.assertIn("format version 1, no metadata", out)
        # Without the .types file, the model's title line in the metadata names them.
        path2 = self.write("meta.ioq", META + NACL.split("\n", 1)[1])
        run = zi.load(path2)
        self.assertEqual(run.types, {1: "Na", 2: "Cl"})
        status, out, _ = self.run_tool("info", path2)
        self.assertEqual(status, 0)
        self.assertIn("Na-Cl", out)
        self.assertIn("  program: zalmor", out)
        self.assertIn('answers: nacl |  | a "quoted"', out)
        # The title of a version-1 file names the model; its first line is read beside it.
        path3 = self.write("other.ioq", NACL)
        self.write("nacl.coords", "made by hand; types 1=Na 2=Cl\n1 1 0 0 0\n")
        self.assertEqual(zi.load(path3).types, {1: "Na", 2: "Cl"})
        self.assertEqual(zi.types_from_title("no map here"), None)
        self.assertEqual(zi.types_from_title("x; types 1=Si 2=O 3=D"), {1: "Si", 2: "O", 3: "D"})


class CommandTest(ScratchDir):
    def test_info_lists_label_points_zero_q_and_bbar(self):
        path = self.write("nacl.ioq", NACL)
        status, out, err = self.run_tool("info", path)
        self.assertEqual((status, err), (0, ""))
        lines = out.splitlines()
        self.assertIn('4 blocks, title "Zalmor: nacl.coords"', lines[0])
        self.assertEqual(lines[1], "3 Q values from 0.5 to 1.5 (Q / Inverse Angstroms)")
        table = [line.split() for line in lines[3:]]
        self.assertEqual(table[0], ["1", "i11(Q)", "3", "2.5", "3.63", "9.577"])
        self.assertEqual(table[1][:4], ["2", "i22(Q)", "3", "0.0"])
        self.assertEqual(table[3], ["4", "Total", "i(Q)", "3", "6.0", "3.63", "9.577"])

    def test_csv_loads_with_numpy_and_keeps_non_finite_values(self):
        path = self.write("nacl.ioq", NACL)
        status, out, _ = self.run_tool("csv", path)
        self.assertEqual(status, 0)
        self.assertEqual(out.splitlines()[0], "Q,i11(Q),i22(Q),i12(Q),Total i(Q)")
        data = np.loadtxt(io.StringIO(out), delimiter=",", skiprows=1)
        self.assertEqual(data.shape, (3, 5))
        np.testing.assert_array_equal(data[:, 0], [0.5, 1, 1.5])
        # The shortest text of each float32 reads back to the same float32.
        np.testing.assert_array_equal(data[:, 1].astype(np.float32), np.float32([1.25, -0.5, 2e-3]))
        self.assertTrue(np.isnan(data[1, 3]))
        self.assertEqual(data[2, 3], -np.inf)
        self.assertEqual(np.float32(data[2, 4]), np.float32(1e30))

    def test_csv_block_choice(self):
        path = self.write("nacl.ioq", NACL)
        cases = [  # arguments, header, status
            (["-b", "4"], "Q,Total i(Q)", 0),
            (["--block", "3,1"], "Q,i12(Q),i11(Q)", 0),
            (["--block", "2", "--block", "4"], "Q,i22(Q),Total i(Q)", 0),
            (["--block", "5"], None, 1),
            (["--block", "0"], None, 1),
            (["--block", "x"], None, 2),
        ]
        for extra, header, want in cases:
            with self.subTest(extra=extra):
                status, out, err = self.run_tool("csv", path, *extra)
                self.assertEqual(status, want, err)
                if header:
                    self.assertEqual(out.splitlines()[0], header)
                else:
                    self.assertEqual(out, "")
                    self.assertTrue(err.strip())

    def test_blocks_on_different_grids_are_refused(self):
        mixed = ("# zalmor-ioq 1\n" + block_text(1, "i11(Q)", 1, QS, ["1", "2", "3"])
                 + block_text(2, "Total i(Q)", 1, ["0.5", "1", "2"], ["1", "2", "3"]))
        path = self.write("mixed.ioq", mixed)
        status, out, err = self.run_tool("csv", path)
        self.assertEqual((status, out), (1, ""))
        self.assertIn("different Q grids", err)
        self.assertEqual(self.run_tool("csv", path, "-b", "2")[0], 0)

    def test_plot_writes_png_and_svg(self):
        path = self.write("nacl.ioq", NACL)
        for name, magic in (("p.png", b"\x89PNG\r\n\x1a\n"), ("p.svg", b"<?xml")):
            with self.subTest(name):
                out = os.path.join(self.dir, name)
                status, _, err = self.run_tool("plot", path, "-o", out)
                self.assertEqual(status, 0, err)
                with open(out, "rb") as fh:
                    head = fh.read(64)
                self.assertTrue(head.startswith(magic))
                self.assertGreater(os.path.getsize(out), 10000)
                self.assertIn("non-finite", err)  # nan and -inf of block 3 are gaps

    def test_small_angle_peak_is_clipped_only_when_it_swamps_the_rest(self):
        q = np.linspace(0.02, 20, 500)
        wiggle = 0.5 * np.sin(3 * q) * np.exp(-q / 40)
        peak = 100 * np.exp(-((q / 0.2) ** 2))
        lo, hi = ioq.body_limits([peak + wiggle, wiggle])
        self.assertLess(hi, 5)  # the oscillations fill the plot
        self.assertGreater(hi, 0.5 * (peak + wiggle)[20:].max())
        self.assertLess(lo, (peak + wiggle)[20:].min())
        self.assertIsNone(ioq.body_limits([wiggle]))  # nothing to clip
        self.assertIsNone(ioq.body_limits([q]))  # no minimum at all
        self.assertIsNone(ioq.body_limits([wiggle[:5]]))  # too short to tell

    def test_failures_name_the_problem_and_exit_non_zero(self):
        good = self.write("nacl.ioq", NACL)
        bad = self.write("bad.ioq", NACL.replace("# block 3", "# block 7"))
        nodata = self.write("nodata.ioq", "# zalmor-ioq 1\n")
        cases = [  # arguments, status, text in stderr
            (["info", os.path.join(self.dir, "missing.ioq")], 1, "cannot open"),
            (["info", self.dir], 1, "cannot open"),
            (["info", bad], 1, "bad.ioq:36: expected '# block 3'"),
            (["csv", nodata], 1, "no blocks"),
            (["plot", good, "-o", os.path.join(self.dir, "p.pdf")], 1, ".png or .svg"),
            (["plot", good, "-o", os.path.join(self.dir, "no", "p.png")], 1, "cannot write"),
            (["plot", good], 2, "-o"),
            ([], 2, "usage"),
        ]
        for args, want, text in cases:
            with self.subTest(args=args):
                status, _, err = self.run_tool(*args)
                self.assertEqual(status, want)
                self.assertIn(text, err)
        status, out, _ = self.run_tool("--help")
        self.assertEqual(status, 0)
        self.assertIn("info", out)


def meta_file(*lines):
    """NACL as a version-2 file with the given metadata lines."""
    return ("# zalmor-ioq 2\n" + "".join(f"# meta {line}\n" for line in lines)
            + NACL.split("\n", 1)[1])


class HostileInputTest(ScratchDir):
    """Values no model has, and files that are not .ioq files: one line on stderr naming
    the problem, exit status 1 (2 for what the command line's grammar refuses), never a
    traceback, an endless read or output made of NaN."""

    def test_refusals(self):
        gr = ["gr", "FILE", "--rmax", "5"]
        big = 1 << 20
        cases = [  # arguments (FILE: the file), file contents or None for NACL, status, stderr
            (["gr", "FILE", "--rmax", "inf"], None, 1, "--rmax wants a largest r above 0"),
            (["gr", "FILE", "--rmax", "nan"], None, 1, "not nan"),
            (["gr", "FILE", "--rmax", "0"], None, 1, "--rmax wants"),
            (["gr", "FILE", "--rmax", "-3"], None, 1, "--rmax wants"),
            (["gr", "FILE", "--rmax", "1e300"], None, 1, "at most 100000 A"),
            (gr + ["--dr", "1e-300"], None, 1, "more than 100000"),
            (gr + ["--dr", "1e-310"], None, 1, "makes inf values, more than 100000"),
            (["gr", "FILE", "--rmax", "90000", "--dr", "0.01"], None, 1, "more than 100000"),
            (gr + ["--dr", "0"], None, 1, "--dr wants an r step above 0"),
            (gr + ["--dr", "-0.1"], None, 1, "--dr wants"),
            (gr + ["--dr", "6"], None, 1, "--dr 6 is above --rmax 5"),
            (["gr", "FILE", "--rmax", "30", "--dr", "9", "--sphere", "4"], None, 1,
             "no r values: --dr 9 A is not below the sphere's diameter 8 A"),
            (gr + ["--qmax", "-5"], None, 1, "--qmax wants a Q above 0"),
            (gr + ["--qmax", "0"], None, 1, "--qmax wants a Q above 0"),
            (gr + ["--qmax", "inf"], None, 1, "--qmax wants"),
            (gr + ["--lorch", "--qmax", "0.3"], None, 1,
             "--qmax 0.3 keeps 0 of the file's Q values (0.5 to 1.5 1/A)"),
            (gr + ["--qmin", "nan"], None, 1, "--qmin wants a Q from 0"),
            (gr + ["--qmin", "-1"], None, 1, "--qmin wants"),
            (gr + ["--qmin", "1.2"], None, 1, "--qmin 1.2 keeps 1 of the file's Q values"),
            (gr + ["--qmin", "1", "--qmax", "1"], None, 1, "--qmin 1 is not below --qmax 1"),
            (gr + ["--density", "inf"], None, 1, "--density wants a number density from"),
            (gr + ["--density", "nan"], None, 1, "--density wants"),
            (gr + ["--density", "0"], None, 1, "--density wants"),
            (gr + ["--density", "-0.1"], None, 1, "--density wants"),
            (gr + ["--density", "1e-300"], None, 1, "--density wants"),
            (gr + ["--density", "1e300"], None, 1, "--density wants"),
            (gr + ["--density", "2.2"], None, 1, "from 1e-06 to 1 atoms per A^3, not 2.2"),
            (gr + ["--density", "x"], None, 2, "invalid float value"),
            (["sq", "FILE", "--sphere", "inf"], None, 1, "--sphere wants a radius above 0"),
            (["sq", "FILE", "--sphere", "nan"], None, 1, "--sphere wants"),
            (["fq", "FILE", "--sphere", "0"], None, 1, "--sphere wants"),
            (["xray", "FILE", "--sphere", "-2", "--elements", "Na,Cl"], None, 1,
             "--sphere wants"),
            (["gr", "FILE", "--rmax", "5", "--sphere", "1e9"], None, 1, "--sphere wants"),
            (["sq", "FILE", "--sphere", "big"], None, 1, "--sphere wants a radius in A, not 'big'"),
            (["gr", "FILE", "--rmax", "5", "--sphere", "1e-5"], None, 1,
             "--sphere 1e-5: a sphere of 1e-05 A would hold the 78 atoms"),
            (["sq", "FILE", "--natoms", "0"], None, 1, "--natoms wants a number of atoms from 1"),
            (["sq", "FILE", "--natoms", "-3"], None, 1, "--natoms wants"),
            (["fq", "FILE", "--natoms", "10" * 30], None, 1, "--natoms wants"),
            (["sq", "FILE", "--natoms", "77"], None, 1,
             "77 atoms do not fit the atomic fractions"),
            (["sq", "FILE", "--natoms", "7.5"], None, 2, "invalid int value"),
            (["sq", "FILE", "--nnorm", "inf"], None, 1, "--nnorm wants a number of atoms"),
            (["sq", "FILE", "--nnorm", "nan"], None, 1, "--nnorm wants"),
            (["sq", "FILE", "--nnorm", "0"], None, 1, "--nnorm wants"),
            (["fq", "FILE", "--nnorm", "1e39"], None, 1, "--nnorm wants"),
            (["fq", "FILE", "--nnorm=-1e-300"], None, 1, "--nnorm wants"),
            (["sq", "FILE", "--bbar", "nan,1"], None, 1, "--bbar wants scattering lengths"),
            (["sq", "FILE", "--bbar", "1,-inf"], None, 1, "--bbar wants"),
            (["gr", "FILE", "--rmax", "5", "--bbar", "1e20,1"], None, 1, "--bbar wants"),
            (["plot", "FILE", "-o", "OUT.png", "--ylim", "nan", "nan"], None, 1,
             "--ylim wants limits LO below HI"),
            (["plot", "FILE", "-o", "OUT.png", "--ylim", "0", "inf"], None, 1, "--ylim wants"),
            (["plot", "FILE", "-o", "OUT.png", "--ylim", "-1", "1e308"], None, 1,
             "--ylim wants"),
            (["plot", "FILE", "-o", "OUT.png", "--ylim", "2", "1"], None, 1,
             "--ylim wants LO below HI, not 2 1"),
            # Values in the file
            (["sq", "FILE"], meta_file('natoms "inf"'), 1,
             "the metadata give natoms 'inf', not a number of atoms"),
            (["sq", "FILE"], meta_file('natoms "nan"'), 1, "natoms 'nan'"),
            (["gr", "FILE", "--rmax", "5"], meta_file('natoms "0"'), 1, "natoms '0'"),
            (["sq", "FILE"], meta_file('natoms "2.5"'), 1, "natoms '2.5'"),
            (["sq", "FILE"], meta_file('natoms "many"'), 1, "natoms 'many'"),
            (["sq", "FILE"], meta_file('nnorm "0"'), 1, "the metadata give nnorm '0'"),
            (["sq", "FILE"], meta_file('nnorm "-inf"'), 1, "nnorm '-inf'"),
            (["sq", "FILE"], meta_file('nnorm "1e-300"'), 1, "nnorm '1e-300'"),
            (["sq", "FILE"], NACL.replace("4 2 1.0 0.5 0.5", "4 2 1.0 nan 0.5", 1), 1,
             "the atomic fractions of the block parameters (nan, 0.5)"),
            (["sq", "FILE"], NACL.replace("4 2 1.0 0.5 0.5", "4 2 1.0 0.9 0.5", 1), 1,
             "do not add up to 1"),
            (["info", "/dev/zero"], None, 1, "/dev/zero:1: line longer than 1 MiB"),
            (["info", "FILE"], "# zalmor-ioq 1\n# block 1\n" + "7" * (big + 1) + "\n", 1,
             ":3: line longer than 1 MiB"),
            (["info", "FILE"], "# zalmor-ioq 1\n" + "# " * big, 1, ":2: line longer than 1 MiB"),
            (["csv", "FILE"], "x" * (3 * big), 1, ":1: line longer than 1 MiB"),
            (["info", "FILE"], "\x00\x01\xff" * 1000 + "\n", 1, ":1: not a zalmor .ioq file"),
            (["info", "FILE"], "# zalmor-ioq 1", 1, "last line has no line end"),
            # At the edge of their ranges values are taken, with a word where it helps.
            (gr + ["--qmax", "50"], None, 0, "--qmax 50 is not below the file's last Q 1.5"),
            (gr + ["--density", "0.6"], None, 0, "is it a mass density in g/cm^3?"),
            (["gr", "FILE", "--rmax", "100", "--sphere", "4"], None, 0, "r stops below 8 A"),
            (["gr", "FILE", "--rmax", "1000", "--dr", "0.01", "--sphere", "4"], None, 0,
             "beyond r = R = 4 A"),
            (["sq", "FILE", "--nnorm", "-78", "--natoms", "78"], None, 0, ""),
            (["sq", "FILE", "--nnorm", "78"], meta_file('nnorm "0"'), 0, ""),
            (["sq", "FILE", "--nnorm", "39"], meta_file('nnorm "78"'), 0,
             "nnorm 39 as given, in place of the 78 the file records"),
        ]
        png = os.path.join(self.dir, "out.png")
        for args, contents, want, text in cases:
            with self.subTest(args=" ".join(args)[:80], contents=(contents or "")[:40]):
                path = self.write("f.ioq", contents if contents is not None else NACL)
                argv = [path if a == "FILE" else png if a == "OUT.png" else a for a in args]
                status, out, err = self.run_in_process(argv)
                self.assertEqual(status, want, err)
                self.assertIn(text, err)
                self.assertNotIn("Traceback", err)
                self.assertNotIn("Warning", err)  # numpy's, of values gone wrong
                if want == 1:
                    self.assertEqual(out, "")
                    self.assertTrue(err.endswith("\n") and err.count("\n") >= 1)
                    self.assertTrue(err.splitlines()[-1].startswith("ioq: "), err)
                    self.assertIn(text, err.splitlines()[-1])
                if want == 0 and args[0] != "plot":
                    data = np.loadtxt(io.StringIO(out), delimiter=",", skiprows=1, ndmin=2)
                    self.assertTrue(np.all(np.isfinite(data[:, :2])), out[:200])

    def test_sphere_help_names_only_options_the_command_has(self):
        for command in ("sq", "fq", "xray", "gr"):
            with self.subTest(command):
                status, out, _ = self.run_in_process([command, "--help"])
                self.assertEqual(status, 0)
                sphere = out[out.index("--sphere [R]  ") :].split("--plot")[0]
                self.assertEqual("--density" in sphere, command == "gr", sphere)


def temporaries(folder):
    """Files a command left behind under folder: its temporaries are .NAME.*.tmp*."""
    return [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names
            if n.startswith(".") and ".tmp" in n]


class HostileOutputTest(ScratchDir):
    """What the commands promise about their files and their physics, each fault of the past
    a row: the exit status, one line on stderr naming the problem (no traceback), an
    earlier output of the same name untouched by a refused or failed run, no temporary
    left, and the input files as they were."""

    def models(self):
        """The inputs by name: a finite two-type model with NAME.types beside it, a
        periodic box (its metadata), a model one of whose types has no atoms, and a
        null-scattering alloy (b = -3 and 6 fm at 2:1, <b> = 0)."""
        sys.path.insert(0, HERE)
        from derived_test import debye_file

        rng = np.random.default_rng(4)
        pos = rng.uniform(0, 9, (24, 3))
        q = np.arange(1, 201) * 0.1
        box = [("natoms", "24"), ("nnorm", "24"), ("periodic_volume", "729.0"),
               ("periodic_cutoff", "4.5"), ("periodic_q_min", "1.3962634015954636"),
               ("frames", "2")]
        files = {
            "m.ioq": debye_file([1, 2] * 12, pos, [4.15, 5.8], q),
            "m.types": "1 Si\n2 O\n",
            "box.ioq": debye_file([1, 2] * 12, pos, [4.15, 5.8], q, meta=box),
            "tiny.ioq": debye_file([1, 2] * 12, pos, [4.15, 5.8], q, meta=[
                ("periodic_volume", "1e-30"), ("periodic_cutoff", "4.5")]),
            "empty.ioq": debye_file([1, 3] * 12, pos, [3.63, 3.67, 9.577], q),
            "empty.types": "1 Na\n2 K\n3 Cl\n",
            "binary.ioq": debye_file([2] * 24, pos, [3.67, 9.577], q),
            "binary.types": "1 K\n2 Cl\n",
            "null.ioq": debye_file([1, 1, 2] * 8, pos, [-3.0, 6.0], q),
            "null.types": "1 Ti\n2 Zr\n",
            "dimer.ioq": debye_file([1, 2], pos[:2], [4.15, 5.8], q),
            "dimer.types": "1 Si\n2 O\n",
            "box.types": "1 Si\n2 O\n",
        }
        for name, text in files.items():
            self.write(name, text)
        self.write("in_the_way", "a file, not a folder")
        os.mkdir(os.path.join(self.dir, "folder.csv"))
        return files

    def test_outputs_and_faults(self):
        d = self.dir
        rows = [  # arguments (names in the scratch folder), status, text of the last line,
                  # the earlier output that must stay whole (None: none)
            (["sq", "m.ioq", "-o", "m.ioq"], 1, "would overwrite an input", "m.ioq"),
            (["fq", "m.ioq", "-o", "./m.ioq"], 1, "would overwrite an input", "m.ioq"),
            (["gr", "m.ioq", "--rmax", "5", "-o", "m.ioq"], 1, "overwrite an input", "m.ioq"),
            (["xray", "m.ioq", "-o", "m.ioq"], 1, "would overwrite an input", "m.ioq"),
            (["sq", "m.ioq", "--format", "npz", "-o", "m.ioq"], 1, "overwrite an input",
             "m.ioq"),
            (["sq", "m.ioq", "-o", "m.types"], 1, "would overwrite an input of the run (m.types)",
             "m.types"),
            (["sq", "m.ioq", "--plot", "m.ioq"], 1, "written as .png or .svg", "m.ioq"),
            (["plot", "m.ioq", "-o", "out.png", "--ylim", "2", "1"], 1, "LO below HI",
             "out.png"),
            (["sq", "m.ioq", "-o", "no/such/x.csv"], 1, "cannot write: no folder", None),
            (["sq", "m.ioq", "-o", "folder.csv"], 1, "a folder is in the way", None),
            (["sq", "m.ioq", "--elements", "Si", "-o", "out.csv"], 1,
             "1 elements given for 2", "out.csv"),
            (["xray", "empty.ioq", "--elements", "Na,K", "--plot", "out.png"], 1,
             "2 elements given for 3", "out.png"),
            (["all", "m.ioq", "-o", "in_the_way"], 1, "a file is in the way", "in_the_way"),
            (["all", "m.ioq", "-o", "in_the_way/res"], 1, "cannot make the folder", None),
            # A slip in the path once grew folders from the root down (mkdir -p).
            (["all", "m.ioq", "-o", "made/res"], 1, "made/res: cannot make the folder: no "
             "folder made", None),
            (["all", "empty.ioq", "-o", "made", "--elements", "Na,Xx,Cl"], 1,
             "'Xx' is not an element", None),
            (["all", "m.ioq", "-o", "res", "--rmax", "6"], 0, "", None),
            (["all", "dimer.ioq", "-o", "res"], 0, "", None),
            (["all", "box.ioq", "-o", "res"], 0, "per A^3 from natoms / periodic_volume", None),
            (["all", "null.ioq", "-o", "res"], 0, "xray: the small-angle peak", None),
            # Each line once: the partials left out were told again for the X-ray files.
            (["all", "empty.ioq", "-o", "res"], 0, "K-Cl is left out: type K has no atoms",
             None),
            # a type without atoms: what needs it is left out, or refused naming it
            (["sq", "empty.ioq"], 0, "K-Cl is left out: type K has no atoms", None),
            (["gr", "empty.ioq", "--rmax", "5", "--density", "0.05"], 0,
             "K-Cl is left out: type K has no atoms", None),
            (["sq", "binary.ioq", "--convention", "bhatia-thornton"], 1,
             "need every Faber-Ziman partial: type K has no atoms", None),
            # null scattering: F(Q) written; what divides by <b>^2 left out or refused
            (["fq", "null.ioq"], 0, "Q(S(Q)-1) left out: <b> = sum c_A b_A is 0", None),
            (["fq", "null.ioq", "--norm", "mean-square"], 0, "S(Q)-1, Q(S(Q)-1) left out",
             None),
            (["sq", "null.ioq", "-o", "out.csv"], 1, "null-scattering", "out.csv"),
            (["fq", "null.ioq", "--format", "fq", "-o", "out.fq"], 1,
             "--format fq writes Q (S(Q) - 1)", "out.fq"),
            # a periodic box: its own density, its q_min stated, no sphere to take away
            (["gr", "box.ioq", "--rmax", "4"], 0, "density 0.0329218 per A^3 from natoms", None),
            (["gr", "box.ioq", "--rmax", "6", "--density", "0.05"], 0,
             "beyond it G(r) holds only the ripple", None),
            (["sq", "box.ioq"], 0, "Q below q_min = 1.396 1/A (2 pi / cutoff) is not resolved",
             None),
            (["sq", "box.ioq", "--sphere", "5"], 1, "is a periodic box", None),
            (["sq", "box.ioq", "--plot", "box.png"], 0, "", None),
            (["gr", "m.ioq", "--rmax", "5", "--density", "0.05", "--plot", "gr.png", "--ylim",
              "-1", "3"], 0, "", None),
            (["gr", "tiny.ioq", "--rmax", "4"], 1, "natoms / periodic_volume of the periodic "
             "box give a density of 2.4e+31 atoms per A^3", None),
        ]
        files = self.models()
        for args, want, text, earlier in rows:
            with self.subTest(" ".join(args)):
                if earlier and not os.path.exists(os.path.join(d, earlier)):
                    self.write(earlier, "EARLIER\n")
                kept = list(files) + ([earlier] if earlier and earlier not in files else [])
                before = {n: self.read(n) for n in kept}
                here = os.getcwd()
                os.chdir(d)
                try:
                    status, out, err = self.run_in_process(args)
                finally:
                    os.chdir(here)
                self.assertEqual(status, want, err)
                self.assertNotIn("Traceback", err)
                self.assertNotIn("RuntimeWarning", err)  # numpy's, of values gone wrong
                if text:
                    lines = [ln for ln in err.splitlines() if text in ln]
                    self.assertTrue(lines and lines[0].startswith("ioq: "), err)
                if want:
                    self.assertTrue(err.splitlines()[-1].startswith("ioq: "), err)
                    self.assertIn(text, err.splitlines()[-1])
                    self.assertEqual(out, "")
                else:
                    self.assertNotIn("nan", out.lower())
                    self.assertNotIn("inf", out.lower())
                for name, data in before.items():
                    self.assertEqual(self.read(name), data, f"{name} changed")
                self.assertEqual(temporaries(d), [])
                self.assertFalse(os.path.exists(os.path.join(d, "made")))
                self.assertEqual(len(err.splitlines()), len(set(err.splitlines())), err)
                if args[0] == "all" and want == 0:
                    # Every file it names is there, whole: no NaN or inf among the numbers.
                    written = sorted(os.listdir(os.path.join(d, "res")))
                    self.assertEqual(sorted(out.split()), [os.path.join("res", n)
                                                           for n in written])
                    for name in written:
                        if name.endswith((".sq", ".fq", ".gr", ".csv")):
                            body = self.read(os.path.join("res", name)).split(
                                b"#### start data")[-1].lower()
                            self.assertNotIn(b"nan", body, name)
                            self.assertNotIn(b"inf", body, name)
                    shutil.rmtree(os.path.join(d, "res"))

    def test_a_signal_at_each_step_of_the_writing(self):
        # Each row sends the signal from inside one step of a run that writes two files.
        # Python runs a signal's handler a few instructions after it arrives: one that
        # arrived as the files were being put in place once raised where no clean-up
        # followed (temporaries left), or after every file was in place (then told as "no
        # output written", status 1).
        import unittest.mock

        from zalmor import _command as zc

        rows = [  # a signal sent between the two writes, and/or from inside a call of os
                  # (its first), exit status, the last line, whether the files are new
            (signal.SIGINT, None, 1, "t: interrupted; no output written", False),
            (None, ("umask", signal.SIGINT), 1, "t: interrupted; no output written", False),
            (None, ("umask", signal.SIGTERM), 1, "t: terminated; no output written", False),
            # Signals wait while the files go into place.
            (None, ("fsync", signal.SIGHUP), 0, "t: terminated after every output was written",
             True),
            (None, ("replace", signal.SIGINT), 0,
             "t: interrupted after every output was written", True),
            # A second signal while the temporaries are removed.
            (signal.SIGTERM, ("unlink", signal.SIGINT), 1, "t: interrupted; no output written",
             False),
        ]
        names = [os.path.join(self.dir, n) for n in ("a.csv", "b.csv")]

        def body(between):
            with zc.Outputs() as out:
                for name in names:
                    out.reserve(name)
                out.write_text(names[0], "NEW\n")
                if between is not None:
                    os.kill(os.getpid(), between)
                out.write_text(names[1], "NEW\n")

        for between, inside, want, text, new in rows:
            with self.subTest(between=between, inside=inside):
                for name in names:
                    self.write(os.path.basename(name), "EARLIER\n")
                patches = contextlib.ExitStack()
                if inside is not None:
                    real = getattr(os, inside[0])
                    sent = []

                    def once(*args, _real=real, _signum=inside[1], **kw):
                        if not sent:
                            sent.append(True)
                            os.kill(os.getpid(), _signum)
                        return _real(*args, **kw)

                    patches.enter_context(unittest.mock.patch.object(os, inside[0], once))
                err = io.StringIO()
                with patches, contextlib.redirect_stderr(err):
                    status = zc.run_command("t", body, between)
                self.assertEqual(status, want, err.getvalue())
                self.assertEqual(err.getvalue().splitlines()[-1], text)
                for name in names:
                    self.assertEqual(self.read(os.path.basename(name)),
                                     b"NEW\n" if new else b"EARLIER\n")
                self.assertEqual(temporaries(self.dir), [])

    def test_signals_leave_the_earlier_files_and_no_temporary(self):
        # ioq all on a file of 2000 Q values plots six figures: a second or more after its
        # temporaries are made, time enough to stop it in the middle.
        sys.path.insert(0, HERE)
        from derived_test import debye_file

        rng = np.random.default_rng(5)
        text = debye_file([1, 2] * 20, rng.uniform(0, 9, (40, 3)), [4.15, 5.8],
                          np.arange(1, 2001) * 0.01)
        path = self.write("m.ioq", text)
        self.write("m.types", "1 Si\n2 O\n")
        out = os.path.join(self.dir, "res")
        for signum, said in ((signal.SIGTERM, "terminated"), (signal.SIGINT, "interrupted")):
            with self.subTest(said):
                os.makedirs(out, exist_ok=True)
                self.write("res/m_neutron.sq", "EARLIER\n")
                p = subprocess.Popen([sys.executable, TOOL, "all", path, "-o", out],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                # Wait (without a clock) for the temporaries, then stop the run.
                while p.poll() is None and not temporaries(out):
                    time.sleep(0.005)
                self.assertIsNone(p.poll(), "the run ended before it could be stopped")
                p.send_signal(signum)
                _, err = p.communicate()
                self.assertEqual(p.returncode, 1, err)
                self.assertEqual(err.splitlines()[-1], f"ioq: {said}; no output written")
                self.assertEqual(temporaries(out), [])
                self.assertEqual(sorted(os.listdir(out)), ["m_neutron.sq"])
                with open(os.path.join(out, "m_neutron.sq")) as fh:
                    self.assertEqual(fh.read(), "EARLIER\n")


def find_zalmor():
    """The binary named by $ZALMOR_BINARY (as ctest passes it), else the newest under build/."""
    named = os.environ.get("ZALMOR_BINARY")
    if named:
        return named  # a wrong name fails the test rather than skipping it
    found = [p for p in glob.glob(os.path.join(ROOT, "build", "*", "zalmor"))
             if os.access(p, os.X_OK)]
    return max(found, key=os.path.getmtime) if found else None


@unittest.skipUnless(find_zalmor(), "no zalmor binary under build/")
class ProgramFileTest(ScratchDir):
    """A file written by zalmor itself: the tool reads it and its blocks add up."""

    def test_example_run(self):
        shutil.copy(os.path.join(ROOT, "examples", "nacl.coords"), self.dir)
        # The example answers with a coarse Q grid, to keep the run short.
        answers = "nacl\n1\n\n\n3.63\n9.577\n0\n10\n0.1\n1\nsmall\n"
        p = subprocess.run([find_zalmor()], input=answers, capture_output=True, text=True,
                           cwd=self.dir, timeout=300)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        f = zi.read_file(os.path.join(self.dir, "small.ioq"))
        self.assertEqual([b.label for b in f.blocks], ["i11(Q)", "i22(Q)", "i12(Q)", "Total i(Q)"])
        for b in f.blocks:
            self.assertEqual(b.rows, 101)
            np.testing.assert_array_equal(b.q, f.blocks[0].q)
            self.assertEqual(b.ut[0], 4)  # number of blocks
            np.testing.assert_array_equal(b.ut[20:22], np.float32([3.63, 9.577]))
        i11, i22, i12, total = (b.iq.astype(np.float64) for b in f.blocks)
        np.testing.assert_allclose(total, i11 + i22 + 2 * i12, rtol=1e-3, atol=1e-2)
        # Starting at Q=0, the first value is the block's zero-Q limit.
        for b in f.blocks:
            self.assertAlmostEqual(float(b.iq[0]), float(b.ut[16]), delta=1e-2 * abs(b.ut[16]) + 1e-6)
        status, out, _ = self.run_tool("csv", os.path.join(self.dir, "small.ioq"))
        self.assertEqual(status, 0)
        self.assertEqual(np.loadtxt(io.StringIO(out), delimiter=",", skiprows=1).shape, (101, 5))


if __name__ == "__main__":
    unittest.main()
