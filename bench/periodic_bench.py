#!/usr/bin/python3
"""Periodic boxes: whole-process timings of zalmor beside debyer's periodic mode, the
per-frame cost over a trajectory, and the cost of spreading frames over dask workers.

    bench/periodic_bench.py [--only abc] [--repeats 3] [--quick] [--debyer PATH] [--csv FILE]
                            [--box-command]

Boxes: a simple cubic lattice at 0.07 atoms per cubic Angstrom, every site moved by a normal
of 0.25 of the lattice spacing per coordinate (numpy, fixed seed), one atom in three Si and
the rest O (b = 4.1491 and 5.803 fm, debyer's own neutron values); sites are left empty at
random where the atom count is not a cube. Uniform random positions would do for timing, but
their i(Q) is only noise about zero, and the sums' error bound, relative to the largest
|i(Q)|, refuses such a box. Q: 2500 values from 0.02 to 50 1/A.

(a) One box of 10^6 atoms (--quick: 2 x 10^5), cutoff 20 A. zalmor runs as a child process
    that loads the positions (.npy) and calls zalmor.debye; debyer reads the same box as an
    .xyz file (-n -aL -bL -cL -r20 --ro=0.07, Q grid as bench/run_whole.sh). Each runs
    --repeats times in turn; medians of wall time, CPU time (user + system) and peak resident
    memory of the whole process (GNU time), zalmor's compute and read times as it reports
    them, ratios debyer / zalmor, and the largest difference of the totals: debyer's periodic
    output is I(Q) = 100 i(Q) + <b^2> (fm^2 against zalmor's barn, self term kept) as in its
    finite mode (bench/compare_debyer.py); a least-squares fit of I = s i + c is printed
    beside it. --box-command also times tools/zalmor-box on the box as extended xyz (the
    user's route: ASE reads it), once.
(b) A 34500-atom box (cutoff 15 A) over 200 frames (--quick: 20), each frame the lattice moved
    afresh: zalmor.debye in a loop (compute time of each call, median and mean) and
    zalmor.average over the same frames, made as it reads them (wall time per frame, making
    included), in one child process.
(c) zalmor.average over 200 frames (--quick: 40) of a 20000-atom box (cutoff 12 A): serially
    with two threads, then on a dask LocalCluster of two worker processes with one thread
    each (on 127.0.0.1; its start-up timed apart). Both compute the same frames, made in the
    client as they are consumed; the ratio is dask / serial.

The machine is shared: compare the ratios, which come from runs side by side.
"""

import argparse
import csv
import json
import math
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
B = {"Si": 4.1491, "O": 5.803}
DENSITY = 0.07
NQ = 2500


def q_grid():
    return np.arange(1, NQ + 1, dtype=np.float32) * np.float32(50) / np.float32(NQ)


class Box:
    """Lattice sites of a box of n atoms at DENSITY, the atoms' elements, and a generator
    of jittered positions."""

    def __init__(self, n, seed=1):
        self.n = n
        self.length = (n / DENSITY) ** (1.0 / 3.0)
        rng = np.random.default_rng(seed)
        m = int(math.ceil(n ** (1.0 / 3.0) - 1e-9))
        idx = np.arange(m ** 3)
        if m ** 3 > n:
            idx = np.sort(rng.choice(m ** 3, n, replace=False))
        self.sites = np.stack(np.unravel_index(idx, (m, m, m)), axis=1).astype(np.float32) + 0.5
        self.spacing = self.length / m
        self.symbols = np.where(rng.random(n) < 1.0 / 3.0, "Si", "O")
        self.rng = rng

    def positions(self):
        jitter = self.rng.normal(0.0, 0.25, (self.n, 3)).astype(np.float32)
        xyz = (self.sites + jitter) * np.float32(self.spacing)
        return np.mod(xyz, np.float32(self.length)).astype(np.float32)

    def cell(self):
        return np.eye(3) * self.length


def median(values):
    v = sorted(values)
    k = len(v)
    return v[k // 2] if k % 2 else 0.5 * (v[k // 2 - 1] + v[k // 2])


def timed4(cmd, cwd, env=None):
    """Runs cmd under GNU time: wall, CPU (user + system) seconds, peak resident MiB, stdout.
    GNU time is small: a child forked from this process would start with its memory high
    mark, which survives exec."""
    with tempfile.NamedTemporaryFile("r") as usage:
        t = time.perf_counter()
        p = subprocess.run(["/usr/bin/time", "-q", "-f", "%U %S %M", "-o", usage.name] + cmd,
                           cwd=cwd, env=env, capture_output=True, text=True, check=False)
        wall = time.perf_counter() - t
        if p.returncode != 0:
            sys.exit(f"failed ({p.returncode}): {' '.join(cmd)}\n{p.stderr[-2000:]}")
        user, system, peak = usage.read().split()[-3:]
    return wall, float(user) + float(system), float(peak) / 1024.0, p.stdout


def python_env():
    """The environment of a child that imports this tree's package (the compiled part from
    build/release, else wherever it is installed)."""
    env = dict(os.environ)
    parts = [os.path.join(ROOT, "build", "release", "python"), os.path.join(ROOT, "python")]
    env["PYTHONPATH"] = os.pathsep.join(parts + [env.get("PYTHONPATH", "")])
    return env


def find_debyer(given):
    if given:
        return given
    built = os.path.join(ROOT, "build", "peers", "debyer", "debyer", "debyer")
    if os.path.isfile(built) and os.access(built, os.X_OK):
        return built
    return subprocess.run([os.path.join(ROOT, "bench", "build_debyer.sh")], check=True,
                          capture_output=True, text=True).stdout.strip()


# --- child processes -------------------------------------------------------------------

def child_debye(npz, out):
    """(a): one zalmor.debye of the box in npz; prints its read and compute times."""
    t = time.perf_counter()
    import zalmor

    data = np.load(npz)
    xyz, symbols, cell = data["xyz"], data["symbols"].tolist(), data["cell"]
    t_read = time.perf_counter() - t
    t = time.perf_counter()
    res = zalmor.debye((xyz, symbols), q_grid(), periodic=cell, cutoff=float(data["cutoff"]),
                       b=B)
    t_compute = time.perf_counter() - t
    np.save(out, res.total)
    print(json.dumps({"read_s": t_read, "compute_s": t_compute}))


def child_frames(n, frames, cutoff):
    """(b): zalmor.debye on each frame in a loop, then zalmor.average over the same frames."""
    import ase

    import zalmor

    q = q_grid()
    box = Box(n, seed=2)
    cell = box.cell()
    symbols = box.symbols.tolist()
    times, cpu = [], []
    for _ in range(frames):
        xyz = box.positions()
        t, c = time.perf_counter(), time.process_time()
        zalmor.debye((xyz, symbols), q, periodic=cell, cutoff=cutoff, b=B)
        times.append(time.perf_counter() - t)
        cpu.append(time.process_time() - c)

    def frame_source():
        again = Box(n, seed=2)
        for _ in range(frames):
            yield ase.Atoms(symbols=symbols, positions=again.positions(), cell=cell, pbc=True)

    # The frames are made as they are consumed, their making timed with the average.
    t = time.perf_counter()
    zalmor.average(frame_source(), q, cutoff=cutoff, b=B, progress=False)
    t_avg = time.perf_counter() - t
    print(json.dumps({"median_s": median(times), "mean_s": float(np.mean(times)),
                      "cpu_s": median(cpu),
                      "max_s": max(times), "average_per_frame_s": t_avg / frames}))


def child_dask(n, frames, cutoff):
    """(c): zalmor.average serially with two threads, then on two one-thread dask workers."""
    import ase
    from dask.distributed import Client, LocalCluster

    import zalmor

    q = q_grid()

    def frame_source():
        box = Box(n, seed=3)
        cell = box.cell()
        symbols = box.symbols.tolist()
        for _ in range(frames):
            yield ase.Atoms(symbols=symbols, positions=box.positions(), cell=cell, pbc=True)

    t = time.perf_counter()
    serial = zalmor.average(frame_source(), q, cutoff=cutoff, b=B, threads=2, progress=False)
    t_serial = time.perf_counter() - t
    t = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        t_start = time.perf_counter() - t
        t = time.perf_counter()
        spread = zalmor.average(frame_source(), q, cutoff=cutoff, b=B, threads=1,
                                client=client, progress=False)
        t_dask = time.perf_counter() - t
    same = all(np.array_equal(a, b) for a, b in zip(serial.blocks, spread.blocks))
    print(json.dumps({"serial_s": t_serial, "dask_s": t_dask, "startup_s": t_start,
                      "same_floats": same}))


# --- the measurements ------------------------------------------------------------------

def write_xyz(path, box, xyz):
    with open(path, "w", encoding="ascii") as f:
        f.write(f"{box.n}\nperiodic box {box.length!r}\n")
        lines = np.char.add(np.char.add(box.symbols, " "),
                            np.array([" ".join(r) for r in xyz.astype(str)]))
        f.write("\n".join(lines.tolist()))
        f.write("\n")


def run_a(opt, debyer, work, table):
    n = 200000 if opt.quick else 1000000
    cutoff = 20.0
    box = Box(n)
    xyz = box.positions()
    length = box.length
    np.savez(os.path.join(work, "box.npz"), xyz=xyz, symbols=box.symbols, cell=box.cell(),
             cutoff=cutoff)
    write_xyz(os.path.join(work, "box.xyz"), box, xyz)
    step = 50.0 / NQ
    deb_cmd = [debyer, "-q", "-n", f"-f{step / 2:.10g}", f"-t{50 + 0.75 * step:.10g}",
               f"-s{step:.10g}", "--quanta=0.001", f"-a{length!r}", f"-b{length!r}",
               f"-c{length!r}", f"-r{cutoff:g}", f"--ro={DENSITY:g}", "-o", "debyer.txt",
               "box.xyz"]
    z_cmd = ["/usr/bin/python3", os.path.realpath(__file__), "--child", "debye", "box.npz",
             "zalmor.npy"]
    runs = {"zalmor": [], "debyer": []}
    for _ in range(opt.repeats):
        w, c, m, out = timed4(z_cmd, work, python_env())
        runs["zalmor"].append((w, c, m, json.loads(out.strip().splitlines()[-1])))
        w, c, m, _ = timed4(deb_cmd, work)
        runs["debyer"].append((w, c, m, {}))
    med = {p: [median([r[k] for r in v]) for k in range(3)] for p, v in runs.items()}
    compute = median([r[3]["compute_s"] for r in runs["zalmor"]])
    read = median([r[3]["read_s"] for r in runs["zalmor"]])

    # Totals: I(Q) = 100 i(Q) + <b^2>.
    ours = np.load(os.path.join(work, "zalmor.npy")).astype(np.float64)
    peer = np.loadtxt(os.path.join(work, "debyer.txt"), comments="#")
    q = q_grid().astype(np.float64)
    b2 = float(np.mean([B[s] ** 2 for s in box.symbols.tolist()]))
    diff = (peer[:, 1] - b2) / 100.0 - ours
    scale = float(np.max(np.abs(ours)))
    fit = np.linalg.lstsq(np.column_stack([ours, np.ones_like(ours)]), peer[:, 1], rcond=None)[0]
    all_q = float(np.max(np.abs(diff)) / scale)
    above = float(np.max(np.abs(diff[q > 1.0])) / scale)

    dw, dc, dm = med["debyer"]
    zw, zc, zm = med["zalmor"]
    print(f"(a) {n} atoms, cutoff {cutoff:g} A, box {length:.3f} A, {NQ} Q, "
          f"median of {opt.repeats}")
    print(f"    zalmor  wall {zw:7.2f} s  CPU {zc:7.2f} s  peak {zm:6.1f} MiB  "
          f"(compute {compute:.2f} s, read {read:.2f} s)")
    print(f"    debyer  wall {dw:7.2f} s  CPU {dc:7.2f} s  peak {dm:6.1f} MiB")
    print(f"    debyer / zalmor: wall {dw / zw:.2f}x, CPU {dc / zc:.2f}x")
    print(f"    totals: (I - <b^2>) / 100 - i over max |i|: {all_q:.2e} all Q, {above:.2e} Q > 1;"
          f" fit I = {fit[0]:.5f} i + {fit[1]:.4f} (<b^2> = {b2:.4f})")
    table.append({"test": "a", "program": "zalmor", "atoms": n, "wall_s": zw, "cpu_s": zc,
                  "peak_mib": zm, "compute_s": compute, "ratio_wall": dw / zw,
                  "ratio_cpu": dc / zc, "diff_all_q": all_q, "diff_q_gt_1": above})
    table.append({"test": "a", "program": "debyer", "atoms": n, "wall_s": dw, "cpu_s": dc,
                  "peak_mib": dm})
    if opt.box_command:
        import ase
        import ase.io

        atoms = ase.Atoms(symbols=box.symbols.tolist(), positions=xyz, cell=box.cell(),
                          pbc=True)
        ase.io.write(os.path.join(work, "box.extxyz"), atoms, format="extxyz")
        del atoms
        cmd = ["/usr/bin/python3", os.path.join(ROOT, "tools", "zalmor-box"), "box.extxyz",
               "--cutoff", f"{cutoff:g}", "--b", "Si=4.1491,O=5.803", "-o", "boxcmd"]
        w, c, m, _ = timed4(cmd, work)
        print(f"    tools/zalmor-box on box.extxyz (ASE reads it), once: wall {w:.2f} s, "
              f"CPU {c:.2f} s, peak {m:.1f} MiB")
        table.append({"test": "a", "program": "zalmor-box", "atoms": n, "wall_s": w,
                      "cpu_s": c, "peak_mib": m})


def run_child(kind, n, frames, cutoff, work):
    """This script as a child of kind "frames" or "dask": its whole-process wall, CPU and
    peak memory, and the figures it printed as JSON on its last line."""
    cmd = ["/usr/bin/python3", os.path.realpath(__file__), "--child", kind, str(n),
           str(frames), str(cutoff)]
    w, c, m, out = timed4(cmd, work, python_env())
    return w, c, m, json.loads(out.strip().splitlines()[-1])


def run_b(opt, work, table):
    n, frames, cutoff = 34500, (20 if opt.quick else 200), 15.0
    w, c, m, r = run_child("frames", n, frames, cutoff, work)
    print(f"(b) {n} atoms, cutoff {cutoff:g} A, {frames} frames: zalmor.debye per frame "
          f"median {r['median_s'] * 1e3:.1f} ms (mean {r['mean_s'] * 1e3:.1f}, "
          f"max {r['max_s'] * 1e3:.1f}; CPU {r['cpu_s'] * 1e3:.1f}); zalmor.average {r['average_per_frame_s'] * 1e3:.1f} "
          f"ms per frame; whole process {w:.1f} s, peak {m:.1f} MiB")
    table.append({"test": "b", "program": "zalmor", "atoms": n, "wall_s": w, "cpu_s": c,
                  "peak_mib": m, "compute_s": r["median_s"]})


def run_c(opt, work, table):
    n, frames, cutoff = 20000, (40 if opt.quick else 200), 12.0
    _, _, _, r = run_child("dask", n, frames, cutoff, work)
    ratio = r["dask_s"] / r["serial_s"]
    print(f"(c) {n} atoms, cutoff {cutoff:g} A, {frames} frames: serial (2 threads) "
          f"{r['serial_s']:.2f} s, dask (2 workers x 1 thread) {r['dask_s']:.2f} s: "
          f"{ratio:.2f}x; cluster start {r['startup_s']:.2f} s; same floats: {r['same_floats']}")
    table.append({"test": "c", "program": "zalmor", "atoms": n, "wall_s": r["dask_s"],
                  "compute_s": r["serial_s"], "ratio_wall": ratio})


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        kind, args = sys.argv[2], sys.argv[3:]
        if kind == "debye":
            child_debye(*args)
        elif kind == "frames":
            child_frames(int(args[0]), int(args[1]), float(args[2]))
        else:
            child_dask(int(args[0]), int(args[1]), float(args[2]))
        return
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--only", default="abc")
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--debyer")
    p.add_argument("--csv")
    p.add_argument("--box-command", action="store_true")
    opt = p.parse_args()
    table = []
    with tempfile.TemporaryDirectory() as work:
        if "a" in opt.only:
            run_a(opt, find_debyer(opt.debyer), work, table)
        if "b" in opt.only:
            run_b(opt, work, table)
        if "c" in opt.only:
            run_c(opt, work, table)
    if opt.csv:
        keys = ["test", "program", "atoms", "wall_s", "cpu_s", "peak_mib", "compute_s",
                "ratio_wall", "ratio_cpu", "diff_all_q", "diff_q_gt_1"]
        with open(opt.csv, "w", newline="", encoding="utf-8") as f:
            w = csv.DictWriter(f, fieldnames=keys)
            w.writeheader()
            w.writerows(table)


if __name__ == "__main__":
    main()
