"""zalmor.average: the Debye functions of a trajectory, averaged over its frames, with the
standard error of each value across frames.

    res = zalmor.average(ase.io.iread("run.extxyz"), q)
    res.total, res.stderr[-1], res.nframes
"""

import collections
import math
import os
import sys

import numpy as np

from . import structure
from ._calc import _debye
from .result import Result


def _frame(model, q, options):
    """One frame's blocks in the order of its own labels; module level so that dask can
    send it to workers."""
    r = _debye(model, q, **options)
    return {"labels": r.labels, "elements": r.elements, "blocks": r.blocks,
            "zero_q": r.zero_q, "natoms": r.natoms, "nnorm": r.nnorm,
            "concentrations": r.concentrations, "b": r.b,
            "thermal_option": r.thermal_option, "volume": r.volume, "cutoff": r.cutoff,
            "modification": r.modification, "urms": r.urms}


class Spread:
    """The mean of arrays over samples (frames) and the standard error of each value, from
    float64 sums of each value's deviation from the first sample and of its square.

    Shifting by the first sample keeps the variance free of the cancellation of raw sums
    (identical samples give exactly zero), and adding samples strictly in their order makes
    the result independent of where each was computed."""

    def __init__(self):
        self.n = 0

    def add(self, x):
        x = np.asarray(x, dtype=np.float64)
        if self.n == 0:
            self.x0 = x.copy()
            self.s = np.zeros_like(x)
            self.ss = np.zeros_like(x)
        d = x - self.x0
        self.s += d
        self.ss += d * d
        self.n += 1

    def mean(self):
        return self.x0 + self.s / self.n

    def stderr(self):
        """Sample standard deviation / sqrt(n); zero for one sample."""
        n = self.n
        if n < 2:
            return np.zeros_like(self.x0)
        var = np.maximum(self.ss - self.s * self.s / n, 0.0) / (n - 1)
        return np.sqrt(var / n)


class _Sums:
    """The frames' blocks and zero-Q limits, each frame's put in the first frame's order."""

    def __init__(self, first):
        self.first = first
        self.labels = first["labels"]
        self.key = {frozenset(p): k for k, p in enumerate(self.labels)}
        self.blocks = Spread()
        self.zero_q = Spread()
        self.volume = 0.0

    def add(self, fr):
        # Elements are numbered by first appearance, which may change between frames.
        order = [self.key[frozenset(p)] for p in fr["labels"]] + [len(self.labels)]
        x = np.empty((len(order), len(fr["blocks"][0])))
        z = np.empty(len(order))
        for k, y, v in zip(order, fr["blocks"], fr["zero_q"]):
            x[k] = y
            z[k] = v
        self.blocks.add(x)
        self.zero_q.add(z)
        if fr["volume"] is not None:
            self.volume += fr["volume"]

    def result(self, q):
        n = self.blocks.n
        f = self.first
        res = Result(q=q, elements=f["elements"], blocks=list(self.blocks.mean()),
                     zero_q=self.zero_q.mean(), concentrations=f["concentrations"],
                     b=f["b"], natoms=f["natoms"], nnorm=f["nnorm"],
                     thermal_option=f["thermal_option"])
        res.modification = f["modification"]
        res.urms = f["urms"]
        res.stderr = [np.asarray(e, dtype=np.float32) for e in self.blocks.stderr()]
        res.nframes = n
        if f["cutoff"] is not None:
            # Every frame took the same cutoff.
            res.volume = self.volume / n
            res.cutoff = f["cutoff"]
            res.q_min = 2.0 * math.pi / f["cutoff"]
        return res


def progress_bar(count, enabled):
    """A tqdm bar over frames on a terminal (with a total when the number of frames is
    known), or None."""
    if not (enabled and sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=count, unit="frame", file=sys.stderr)


class _Batch:
    """Frames and their options for one task (a plain list would be taken apart by dask)."""

    def __init__(self, items):
        self.items = items


def _frames(batch, q, options):
    """The results of a _Batch of models, in order; module level for dask."""
    return [_frame(m, q, options) for m in batch.items]


# A task's round trip through the scheduler costs some milliseconds of the cores the frames
# need: small frames go several to a task, up to this many atoms (under dask's 1 MiB, above
# which it warns of large task arguments); larger ones are scattered to a worker first.
_ATOMS_PER_TASK = 50_000
_FRAMES_PER_TASK = 8
_SCATTER_FROM_ATOMS = 75_000


def _in_order_from_client(client, models, q, options):
    """Models sent to the workers in batches, at most a few batches per worker at a time so
    that memory does not grow with the trajectory; results come back in frame order."""
    ahead = max(4, 4 * len(client.scheduler_info().get("workers", {})))
    pending = collections.deque()
    batch, natoms = [], 0

    def send():
        work = _Batch(batch)
        if natoms >= _SCATTER_FROM_ATOMS:
            work = client.scatter(work, hash=False)
        pending.append(client.submit(_frames, work, q, options, pure=False))

    for m in models:
        batch.append(m)
        natoms += m.natoms
        if natoms >= _ATOMS_PER_TASK or len(batch) >= _FRAMES_PER_TASK:
            send()
            batch, natoms = [], 0
            if len(pending) >= ahead:
                yield from pending.popleft().result()
    if batch:
        send()
    while pending:
        yield from pending.popleft().result()


# Bytes per value of the blocks that the average holds beside each frame's calculation:
# the float64 sums of Spread and the arrays made to add a frame and to form the mean and its
# error (measured: 53).
_BYTES_PER_VALUE = 64


def _settled(frames, b, periodic, cutoff, options, nq):
    """The frames' models, with what they share settled on the first: the lengths by element
    (read, and warned about, once and here rather than on the workers), the cutoff, and the
    memory the sums over frames take, for the core to count before the first frame."""
    for k, (_, m) in enumerate(frames.models(periodic=periodic, distance=cutoff)):
        if k == 0:
            options["b"] = dict(zip(m.elements, structure.scattering_lengths(m.elements, b)))
            options["cutoff"] = frames.distance
            n = len(m.elements)
            options["reserve"] = _BYTES_PER_VALUE * (n * (n + 1) // 2 + 1) * nq
        yield m


def average(frames, q, *, b=None, types=None, thermal=None, cutoff=None, periodic=None,
            modification=None, engine="auto", threads=None, client=None, progress=True):
    """The mean over frames of every block of zalmor.debye, with result.stderr the standard
    error of each value across frames (sample standard deviation / sqrt(n); zero for one
    frame) and result.nframes.

    frames    an iterable of structures (ase.Atoms, (positions, symbols), AtomGroup; read
              lazily, e.g. ase.io.iread), a path (every frame: ASE, or MDAnalysis for DCD,
              XTC and TRR), an MDAnalysis Universe, or zalmor.structure.frames(...) for a
              selection, a topology or a format. Frames may number their elements in any
              order but must hold the same atoms (refused otherwise, naming the frame)
    types     LAMMPS type numbers named, as zalmor.debye's; a LAMMPS file that names no
              elements is refused without it
    cutoff    periodic boxes: one cutoff for every frame; default the smallest half-width of
              the frames' reduced cells when the frames are in memory (a list) or a LAMMPS
              text dump's box lines tell them, else the first frame's, and a later frame
              too narrow for it is refused
    client    a dask.distributed Client: frames are computed on its workers; the result is
              the same floats as without it
    progress  a tqdm bar over frames when stderr is a terminal
    The other arguments are those of zalmor.debye, the same for every frame.
    """
    frames = structure.frames(frames, types=types)
    qv = np.asarray(q, dtype=np.float32)
    if isinstance(thermal, (str, os.PathLike)):
        # Read once here: the workers may not see the file.
        from . import io as _io

        thermal = _io.read_urms(thermal)
    options = {"b": None, "thermal": thermal, "modification": modification, "engine": engine,
               "threads": threads}
    models = _settled(frames, b, periodic, cutoff, options, len(qv))
    if client is None:
        results = (_frame(m, qv, options) for m in models)
    else:
        results = _in_order_from_client(client, models, qv, options)
    bar = progress_bar(frames.count, progress)
    sums = None
    try:
        for fr in results:
            if sums is None:
                sums = _Sums(fr)
            sums.add(fr)
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    if sums is None:
        raise ValueError("no frames to average")
    return sums.result(qv)
