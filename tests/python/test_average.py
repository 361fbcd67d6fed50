"""zalmor.average over frames (means, standard errors, frames computed on dask workers) and
the zalmor-box command on trajectory files."""

import os
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

    def test_lammps_type_numbers(self, tmp_path):
        frames = [box_frame(s) for s in (31, 32)]
        for f in frames:
            f.set_atomic_numbers([1 if s == "Na" else 2 for s in f.get_chemical_symbols()])
        ase.io.write(tmp_path / "typed.extxyz", frames, format="extxyz")
        proc = run_box(["typed.extxyz", "--types", "Na,Cl", "--qmax", "8", "--dq", "0.1",
                        "--b", "Na=3.63", "--b", "Cl=9.577"], tmp_path)
        assert proc.returncode == 0, proc.stderr
        res = zalmor.read_ioq(tmp_path / "typed.ioq")
        want = zalmor.average([box_frame(s) for s in (31, 32)], Q, b=NACL_B, progress=False)
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

    def test_refusals(self, tmp_path):
        ase.io.write(tmp_path / "t.extxyz", [box_frame(51)], format="extxyz")
        base = ["t.extxyz", "--qmax", "8", "--dq", "0.1", "--b", "Na=3.63,Cl=9.577"]
        one_line_refusal(run_box(["missing.extxyz"], tmp_path), "no such file")
        one_line_refusal(run_box(base + ["--frames", "a:b"], tmp_path), "--frames")
        one_line_refusal(run_box(base + ["--frames", "::0"], tmp_path), "step")
        one_line_refusal(run_box(base + ["--b", "Na3.6"], tmp_path), "--b")
        one_line_refusal(run_box(base + ["--cutoff", "40"], tmp_path), "cutoff")
        one_line_refusal(run_box(base + ["--frames", "5:"], tmp_path), "no frames")
        # Both once came back as a NumPy warning and a conversion error, or as "scattering
        # lengths too large".
        one_line_refusal(run_box(base + ["--qmax", "1e30", "--dq", "1e-30"], tmp_path),
                         "Q values")
        one_line_refusal(run_box(base + ["--u", "nan"], tmp_path), "every u")
