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

from ._calc import _cell_of, _positions_and_symbols, debye
from .result import Result


class _Packed:
    """A frame packed for a worker: float32 positions, each atom's element as a small
    number into `names`, the cell resolved (in the options sent with it)."""

    def __init__(self, xyz, codes, names):
        self.xyz, self.codes, self.names = xyz, codes, names

    def unpacked(self):
        return self.xyz, np.asarray(self.names)[self.codes]


def _frame(atoms, q, options):
    """One frame's blocks in the order of its own labels; module level so that dask can
    send it to workers."""
    if isinstance(atoms, _Packed):
        atoms = atoms.unpacked()
    r = debye(atoms, q, **options)
    return {"labels": r.labels, "elements": r.elements, "blocks": r.blocks,
            "zero_q": r.zero_q, "natoms": r.natoms, "nnorm": r.nnorm,
            "concentrations": r.concentrations, "b": r.b,
            "thermal_option": r.thermal_option, "volume": r.volume, "cutoff": r.cutoff,
            "modification": r.modification, "urms": r.urms}


class _Sums:
    """Float64 sums of each value's deviation from the first frame and of its square.

    Shifting by the first frame keeps the variance free of the cancellation of raw sums
    (identical frames give exactly zero), and adding frames strictly in their order makes
    the result independent of where each frame was computed."""

    def __init__(self, first):
        self.first = first
        self.labels = first["labels"]
        self.key = {frozenset(p): k for k, p in enumerate(self.labels)}
        self.x0 = np.array([np.asarray(y, dtype=np.float64) for y in first["blocks"]])
        self.z0 = np.asarray(first["zero_q"], dtype=np.float64)
        self.s = np.zeros_like(self.x0)
        self.ss = np.zeros_like(self.x0)
        self.zs = np.zeros_like(self.z0)
        self.volume = 0.0
        self.cutoff = None
        self.n = 0

    def add(self, fr):
        if sorted(fr["elements"]) != sorted(self.first["elements"]):
            raise ValueError(f"frame {self.n} has the elements {fr['elements']}, the first "
                             f"frame {self.first['elements']}")
        if fr["natoms"] != self.first["natoms"]:
            raise ValueError(f"frame {self.n} has {fr['natoms']} atoms, the first frame "
                             f"{self.first['natoms']}")
        # Elements are numbered by first appearance, which may change between frames.
        order = [self.key[frozenset(p)] for p in fr["labels"]] + [len(self.labels)]
        x = np.empty_like(self.x0)
        z = np.empty_like(self.z0)
        for k, y in zip(order, fr["blocks"]):
            x[k] = y
        for k, v in zip(order, fr["zero_q"]):
            z[k] = v
        d = x - self.x0
        self.s += d
        self.ss += d * d
        self.zs += z - self.z0
        if fr["volume"] is not None:
            self.volume += fr["volume"]
            self.cutoff = fr["cutoff"] if self.cutoff is None else min(self.cutoff, fr["cutoff"])
        self.n += 1

    def result(self, q):
        n = self.n
        mean = self.x0 + self.s / n
        if n > 1:
            var = np.maximum(self.ss - self.s * self.s / n, 0.0) / (n - 1)
            err = np.sqrt(var / n)
        else:
            err = np.zeros_like(mean)
        f = self.first
        res = Result(q=q, elements=f["elements"], blocks=list(mean),
                     zero_q=self.z0 + self.zs / n, concentrations=f["concentrations"],
                     b=f["b"], natoms=f["natoms"], nnorm=f["nnorm"],
                     thermal_option=f["thermal_option"])
        res.modification = f["modification"]
        res.urms = f["urms"]
        res.stderr = [np.asarray(e, dtype=np.float32) for e in err]
        res.nframes = n
        if self.cutoff is not None:
            # The box's resolution is that of its worst frame.
            res.volume = self.volume / n
            res.cutoff = self.cutoff
            res.q_min = 2.0 * math.pi / self.cutoff
        return res


def _progress_bar(frames, enabled):
    if not (enabled and sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    try:
        total = len(frames)
    except TypeError:
        total = None
    return tqdm(total=total, unit="frame", file=sys.stderr)


def _compact(atoms, options):
    """A frame as a worker needs it (_Packed), a fraction of a pickled ase.Atoms to send,
    with the same floats as the ase.Atoms gives."""
    if not (hasattr(atoms, "get_positions") and hasattr(atoms, "get_chemical_symbols")):
        return atoms, options
    cell = _cell_of(atoms, options["periodic"])
    positions, symbols = _positions_and_symbols(atoms)
    names, codes = np.unique(symbols, return_inverse=True)
    codes = codes.reshape(-1).astype(np.uint8 if len(names) <= 256 else np.int32)
    packed = _Packed(np.asarray(positions, dtype=np.float32), codes, names)
    return packed, dict(options, periodic=False if cell is None else cell)


class _Batch:
    """Frames and their options for one task (a plain list would be taken apart by dask)."""

    def __init__(self, items):
        self.items = items


def _frames(batch, q):
    """The results of a _Batch of (frame, options), in order; module level for dask."""
    return [_frame(frame, q, opts) for frame, opts in batch.items]


# A task's round trip through the scheduler costs some milliseconds of the cores the frames
# need: small frames go several to a task, up to this many atoms (under dask's 1 MiB, above
# which it warns of large task arguments); larger ones are scattered to a worker first.
_ATOMS_PER_TASK = 50_000
_FRAMES_PER_TASK = 8
_SCATTER_FROM_ATOMS = 75_000


def _natoms(frame):
    return len(frame.codes) if isinstance(frame, _Packed) else len(frame[1])


def _in_order_from_client(client, frames, q, options):
    """Frames sent to the workers in batches, at most a few batches per worker at a time so
    that memory does not grow with the trajectory; results come back in frame order."""
    ahead = max(4, 4 * len(client.scheduler_info().get("workers", {})))
    pending = collections.deque()
    batch, natoms = [], 0

    def send():
        work = _Batch(batch)
        if natoms >= _SCATTER_FROM_ATOMS:
            work = client.scatter(work, hash=False)
        pending.append(client.submit(_frames, work, q, pure=False))

    for atoms in frames:
        frame, opts = _compact(atoms, options)
        batch.append((frame, opts))
        natoms += _natoms(frame)
        if natoms >= _ATOMS_PER_TASK or len(batch) >= _FRAMES_PER_TASK:
            send()
            batch, natoms = [], 0
            if len(pending) >= ahead:
                yield from pending.popleft().result()
    if batch:
        send()
    while pending:
        yield from pending.popleft().result()


def average(frames, q, *, b=None, thermal=None, cutoff=None, periodic=None, modification=None,
            engine="auto", threads=None, client=None, progress=True):
    """The mean over frames of every block of zalmor.debye, with result.stderr the standard
    error of each value across frames (sample standard deviation / sqrt(n); zero for one
    frame) and result.nframes.

    frames    an iterable of ase.Atoms (read lazily, e.g. ase.io.iread), or a path that
              ase.io.iread reads (every frame); frames may number their elements in any
              order but must hold the same atoms
    client    a dask.distributed Client: frames are computed on its workers; the result is
              the same floats as without it
    progress  a tqdm bar over frames when stderr is a terminal
    The other arguments are those of zalmor.debye, the same for every frame.
    """
    if isinstance(frames, (str, os.PathLike)):
        import ase.io

        frames = ase.io.iread(os.fspath(frames), index=":")
    qv = np.asarray(q, dtype=np.float32)
    if isinstance(thermal, (str, os.PathLike)):
        # Read once here: the workers may not see the file.
        from . import io as _io

        thermal = _io.read_urms(thermal)
    options = {"b": b, "thermal": thermal, "cutoff": cutoff, "periodic": periodic,
               "modification": modification, "engine": engine, "threads": threads}
    if client is None:
        results = (_frame(atoms, qv, options) for atoms in frames)
    else:
        results = _in_order_from_client(client, frames, qv, options)
    bar = _progress_bar(frames, progress)
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
