"""The result of a Debye calculation: every partial i_AB(Q), the total i(Q) and what they
were computed from; written to and read from .ioq files as the zalmor program has them."""

import datetime
import math
import os
import socket
import tempfile

import numpy as np

from . import io as _io

# What every block of a file carries besides Q and i(Q), as the program writes it: the
# tools look for these fields by name.
_TEXT_FIELDS = {"file": 80, "xlabel": 40, "ylabel": 40, "spec_no": 10, "user_name": 20,
                "run_no": 10, "inst_name": 8, "title": 80, "time": 20, "history": 200}
_TITLE = "zalmor.debye"
_UT_LEN = 30  # the block parameters: output::kBlockParamCount
_SINC = "sinc(pi r/rc)"  # the modification function's metadata text


def _pair_key(a, b):
    return (a, b) if a <= b else (b, a)


class Result:
    """Partial functions i_AB(Q) in barn per atom (distinct pairs only), one per unordered
    pair of elements, and the total i(Q).

    q             the Q values, 1/A (float32)
    elements      the elements (or type labels) in type order: type t is elements[t - 1]
    labels        the element pairs of the partial blocks, in block order: like pairs, then
                  unlike pairs in row order ((1,2), (1,3), ..., (n-1,n))
    blocks        the partial blocks in that order, then the total (float32 arrays)
    zero_q        the zero-Q limit of each block, in the same order (exact from pair counts)
    concentrations, b   {element: atomic fraction}, {element: b_bar in fm}
    natoms, nnorm the number of atoms and the number the functions are normalised to
    thermal_option 0 none, 1 one u for every pair, 2 one u per partial, 3 one u below a
                  distance and one from it on, 4 u(r) from .urms records
    volume, cutoff, q_min   periodic boxes: the cell's volume (A^3), the cutoff of the pair
                  distances (A) and 2 pi / cutoff (1/A), the lowest Q the box resolves;
                  None for finite models
    modification  periodic boxes: "sinc" when pairs and continuum were weighted by
                  sinc(pi r / cutoff), else None
    urms          the .urms file of thermal option 4, when read from one
    stderr, nframes   averages over frames (zalmor.average): the standard error of each
                  block across frames (float32, block order) and the number of frames;
                  None for a single model. to_ioq writes stderr in the error column.
    """

    def __init__(self, q, elements, blocks, zero_q, concentrations, b, natoms, nnorm,
                 thermal_option=0):
        self.q = np.asarray(q, dtype=np.float32)
        self.elements = list(elements)
        n = len(self.elements)
        pairs = [(t, t) for t in range(1, n + 1)]
        pairs += [(a, c) for a in range(1, n + 1) for c in range(a + 1, n + 1)]
        self.labels = [(self.elements[a - 1], self.elements[c - 1]) for a, c in pairs]
        self.blocks = [np.asarray(y, dtype=np.float32) for y in blocks]
        if len(self.blocks) != len(self.labels) + 1:
            raise ValueError(f"{len(self.blocks)} blocks do not fit {n} atom types")
        if any(y.shape != self.q.shape for y in self.blocks):
            raise ValueError("every block needs one value per Q value")
        self.zero_q = np.asarray(zero_q, dtype=np.float32)
        self.concentrations = dict(concentrations)
        self.b = dict(b)
        self.natoms = int(natoms)
        self.nnorm = float(nnorm)
        self.thermal_option = int(thermal_option)
        self.volume = None
        self.cutoff = None
        self.q_min = None
        self.modification = None
        self.urms = None
        self.stderr = None
        self.nframes = None
        self._index = {}
        for k, (a, c) in enumerate(self.labels):
            self._index[_pair_key(a, c)] = k

    def __repr__(self):
        return (f"<zalmor.Result {self.natoms} atoms, {len(self.q)} Q values, partials "
                + ", ".join(f"{a}-{c}" for a, c in self.labels) + ">")

    def _block_index(self, a, c):
        try:
            return self._index[_pair_key(str(a), str(c))]
        except KeyError:
            raise KeyError(f"no partial {a}-{c}; the partials are "
                           + ", ".join(f"{x}-{y}" for x, y in self.labels)) from None

    def partial(self, a, b):
        """i_AB(Q) of the elements a and b, in either order."""
        return self.blocks[self._block_index(a, b)]

    def partial_zero_q(self, a, b):
        """The zero-Q limit of i_AB."""
        return self.zero_q[self._block_index(a, b)]

    @property
    def total(self):
        return self.blocks[-1]

    def to_ioq(self, path):
        """Writes the result as a .ioq file (version 2) that zalmor's tools read: one block
        per partial, then the total, with the block parameters and metadata of the
        program's files. The file appears whole or not at all."""
        from . import _core

        n = len(self.elements)
        bbar = [np.float32(self.b[e]) for e in self.elements]
        frac = [np.float32(self.concentrations[e]) for e in self.elements]
        ut = np.zeros(_UT_LEN, dtype=np.float32)
        ut[_io.BLOCK_PARAMS["nblocks"]] = len(self.blocks)
        ut[_io.BLOCK_PARAMS["ntypes"]] = n
        ut[_io.BLOCK_PARAMS["unity"]] = 1.0
        bb = _io.BLOCK_PARAMS["bbar"]
        for t in range(min(n, _io.MAX_BBAR_TYPES)):
            ut[bb + t] = bbar[t]
        x = np.append(self.q, np.float32(0))
        zeros = np.zeros(len(self.q), dtype=np.float32)

        def text(name, value):
            width = _TEXT_FIELDS[name]
            raw = value.encode("utf-8")[:width]
            return (name, "string", raw + b" " * (width - len(raw)))

        blocks = []
        for k, y in enumerate(self.blocks):
            if k < len(self.labels):
                a, c = self.labels[k]
                ta, tc = self.elements.index(a) + 1, self.elements.index(c) + 1
                ut[_io.BLOCK_PARAMS["frac_a"]] = frac[ta - 1]
                ut[_io.BLOCK_PARAMS["frac_b"]] = frac[tc - 1]
                ylabel = f"i{ta}{tc}(Q)"
            else:
                # The total keeps the fractions of the last partial, as in the program.
                ylabel = "Total i(Q)"
            ut[_io.BLOCK_PARAMS["zero_q"]] = self.zero_q[k]
            blocks.append([
                text("file", ""),
                ("ntc", "int32", len(self.q)),
                ("x", "float32[]", x),
                ("y", "float32[]", y),
                ("e", "float32[]", zeros if self.stderr is None
                 else np.asarray(self.stderr[k], dtype=np.float32)),
                text("xlabel", "Q / Inverse Angstroms"),
                text("ylabel", ylabel),
                text("spec_no", "0"),
                ("delta", "float32", 0.0),
                text("user_name", ""),
                ("nut", "int32", len(ut)),
                ("ut", "float32[]", ut.copy()),
                text("run_no", "0"),
                ("emode", "int32", 0),
                ("fi", "float32", 0.0),
                ("l1", "float32", 0.0),
                ("l2", "float32", 0.0),
                ("efixed", "float32", 0.0),
                ("twotheta", "float32", 0.0),
                ("run_duration", "float32", 0.0),
                text("inst_name", "Model"),
                text("title", _TITLE),
                text("time", ""),
                text("history", ""),
            ])

        created = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        # The type map goes where tocoords puts it, so that the tools name the partials.
        types = " ".join(f"{t}={e}" for t, e in enumerate(self.elements, 1))
        meta = [
            ("program", "zalmor"),
            ("version", _core.VERSION),
            ("created", created),
            ("host", socket.gethostname()),
            ("model_title", f"{_TITLE}: {self.natoms} atoms; types {types}"),
            ("natoms", str(self.natoms)),
            ("nnorm", _core.format_real(np.float32(self.nnorm))),
        ]
        if self.urms is not None:
            meta.append(("urms", os.fspath(self.urms)))
        meta.append(("thermal_option", str(self.thermal_option)))
        if self.cutoff is not None:
            # What makes the blocks those of a periodic box, for read_ioq and the reader; Q
            # below q_min says little about the material.
            q_min = self.q_min if self.q_min is not None else 2.0 * math.pi / self.cutoff
            meta += [("periodic_volume", repr(float(self.volume))),
                     ("periodic_cutoff", repr(float(self.cutoff))),
                     ("periodic_q_min", repr(float(q_min)))]
            if self.modification == "sinc":
                meta.append(("modification", _SINC))
        if self.nframes is not None:
            # Marks the error column as the standard error across frames, for read_ioq.
            meta.append(("frames", str(self.nframes)))
        data = _core.format_ioq([(k, v.encode("utf-8")) for k, v in meta], blocks)
        _write_whole(os.fspath(path), data)


def _write_whole(path, data):
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp",
                               dir=folder)
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data)
            fh.flush()
            os.fsync(fh.fileno())
        # mkstemp makes the file private; a result file is as readable as any other.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def read_ioq(path, types=None):
    """A .ioq file (the program's or Result.to_ioq's) as a Result. The elements come from
    the file's type map (NAME.types beside it or the model title, see zalmor.io.load) or
    `types` ({type number: element}); without one the types are named "1", "2", ...
    The number of atoms comes from the metadata or, for older files, the zero-Q limits."""
    run = _io.load(os.fspath(path), types=types)
    n = run.ntypes
    comp = _io.composition(run)
    elements = [run.type_name(t) for t in range(1, n + 1)]
    if len(set(elements)) != n:
        raise _io.IoqError(f"{path}: the type map names two types alike: {elements}")
    rows = {b.rows for b in run.blocks}
    if len(rows) != 1:
        raise _io.IoqError(f"{path}: the blocks have different numbers of Q values")
    option = run.meta_value("thermal_option")
    result = Result(
        q=run.blocks[0].q,
        elements=elements,
        blocks=[b.iq for b in run.blocks],
        zero_q=[b.ut[_io.BLOCK_PARAMS["zero_q"]] for b in run.blocks],
        concentrations={e: np.float32(comp.c[t]) for t, e in enumerate(elements)},
        b={e: np.float32(comp.b_run[t]) for t, e in enumerate(elements)},
        natoms=comp.natoms,
        nnorm=comp.nnorm,
        thermal_option=int(option) if option is not None and option.isdigit() else 0,
    )
    volume, cutoff = run.meta_value("periodic_volume"), run.meta_value("periodic_cutoff")
    try:
        if volume is not None and cutoff is not None and float(cutoff) > 0:
            result.volume, result.cutoff = float(volume), float(cutoff)
            result.q_min = 2 * math.pi / result.cutoff
            q_min = run.meta_value("periodic_q_min")
            if q_min is not None:
                result.q_min = float(q_min)
            if run.meta_value("modification") == _SINC:
                result.modification = "sinc"
    except ValueError:
        pass  # not numbers: read as a finite model's blocks
    result.urms = run.meta_value("urms")
    frames = run.meta_value("frames")
    if frames is not None and frames.isdigit():
        result.nframes = int(frames)
        result.stderr = [np.asarray(b.get("e", "float32[]")[: b.rows], dtype=np.float32)
                         for b in run.blocks]
    return result
