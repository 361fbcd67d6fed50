"""Tests of tools/tocoords on hostile input: files it must refuse or convert with care, one
table; and the drawing of partly occupied sites, the wrapping of periodic boxes and the
all-or-nothing writing of the three files.

Run: PYTHONPATH=python /usr/bin/python3 tools/tocoords_test.py
"""

import os
import resource
import signal
import subprocess
import sys
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from derived_test import TOCOORDS, Scratch, read  # noqa: E402


def cif(a, rows, group="P 1"):
    """A cubic CIF; rows are (label, symbol, x, y, z, occupancy)."""
    text = (f"data_t\n_cell_length_a {a}\n_cell_length_b {a}\n_cell_length_c {a}\n"
            "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
            f"_symmetry_space_group_name_H-M '{group}'\nloop_\n_atom_site_label\n"
            "_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
            "_atom_site_fract_z\n_atom_site_occupancy\n")
    return text + "".join(" ".join(map(str, r)) + "\n" for r in rows)


def dump(rows, columns="id type x y z", bounds=(0, 20)):
    """A LAMMPS text dump of a cubic periodic box; rows are the columns after id."""
    lo, hi = bounds
    return (f"ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n{len(rows)}\n"
            "ITEM: BOX BOUNDS pp pp pp\n" + f"{lo} {hi}\n" * 3
            + f"ITEM: ATOMS {columns}\n"
            + "".join(" ".join(map(str, (k + 1,) + tuple(r))) + "\n" for k, r in enumerate(rows)))


def xyz(atoms, comment="c"):
    return f"{len(atoms)}\n{comment}\n" + "".join(" ".join(map(str, a)) + "\n" for a in atoms)


NAK = cif(5.0, [("Na1", "Na", 0, 0, 0, 0.5), ("K1", "K", 0, 0, 0, 0.5),
                ("Cl1", "Cl", 0.5, 0.5, 0.5, 1)])
NA07 = cif(5.0, [("Na1", "Na", 0, 0, 0, 0.7), ("Cl1", "Cl", 0.5, 0.5, 0.5, 1.0)])
FENI = cif(4.0, [("Fe1", "Fe", 0, 0, 0, 0.5), ("Ni1", "Ni", 0, 0, 0, 0.5),
                 ("O1", "O", 0.5, 0.5, 0.5, 0.3)])
NACL = cif(5.64, [("Na1", "Na", 0, 0, 0, 1), ("Cl1", "Cl", 0.5, 0.5, 0.5, 1)], "F m -3 m")
SILICA = xyz([("Si", 0, 0, 0), ("O", 0, 0, 1.6), ("O", 1.6, 0, 0)])
BOX = xyz([("Si", 1, 1, 1), ("O", 1, 1, 2.6), ("O", 2.6, 1, 1)],
          'Lattice="8 0 0 0 8 0 0 0 8" Properties=species:S:1:pos:R:3 pbc="T T T"')
TYPES = dump([(1, 1, 1, 1), (2, 1, 1, 2.6), (2, 2.6, 1, 1)])
# Masses of Na and Cl: the refusal suggests them rather than stock examples.
DATA = ("LAMMPS data\n\n2 atoms\n2 atom types\n0 10 xlo xhi\n0 10 ylo yhi\n0 10 zlo zhi\n\n"
        "Masses\n\n1 22.99\n2 35.45\n\nAtoms # atomic\n\n1 1 0 0 0\n2 2 2.8 0 0\n")


def pdb(cell, atoms):
    """A PDB file in fixed columns; atoms are (symbol, x, y, z, occupancy)."""
    text = f"CRYST1{cell:9.3f}{cell:9.3f}{cell:9.3f}{90:7.2f}{90:7.2f}{90:7.2f} P 1\n"
    for k, (sym, x, y, z, occ) in enumerate(atoms, 1):
        text += (f"ATOM  {k:5d} {sym:>4s} MOL     1    {x:8.3f}{y:8.3f}{z:8.3f}{occ:6.2f}"
                 f"{0:6.2f}          {sym:>2s}  \n")
    return text + "END\n"


PDB_HALF = pdb(10, [("Si", 1, 1, 1, 1.0), ("O", 1, 1, 2.6, 0.5)])
# CRYST1 1 1 1 stands for "no cell" in many files: wrapping into it would crush the model.
PDB_PLACEHOLDER = pdb(1, [("Si", 5, 0, 0, 1.0), ("O", 6.6, 0, 0, 1.0)])


def snapshot(folder):
    """The files of a folder and their contents (None for a folder), to tell what a run
    changed."""
    out = {}
    for name in os.listdir(folder):
        full = os.path.join(folder, name)
        if os.path.isfile(full):
            with open(full, "rb") as fh:
                out[name] = fh.read()
        else:
            out[name] = None
    return out


class HostileInputTest(Scratch):
    def tool_in(self, folder, *args):
        top, self.dir = self.dir, folder
        try:
            status, _, err = self.tool(TOCOORDS, *args)
        finally:
            self.dir = top
        return status, err

    def test_hostile_inputs(self):
        cases = [
            # files (a name ending in / is a folder), arguments, exit status, text in stderr,
            # {file: text it must then hold}; the other files stay as they were
            # An output that is the input, under any of the three names.
            ({"in.coords": SILICA}, ["in.coords", "--format", "xyz"], 1,
             "in.coords: the output would overwrite an input of the run (in.coords)", {}),
            ({"in.types": SILICA}, ["in.types", "--format", "xyz"], 1,
             "in.types: the output would overwrite an input", {}),
            ({"in.answers": SILICA, "sub/": None},
             ["in.answers", "--format", "xyz", "-o", "sub/../in"], 1,
             "sub/../in.answers: the output would overwrite an input of the run (in.answers)",
             {}),
            # -o run.coords means run: answers naming run.coords would make zalmor read it.
            ({"run.xyz": SILICA, "run.coords": "another model\n"}, ["run.xyz", "-o", "run.coords"],
             0, "run.coords: 3 atoms",
             {"run.answers": "run\n1\n", "run.coords": "Converted from run.xyz"}),
            ({"m.xyz": SILICA, "m.answers/": None}, ["m.xyz"], 1, "m.answers: a folder", {}),
            ({"m.xyz": SILICA}, ["m.xyz", "-o", "nowhere/m"], 1, "no folder nowhere", {}),
            # A stem that names a folder once wrote the hidden files ..coords or sub/.coords.
            ({"m.xyz": SILICA, "sub/": None}, ["m.xyz", "-o", "sub/"], 1,
             "-o 'sub/' names a folder, not the stem of the files to write", {}),
            ({"m.xyz": SILICA}, ["m.xyz", "-o", "."], 1, "-o '.' names a folder", {}),
            ({"m.xyz": SILICA}, ["m.xyz", "-o", ""], 1, "-o '' names a folder", {}),
            # Partly occupied and shared sites.
            ({"nak.cif": NAK}, ["nak.cif"], 1,
             "nak.cif: 1 site partly occupied or shared: Na1 (Na 0.5, K 0.5); a model holds "
             "whole atoms: give --occupancy random --seed N", {}),
            ({"na.cif": NA07}, ["na.cif"], 1, "Na1 (Na 0.7)", {}),
            ({"feni.cif": FENI}, ["feni.cif"], 1,
             "2 sites partly occupied or shared: Fe1 (Fe 0.5, Ni 0.5); O1 (O 0.3)", {}),
            ({"feni.cif": FENI}, ["feni.cif", "--supercell", "2,2,2", "--sphere", "5"], 1,
             "Fe1 (Fe 0.5, Ni 0.5)", {}),
            ({"h.pdb": PDB_HALF}, ["h.pdb"], 1, "1 site partly occupied or shared: atom 2 (O 0.5)",
             {}),
            ({"feni.cif": FENI}, ["feni.cif", "--occupancy", "random"], 1, "wants --seed N", {}),
            ({"feni.cif": FENI}, ["feni.cif", "--seed", "3"], 1,
             "--seed is for --occupancy random", {}),
            ({"o.cif": cif(5, [("Na1", "Na", 0, 0, 0, 0.7), ("K1", "K", 0, 0, 0, 0.5)])},
             ["o.cif", "--occupancy", "random", "--seed", "1"], 1,
             "site Na1: occupancies Na 0.7, K 0.5 add up to 1.2, more than 1", {}),
            ({"o.cif": cif(5, [("Na1", "Na", 0, 0, 0, 1.5)])},
             ["o.cif", "--occupancy", "random", "--seed", "1"], 1,
             "occupancy 1.5 of Na is not between 0 and 1", {}),
            # LAMMPS type numbers are not elements.
            ({"t.dump": TYPES}, ["t.dump"], 1,
             "t.dump: a LAMMPS file numbers its atom types (1, 2) but does not name their "
             "elements: give them with --lammps-types (e.g. --lammps-types 1=Si,2=O)", {}),
            ({"t.data": DATA}, ["t.data", "--format", "lammps-data"], 1,
             "by the masses in the file perhaps --lammps-types 1=Na,2=Cl", {}),
            ({"t.dump": TYPES}, ["t.dump", "--lammps-types", "2=O,1=Si"], 0, "type 1 Si x1",
             {"t.types": "1 Si\n2 O\n"}),
            ({"t.dump": TYPES}, ["t.dump", "--lammps-types", "1=Si"], 1,
             "LAMMPS type 2 has no element in --lammps-types 1=Si", {}),
            # --types names a LAMMPS file's types too, in either spelling; an isotope keeps
            # its own length (it once became its element's).
            ({"t.dump": TYPES}, ["t.dump", "--types", "Si,O"], 0, "type 1 Si x1",
             {"t.types": "1 Si\n2 O\n"}),
            ({"t.dump": TYPES}, ["t.dump", "--types", "2=O,1=Si"], 0, "type 2 O x2",
             {"t.types": "1 Si\n2 O\n"}),
            ({"t.dump": TYPES}, ["t.dump", "--lammps-types", "1=29Si,2=O"], 0,
             "type 1 29Si x1 b=4.7", {"t.types": "1 29Si\n2 O\n"}),
            ({"t.dump": TYPES}, ["t.dump", "--types", "1=Si,2=Xx"], 1,
             "--types '1=Si,2=Xx': 'Xx' is not an element, isotope or ion", {}),
            ({"t.dump": TYPES}, ["t.dump", "--types", "1=Si,,2=O"], 1,
             "--types '1=Si,,2=O' is not a list like 1=Si,2=O or Si,O", {}),
            ({"z.dump": dump([(0, 0, 0, 0), (1, 0, 0, 1.6)])},
             ["z.dump", "--lammps-types", "Si,O"], 1,
             "atom 1 has LAMMPS type 0; types are numbered from 1", {}),
            ({"z.dump": dump([(1, 0, 0, 0), (-1, 0, 0, 1.6)])},
             ["z.dump", "--lammps-types", "Si,O"], 1, "atom 2 has LAMMPS type -1", {}),
            ({"e.dump": dump([("Si", 1, 1, 1), ("O", 1, 1, 2.6)], "id element x y z")},
             ["e.dump"], 0, "type 1 Si x1", {"e.types": "1 Si\n2 O\n"}),
            ({"e.dump": dump([("Si", 1, 1, 1), ("O", 1, 1, 2.6)], "id element x y z")},
             ["e.dump", "--lammps-types", "Si,O"], 1, "names the elements in its element column",
             {}),
            # Values that are no numbers, or no scattering lengths.
            ({"n.xyz": xyz([("Si", 0, 0, "nan"), ("O", 0, 0, 1.6)])}, ["n.xyz"], 1,
             "n.xyz: atom 1 has coordinates 0 0 nan, not finite numbers", {}),
            ({"n.xyz": xyz([("Si", 0, 0, 0), ("O", "-inf", 0, 1.6), ("O", 0, "inf", 0)])},
             ["n.xyz"], 1, "atom 2 has coordinates -inf 0 1.6, not finite numbers (and 1 more "
             "atom)", {}),
            ({"n.xyz": xyz([("Si", 0, 0, 0), ("O", 1e39, 0, 1.6)])}, ["n.xyz"], 1,
             "atom 2 lies 1e+39 A from the origin", {}),
            ({"s.xyz": SILICA}, ["s.xyz", "--b", "Si=nan"], 1,
             "--b 'Si=nan': a scattering length is a finite number of fm within +-10000", {}),
            ({"s.xyz": SILICA}, ["s.xyz", "--b", "Si=inf"], 1, "within +-10000", {}),
            ({"s.xyz": SILICA}, ["s.xyz", "--b", "1=1e39"], 1, "within +-10000", {}),
            ({"s.xyz": SILICA}, ["s.xyz", "--b", "Si=-12000"], 1, "within +-10000", {}),
            # Species and isotope mixtures, by label or type number; the sums take the real
            # part of a complex length, and say so.
            ({"s.xyz": SILICA}, ["s.xyz", "--b", "O=18O,1=Si:0.5,29Si:0.5"], 0,
             "type 1 Si x1 b=4.4", {"s.answers": "s\n1\n\n\n4.4"}),
            ({"s.xyz": SILICA}, ["s.xyz", "--b", "O=17O:0.5,6Li:0.5"], 0,
             "tocoords: --b of O: 17O:0.5,6Li:0.5 has b = 3.8-0.13i fm; the sums take its real "
             "part, 3.8 fm", {}),
            ({"s.xyz": SILICA}, ["s.xyz", "--b", "Si=6Lx"], 1,
             "--b 'Si=6Lx': 'Lx[6]' is not an element", {}),
            ({"s.xyz": SILICA}, ["s.xyz", "--b", "Na=3.6"], 1,
             "--b names Na, which is no type of the model (types: Si, O)", {}),
            # A periodic box converted whole is a cluster; a placeholder cell is no box.
            ({"b.xyz": BOX}, ["b.xyz"], 0, "sums it as a finite cluster of the box's shape", {}),
            ({"p.pdb": PDB_PLACEHOLDER}, ["p.pdb"], 0, "no box of the model",
             {"p.coords": "     1   1       5.000000"}),
            # Sizes refused before anything is built, with what would fit.
            ({"nacl.cif": NACL}, ["nacl.cif", "--sphere", "inf"], 1,
             "--sphere inf: the radius is a finite length above 0", {}),
            ({"nacl.cif": NACL}, ["nacl.cif", "--sphere", "nan"], 1, "finite length above 0", {}),
            ({"nacl.cif": NACL}, ["nacl.cif", "--sphere", "-3"], 1, "finite length above 0", {}),
            ({"nacl.cif": NACL}, ["nacl.cif", "--sphere", "1e300"], 1,
             "holds more than 10^12 atoms at this density, more than the 34500", {}),
            ({"fe.cif": cif(4.0, [("Fe1", "Fe", 0, 0, 0, 1)])}, ["fe.cif", "--sphere", "1e5"], 1,
             "a sphere of radius 100000 A holds more than 10^12 atoms at this density, more "
             "than the 34500 that zalmor takes; a radius of 77 A holds about 30000", {}),
            ({"nacl.cif": NACL}, ["nacl.cif", "--sphere", "60"], 1,
             "holds about 40345 atoms", {}),
            ({"nacl.cif": NACL}, ["nacl.cif", "--supercell", "1000,1000,1000"], 1,
             "supercell 1000x1000x1000 holds 8000000000 atoms, more than the 34500 that zalmor "
             "takes; cut a sphere with --sphere R (a radius of 54 A holds about 30000 atoms at "
             "this density) or take a supercell of at most 16,16,16", {}),
            ({"nacl.cif": NACL}, ["nacl.cif", "--supercell", "100,100,1"], 1,
             "supercell 100x100x1 holds 80000 atoms, more than the 34500 that zalmor takes; "
             "cut a sphere with --sphere R (a radius of 54 A holds about 30000 atoms at this "
             "density) or take a supercell of at most 65,66,1", {}),
            ({"nacl.cif": NACL}, ["nacl.cif", "--supercell", "1000,1000,1000", "--sphere", "8"],
             0, "nacl.coords: 93 atoms", {}),
            ({"nacl.cif": NACL}, ["nacl.cif", "--supercell", "0,1,1"], 1,
             "three counts of at least 1", {}),
            # Frames and formats.
            ({"s.xyz": SILICA * 3}, ["s.xyz", "--frame", "7"], 1,
             "s.xyz: no frame 7: the file holds 3 frames (--frame 0 to 2, or -1 for the last)",
             {}),
            ({"s.xyz": SILICA * 3}, ["s.xyz", "--frame", "-4"], 1, "no frame -4", {}),
            ({"s.xyz": SILICA * 3}, ["s.xyz", "--frame", "-3"], 0, "3 atoms", {}),
            ({"box.data": DATA}, ["box.data"], 1,
             "box.data: cannot tell the file format from its name; give --format, e.g. "
             "lammps-data, lammps-dump-text, xyz, extxyz, cif", {}),
            ({"box.foo": SILICA}, ["box.foo"], 1, "give --format, e.g. lammps-data", {}),
            ({"s.xyz": SILICA}, ["s.xyz", "--format", "xyzzy"], 1,
             "--format xyzzy: ASE knows no such format", {}),
        ]
        for k, (files, args, status, text, made) in enumerate(cases):
            with self.subTest(args=args):
                folder = os.path.join(self.dir, str(k))
                os.mkdir(folder)
                for name, content in files.items():
                    if name.endswith("/"):
                        os.mkdir(os.path.join(folder, name))
                    else:
                        with open(os.path.join(folder, name), "w") as fh:
                            fh.write(content)
                before = snapshot(folder)
                got, err = self.tool_in(folder, *args)
                self.assertEqual(got, status, err)
                self.assertIn(text, err.replace("\n", " "))
                self.assertTrue(all(line.startswith("tocoords: ") for line in err.splitlines()),
                                err)
                after = snapshot(folder)
                if status:
                    self.assertEqual(after, before)  # nothing written, nothing left behind
                else:
                    for name in before:
                        if name not in made:
                            self.assertEqual(after[name], before[name], name)
                    self.assertEqual([n for n in after if n.startswith(".")], [])
                for name, part in made.items():
                    self.assertIn(part, read(os.path.join(folder, name)), name)


class OccupancyTest(Scratch):
    def convert(self, *args):
        status, _, err = self.tool(TOCOORDS, *args)
        self.assertEqual(status, 0, err)
        lines = read(os.path.join(self.dir, "feni.coords")).splitlines()
        return lines[0], np.loadtxt(lines[1:], ndmin=2), err

    def test_sites_are_drawn_independently_by_their_occupancies(self):
        self.write("feni.cif", FENI)
        # Each 4 A cell has a Fe/Ni site (0.5 each, never empty) at its corner and an O site
        # (0.3) at its centre. The spheres are centred on an O site: their O sites are at 4n,
        # the Fe/Ni sites at 4n + 2, inside radius 23 (no site near the surface). The images
        # of a sphere wider than the cell are sites of their own.
        n = np.array(np.meshgrid(*[np.arange(-7, 8)] * 3)).reshape(3, -1).T
        in_sphere = lambda p: int(((p * p).sum(1) < 23 ** 2).sum())
        sphere = (in_sphere(4.0 * n + 2), in_sphere(4.0 * n))
        for args, (metal, oxygen) in ((["--supercell", "10,10,10"], (1000, 1000)),
                                      (["--sphere", "23"], sphere),
                                      (["--supercell", "3,3,3", "--sphere", "23"], sphere)):
            with self.subTest(args=args):
                title, rec, err = self.convert("feni.cif", "--occupancy", "random", "--seed",
                                               "5", *args)
                self.assertIn("sites filled at random by occupancy, seed 5", title)
                self.assertTrue(title.endswith("types 1=Fe 2=Ni 3=O"), title)
                fe, ni, o = np.bincount(rec[:, 1].astype(int), minlength=4)[1:]
                self.assertEqual(fe + ni, metal)
                self.assertLess(abs(fe - metal / 2), 5 * np.sqrt(metal * 0.25))
                self.assertLess(abs(o - 0.3 * oxygen), 5 * np.sqrt(oxygen * 0.21))
                self.assertIn(f"seed 5: {fe + ni + o} atoms drawn on {metal + oxygen} sites, "
                              f"{oxygen - o} left empty", err)

    def test_same_seed_same_model(self):
        self.write("feni.cif", FENI)
        models = {}
        for seed in ("5", "5", "6"):
            self.convert("feni.cif", "--occupancy", "random", "--seed", seed,
                         "--supercell", "4,4,4")
            models.setdefault(seed, []).append(read(os.path.join(self.dir, "feni.coords")))
        self.assertEqual(models["5"][0], models["5"][1])
        self.assertNotEqual(models["5"][0], models["6"][0])
        self.assertEqual(read(os.path.join(self.dir, "feni.types")), "1 Fe\n2 Ni\n3 O\n")

    def test_a_site_shared_in_full_is_always_filled(self):
        # Na/K 50:50 on the 4a site of rock salt, with symmetry: the file lists two rows at
        # one place; each copy holds Na or K, never both, never neither.
        self.write("nak.cif", cif(5.64, [("Na1", "Na", 0, 0, 0, 0.5), ("K1", "K", 0, 0, 0, 0.5),
                                         ("Cl1", "Cl", 0.5, 0.5, 0.5, 1)], "F m -3 m"))
        status, _, err = self.tool(TOCOORDS, "nak.cif", "--occupancy", "random", "--seed", "1",
                                   "--supercell", "5,5,5", "-o", "feni")
        self.assertEqual(status, 0, err)
        rec = np.loadtxt(read(os.path.join(self.dir, "feni.coords")).splitlines()[1:])
        counts = np.bincount(rec[:, 1].astype(int), minlength=4)[1:]
        self.assertEqual((counts[0] + counts[1], counts[2]), (500, 500))
        self.assertLess(abs(counts[0] - 250), 5 * np.sqrt(125))
        self.assertEqual(len({tuple(p) for p in np.round(rec[:, 2:], 4)}), 1000)


class WrapTest(Scratch):
    def test_periodic_boxes_are_wrapped_into_their_cell(self):
        rng = np.random.default_rng(2)
        inside = rng.uniform(-10, 10, (40, 3))
        shifts = rng.integers(-4, 5, (40, 3))
        unwrapped = inside + shifts * 20.0
        self.write("u.dump", dump([(1 + k % 2,) + tuple(p) for k, p in enumerate(unwrapped)],
                                  "id type xu yu zu", bounds=(-10, 10)))
        # A slab: periodic in x and y only; z stays as it is.
        comment = 'Lattice="20 0 0 0 20 0 0 0 20" Properties=species:S:1:pos:R:3 pbc="T T F"'
        self.write("slab.xyz", xyz([("Si",) + tuple(p) for p in unwrapped + 10], comment))
        for args, lo, expected, moved in (
                (["u.dump", "--lammps-types", "Si,O"], -10, inside, (shifts != 0).any(1).sum()),
                (["slab.xyz", "-o", "u"], 0,
                 np.column_stack([inside[:, :2] + 10, unwrapped[:, 2] + 10]),
                 (shifts[:, :2] != 0).any(1).sum())):
            with self.subTest(args[0]):
                status, _, err = self.tool(TOCOORDS, *args)
                self.assertEqual(status, 0, err)
                self.assertIn(f"{moved} of 40 atoms lay outside the periodic cell: wrapped "
                              "into it", err)
                self.assertIn("--sphere 10 cuts the largest sphere inside the box", err)
                pos = np.loadtxt(read(os.path.join(self.dir, "u.coords")).splitlines()[1:])[:, 2:]
                np.testing.assert_allclose(pos, expected, atol=1e-5)
                self.assertGreaterEqual(pos[:, :2].min(), lo)
                self.assertLess(pos[:, :2].max(), lo + 20)


class AtomicWriteTest(Scratch):
    def test_a_failed_write_leaves_the_old_files(self):
        rng = np.random.default_rng(4)
        self.write("big.xyz", xyz([("Si",) + tuple(p) for p in rng.uniform(0, 30, (400, 3))]))
        self.write("small.xyz", SILICA)

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        for model, old in (("big.xyz", {"out.coords": "old model\n", "out.types": "1 O\n",
                                        "out.answers": "out\n"}),
                           ("big.xyz", {})):
            with self.subTest(old=bool(old)):
                for name in ("out.coords", "out.types", "out.answers"):
                    if os.path.exists(os.path.join(self.dir, name)):
                        os.unlink(os.path.join(self.dir, name))
                for name, text in old.items():
                    self.write(name, text)
                before = sorted(os.listdir(self.dir))
                p = subprocess.run([sys.executable, TOCOORDS, model, "-o", "out"],
                                   capture_output=True, text=True, cwd=self.dir,
                                   preexec_fn=limit, timeout=120)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertIn("tocoords: out.coords: cannot write: File too large", p.stderr)
                self.assertNotIn("Traceback", p.stderr)
                self.assertEqual(sorted(os.listdir(self.dir)), before)
                for name, text in old.items():
                    self.assertEqual(read(os.path.join(self.dir, name)), text)
        # Within the limit the files appear, readable by others as any file would be.
        p = subprocess.run([sys.executable, TOCOORDS, "small.xyz", "-o", "out"],
                           capture_output=True, text=True, cwd=self.dir, preexec_fn=limit,
                           timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertTrue(read(os.path.join(self.dir, "out.coords")).endswith(
            "     3   2       1.600000       0.000000       0.000000\n"))
        mask = os.umask(0)
        os.umask(mask)
        self.assertEqual(os.stat(os.path.join(self.dir, "out.coords")).st_mode & 0o777,
                         0o666 & ~mask)


if __name__ == "__main__":
    unittest.main()
