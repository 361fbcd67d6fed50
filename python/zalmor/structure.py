"""Structures as the compiled part takes them: the one place where a structure (an ase.Atoms,
positions and symbols, an MDAnalysis AtomGroup or Universe, a structure file or trajectory)
becomes a model, for zalmor.debye, zalmor.average, zalmor.pair_distribution and the
commands zalmor-box and tocoords.

    m = zalmor.structure.model(atoms, types="1=Cu,2=Zr")   # m.xyz, m.types, m.elements, m.cell
    for number, m in zalmor.structure.frames("dump.lammpstrj", types="Cu,Zr").models(): ...

The rules, each kept here only:
- every atom's label is its element symbol, or the label a type map gives its LAMMPS type
  number ({1: "Cu"}, "1=Cu,2=Zr" or "Cu,Zr"); a LAMMPS file whose types are not named is
  refused, with a map guessed from the masses it gives;
- types are numbered from 1 by the first appearance of each label (the order fixes the
  floats of the sums);
- a periodic box's cell is reduced (Minkowski) to a canonical cell of the same lattice, and
  the positions are wrapped into it in double precision and only then rounded to single:
  every description of the lattice, and atoms moved by whole cell vectors, give the same
  model, and the default cutoff is that of the lattice, half the reduced cell's smallest
  width between faces;
- a scattering length is a number in fm, a species (6Li, D) or an isotope mixture
  (6Li:0.95,7Li:0.05), by label; by default periodictable's coherent b_c of the label;
- the frames of a trajectory keep the first frame's composition and one distance (cutoff,
  rmax) within every frame's cell.
"""

import contextlib
import functools
import itertools
import math
import numbers
import os
import re
import warnings
from collections.abc import Mapping, Sequence

import numpy as np

from . import derived

# Neutron b_c lie within about +-20 fm and X-ray f0 r_e below 300 fm: a length far beyond is a
# typing slip.
MAX_B = 1e4
# Trajectories that MDAnalysis reads (with a topology); ASE reads the rest.
MDA_FORMATS = (".dcd", ".xtc", ".trr")
FORMAT_EXAMPLES = "lammps-data, lammps-dump-text, xyz, extxyz, cif, vasp, proteindatabank, rmc6f"
_LAMMPS_FORMATS = ("lammps-data", "lammps-dump-text", "lammps-dump-binary")


def _example(option, text):
    """How a value is given to `option`: types='1=Si,2=O' for a keyword, --types 1=Si,2=O
    for a command's option."""
    return f"{option}'{text}'" if option.endswith("=") else f"{option} {text}"


def _shown(option, text):
    """A value given to `option` as messages quote it."""
    return f"{option}'{text}'" if option.endswith("=") else f"{option} '{text}'"


# ---------------------------------------------------------------------------- labels


@functools.lru_cache(maxsize=512)
def element_of(label):
    """The element symbol of a type label that names an element, isotope or ion (Si, D,
    6Li, Li[6], Fe2+)."""
    atom = derived.species(label)
    return getattr(atom, "element", atom).symbol


def type_map(given, option="types="):
    """{LAMMPS type number: label} from `1=Cu,2=Zr` or `Cu,Zr` (in type order), a mapping
    {1: "Cu"} or a sequence ["Cu", "Zr"]; every label an element, isotope or ion. Several
    types may have one label. `option` names the argument in the messages."""
    if isinstance(given, str):
        shown = _shown(option, given)
        items = [w.strip() for w in given.split(",")]
        if not all(items):
            raise ValueError(f"{shown} is not a list like 1=Si,2=O or Si,O")
        if any("=" in w for w in items):
            pairs = []
            for w in items:
                key, _, label = w.partition("=")
                if not key.strip().isdigit() or not label.strip():
                    raise ValueError(f"{shown}: '{w}' is not TYPE=ELEMENT like 1=Si")
                pairs.append((int(key), label.strip()))
        else:
            pairs = list(enumerate(items, 1))
    elif isinstance(given, Mapping):
        shown = f"{option}{dict(given)!r}" if option.endswith("=") else f"{option}"
        pairs = list(given.items())
    elif isinstance(given, Sequence):
        shown = f"{option}{list(given)!r}" if option.endswith("=") else f"{option}"
        pairs = list(enumerate(given, 1))
    else:
        raise TypeError(f"{option.rstrip('=')} is a map of LAMMPS types like {{1: 'Si', 2: 'O'}} "
                        f"or '1=Si,2=O', not {type(given).__name__}")
    out = {}
    for key, label in pairs:
        number = _whole(key)
        if number is None or not isinstance(label, str) or not label.strip():
            raise ValueError(f"{shown}: {key!r}: {label!r} is not a type number and a label")
        if number < 1:
            raise ValueError(f"{shown}: LAMMPS types are numbered from 1")
        if number in out:
            raise ValueError(f"{shown} names type {number} twice")
        try:
            element_of(label.strip())
        except ValueError as e:
            raise ValueError(f"{shown}: {e}") from None
        out[number] = label.strip()
    if not out:
        raise ValueError(f"{shown} names no type")
    return out


def _whole(value):
    """A whole number given as an int or its digits; None for anything else."""
    if isinstance(value, (numbers.Integral, np.integer)) and not isinstance(value, bool):
        return int(value)
    if isinstance(value, str) and value.strip().isdigit():
        return int(value)
    return None


def _map_text(tmap):
    return ",".join(f"{t}={label}" for t, label in sorted(tmap.items()))


def guess_by_mass(type_numbers, masses):
    """{type: element} whose standard mass matches each type's mass (a LAMMPS data file's
    Masses), or None when a type matches none."""
    if masses is None:
        return None
    from ase.data import atomic_masses, chemical_symbols

    masses = np.asarray(masses, dtype=np.float64)
    guess = {}
    for t in np.unique(type_numbers).tolist():
        m = masses[np.flatnonzero(type_numbers == t)[0]]
        z = int(np.argmin(np.abs(atomic_masses[1:] - m))) + 1
        if not abs(atomic_masses[z] - m) <= 0.1:
            return None
        guess[t] = chemical_symbols[z]
    return guess


def name_types(type_numbers, tmap, where="", option="types=", masses=None):
    """Each atom's label from its LAMMPS type number by `tmap` (type_map); refused, with a
    map to give (guessed from the masses when they match elements), when a type is not
    named or there is no map. `where` starts the messages (a file's name)."""
    given = np.asarray(type_numbers).reshape(-1)
    if given.dtype.kind not in "iu":
        try:
            as_int = given.astype(np.int64)
        except (TypeError, ValueError):
            raise ValueError(f"{where}the atom types {sorted(set(given.tolist()))[:4]} are not "
                             f"the numbers {_example(option, '1=Si,2=O')} names") from None
        if given.dtype.kind == "f" and not np.array_equal(as_int, given):
            raise ValueError(f"{where}the atom types are not whole numbers")
        given = as_int
    if given.size and given.min() < 1:
        at = int(np.argmin(given))
        raise ValueError(f"{where}atom {at + 1} has LAMMPS type {given[at]}; types are "
                         "numbered from 1")
    present, inverse = np.unique(given, return_inverse=True)
    if tmap is None:
        guess = guess_by_mass(given, masses)
        if guess:
            how = "by the masses in the file perhaps"
        else:
            examples = ["Si", "O", "Na", "Ca", "Al", "Mg", "H", "C", "N", "Fe"]
            guess = {t: examples[k % len(examples)] for k, t in enumerate(present.tolist())}
            how = "e.g."
        named = ",".join(f"{t}={guess[t]}" for t in present.tolist())
        raise ValueError(f"{where}a LAMMPS file numbers its atom types "
                         f"({', '.join(map(str, present.tolist()))}) but does not name their "
                         f"elements: give them with {option.rstrip('=')} "
                         f"({how} {_example(option, named)})")
    missing = [t for t in present.tolist() if t not in tmap]
    if missing:
        raise ValueError(f"{where}LAMMPS type {missing[-1]} has no element in "
                         f"{_example(option, _map_text(tmap))}")
    return np.asarray([tmap[t] for t in present.tolist()])[inverse.reshape(-1)]


# ---------------------------------------------------------------------------- files


def resolve_format(path, fmt=None):
    """The ASE format of a structure file: `fmt` when ASE knows it, else the one ASE tells
    from the file's name and content."""
    from ase.io.formats import filetype, ioformats

    if fmt is not None:
        if fmt not in ioformats:
            raise ValueError(f"--format {fmt}: ASE knows no such format (e.g. "
                             f"{FORMAT_EXAMPLES})")
        return fmt
    try:
        fmt = filetype(path, guess=True)
    except Exception as e:  # noqa: BLE001 - ASE raises many kinds here
        raise ValueError(f"{path}: cannot tell the file format ({e}); give --format, e.g. "
                         f"{FORMAT_EXAMPLES}") from None
    if fmt not in ioformats:
        # ASE falls back on the extension, which names no format here.
        hint = "; a LAMMPS data file is --format lammps-data" if fmt == "data" else ""
        raise ValueError(f"{path}: cannot tell the file format from its name; give --format, "
                         f"e.g. {FORMAT_EXAMPLES}{hint}")
    return fmt


def dump_names_elements(path):
    """Whether a LAMMPS text dump has an `element` column: ASE then reads elements, not types."""
    with open(path, encoding="utf-8", errors="replace") as fh:
        for line in fh:
            if line.startswith("ITEM: ATOMS"):
                return "element" in line.split()[2:]
    return False


def reader_options(path, fmt):
    """The keywords to read a file with in ASE, to be tried in turn: a LAMMPS data file names
    its atom style on its `Atoms # style` line, or not at all, and then the styles are tried
    by the number of columns they expect."""
    if fmt != "lammps-data":
        return [{}]
    with open(path, encoding="utf-8", errors="replace") as fh:
        for line in fh:
            m = re.match(r"\s*Atoms\s*#\s*(\w+)", line)
            if m:
                return [{"style": m.group(1)}]
    return [{"style": style} for style in ("atomic", "full", "charge", "molecular")]


def _opened(path, sel, fmt):
    """ASE's reader of the frames and its first frame, by the first of the file's reader
    options that reads it."""
    import ase.io

    options = reader_options(path, fmt)
    for k, given in enumerate(options):
        reader = ase.io.iread(path, index=sel, format=fmt, **given)
        try:
            return reader, next(reader)
        except RuntimeError:
            if k == len(options) - 1:
                raise
    raise AssertionError("no reader options")


def numbered_types(path, fmt):
    """Whether ASE reads the file's atom types as numbers to be named (a LAMMPS file that
    names no elements)."""
    if fmt not in _LAMMPS_FORMATS:
        return False
    return not (fmt == "lammps-dump-text" and dump_names_elements(path))


def _check_file_map(path, fmt, tmap, option):
    """Refuses a type map for a LAMMPS dump that names its elements itself."""
    if tmap is not None and fmt.startswith("lammps") and not numbered_types(path, fmt):
        raise ValueError(f"{path}: the dump names the elements in its element column; leave "
                         f"out {option.rstrip('=')}")


def file_labels(atoms, path, fmt, tmap, option="types="):
    """Each atom's label in an ase.Atoms read from `path`: by the type map when one is given
    (the atomic numbers are then the types), None when the file names the elements itself;
    a LAMMPS file that names no elements is refused without a map, with one guessed from
    the masses it gives."""
    _check_file_map(path, fmt, tmap, option)
    if tmap is None and not numbered_types(path, fmt):
        return None
    masses = atoms.get_masses() if atoms.has("masses") else None
    return name_types(atoms.get_atomic_numbers(), tmap, f"{path}: ", option, masses)


def _count_frames(path, fmt):
    """The number of frames of an xyz or LAMMPS text dump by a scan of its lines (some 3% of
    reading it), a last frame that the file ends inside included, and whether the scan saw
    the file end inside it; (None, False) for other formats."""
    if fmt in ("xyz", "extxyz"):
        count = 0
        with open(path, "rb") as fh:
            for line in fh:
                if not line.strip():
                    break
                try:
                    natoms = int(line)
                except ValueError:
                    return None, False  # the reader will say what is wrong
                count += 1
                if sum(1 for _ in itertools.islice(fh, natoms + 1)) < natoms + 1:
                    return count, True
        return count, False
    if fmt == "lammps-dump-text":
        with open(path, "rb") as fh:
            return sum(1 for line in fh if line.startswith(b"ITEM: TIMESTEP")), False
    return None, False


def _dump_cells(path):
    """The cell of every frame of a LAMMPS text dump as ASE reads it (rows a, b, c; None for
    a frame not periodic along all three axes), from its BOX BOUNDS lines alone; None when
    they are not as expected (the reader will tell)."""
    from ase.io.lammpsrun import construct_cell

    cells = []
    with open(path, "rb") as fh:
        for line in fh:
            if not line.startswith(b"ITEM: BOX BOUNDS"):
                continue
            items = line.decode("ascii", "replace").split()[3:]
            try:
                rows = [[float(v) for v in next(fh).split()] for _ in range(3)]
            except (StopIteration, ValueError):
                return None
            if {len(r) for r in rows} not in ({2}, {3}):
                return None
            tilt = [0.0, 0.0, 0.0]
            if len(rows[0]) == 3:
                tilt = [r[2] for r in rows]
                if len(items) >= 3 and all(t in items for t in ("xy", "xz", "yz")):
                    tilt = [tilt[items.index(t)] for t in ("xy", "xz", "yz")]
            flags = items[3:6] if len(items) > 3 else items
            periodic = len(flags) == 3 and all("p" in f.lower() for f in flags)
            cell, _ = construct_cell([v for r in rows for v in r[:2]], tilt)
            cells.append(cell if periodic else None)
    return cells


# ---------------------------------------------------------------------------- cells


def volume(cell):
    """|a . (b x c)| of a cell (rows a, b, c), formed as the core forms it: a default cutoff
    of half a width must not come out a rounding above the core's own."""
    a, b, c = np.asarray(cell, dtype=np.float64)
    return abs(float(np.dot(a, np.cross(b, c))))


def widths(cell):
    """The distances between opposite faces of a cell (rows a, b, c)."""
    cell = np.asarray(cell, dtype=np.float64)
    return volume(cell) / np.linalg.norm(np.cross(cell[[1, 2, 0]], cell[[2, 0, 1]]), axis=1)


# Every order and sign of three rows: the reduced cells of one lattice differ by these.
_ORDERS = np.array(list(itertools.permutations(range(3))))
_SIGNS = np.array(list(itertools.product((1.0, -1.0), repeat=3)))


@functools.lru_cache(maxsize=64)
def _reduced(raw):
    from ase.geometry import minkowski_reduce

    cell = np.frombuffer(raw, dtype=np.float64).reshape(3, 3)
    try:
        with np.errstate(all="ignore"):
            rcell, _ = minkowski_reduce(cell, pbc=True)
    except Exception:  # noqa: BLE001 - ASE gives up on a cell too degenerate to reduce
        raise ValueError("the cell is too flat to reduce: its rows are almost in one "
                         "plane") from None
    if not np.all(np.isfinite(rcell)):
        raise ValueError("the cell is too flat to reduce: its rows are almost in one plane")
    # Minkowski bases of one lattice differ in the order and signs of their rows (or, for a
    # lattice of special symmetry, by a few more choices): one of them, the largest in the
    # order of its rows' components rounded well above the reduction's rounding, is taken.
    variants = (rcell[_ORDERS][:, None, :, :] * _SIGNS[None, :, :, None]).reshape(-1, 3, 3)
    keys = np.round(variants.reshape(-1, 9) / np.abs(rcell).max(), 9)
    best = np.lexsort(keys.T[::-1])[-1]
    out = variants[best].copy()
    out.flags.writeable = False
    return out


def reduced_cell(cell):
    """A canonical Minkowski-reduced cell of the lattice of `cell` (rows a, b, c in A): the
    same for every description of the lattice, as close to orthogonal as the lattice
    allows, and so as wide between its faces as a cell of it can be."""
    cell = np.ascontiguousarray(cell, dtype=np.float64)
    if cell.shape != (3, 3):
        raise ValueError(f"the cell has shape {cell.shape}, not (3, 3)")
    if not np.all(np.isfinite(cell)):
        raise ValueError("the cell has values that are not finite")
    if not abs(float(np.linalg.det(cell))) > 0.0:
        raise ValueError("the cell has no volume")
    return _reduced(cell.tobytes())


# Beyond this many cells a position's double does not tell its place in the cell within the
# single precision the sums keep (a part in 10^7).
_FARTHEST_CELLS = 1e8


def wrap(positions, cell, origin=None, pbc=(True, True, True)):
    """The positions (A, float64) moved by whole cell vectors into the cell that starts at
    `origin`, along its periodic axes (pbc)."""
    cell = np.asarray(cell, dtype=np.float64)
    x = np.asarray(positions, dtype=np.float64)
    if origin is not None:
        x = x - np.asarray(origin, dtype=np.float64).reshape(3)
    frac = x @ np.linalg.inv(cell)
    far = np.abs(frac).max(axis=1)
    if far.size and far.max() > _FARTHEST_CELLS:
        at = int(np.argmax(far))
        raise ValueError(f"atom {at + 1} lies {far[at]:.3g} cells away: too far for its "
                         "place in the cell to be known")
    pbc = np.asarray(pbc, dtype=bool)
    along = frac[:, pbc]
    along -= np.floor(along)
    along[along >= 1.0] = 0.0  # -1e-17 - floor(-1e-17) rounds to 1.0
    frac[:, pbc] = along
    out = frac @ cell
    return out if origin is None else out + np.asarray(origin, dtype=np.float64).reshape(3)


# ---------------------------------------------------------------------------- structures


def _is_ase(obj):
    return hasattr(obj, "get_chemical_symbols") and hasattr(obj, "get_positions")


def _is_mda_group(obj):
    return type(obj).__name__ == "AtomGroup" and hasattr(obj, "universe")


def _is_universe(obj):
    return type(obj).__name__ == "Universe" and hasattr(obj, "trajectory")


class _Snapshot:
    """A frame already read and named (MDAnalysis trajectories): positions, each atom's
    label, and the box's cell or None."""

    def __init__(self, positions, labels, cell):
        self.positions, self.labels, self.cell = positions, labels, cell


def _is_pair(obj):
    """Whether obj is (positions N x 3, symbols) rather than two frames."""
    if not (isinstance(obj, (tuple, list)) and len(obj) == 2):
        return False
    first = obj[0]
    if _is_ase(first) or _is_mda_group(first) or isinstance(first, (tuple, _Snapshot)):
        return False
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return np.ndim(first) == 2
    except (ValueError, TypeError):
        return False


def is_structure(obj):
    """Whether obj is one structure (an ase.Atoms, an MDAnalysis AtomGroup, (positions,
    symbols)) rather than frames of a trajectory (a path, a Universe, an iterable)."""
    return _is_ase(obj) or _is_mda_group(obj) or isinstance(obj, _Snapshot) or _is_pair(obj)


def _mda_cell(dimensions):
    if dimensions is None:
        return None
    from MDAnalysis.lib.mdamath import triclinic_vectors

    cell = np.asarray(triclinic_vectors(dimensions), dtype=np.float64)
    return cell if abs(float(np.linalg.det(cell))) > 0 else None


def _mda_masses(ag):
    """The masses a topology gives, or None: MDAnalysis guesses 1.0 for atoms of a LAMMPS
    dump, which would be offered as hydrogen "by the masses in the file"."""
    masses = getattr(ag.universe._topology, "masses", None)
    if masses is None or getattr(masses, "is_guessed", False):
        return None
    return ag.masses


def _mda_labels(ag, tmap, option, where=""):
    if tmap is not None:
        try:
            numbers_ = np.asarray(ag.types)
        except AttributeError:  # MDAnalysis' NoDataError
            raise ValueError(f"{where}the atoms have no types for {option.rstrip('=')} to "
                             "name: give a topology with types or elements") from None
        return name_types(numbers_, tmap, where, option, _mda_masses(ag))
    elements = getattr(ag, "elements", None) if hasattr(ag, "elements") else None
    if elements is None or not all(elements):
        types = np.asarray(ag.types) if hasattr(ag, "types") else np.array([])
        if types.size and all(str(t).isdigit() for t in np.unique(types)):
            # LAMMPS type numbers (a data file as topology): refused with a map to give.
            name_types(types.astype(np.int64), None, where, option, _mda_masses(ag))
        raise ValueError(f"{where}no elements for the atoms: give a topology that names them "
                         f"(--topology), or {_example(option, '1=Si,2=O')} for numbered types")
    return np.asarray(elements, dtype=str)


def _parts(atoms, tmap, option):
    """Positions, each atom's label (a numpy string array: per frame of a trajectory, lists
    of Python strings would cost as much as a small box's sums), the structure's own cell
    (None when it has none) and whether it calls itself periodic."""
    if isinstance(atoms, _Snapshot):
        return atoms.positions, atoms.labels, atoms.cell, atoms.cell is not None
    if _is_ase(atoms):
        numbers_ = getattr(atoms, "numbers", None)
        if tmap is not None:
            if not isinstance(numbers_, np.ndarray):
                raise TypeError("types= names the atomic numbers of an ase.Atoms")
            masses = atoms.get_masses() if hasattr(atoms, "has") and atoms.has("masses") \
                else None
            labels = name_types(numbers_, tmap, "", option, masses)
        elif isinstance(numbers_, np.ndarray):
            from ase.data import chemical_symbols

            labels = np.asarray(chemical_symbols)[numbers_]
        else:
            labels = np.asarray(list(atoms.get_chemical_symbols()), dtype=str)
        cell = np.asarray(atoms.get_cell(), dtype=np.float64) if hasattr(atoms, "get_cell") \
            else None
        if cell is not None and not np.all(np.isfinite(cell)):
            raise ValueError("the cell has values that are not finite")
        if cell is not None and not volume(cell) > 0:
            cell = None
        return atoms.get_positions(), labels, cell, bool(np.all(getattr(atoms, "pbc", False)))
    if _is_mda_group(atoms):
        cell = _mda_cell(atoms.dimensions)
        return atoms.positions, _mda_labels(atoms, tmap, option), cell, cell is not None
    try:
        positions, symbols = atoms
    except (TypeError, ValueError):
        raise TypeError("a structure is an ase.Atoms, an MDAnalysis AtomGroup or a pair "
                        "(positions N x 3, symbols)") from None
    if isinstance(symbols, str) or not hasattr(symbols, "__iter__"):
        raise TypeError("symbols must be a sequence with one element symbol per atom")
    if tmap is not None:
        labels = name_types(np.asarray(symbols), tmap, "", option)
    elif isinstance(symbols, np.ndarray) and symbols.dtype.kind == "U":
        labels = symbols.reshape(-1)
    else:
        # numpy reads a list of strings at once; anything else is made a string one by one.
        try:
            labels = np.asarray(symbols) if isinstance(symbols, (list, tuple)) else None
        except (TypeError, ValueError):
            labels = None
        if labels is None or labels.dtype.kind != "U" or labels.ndim != 1:
            labels = np.asarray([str(s) for s in symbols], dtype=str)
    return positions, labels, None, False


def _chosen_cell(own, says, periodic):
    """The cell rows of the box `periodic` asks for (see model), or None."""
    if periodic is None:
        if says and own is None:
            raise ValueError("the structure is periodic along all three axes but its cell has "
                             "no volume")
        return own if says else None
    if periodic is False:
        return None
    if periodic is True:
        if own is None:
            raise ValueError("the structure has no cell to make a periodic box of (give one "
                             "as periodic=[[ax, ay, az], ...]); sum it as a finite model with "
                             "periodic=False (zalmor-box --finite)")
        return own
    return np.asarray(periodic, dtype=np.float64)


def numbered(labels):
    """The labels in order of first appearance and each atom's type number from 1."""
    uniq, first, inverse = np.unique(labels, return_index=True, return_inverse=True)
    order = np.argsort(first, kind="stable")
    rank = np.empty(len(uniq), dtype=np.int32)
    rank[order] = np.arange(1, len(uniq) + 1, dtype=np.int32)
    return [str(uniq[k]) for k in order], rank[inverse.reshape(-1)]


class Model:
    """A structure as the compiled part takes it.

    xyz       positions, float32 N x 3 (A); a periodic box's wrapped into `cell` in double
              precision before they were rounded
    types     each atom's type number from 1 (int32), in the order of `elements`
    elements  the labels in type order (first appearance)
    counts    atoms of each type (int64)
    cell      a periodic box's reduced cell rows (float64 3 x 3, see reduced_cell), or None
    """

    def __init__(self, xyz, types, elements, counts, cell):
        self.xyz, self.types, self.elements, self.counts, self.cell = (xyz, types, elements,
                                                                       counts, cell)

    def __repr__(self):
        kind = "periodic box" if self.cell is not None else "finite model"
        return f"<zalmor.structure.Model {self.natoms} atoms ({kind}): {self.composition_text()}>"

    @property
    def natoms(self):
        return len(self.types)

    @property
    def composition(self):
        """{label: number of atoms}."""
        return {e: int(n) for e, n in zip(self.elements, self.counts)}

    def composition_text(self, order=None):
        """`Na 12, Cl 12`, in type order or the order of the labels given."""
        comp = self.composition
        return ", ".join(f"{e} {comp.get(e, 0)}" for e in (order or self.elements))

    @property
    def volume(self):
        return None if self.cell is None else volume(self.cell)

    @property
    def half_width(self):
        """Half the reduced cell's smallest width between faces: the largest cutoff at which
        only the minimum image of a pair can be closer (A); None for a finite model."""
        return None if self.cell is None else 0.5 * float(widths(self.cell).min())

    def distance(self, value, name):
        """`value` (a cutoff, rmax in A; default half_width) checked as a positive distance
        within half_width."""
        half = self.half_width
        distance = half if value is None else float(value)
        if not (distance > 0.0 and math.isfinite(distance)):
            raise ValueError(f"{name} must be a positive distance, not {value!r}")
        if distance > half:
            # Half a cell's width typed in (L / 2) may lie a rounding above the width as the
            # cell's volume and faces give it: the same distance.
            if distance <= half * (1.0 + 1e-12):
                return half
            shown, limit = f"{distance:g}", f"{half:g}"
            if shown == limit:
                shown, limit = repr(distance), repr(half)
            raise ValueError(f"{name} {shown} A is above half the smallest width of the "
                             f"cell, {limit} A")
        return distance


def model(atoms, *, periodic=None, types=None, option="types="):
    """The Model of a structure.

    atoms     an ase.Atoms, an MDAnalysis AtomGroup or Universe (its current frame), or a
              pair (positions N x 3 in A, symbols)
    periodic  None: a box when the structure calls itself one (an ase.Atoms periodic along
              all three axes, an MDAnalysis frame with box dimensions); True (the structure's
              own cell), False (a finite model), or the cell rows a, b, c (3 x 3, A)
    types     LAMMPS type numbers to labels (type_map): the atomic numbers of an ase.Atoms,
              the types of an AtomGroup or the symbols of the pair are then type numbers
    """
    tmap = None if types is None else type_map(types, option)
    if _is_universe(atoms):
        atoms = atoms.atoms
    if not is_structure(atoms):
        raise TypeError("a structure is an ase.Atoms, an MDAnalysis AtomGroup or Universe, or a "
                        "pair (positions N x 3, symbols); frames go to zalmor.average or "
                        "zalmor.pair_distribution")
    positions, labels, own, says = _parts(atoms, tmap, option)
    cell = _chosen_cell(own, says, periodic)
    natoms = len(labels)
    if natoms == 0:
        raise ValueError("the model has no atoms")
    try:
        x = np.asarray(positions, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("the positions are not numbers") from None
    if x.shape != (natoms, 3):
        raise ValueError(f"positions have shape {x.shape}, not ({natoms}, 3)")
    if not np.all(np.isfinite(x)):
        raise ValueError("a position is not finite")
    if cell is not None:
        cell = reduced_cell(cell)
        if natoms > derived.MAX_DENSITY * volume(cell):
            # A placeholder cell (PDB's CRYST1 1 1 1) or cell rows in nm: no box of this model.
            text = (f"a cell of {volume(cell):.3g} A^3 holding {natoms} atoms "
                    f"({natoms / volume(cell):.3g} per A^3, more than "
                    f"{derived.MAX_DENSITY:g}) is no box of the model")
            if periodic is not None:
                raise ValueError(f"{text}: sum it as a finite model with periodic=False "
                                 "(zalmor-box --finite)")
            warnings.warn(f"{text}: summed as a finite model", stacklevel=3)
            cell = None
    if cell is not None:
        x = wrap(x, cell)
    with np.errstate(over="ignore"):
        xyz = np.ascontiguousarray(x, dtype=np.float32)
    if not np.all(np.isfinite(xyz)):
        raise ValueError("a position is not finite in single precision")
    elements, numbered_types = numbered(labels)
    counts = np.bincount(numbered_types, minlength=len(elements) + 1)[1:].astype(np.int64)
    return Model(xyz, numbered_types, elements, counts, cell)


# ---------------------------------------------------------------------------- lengths


@functools.lru_cache(maxsize=512)
def _text_length(text):
    """The complex b (fm) of a species or isotope mixture text."""
    return derived.mixture_length(text)[0]


def _checked(b, what):
    if not (math.isfinite(b) and abs(b) <= MAX_B):
        raise ValueError(f"{what}: a scattering length is a finite number of fm within "
                         f"+-{MAX_B:g} (neutron b_c lie within about +-20 fm)")
    return b


def length(value, label, option="b="):
    """The b_bar (fm) the sums take for `label` from `value`: a number in fm, a species text
    (6Li, D) or an isotope mixture (6Li:0.95,7Li:0.05), the real part of its b with a
    warning when that has an imaginary part; None for periodictable's coherent b_c of the
    label itself."""
    what = f"{option.rstrip('=')} of {label}"
    if value is None:
        try:
            return float(_text_length(label).real)
        except ValueError:
            how = (f"{option}{{'{label}': LENGTH}}" if option.endswith("=")
                   else f"{option} {label}=LENGTH")
            raise ValueError(f"periodictable has no coherent scattering length of '{label}': "
                             f"give it with {how}") from None
    if isinstance(value, str):
        try:
            value = float(value)
        except ValueError:
            try:
                b = _text_length(value.strip())
            except ValueError as e:
                raise ValueError(f"{what}: {e}") from None
            if b.imag != 0.0:
                warnings.warn(f"{what}: {value.strip()} has b = {b.real:.6g}{b.imag:+.6g}i fm; "
                              f"the sums take its real part, {b.real:.6g} fm", stacklevel=3)
            return _checked(float(b.real), f"{what} = {b.real:g} fm")
    if isinstance(value, (numbers.Complex, np.number)) and not isinstance(value, bool):
        b = complex(value)
        if b.imag != 0.0:
            warnings.warn(f"{what}: b = {b.real:.6g}{b.imag:+.6g}i fm; the sums take its real "
                          f"part, {b.real:.6g} fm", stacklevel=3)
        return _checked(float(b.real), f"{what} = {b.real:g} fm")
    raise TypeError(f"{what} is a number in fm, a species or an isotope mixture, not "
                    f"{type(value).__name__}")


class Overrides(dict):
    """Scattering lengths a command's options give for some labels ({label: value of
    `length`}); the other labels take their default."""

    def __init__(self, option):
        super().__init__()
        self.option = option


def scattering_lengths(labels, b=None, option="b="):
    """b_bar (fm) of each label: from b ({label: value of `length`}, every label given, or
    Overrides), default periodictable's coherent b_c."""
    if b is None:
        return [length(None, label, option) for label in labels]
    if not isinstance(b, Mapping):
        raise TypeError("b is a mapping {element: length in fm, species or isotope mixture}")
    if isinstance(b, Overrides):
        option = b.option
        stray = [key for key in b if key not in labels]
        if stray:
            raise ValueError(f"{option} names {', '.join(stray)}, which the model does not "
                             f"have (it has {', '.join(labels)})")
    else:
        missing = [label for label in labels if label not in b]
        if missing:
            raise ValueError(f"{option.rstrip('=')} gives no scattering length of "
                             + ", ".join(missing))
    return [length(b.get(label), label, option) for label in labels]


def parse_b(items, option="--b"):
    """Overrides {label: b in fm, or a species or mixture text} from a command's options,
    each LABEL=VALUE or a comma list of them (Na=3.63,Cl=9.577); a mixture's own commas stay
    with it (Li=6Li:0.95,7Li:0.05,O=5.803)."""
    out = Overrides(option)
    for item in items:
        parts = []
        for piece in item.split(","):
            if parts and "=" not in piece:
                parts[-1] += "," + piece
            else:
                parts.append(piece)
        for part in parts:
            key, eq, value = part.partition("=")
            key, value = key.strip(), value.strip()
            if not (eq and key and value):
                raise ValueError(f"{option} '{part}' is not LABEL=VALUE like D=6.671, Li=6Li "
                                 "or Li=6Li:0.95,7Li:0.05")
            try:
                given = float(value)
            except ValueError:
                given = value
                try:
                    _text_length(given)
                except ValueError as e:
                    raise ValueError(f"{option} '{part}': {e}") from None
            else:
                _checked(given, f"{option} '{part}'")
            if key in out:
                raise ValueError(f"{option} gives {key} twice")
            out[key] = given
    return out


# ---------------------------------------------------------------------------- frames


def frame_slice(index, option="index="):
    """The frames `index` selects, as a slice: None (all), a slice, a frame K, or text `K` or
    `START:STOP:STEP` (each part may be left out; negative counts from the end; the step is
    positive)."""
    shown = _shown(option, index) if isinstance(index, str) else f"{option.rstrip('=')} {index!r}"
    if index is None:
        return slice(None)
    if isinstance(index, slice):
        values = [index.start, index.stop, index.step]
    elif isinstance(index, (numbers.Integral, np.integer)) and not isinstance(index, bool):
        values = [int(index)]
    elif isinstance(index, str):
        parts = index.split(":")
        if not index.strip() or len(parts) > 3:
            raise ValueError(f"{shown}: expected a frame K or START:STOP:STEP")
        try:
            values = [int(p) if p.strip() else None for p in parts]
        except ValueError:
            raise ValueError(f"{shown}: expected whole numbers K or START:STOP:STEP") from None
    else:
        raise TypeError(f"{shown}: expected a frame number, a slice or 'START:STOP:STEP'")
    if len(values) == 1:
        k = values[0]
        return slice(k, None if k == -1 else k + 1)
    if not all(v is None or isinstance(v, (numbers.Integral, np.integer)) for v in values):
        raise ValueError(f"{shown}: expected whole numbers")
    values += [None] * (3 - len(values))
    if values[2] is not None and values[2] <= 0:
        raise ValueError(f"{shown}: the step must be positive")
    return slice(*values)


def _slice_text(sel):
    """A slice as frame_slice reads it: K for one frame, else START:STOP:STEP."""
    if sel.step is None and sel.start is not None and sel.stop == (sel.start + 1 or None):
        return str(sel.start)
    parts = [sel.start, sel.stop] + ([] if sel.step is None else [sel.step])
    return ":".join("" if v is None else str(v) for v in parts)


def _own_cell(atoms, periodic):
    """The cell a frame's box would have (before reduction), without reading its atoms."""
    if periodic is False:
        return None
    if periodic is not None and periodic is not True:
        return np.asarray(periodic, dtype=np.float64)
    if isinstance(atoms, _Snapshot):
        return atoms.cell
    if _is_ase(atoms) and hasattr(atoms, "get_cell"):
        if periodic is None and not bool(np.all(getattr(atoms, "pbc", False))):
            return None
        return np.asarray(atoms.get_cell(), dtype=np.float64)
    return None


class Frames:
    """The frames of a trajectory (made by frames()): iterating gives the structures;
    numbered() gives (number, structure), the number the frame has in its file (or its place
    in the iterable, from 0; counted back from the end, negative, when a file's selection
    starts there and its length is not known); models() gives their checked Models.

    count     the number of frames, or None when only reading them all would tell
    types     the type map the frames are named by, or None
    distance  after models() began: the cutoff or rmax applied to every box (None for
              finite models)
    """

    def __init__(self, opener, count, types, option, memory=None, where="", single=False,
                 cells=None):
        self._open = opener
        self.single = single
        self.where = where  # a file's name, to start the frames' messages
        self.count = count
        self.types = types
        self.option = option
        self.distance = None
        self._memory = memory  # the structures, when they are all in memory
        self._cells = cells  # a file's cells of the frames, when a scan could tell them

    def __iter__(self):
        return (atoms for _, atoms in self.numbered())

    def numbered(self):
        return self._open()

    def _smallest_half_width(self, periodic):
        """Half the smallest width over the frames' reduced cells, when the frames are in
        memory, or a file's scan told their cells, and all are boxes; else None (the first
        frame's then stands for all)."""
        if self._memory is not None:
            cells = [_own_cell(atoms, periodic) for atoms in self._memory]
        elif self._cells is not None and periodic is not False:
            # A cell given stands for every frame; else each frame's own, as the reader
            # makes it (periodic=True takes it whatever the file says of its axes).
            if periodic is not None and periodic is not True:
                cells = [np.asarray(periodic, dtype=np.float64)]
            else:
                cells = list(self._cells)
        else:
            return None
        halves = []
        for cell in cells:
            if cell is None:
                return None
            try:
                halves.append(0.5 * float(widths(reduced_cell(cell)).min()))
            except ValueError:
                return None
        return min(halves) if halves else None

    def models(self, periodic=None, distance=None, name="the cutoff"):
        """(number, Model) of every frame (model() with `periodic` and the frames' types),
        each refused, with its number, unless it has the first frame's composition, is a
        box when the first frame is, and holds `distance` (a cutoff, rmax; A) within half
        its reduced cell's smallest width. Without a distance, boxes take the smallest of
        those half-widths when the frames are in memory or a file's scan told their cells
        (a LAMMPS text dump), else the first frame's; the value applied is self.distance."""
        smallest = None if distance is not None else self._smallest_half_width(periodic)
        first = None
        for number, atoms in self.numbered():
            try:
                m = model(atoms, periodic=periodic, types=self.types, option=self.option)
                if first is None:
                    self.distance = distance if m.cell is None else m.distance(
                        distance if smallest is None else smallest, name)
            except (ValueError, TypeError) as e:
                # One structure is no frame of anything.
                where = self.where if self.single else f"{self.where}frame {number}: "
                raise type(e)(f"{where}{e}") from None
            if first is None:
                first = m
            elif (m.cell is None) != (first.cell is None):
                kinds = ("a finite model (no periodic cell)", "a periodic box")
                raise ValueError(f"{self.where}frame {number} is {kinds[m.cell is not None]}, "
                                 f"the first "
                                 f"frame {kinds[first.cell is not None]}")
            elif m.composition != first.composition:
                # Both in the first frame's order of elements.
                order = first.elements + [e for e in m.elements if e not in first.elements]
                raise ValueError(f"{self.where}frame {number} has the composition "
                                 f"{m.composition_text(order)}, the first frame "
                                 f"{first.composition_text(order)}: every frame must hold "
                                 "the same atoms")
            elif m.cell is not None and self.distance > m.half_width:
                given = "given" if distance is not None else "of the first frame"
                raise ValueError(f"{self.where}frame {number}: half the smallest width of its "
                                 f"cell is "
                                 f"{m.half_width:g} A, below {name} {given}, "
                                 f"{self.distance:g} A; set {name} to at most "
                                 f"{m.half_width:g} A")
            yield number, m


def frames(source, *, index=None, types=None, topology=None, format=None, option="types=",
           index_option="index="):
    """The Frames of a trajectory.

    source    a path: ASE reads the file (extxyz, LAMMPS dumps, ...; a LAMMPS file that
              names no elements needs `types`), MDAnalysis a DCD, XTC or TRR file (with
              `topology` unless the trajectory names its atoms); an MDAnalysis Universe
              (its trajectory); or an iterable of structures (ase.Atoms, (positions,
              symbols), AtomGroup), such as ase.io.iread(...)
    index     the frames of a file, Universe or sequence (frame_slice): "100::10", -1, ...
    types     LAMMPS type numbers to labels (type_map)
    format    ASE's name of the file's format, when its name does not tell
    option, index_option   how messages name `types` and `index` (a command's options)
    """
    if isinstance(source, Frames):
        if (index, types, topology, format) != (None, None, None, None):
            raise ValueError("index, types, topology and format are given to "
                             "zalmor.structure.frames, not again with its frames")
        return source
    tmap = None if types is None else type_map(types, option)
    sel = frame_slice(index, index_option)
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not os.path.exists(path):
            raise ValueError(f"{path}: no such file")
        if os.path.isdir(path):
            raise ValueError(f"{path}: a folder, not a trajectory file")
        if path.lower().endswith(MDA_FORMATS) or topology is not None:
            return _mda_file_frames(path, topology, sel, tmap, option, index_option)
        return _ase_file_frames(path, sel, tmap, format, option, index_option)
    if topology is not None or format is not None:
        raise ValueError("topology and format are for trajectory files")
    if _is_universe(source):
        return _universe_frames(source, sel, tmap, option, "", index_option)
    single = is_structure(source)
    if single:
        source = [source]
    if isinstance(source, Sequence):
        picked = range(len(source))[sel]
        memory = [source[k] for k in picked]
        return Frames(lambda: zip(picked, memory), len(memory), tmap, option, memory,
                      single=single)
    if index is not None:
        raise ValueError(f"{index_option.rstrip('=')} selects the frames of a file, a Universe "
                         "or a list; slice an iterator with itertools.islice")
    try:
        iterator = iter(source)
    except TypeError:
        raise TypeError("frames are a path, an MDAnalysis Universe or an iterable of "
                        f"structures, not {type(source).__name__}") from None
    return Frames(lambda: enumerate(iterator), None, tmap, option)


def _numbers(sel, count):
    """The file numbers of the frames a slice selects."""
    if count is not None:
        return iter(range(*sel.indices(count)))
    return itertools.count(sel.start or 0, sel.step or 1)


def _none_left(path, sel, count, index_option):
    if count is not None and not len(range(*sel.indices(count))):
        raise ValueError(f"{path}: {_example(index_option, _slice_text(sel))} leaves no frames "
                         f"of the {count} it holds")


def _ase_file_frames(path, sel, tmap, fmt, option, index_option):
    fmt = resolve_format(path, fmt)
    _check_file_map(path, fmt, tmap, option)
    count, cut = _count_frames(path, fmt)
    _none_left(path, sel, count, index_option)

    def cut_short(number):
        whole = _slice_text(slice(sel.start, number, sel.step))
        return ValueError(f"{path}: frame {number} is cut short (the file ends inside it); "
                          f"choose the whole frames, e.g. {_example(index_option, whole)}")

    def opener():
        reader = None
        for number in _numbers(sel, count):
            try:
                if reader is None:
                    reader, atoms = _opened(path, sel, fmt)
                else:
                    atoms = next(reader)
            except StopIteration:
                if count is None:
                    return
                # ASE ends quietly inside a frame that a run stopped while writing: the
                # average would go without it, and without a word.
                raise cut_short(number) from None
            except Exception as e:  # noqa: BLE001 - any reader failure is the file's
                if count is not None and (isinstance(e.__cause__, StopIteration)
                                          or cut and number == count - 1):
                    raise cut_short(number) from None  # told by ASE in its own words
                raise ValueError(f"{path}: frame {number} is not readable as {fmt}: "
                                 f"{type(e).__name__}: {e}") from None
            if tmap is None:
                file_labels(atoms, path, fmt, None, option)  # refuses numbered types
            yield number, atoms

    cells = None
    if fmt == "lammps-dump-text" and count:
        # An NPT run's boxes differ: the default cutoff must fit the narrowest, found before
        # the first frame rather than refused at it after the frames before.
        every = _dump_cells(path)
        if every is not None and len(every) == count:
            cells = [every[k] for k in range(*sel.indices(count))]
    return Frames(opener, None if count is None else len(range(*sel.indices(count))), tmap,
                  option, where=f"{path}: ", cells=cells)


@contextlib.contextmanager
def _quiet():
    """MDAnalysis warns about its own internals on import and read, through filters of its
    own that would show them whatever the caller's: they are recorded and dropped."""
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("ignore")
        yield


def _mda_file_frames(path, topology, sel, tmap, option, index_option):
    with _quiet():
        import MDAnalysis as mda

        try:
            universe = mda.Universe(topology, path) if topology else mda.Universe(path)
        except Exception as e:  # noqa: BLE001 - MDAnalysis raises many kinds
            text = str(e).strip().splitlines()
            raise ValueError(f"{path}: not readable by MDAnalysis"
                             f"{f' with the topology {topology}' if topology else ''}: "
                             f"{text[0] if text else type(e).__name__}") from None
    return _universe_frames(universe, sel, tmap, option, f"{path}: ", index_option)


def _universe_frames(universe, sel, tmap, option, where, index_option):
    ag = universe.atoms
    with _quiet():
        labels = _mda_labels(ag, tmap, option, where)
    count = len(universe.trajectory)
    picked = range(count)[sel]
    _none_left(where.rstrip(": ") or "the Universe", sel, count, index_option)

    def opener():
        with _quiet():
            steps = iter(universe.trajectory[sel])
        for number in picked:
            with _quiet():
                ts = next(steps)
            yield number, _Snapshot(ag.positions.copy(), labels, _mda_cell(ts.dimensions))

    return Frames(opener, len(picked), tmap, option, where=where)
