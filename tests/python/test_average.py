"""zalmor.average over frames (means, standard errors, frames computed on dask workers) and
the zalmor-box command on trajectory files."""

import os
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

import zalmor
from conftest import NACL_B, ROOT, assert_same_floats, program_grid

ase = pytest.importorskip("ase")
import ase.io  # noqa: E402

BOX = os.path.join(ROOT, "tools", "zalmor-box")
Q = program_grid(8.0, 0.1)


def box_frame(seed, n=24, side=9.0, cl_first=False):
    """A random NaCl box: half Na, half Cl, in a cube of `side` A."""
    rng = np.random.default_rng(seed)
    symbols = ["Na"] * (n // 2) + ["Cl"] * (n // 2)
    if cl_first:
        symbols = symbols[::-1]
    return ase.Atoms(symbols=symbols, positions=rng.uniform(0, side, (n, 3)),
                     cell=[side] * 3, pbc=True)


def close(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    scale = max(1.0, float(np.max(np.abs(b))))
    np.testing.assert_allclose(a, b, rtol=1e-5, atol=1e-6 * scale)


class TestMeans:
    def test_identical_frames_give_that_frame_and_zero_error(self):
        one = zalmor.debye(box_frame(1), Q, b=NACL_B)
        avg = zalmor.average([box_frame(1) for _ in range(5)], Q, b=NACL_B, progress=False)
        assert avg.nframes == 5 and avg.labels == one.labels
        for got, want in zip(avg.blocks, one.blocks):
            assert_same_floats(got, want)
        assert_same_floats(avg.zero_q, one.zero_q)
        assert all(np.all(e == 0) for e in avg.stderr)
        assert (avg.volume, avg.cutoff) == (one.volume, one.cutoff)

    def test_one_frame_has_zero_error(self):
        avg = zalmor.average(iter([box_frame(2)]), Q, b=NACL_B, progress=False)
        assert avg.nframes == 1 and all(np.all(e == 0) for e in avg.stderr)

    def test_two_frames_by_hand(self):
        r0 = zalmor.debye(box_frame(3), Q, b=NACL_B)
        r1 = zalmor.debye(box_frame(4), Q, b=NACL_B)
        avg = zalmor.average([box_frame(3), box_frame(4)], Q, b=NACL_B, progress=False)
        assert avg.nframes == 2 and len(avg.stderr) == len(avg.blocks)
        for k in range(len(avg.blocks)):
            x = np.stack([r0.blocks[k], r1.blocks[k]]).astype(np.float64)
            close(avg.blocks[k], x.mean(axis=0))
            close(avg.stderr[k], x.std(axis=0, ddof=1) / np.sqrt(2))
            assert np.any(avg.stderr[k] > 0)
        close(avg.partial("Cl", "Na"), (r0.partial("Na", "Cl").astype(np.float64)
                                        + r1.partial("Na", "Cl")) / 2)

    def test_frames_naming_elements_in_another_order(self):
        # The second frame numbers Cl first: its partials must land on the same pairs.
        a, b = box_frame(5), box_frame(6, cl_first=True)
        r0, r1 = zalmor.debye(a, Q, b=NACL_B), zalmor.debye(b, Q, b=NACL_B)
        assert r1.elements == ["Cl", "Na"]
        avg = zalmor.average([a, b], Q, b=NACL_B, progress=False)
        assert avg.elements == ["Na", "Cl"]
        for x, y in (("Na", "Na"), ("Cl", "Cl"), ("Na", "Cl")):
            close(avg.partial(x, y), (r0.partial(x, y).astype(np.float64) + r1.partial(x, y)) / 2)
        close(avg.total, (r0.total.astype(np.float64) + r1.total) / 2)

    def test_refusals(self):
        with pytest.raises(ValueError, match="no frames"):
            zalmor.average([], Q, b=NACL_B, progress=False)
        with pytest.raises(ValueError, match="atoms"):
            zalmor.average([box_frame(7), box_frame(7, n=20)], Q, b=NACL_B, progress=False)

    def test_error_column_written_and_read_back(self, tmp_path):
        avg = zalmor.average([box_frame(8), box_frame(9), box_frame(10)], Q, b=NACL_B,
                             progress=False)
        avg.to_ioq(tmp_path / "avg.ioq")
        back = zalmor.read_ioq(tmp_path / "avg.ioq", types={1: "Na", 2: "Cl"})
        assert back.nframes == 3 and back.cutoff == pytest.approx(avg.cutoff)
        for k in range(len(avg.blocks)):
            assert_same_floats(back.blocks[k], avg.blocks[k])
            assert_same_floats(back.stderr[k], avg.stderr[k])
        # A single model's file keeps an empty error column and no frame count.
        zalmor.debye(box_frame(8), Q, b=NACL_B).to_ioq(tmp_path / "one.ioq")
        assert zalmor.read_ioq(tmp_path / "one.ioq").stderr is None


class TestDask:
    # Threads: frames gathered several to a task; processes: one each, scattered first (as
    # large frames are).
    @pytest.mark.parametrize("processes", [False, True])
    def test_workers_give_the_serial_floats(self, processes, monkeypatch):
        distributed = pytest.importorskip("distributed")
        if processes:
            module = sys.modules["zalmor.average"]
            monkeypatch.setattr(module, "_ATOMS_PER_TASK", 1)
            monkeypatch.setattr(module, "_SCATTER_FROM_ATOMS", 1)
        frames = [box_frame(s) for s in range(11, 18)]
        serial = zalmor.average(frames, Q, b=NACL_B, threads=1, progress=False)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=processes,
                                      host="127.0.0.1", protocol="tcp://",
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            spread = zalmor.average(iter(frames), Q, b=NACL_B, threads=1, client=client,
                                    progress=False)
        assert spread.nframes == serial.nframes == 7
        for k in range(len(serial.blocks)):
            assert_same_floats(spread.blocks[k], serial.blocks[k])
            assert_same_floats(spread.stderr[k], serial.stderr[k])
        assert_same_floats(spread.zero_q, serial.zero_q)


def run_box(args, cwd):
    # The command runs elsewhere: a relative PYTHONPATH would lose this tree's package.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    return subprocess.run([sys.executable, BOX, *args], cwd=cwd, capture_output=True,
                          text=True, env=env)


def write_dump(path, frames):
    """A LAMMPS text dump of NaCl frames, Na as type 1 and Cl as type 2."""
    with open(path, "w") as fh:
        for f in frames:
            side = f.cell[0][0]
            fh.write(f"ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n{len(f)}\n"
                     f"ITEM: BOX BOUNDS pp pp pp\n" + f"0 {side}\n" * 3 + "ITEM: ATOMS id type x y z\n")
            for k, (e, (x, y, z)) in enumerate(zip(f.get_chemical_symbols(), f.positions), 1):
                fh.write(f"{k} {1 if e == 'Na' else 2} {x!r} {y!r} {z!r}\n")


def snapshot(folder):
    """Every file of a folder and its bytes (None for a folder)."""
    return {p.name: p.read_bytes() if p.is_file() else None for p in folder.iterdir()}


def one_line_refusal(proc, *words):
    assert proc.returncode == 1, proc.stderr
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("zalmor-box: "), proc.stderr
    for w in words:
        assert w in lines[0]


class TestBoxCommand:
    def test_trajectory_file(self, tmp_path):
        frames = [box_frame(s) for s in (21, 22, 23, 24)]
        ase.io.write(tmp_path / "traj.extxyz", frames, format="extxyz")
        proc = run_box(["traj.extxyz", "--frames", "1::2", "--qmax", "8", "--dq", "0.1",
                        "--b", "Na=3.63,Cl=9.577", "-o", "out"], tmp_path)
        assert proc.returncode == 0, proc.stderr
        res = zalmor.read_ioq(tmp_path / "out.ioq")
        assert res.elements == ["Na", "Cl"] and res.nframes == 2
        assert (tmp_path / "out.types").read_text() == "1 Na\n2 Cl\n"
        want = zalmor.average(ase.io.iread(tmp_path / "traj.extxyz", index="1::2"), Q,
                              b=NACL_B, progress=False)
        assert_same_floats(res.q, want.q)
        for k in range(len(want.blocks)):
            close(res.blocks[k], want.blocks[k])
            close(res.stderr[k], want.stderr[k])
        assert res.cutoff == pytest.approx(4.5)

    def test_lammps_dump_named_by_either_spelling(self, tmp_path):
        frames = [box_frame(s) for s in (31, 32)]
        write_dump(tmp_path / "run.lammpstrj", frames)
        want = zalmor.average(frames, Q, b=NACL_B, progress=False)
        for option, types in (("--types", "1=Na,2=Cl"), ("--lammps-types", "Na,Cl")):
            proc = run_box(["run.lammpstrj", option, types, "--qmax", "8", "--dq", "0.1",
                            "--b", "Na=3.63", "--b", "Cl=9.577", "-o", option[2:]], tmp_path)
            assert proc.returncode == 0, proc.stderr
            res = zalmor.read_ioq(tmp_path / f"{option[2:]}.ioq")
            assert res.elements == ["Na", "Cl"] and res.nframes == 2
            close(res.total, want.total)

    def test_file_without_cell(self, tmp_path):
        frames = [box_frame(s) for s in (41, 42)]
        for f in frames:
            f.set_cell(None)
            f.pbc = False
        ase.io.write(tmp_path / "drop.extxyz", frames, format="extxyz")
        args = ["drop.extxyz", "--qmax", "8", "--dq", "0.1", "--b", "Na=3.63,Cl=9.577"]
        one_line_refusal(run_box(args, tmp_path), "--finite", "no cell")
        assert not (tmp_path / "drop.ioq").exists()
        proc = run_box(args + ["--finite"], tmp_path)
        assert proc.returncode == 0, proc.stderr
        res = zalmor.read_ioq(tmp_path / "drop.ioq")
        assert res.cutoff is None and res.nframes == 2
        want = zalmor.average(frames, Q, b=NACL_B, progress=False)
        close(res.total, want.total)

    def test_dcd_with_topology(self, tmp_path):
        mda = pytest.importorskip("MDAnalysis")
        frames = [box_frame(s) for s in (61, 62, 63)]
        ase.io.write(tmp_path / "top.pdb", frames[0])
        u = mda.Universe(str(tmp_path / "top.pdb"))
        with mda.Writer(str(tmp_path / "t.dcd"), n_atoms=len(u.atoms)) as w:
            for f in frames:
                u.atoms.positions = f.positions
                u.dimensions = [9, 9, 9, 90, 90, 90]
                w.write(u.atoms)
        base = ["t.dcd", "--qmax", "8", "--dq", "0.1", "--b", "Na=3.63,Cl=9.577"]
        proc = run_box(base + ["--topology", "top.pdb", "--frames", "1:"], tmp_path)
        assert proc.returncode == 0, proc.stderr
        assert len(proc.stderr.strip().splitlines()) == 1, proc.stderr
        res = zalmor.read_ioq(tmp_path / "t.ioq")
        want = zalmor.average(frames[1:], Q, b=NACL_B, progress=False)
        assert res.nframes == 2 and res.elements == ["Na", "Cl"]
        close(res.total, want.total)
        close(res.stderr[-1], want.stderr[-1])
        one_line_refusal(run_box(base, tmp_path), "--topology")
        # A LAMMPS data file as the topology numbers the types: named by --types, or
        # refused with the map its masses suggest.
        (tmp_path / "top.data").write_text(
            "LAMMPS data\n\n24 atoms\n2 atom types\n0 9 xlo xhi\n0 9 ylo yhi\n0 9 zlo zhi\n\n"
            "Masses\n\n1 22.99\n2 35.45\n\nAtoms # full\n\n" + "".join(
                f"{k} 1 {1 if e == 'Na' else 2} 0 {x} {y} {z}\n" for k, (e, (x, y, z)) in
                enumerate(zip(frames[0].get_chemical_symbols(), frames[0].positions), 1)))
        one_line_refusal(run_box(base + ["--topology", "top.data"], tmp_path),
                         "t.dcd: a LAMMPS file numbers its atom types (1, 2) but does not name "
                         "their elements: give them with --types (by the masses in the file "
                         "perhaps --types 1=Na,2=Cl)")
        proc = run_box(base + ["--topology", "top.data", "--types", "Na,Cl", "-o", "d"],
                       tmp_path)
        assert proc.returncode == 0, proc.stderr
        close(zalmor.read_ioq(tmp_path / "d.ioq").total,
              zalmor.average(frames, Q, b=NACL_B, progress=False).total)

    def test_scheduler(self, tmp_path):
        distributed = pytest.importorskip("distributed")
        frames = [box_frame(s) for s in (71, 72, 73)]
        ase.io.write(tmp_path / "s.extxyz", frames, format="extxyz")
        args = ["s.extxyz", "--qmax", "8", "--dq", "0.1", "--b", "Na=3.63,Cl=9.577",
                "--threads", "1"]
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                      host="127.0.0.1", protocol="tcp://",
                                      dashboard_address=None) as cluster:
            proc = run_box(args + ["--scheduler", cluster.scheduler_address, "-o", "spread"],
                           tmp_path)
        assert proc.returncode == 0, proc.stderr
        assert run_box(args + ["-o", "here"], tmp_path).returncode == 0
        spread, here = (zalmor.read_ioq(tmp_path / f"{n}.ioq") for n in ("spread", "here"))
        assert spread.nframes == here.nframes == 3
        for k in range(len(here.blocks)):
            assert_same_floats(spread.blocks[k], here.blocks[k])
            assert_same_floats(spread.stderr[k], here.stderr[k])

    def test_sinc_and_thermal_options(self, tmp_path):
        frames = [box_frame(s) for s in (81, 82)]
        ase.io.write(tmp_path / "m.extxyz", frames, format="extxyz")
        base = ["m.extxyz", "--qmax", "8", "--dq", "0.1", "--b", "Na=3.63,Cl=9.577"]
        proc = run_box(base + ["--sinc", "--u", "0.07", "--cutoff", "4", "-o", "sinc"], tmp_path)
        assert proc.returncode == 0, proc.stderr
        res = zalmor.read_ioq(tmp_path / "sinc.ioq")
        assert (res.modification, res.cutoff, res.thermal_option) == ("sinc", 4.0, 1)
        assert res.q_min == 2 * np.pi / 4.0
        want = zalmor.average(frames, Q, b=NACL_B, thermal=0.07, cutoff=4.0,
                              modification="sinc", progress=False)
        close(res.total, want.total)
        urms = os.path.join(ROOT, "examples", "nacl.urms")
        proc = run_box(base + ["--finite", "--urms", urms, "-o", "urms"], tmp_path)
        assert proc.returncode == 0, proc.stderr
        res = zalmor.read_ioq(tmp_path / "urms.ioq")
        assert res.thermal_option == 4 and res.urms == urms and res.modification is None
        want = zalmor.average(frames, Q, b=NACL_B, thermal=urms, periodic=False,
                              progress=False)
        for k in range(len(want.blocks)):
            close(res.blocks[k], want.blocks[k])
        one_line_refusal(run_box(base + ["--finite", "--sinc"], tmp_path), "--sinc")
        one_line_refusal(run_box(base + ["--urms", urms], tmp_path), "--finite")
        (tmp_path / "bad.urms").write_text("1\n1 1 7\n")
        one_line_refusal(run_box(base + ["--finite", "--urms", "bad.urms"], tmp_path),
                         "ierr=21")

    HOSTILE = [
        # arguments (the file first), exit status, text of the last line of standard error.
        # A refusal leaves the folder as it was (the earlier t.ioq and t.types whole, no
        # temporary); a run leaves no temporary.
        (["dump.lammpstrj"], 1, "dump.lammpstrj: a LAMMPS file numbers its atom types (1, 2) "
         "but does not name their elements: give them with --types (e.g. --types 1=Si,2=O)"),
        (["dump.lammpstrj", "--types", "1=Na"], 1,
         "dump.lammpstrj: frame 0: LAMMPS type 2 has no element in --types 1=Na"),
        (["dump.lammpstrj", "--lammps-types", "1=Na,2=Xx"], 1,
         "--types '1=Na,2=Xx': 'Xx' is not an element"),
        (["dump.lammpstrj", "--types", "Na,Cl", "-o", "t"], 0, "2 frames -> t.ioq, t.types"),
        (["nacl.data", "--format", "lammps-data"], 1, "nacl.data: a LAMMPS file numbers its "
         "atom types (1, 2) but does not name their elements: give them with --types (by the "
         "masses in the file perhaps --types 1=Na,2=Cl)"),
        (["nacl.data", "--format", "lammps-data", "--types", "Na,Cl", "-o", "t"], 0,
         "zalmor-box: 1 frame -> t.ioq, t.types"),
        (["bad.extxyz"], 1, "bad.extxyz: frame 1: a position is not finite"),
        (["bad.extxyz", "--frames", "2"], 1, "bad.extxyz: frame 2: atom 4 lies 1.11e+38 cells "
         "away: too far for its place in the cell to be known"),
        # Same atom count and elements, another composition: once averaged as one.
        (["mixed.extxyz"], 1, "mixed.extxyz: frame 1 has the composition Na 10, Cl 14, the "
         "first frame "
         "Na 12, Cl 12: every frame must hold the same atoms"),
        # One cutoff for every frame: a later, narrower box cannot take the first one's.
        (["npt.extxyz"], 1, "npt.extxyz: frame 1: half the smallest width of its cell is 4 A, "
         "below the "
         "cutoff of the first frame, 5 A; set the cutoff to at most 4 A"),
        (["npt.extxyz", "--cutoff", "4", "-o", "t"], 0, "2 frames -> t.ioq"),
        # A LAMMPS text dump's boxes are read first: the narrowest sets the default cutoff.
        (["npt.lammpstrj", "--types", "Na,Cl", "-o", "t"], 0,
         "zalmor-box: 2 frames -> t.ioq, t.types"),
        (["t.extxyz", "--frames", " "], 1,
         "--frames ' ': expected a frame K or START:STOP:STEP"),
        (["t.extxyz", "--frames", "1:2:3:4"], 1, "--frames '1:2:3:4': expected a frame K"),
        (["t.extxyz", "--frames", "a:b"], 1, "--frames 'a:b': expected whole numbers"),
        (["t.extxyz", "--frames", "::0"], 1, "--frames '::0': the step must be positive"),
        (["t.extxyz", "--frames", "5:"], 1, "t.extxyz: --frames 5: leaves no frames of the 3 "
         "it holds"),
        # A trajectory that ends inside its last frame (a run stopped while writing it):
        # once averaged without that frame, and without a word.
        (["cut.lammpstrj", "--types", "Na,Cl"], 1, "cut.lammpstrj: frame 1 is cut short (the "
         "file ends inside it); choose the whole frames, e.g. --frames :1"),
        (["cut.extxyz", "--frames", "::2"], 1, "cut.extxyz: frame 2 is cut short (the file "
         "ends inside it); choose the whole frames, e.g. --frames :2:2"),
        (["cut.extxyz", "--frames", ":2", "-o", "t"], 0,
         "zalmor-box: 2 frames -> t.ioq, t.types"),
        (["t.extxyz", "--frames", "-2:"], 0, "zalmor-box: 2 frames -> t.ioq, t.types"),
        (["t.extxyz", "--frames", "-1"], 0, "zalmor-box: 1 frame -> t.ioq, t.types"),
        # Outputs are checked before the first frame is read (this file's second frame
        # would be refused).
        (["mixed.extxyz", "-o", "nowhere/x"], 1, "nowhere/x.ioq: cannot write: no folder "
         "nowhere"),
        (["mixed.extxyz", "-o", "dir"], 1, "dir.types: a folder is in the way of the output"),
        # A stem that names a folder once wrote the hidden files sub/.ioq and ..ioq.
        (["mixed.extxyz", "-o", "sub/"], 1, "-o 'sub/' names a folder, not the stem of the "
         "files to write"),
        (["mixed.extxyz", "-o", "."], 1, "-o '.' names a folder"),
        (["run.ioq", "--format", "extxyz", "-o", "run"], 1,
         "run.ioq: the output would overwrite an input of the run (run.ioq)"),
        (["sub"], 1, "sub: a folder, not a trajectory file"),
        (["missing.extxyz"], 1, "missing.extxyz: no such file"),
        # Scattering lengths: numbers, species, isotope mixtures; the rest periodictable's.
        (["t.extxyz", "--b", "Na=6Li:0.5,7Li:0.5,Cl=35Cl", "-o", "t"], 0, "3 frames -> t.ioq"),
        (["t.extxyz", "--b", "Na=Xy"], 1, "--b 'Na=Xy': 'Xy' is not an element"),
        (["t.extxyz", "--b", "Na3.6"], 1, "--b 'Na3.6' is not LABEL=VALUE"),
        (["t.extxyz", "--b", "Na=nan"], 1, "--b 'Na=nan': a scattering length is a finite "
         "number of fm"),
        (["t.extxyz", "--b", "K=3"], 1, "--b names K, which the model does not have (it has "
         "Na, Cl)"),
        (["t.extxyz", "--cutoff", "40"], 1, "the cutoff 40 A is above half the smallest width "
         "of the cell, 4.5 A"),
        # Both once came back as a NumPy warning and a conversion error, or as "scattering
        # lengths too large".
        (["t.extxyz", "--qmax", "1e30", "--dq", "1e-30"], 1, "Q values: at most 1e8"),
        (["t.extxyz", "--u", "nan"], 1, "every u"),
        # Beside a measurement: the data are read before the frames, and the comparison's
        # files are written with the others or none is.
        (["t.extxyz", "--compare", "f.dat", "--quantity", "F", "--fit", "scale,offset", "-o",
          "t"], 0, "zalmor-box: 3 frames -> t.ioq, t.types, t_compare.csv, t_compare.png"),
        (["mixed.extxyz", "--compare", "bad.dat", "--quantity", "F", "-o", "t"], 1,
         "bad.dat:2: x 1 does not increase"),
        (["t.extxyz", "--compare", "far.dat", "--quantity", "F", "-o", "t"], 1,
         "far.dat: x from 10 to 29 1/A reaches beyond the model's Q grid"),
        (["mixed.extxyz", "--compare", "f.dat", "--quantity", "G", "-o", "t"], 1,
         "quantity G is ambiguous"),
        (["mixed.extxyz", "--compare", "f.dat", "-o", "t"], 1, "--compare needs --quantity"),
        (["mixed.extxyz", "--quantity", "F", "-o", "t"], 1, "--quantity belongs to --compare"),
        (["mixed.extxyz", "--compare", "t.extxyz", "--quantity", "F", "-o", "t"], 1,
         "t.extxyz:2: 'Lattice=\"9.0 0.0 0.0 0.0 9.0 0.0 0.0 0.0' is not a row of numbers"),
    ]

    def test_hostile_runs(self, tmp_path):
        start = tmp_path / "start"
        start.mkdir()
        ase.io.write(start / "t.extxyz", [box_frame(s) for s in (51, 52, 53)], format="extxyz")
        shutil.copy(start / "t.extxyz", start / "run.ioq")
        mixed = [box_frame(54), box_frame(55)]
        mixed[1].symbols[:2] = "Cl"
        ase.io.write(start / "mixed.extxyz", mixed, format="extxyz")
        write_dump(start / "npt.lammpstrj", [box_frame(56, side=10.0), box_frame(57, side=8.0)])
        ase.io.write(start / "npt.extxyz", [box_frame(56, side=10.0), box_frame(57, side=8.0)],
                     format="extxyz")
        write_dump(start / "dump.lammpstrj", [box_frame(58), box_frame(59)])
        dump = (start / "dump.lammpstrj").read_text().splitlines(keepends=True)
        (start / "cut.lammpstrj").write_text("".join(dump[:-2]))
        lines = (start / "t.extxyz").read_text().splitlines(keepends=True)
        (start / "cut.extxyz").write_text("".join(lines[:-24]))  # its last frame's atoms
        (start / "nacl.data").write_text(
            "LAMMPS data\n\n2 atoms\n2 atom types\n0 9 xlo xhi\n0 9 ylo yhi\n0 9 zlo zhi\n\n"
            "Masses\n\n1 22.99\n2 35.45\n\nAtoms # atomic\n\n1 1 0 0 0\n2 2 2.8 0 0\n")
        bad = [box_frame(60), box_frame(61), box_frame(62)]
        bad[1].positions[3, 0] = np.nan
        bad[2].positions[3, 0] = 1e39
        ase.io.write(start / "bad.extxyz", bad, format="extxyz")
        for folder in ("dir.types", "sub"):
            (start / folder).mkdir()
        (start / "t.ioq").write_text("an earlier result\n")
        (start / "f.dat").write_text("".join(f"{x} {np.sin(x)} 0.1\n" for x in range(1, 8)))
        (start / "bad.dat").write_text("1 2\n1 3\n" + "".join(f"{x} 1\n" for x in range(2, 8)))
        (start / "far.dat").write_text("".join(f"{x} 1\n" for x in range(10, 30)))
        (start / "t.types").write_text("1 Na\n2 Cl\n")
        before = snapshot(start)
        for k, (args, status, text) in enumerate(self.HOSTILE):
            work = tmp_path / str(k)
            shutil.copytree(start, work)
            proc = run_box(args + ["--qmax", "8", "--dq", "0.1"] * ("--qmax" not in args), work)
            lines = proc.stderr.strip().splitlines()
            assert proc.returncode == status and lines, (args, proc.stderr)
            assert lines[-1] == text if text.startswith("zalmor-box: ") else \
                lines[-1].startswith("zalmor-box: ") and text in lines[-1], (args, proc.stderr)
            after = snapshot(work)
            assert not [n for n in after if n.startswith(".")], (args, after.keys())
            if status:
                assert len(lines) == 1 and after == before, (args, proc.stderr)
            else:
                assert {n for n in after if after[n] != before.get(n)} <= {
                    "t.ioq", "t.types", "t_compare.csv", "t_compare.png"}

    def test_sigterm_leaves_no_temporary(self, tmp_path):
        # The trajectory is a pipe no one writes: the run waits at its first read, its
        # outputs' temporaries already made, until the signal.
        os.mkfifo(tmp_path / "pipe.extxyz")
        (tmp_path / "pipe.ioq").write_text("an earlier result\n")
        before = snapshot(tmp_path)
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
        proc = subprocess.Popen([sys.executable, BOX, "pipe.extxyz", "--format", "extxyz"],
                                cwd=tmp_path, env=env, stderr=subprocess.PIPE, text=True)
        try:
            for _ in range(600):
                if any(p.name.startswith(".pipe.") for p in tmp_path.iterdir()):
                    break
                try:
                    proc.wait(timeout=0.1)
                    break
                except subprocess.TimeoutExpired:
                    pass
            assert proc.poll() is None, proc.stderr.read()
            proc.send_signal(signal.SIGTERM)
            _, err = proc.communicate(timeout=120)
        finally:
            if proc.poll() is None:
                proc.kill()
                pytest.fail("zalmor-box did not end within 120 s of SIGTERM (wall-clock guard)")
        assert proc.returncode == 1 and err == "zalmor-box: terminated; no output written\n"
        assert snapshot(tmp_path) == before
