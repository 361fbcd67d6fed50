"""The result of a Debye calculation: every partial i_AB(Q), the total i(Q) and what they
were computed from; written to and read from .ioq files as the zalmor program has them."""

import datetime
import math
import os
import re
import socket

import numpy as np

from . import io as _io
from ._command import Outputs

# What every block of a file carries besides Q and i(Q), as the program writes it: the
# tools look for these fields by name.
_TEXT_FIELDS = {"file": 80, "xlabel": 40, "ylabel": 40, "spec_no": 10, "user_name": 20,
                "run_no": 10, "inst_name": 8, "title": 80, "time": 20, "history": 200}
_TITLE = "zalmor.debye"
_AVERAGE_TITLE = "zalmor.average"  # a mean over frames
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
        program's files. The file appears whole or not at all (zalmor._command.Outputs: an
        earlier file of that name stays whole until the new one is complete)."""
        from . import _core

        title = _TITLE if self.nframes is None else _AVERAGE_TITLE
        n = len(self.elements)
        bbar = [np.float32(self.b[e]) for e in self.elements]
        frac = [np.float32(self.concentrations[e]) for e in self.elements]
        ut = np.zeros(_core.LIMITS["block_params"], dtype=np.float32)
        ut[_io.BLOCK_PARAMS["nblocks"]] = len(self.blocks)
        ut[_io.BLOCK_PARAMS["ntypes"]] = n
        ut[_io.BLOCK_PARAMS["unity"]] = 1.0
        bb = _io.BLOCK_PARAMS["bbar"]
        for t in range(min(n, _core.LIMITS["stored_bbar_types"])):
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
                text("title", title),
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
            ("model_title", f"{title}: {self.natoms} atoms; types {types}"),
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
        with Outputs() as out:
            out.write_bytes(os.fspath(path), data)




# ---------------------------------------------------------------------------- from a file


def read_ioq(path, types=None):
    """A .ioq file (the program's or Result.to_ioq's) as a Result. The elements come from
    the file's type map (NAME.types beside it or the model title, see zalmor.io.load) or
    `types` ({type number: element}); without one the types are named "1", "2", ...
    The number of atoms comes from the metadata or, for older files, the zero-Q limits."""
    return from_file(_io.load(os.fspath(path), types=types))[0]


def from_file(run, natoms=None, nnorm=None, bbar=None):
    """A file loaded by zalmor.io.load as a Result, and the notes that say how its number
    of atoms and nnorm were found. natoms and nnorm replace what the file records; bbar
    (fm, every type) supplies the b_bar of types beyond those the file stores.

    The fractions c and the b_bar are the block parameters'. The stored zero-Q limit of a
    like partial (t,t) is 0.01 b_t^2 n_t (n_t - 1) / nnorm with n_t = c_t N atoms of type t,
    and that of the total 0.01 ((sum_i b_i)^2 - sum_i b_i^2) / nnorm. nnorm is the answered
    value when the file records it, else N (the program's default) unless given; N then
    follows from the limit, unless given or in the metadata."""
    from ._core import LIMITS

    n = run.ntypes
    notes = []
    c = np.array([float(run.blocks[t - 1].ut[_io.UT_FRAC_A]) for t in range(1, n + 1)])
    if not (np.all(np.isfinite(c)) and np.all(c >= 0) and abs(c.sum() - 1) < 1e-3):
        raise _io.IoqError(f"{run.path}: the atomic fractions of the block parameters ("
                           + ", ".join(f"{v:.4g}" for v in c) + ") do not add up to 1 "
                           "(not a zalmor result?)")
    stored = min(n, LIMITS["stored_bbar_types"])
    b_run = np.full(n, np.nan)
    b_run[:stored] = run.blocks[0].ut[_io.UT_BBAR : _io.UT_BBAR + stored]
    if n > stored:
        if bbar is None:
            raise _io.IoqError(f"{run.path}: the file stores b_bar for {stored} of the {n} "
                               "atom types; give all of them with --bbar")
        from .derived import bbar_values

        b_run[stored:] = bbar_values(bbar, n)[stored:]
        notes.append(f"b_bar of types {stored + 1}..{n} are not stored; taken from --bbar")
    recorded_nnorm = nnorm is None
    if nnorm is None:
        nnorm = _nnorm_from_answers(run)
    else:
        try:
            recorded = _nnorm_from_answers(run)
        except _io.IoqError:
            recorded = None  # a bad record is what the given nnorm replaces
        if recorded is not None and recorded != nnorm:
            notes.append(f"nnorm {nnorm:g} as given, in place of the {recorded:g} the file "
                         "records")
    if natoms is None and run.meta_value("natoms") is not None:
        natoms = _meta_number(run, "natoms")
        if natoms is None or not (math.isfinite(natoms) and natoms == int(natoms)
                                  and 1 <= natoms <= _io.MAX_RECORDED_ATOMS):
            raise _io.IoqError(f"{run.path}: the metadata give natoms "
                               f"'{run.meta_value('natoms')}', not a number of atoms from 1 to "
                               f"{_io.MAX_RECORDED_ATOMS}; give --natoms")
        natoms = int(natoms)
    if natoms is not None:
        # Every type holds a whole number of atoms; a wrong N shows here before it turns
        # every normalisation. (c is kept in single precision: N c is off by N 6e-8 at most.)
        for t in range(1, n + 1):
            held = c[t - 1] * natoms
            if not math.isfinite(held) or abs(held - round(held)) > 1e-3 + 1e-6 * natoms:
                raise _io.IoqError(f"{natoms} atoms do not fit the atomic fractions of "
                                   f"{run.path}: type {t} would hold {held:.4g} atoms")
    if natoms is None:
        natoms, spread = _natoms_from_limits(run, c, b_run, nnorm)
        if natoms is None:
            raise _io.IoqError(f"{run.path}: cannot tell the number of atoms from the zero-Q "
                               "limits (every b_bar 0?); give --natoms")
        notes.append(f"N = {natoms} atoms from the zero-Q limits"
                     + ("" if nnorm is not None else ", taking nnorm = N"))
        if spread > 0.5:
            # Each type's limit gives N; they agree only with the right nnorm.
            notes.append("warning: the zero-Q limits of the types disagree on N by "
                         f"{spread:.3g}: the run was normalised to another number; "
                         "give --nnorm (and --natoms)")
    if nnorm is None:
        nnorm = float(natoms)
    elif recorded_nnorm and nnorm != natoms:
        # Only a run normalised to another number than its atoms is worth a word.
        notes.append(f"nnorm {nnorm:g} as the file records it, not the {natoms} atoms")
    elements = [run.type_name(t) for t in range(1, n + 1)]
    if len(set(elements)) != n:
        raise _io.IoqError(f"{run.path}: the type map names two types alike: {elements}")
    if len({b.rows for b in run.blocks}) != 1:
        raise _io.IoqError(f"{run.path}: the blocks have different numbers of Q values")
    option = run.meta_value("thermal_option")
    result = Result(
        q=run.blocks[0].q,
        elements=elements,
        blocks=[b.iq for b in run.blocks],
        zero_q=[b.ut[_io.UT_ZERO_Q] for b in run.blocks],
        concentrations={e: np.float32(c[t]) for t, e in enumerate(elements)},
        b={e: np.float32(b_run[t]) for t, e in enumerate(elements)},
        natoms=natoms,
        nnorm=nnorm,
        thermal_option=int(option) if option is not None and option.isdigit() else 0,
    )
    volume, cutoff = _meta_number(run, "periodic_volume"), _meta_number(run, "periodic_cutoff")
    if volume is not None and cutoff is not None and volume > 0 and cutoff > 0:
        result.volume, result.cutoff = volume, cutoff
        q_min = _meta_number(run, "periodic_q_min")
        result.q_min = q_min if q_min is not None else 2 * math.pi / cutoff
        if run.meta_value("modification") == _SINC:
            result.modification = "sinc"
    result.urms = run.meta_value("urms")
    frames = run.meta_value("frames")
    if frames is not None and frames.isdigit():
        result.nframes = int(frames)
        result.stderr = [np.asarray(b.get("e", "float32[]")[: b.rows], dtype=np.float32)
                         for b in run.blocks]
    return result, notes


def _meta_number(run, key):
    value = run.meta_value(key)
    try:
        v = float(value) if value is not None else None
    except ValueError:
        return None
    return v if v is None or math.isfinite(v) else None


def _nnorm_from_answers(run):
    """nnorm as answered, from the answers recorded in a version-2 file, or None when it
    was the default (the number of atoms) or is not recorded. The model-name prompt repeats
    on an empty answer, so the answers after the first non-empty one count."""
    if run.meta_value("nnorm") is not None:
        recorded = _meta_number(run, "nnorm")
        if recorded is None or not _io.MIN_NNORM <= abs(recorded) <= _io.FLOAT32_MAX:
            raise _io.IoqError(f"{run.path}: the metadata give nnorm "
                               f"'{run.meta_value('nnorm')}', not a number a run can "
                               "normalise to; give --nnorm")
        return recorded
    answers = run.meta_values("answer")
    while answers and not answers[0].strip():
        answers = answers[1:]
    # Trusted only when the lines-to-skip answer before it is a plain count: a refused and
    # repeated answer would shift the positions.
    if len(answers) < 3 or not answers[2].strip() or not re.fullmatch(r"\s*[0-9]*\s*", answers[1]):
        return None
    try:
        value = float(answers[2].replace(",", " ").split()[0].replace("d", "e").replace("D", "e"))
    except (ValueError, IndexError):
        return None
    # The program asks again after 0 or a number beyond single precision: the answer that
    # counted is then a later one.
    if not (math.isfinite(value) and _io.MIN_NNORM <= abs(value) <= _io.FLOAT32_MAX):
        return None
    return value


def _natoms_from_limits(run, c, b, nnorm):
    """N and the spread of the estimates of the types (0 with fewer than two)."""
    best = None  # (atoms of the type, N)
    estimates = []
    for t in range(1, len(c) + 1):
        lim = float(run.blocks[t - 1].ut[_io.UT_ZERO_Q])
        ct, bt = c[t - 1], b[t - 1]
        if not (ct > 0 and bt != 0 and math.isfinite(bt) and math.isfinite(lim)):
            continue
        if nnorm is None:
            # lim = 0.01 b^2 c (c N - 1)
            N = (lim / (0.01 * bt * bt * ct) + 1.0) / ct
        else:
            k = lim * nnorm / (0.01 * bt * bt)  # n_t (n_t - 1)
            N = (0.5 + math.sqrt(0.25 + max(k, 0.0))) / ct
        estimates.append(N)
        if best is None or ct * N > best[0]:
            best = (ct * N, N)
    if best is None:
        lim = float(run.blocks[-1].ut[_io.UT_ZERO_Q])
        mb, mb2 = float(np.sum(c * b)), float(np.sum(c * b * b))
        if mb == 0 or not math.isfinite(mb):
            return None, 0.0
        if nnorm is None:
            N = (lim / 0.01 + mb2) / (mb * mb)  # lim = 0.01 (N <b>^2 - <b^2>)
        else:
            # lim nnorm / 0.01 = N^2 <b>^2 - N <b^2>
            k = lim * nnorm / 0.01
            N = (mb2 + math.sqrt(mb2 * mb2 + 4 * mb * mb * k)) / (2 * mb * mb)
        best = (N, N)
    N = best[1]
    if not (math.isfinite(N) and N >= 1):
        return None, 0.0
    spread = max(estimates) - min(estimates) if len(estimates) > 1 else 0.0
    return int(round(N)), spread
