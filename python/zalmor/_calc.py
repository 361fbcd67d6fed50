"""zalmor.debye: the Debye sums of a model given as atoms, through the program's engines."""

import math
import os
import warnings
from collections.abc import Mapping

import numpy as np

from . import structure
from .result import Result

def _result(qv, elements, blocks, zero_q, bbar, count, nnorm, option):
    """The Result of the engines' blocks (which the core has checked finite)."""
    natoms = int(np.sum(count))
    return Result(
        q=qv,
        elements=elements,
        blocks=blocks,
        zero_q=zero_q,
        concentrations={e: np.float32(count[t] / natoms) for t, e in enumerate(elements)},
        b={e: bbar[t] for t, e in enumerate(elements)},
        natoms=natoms,
        nnorm=float(nnorm),
        thermal_option=option,
    )


class _Thermal:
    """The program's thermal option and what it takes: u values (A) in partial order, option
    3's break distance, option 4's records and total choice."""

    def __init__(self, option, uij=(), rcut=1.7, records=(), total_record=False, urms=None):
        self.option = option
        self.uij = np.array(uij, dtype=np.float32)
        self.rcut = float(np.float32(rcut))
        self.records = list(records)
        self.total_record = total_record
        self.urms = urms  # the file, for the metadata
        # A NaN u would pass every range check and come back as "values not finite"; a
        # negative u or r would be taken as its size, or put every pair beyond r, silently.
        if not (np.all(np.isfinite(self.uij)) and math.isfinite(self.rcut)):
            raise ValueError("thermal: every u and r must be a finite number of A")
        if np.any(self.uij < 0) or self.rcut < 0:
            raise ValueError("thermal: u (an RMS variation of a distance) and r are at least "
                             f"0 A, not {', '.join(f'{v:g}' for v in self.uij)}"
                             + (f" and r = {self.rcut:g}" if option == 3 else ""))


def _urms_records(table, elements, type_of):
    """The table's records with their type numbers made the model's."""
    records = []
    for rec in table.records:
        values = list(rec.as_tuple())
        if table.types is not None:
            pair = []
            for t in (rec.itype1, rec.itype2):
                if t == 0:
                    pair.append(0)
                    continue
                if t not in table.types:
                    raise ValueError(f".urms record {rec.itype1} {rec.itype2}: type {t} has no "
                                     "element in the table's type map")
                pair.append(type_of.get(table.types[t]))
            if None in pair:
                continue  # an element the model does not have
            values[0], values[1] = pair
        records.append(tuple(values))
    n = len(elements)
    if table.types is None and len(records) not in (n * n, n * n + 1):
        raise ValueError(f"the .urms table has {len(records)} records, not {n * n} or {n * n + 1} "
                         f"for {n} types (the program's error 25); name its types with a type map")
    if table.total_record and not any(r[0] == 0 and r[1] == 0 for r in records):
        raise ValueError("total_record needs a (0, 0) record in the .urms table")
    return records


def _thermal(thermal, labels, elements, type_of, count):
    """The thermal option of `thermal` (see debye)."""

    from . import io as _io

    if thermal is None:
        return _Thermal(0)
    if isinstance(thermal, (str, os.PathLike)):
        thermal = _io.read_urms(thermal)
    if isinstance(thermal, _io.UrmsTable):
        from . import _core

        records = _urms_records(thermal, elements, type_of)
        for text in _core.urms_warnings(records, [int(c) for c in count], thermal.total_record):
            warnings.warn(f"{thermal.path or '.urms table'}: {text}", stacklevel=3)
        return _Thermal(4, records=records, total_record=thermal.total_record, urms=thermal.path)
    if isinstance(thermal, Mapping):
        given = {}
        for key, u in thermal.items():
            try:
                a, c = key
            except (TypeError, ValueError):
                raise ValueError(f"thermal key {key!r} is not a pair of elements") from None
            pair = (a, c) if (a, c) in labels else (c, a)
            if pair not in labels:
                raise ValueError(f"thermal names the pair {a}-{c}, which the model does not have")
            if pair in given:
                raise ValueError(f"thermal gives the pair {a}-{c} twice")
            given[pair] = float(u)
        missing = [f"{a}-{c}" for a, c in labels if (a, c) not in given]
        if missing:
            raise ValueError("thermal gives no u of " + ", ".join(missing))
        return _Thermal(2, [given[p] for p in labels])
    if isinstance(thermal, (tuple, list)):
        if len(thermal) != 3:
            raise ValueError("thermal as a sequence is (u below r, r, u from r on), in A")
        u_short, rcut, u_long = (float(v) for v in thermal)
        return _Thermal(3, [u_short, u_long], rcut=rcut)
    return _Thermal(1, [float(thermal)])


def debye(atoms, q, *, b=None, types=None, thermal=None, engine="auto", threads=None,
          progress=None, cutoff=None, periodic=None, modification=None, client=None,
          pair_blocks=None):
    """i_AB(Q) and i(Q) of a finite model or a periodic box by the Debye equation, in barn per
    atom.

    atoms     an ase.Atoms, an MDAnalysis AtomGroup or Universe (its current frame), or a
              pair (positions N x 3 in A, symbols); any number of atoms. Types are numbered
              by the first appearance of each element (zalmor.structure.model).
    q         the Q values, 1/A (taken in single precision, as the program does)
    b         {element: b_bar} for every element, each a number in fm, a species ("6Li",
              "D") or an isotope mixture ("6Li:0.95,7Li:0.05"; the sums take the real part
              of a complex b, and warn); default the coherent lengths b_c of periodictable
    types     LAMMPS type numbers named: {1: "Cu", 2: "Zr"}, "1=Cu,2=Zr" or "Cu,Zr"; the
              atomic numbers of an ase.Atoms read from a LAMMPS file (which ASE takes for
              H, He, ...), the types of an AtomGroup or the symbols of the pair are then
              type numbers
    thermal   the program's thermal options (docs/guide.md, section 5), each pair's term
              times exp(-(u Q)^2 / 2): None (option 0); one u in A for every pair (1);
              {(A, B): u} for every pair of elements of the model (2); (u_short, r, u_long),
              u below the distance r and from r on (3); a .urms file's path or a
              zalmor.io.UrmsTable (4; finite models only)
    engine    "auto", "pairs", "moments" or "reference" (docs/engines.md)
    threads   number of threads, None for the machine's; at most its cores are used (a
              warning says so)
    progress  called about ten times a second with the fraction done, 0..1; an exception it
              raises stops the calculation and is raised (so is Ctrl-C's KeyboardInterrupt)
    periodic  None: periodic when an ase.Atoms is periodic along all three axes (atoms.pbc)
              or an MDAnalysis frame has box dimensions, a finite model otherwise; True (the
              structure's cell), False, or the cell rows a, b, c as a 3 x 3 array in A. A
              box's cell is reduced to the lattice's most compact cell and the positions
              are wrapped into it before they are rounded to single precision
    cutoff    periodic boxes: pairs at minimum-image distances below it count, and the uniform
              continuum within it is subtracted (docs/engines.md, "Periodic boxes"); default
              and largest half the reduced cell's smallest width between faces. Features in
              Q below 2 pi / cutoff (result.q_min) are not resolved.
    modification  periodic boxes: None, or "sinc" to weight the pairs and the continuum by
              sinc(pi r / cutoff), which takes the step at the cutoff smoothly to zero and
              so damps the ripples it makes in Q, at the cost of broader peaks
              (docs/engines.md, "Periodic boxes")
    client    finite models: a dask.distributed Client whose workers share the pairs, for a
              model too large for one machine's time; the atoms go out in pair_blocks
              blocks (default: enough for twice as many jobs as workers) and every job
              sums the pairs within two blocks together; the parts are combined in a fixed
              order, so the floats do not depend on the workers. It costs about twice the
              pair terms of one run (docs/guide.md, "One model on a cluster").
    pair_blocks  the number of blocks of atoms for client= (at least 3 to split anything);
              without a client the same jobs run here, one after another

    The weights, the grid of types and the normalisation (to the number of atoms) are the
    program's: the same model, lengths and Q values give the same floats.
    """
    return _debye(structure.model(atoms, periodic=periodic, types=types), q, b=b,
                  thermal=thermal, engine=engine, threads=threads, progress=progress,
                  cutoff=cutoff, modification=modification, client=client,
                  pair_blocks=pair_blocks)


def _debye(model, q, *, b=None, thermal=None, engine="auto", threads=None, progress=None,
           cutoff=None, modification=None, client=None, pair_blocks=None, reserve=0):
    """debye of a zalmor.structure.Model (b: a map of lengths, or None; reserve: bytes the
    caller will hold beside the result, which the core's memory check counts)."""
    from . import _core

    cell = model.cell
    if cell is None and cutoff is not None:
        raise ValueError("cutoff applies only to periodic boxes")
    if modification not in (None, "none", "sinc"):
        raise ValueError(f"modification must be None or 'sinc', not {modification!r}")
    modification = None if modification == "none" else modification
    if cell is not None and (client is not None or pair_blocks is not None):
        raise ValueError("client and pair_blocks split a finite model's pairs; the frames of "
                         "periodic boxes go to a cluster through zalmor.average(client=...)")
    if cell is None and modification is not None:
        raise ValueError("modification applies only to periodic boxes: a finite model's sums "
                         "have no cutoff to take down smoothly")
    xyz = model.xyz
    natoms = model.natoms
    qv = np.asarray(q, dtype=np.float32)
    if qv.ndim != 1 or qv.size == 0:
        raise ValueError("q must be a non-empty one-dimensional array")

    elements, types = model.elements, model.types
    type_of = {e: t for t, e in enumerate(elements, 1)}
    bbar = np.array(structure.scattering_lengths(elements, b), dtype=np.float32)
    if not np.all(np.isfinite(bbar)):
        raise ValueError("a scattering length is not finite in single precision")
    labels = [(elements[a - 1], elements[c - 1]) for a, c in _core.partials(len(elements))]
    from . import io as _io

    if cell is not None and isinstance(thermal, (str, os.PathLike, _io.UrmsTable)):
        raise ValueError("a .urms table (thermal option 4) does not apply to periodic boxes: "
                         "its u depends on the distance, the continuum's would too; use one u, "
                         "one per pair of elements, or (u_short, r, u_long)")
    count = model.counts
    th = _thermal(thermal, labels, elements, type_of, count)
    option, uij = th.option, th.uij
    nnorm = np.float32(natoms)

    if cell is not None:
        return _debye_periodic(xyz, types, qv, elements, labels, bbar, th, nnorm, model,
                               cutoff, threads, progress, modification, count_of=count,
                               reserve=reserve)

    # Everything but the atoms, Q and progress, as _core.compute names it.
    settings = {"ntypes": len(elements), "bbar": bbar.tolist(), "nnorm": float(nnorm),
                "thermal_option": option, "uij": uij.tolist(), "engine": engine,
                "threads": threads, "rcut": th.rcut, "urms": th.records,
                "total_record": th.total_record, "reserve": int(reserve)}
    if client is None and pair_blocks is None:
        blocks, zero_q = _compute(xyz, types, qv, settings, progress)
    else:
        blocks = _by_pair_blocks(xyz, types, qv, settings, client, pair_blocks, progress)
        zero_q = _core.zero_q(count.tolist(), bbar.tolist(), float(nnorm))
    result = _result(qv, elements, blocks, zero_q, bbar, count, nnorm, option)
    result.urms = th.urms
    return result


def _compute(xyz, types, qv, settings, progress=None, **box):
    """The blocks and their zero-Q limits from the core, its notes (fewer threads than asked
    for) given as warnings."""
    from . import _core

    blocks, zero_q, notes = _core.compute(xyz, types, qv, progress=progress, **settings, **box)
    for note in notes:
        warnings.warn(f"zalmor: the calculation {note}", stacklevel=3)
    return blocks, np.asarray(zero_q, dtype=np.float32)


def _pair_block_sums(xyz, types, ranges, qv, settings):
    """The blocks of the pairs within the atoms of `ranges` (index ranges of the model), in
    float64; module level so that dask can send it to workers."""
    from . import _core

    idx = np.concatenate([np.arange(a, b) for a, b in ranges])
    sums, _, _ = _core.compute(np.ascontiguousarray(xyz[idx]), np.ascontiguousarray(types[idx]),
                               qv, **settings)
    return np.array(sums, dtype=np.float64)


def _by_pair_blocks(xyz, types, qv, settings, client, pair_blocks, progress):
    """The blocks of a finite model from the jobs the core plans over blocks of atoms
    (_core.pair_block_jobs: every pair lies within one block or between two), on a client's
    workers when one is given; their sums are combined in float64 in the planned order and
    rounded to float once."""
    from . import _core

    workers = 1 if client is None else len(client.scheduler_info().get("workers", {}))
    jobs = _core.pair_block_jobs(len(types), workers, pair_blocks)
    if client is None:
        finished = ((n, _pair_block_sums(xyz, types, ranges, qv, settings))
                    for n, (ranges, _) in enumerate(jobs))
    else:
        import distributed

        shared = client.scatter([xyz, types, qv], broadcast=True)
        futures = {client.submit(_pair_block_sums, *shared[:2], ranges, shared[2], settings,
                                 pure=False): n for n, (ranges, _) in enumerate(jobs)}
        finished = ((futures[f], f.result()) for f in distributed.as_completed(futures))
    # Added in job order as soon as they can be: only jobs finished ahead of an earlier one
    # wait in memory.
    total, waiting, cursor = 0.0, {}, 0
    for done, (n, part) in enumerate(finished, 1):
        waiting[n] = part
        while cursor in waiting:
            total = total + jobs[cursor][1] * waiting.pop(cursor)
            cursor += 1
        if progress is not None:
            progress(done / len(jobs))
    return [row.astype(np.float32) for row in total]


def _debye_periodic(xyz, types, qv, elements, labels, bbar, th, nnorm, model, cutoff,
                    threads, progress, modification, count_of, reserve=0):
    cell, volume, rc = model.cell, model.volume, model.distance(cutoff, "the cutoff")
    settings = {"ntypes": len(elements), "bbar": bbar.tolist(), "nnorm": float(nnorm),
                "thermal_option": th.option, "uij": th.uij.tolist(), "threads": threads,
                "rcut": th.rcut, "reserve": int(reserve)}
    blocks, zero_q = _compute(xyz, types, qv, settings, progress,
                              cell=[float(v) for v in cell.reshape(9)], cutoff=rc,
                              modification=modification or "none")
    result = _result(qv, elements, blocks, zero_q, bbar, count_of, nnorm, th.option)
    result.volume = volume
    result.cutoff = rc
    result.q_min = 2.0 * math.pi / rc
    result.modification = modification
    return result
