"""Convert a structure file into a zalmor model: NAME.coords, NAME.types and NAME.answers.

  tocoords MODEL [-o NAME] [--types Si,O] [--b D=6.671] [--supercell 2,2,2] [--sphere R]
           [--occupancy random --seed N] [--lammps-types 1=Si,2=O]

MODEL is any file ASE reads (xyz, extended xyz, CIF, PDB, LAMMPS data and dump, VASP
POSCAR, RMC6f, ...; the format from the name or --format). Then `zalmor < NAME.answers`
runs the model with the neutron scattering lengths of its elements and writes NAME.ioq.

A periodic box is wrapped into its cell. Converted whole it runs as a finite cluster of
the box's shape, with a large small-angle peak: --sphere R cuts a sphere instead.
"""

import argparse
import itertools
import math
import os
import re
import sys
import warnings

import numpy as np

from . import derived, structure
from ._command import CommandError, Outputs, output_stem, plural, run_command

# Single precision keeps 0.1 A only up to about 1e6 A from the origin.
MAX_COORD = 1e6
# Occupancies are printed to three or four decimals: 1/3 + 1/3 + 1/3 reads 0.999.
OCC_TOL = 1e-3
# Sites a supercell may be built of before its partly occupied sites are drawn.
MAX_SITES = 5_000_000
OUTPUT_EXTENSIONS = (".coords", ".types", ".answers")


def limit(name):
    """A capacity of the zalmor program (_core.LIMITS): program_atoms, types,
    stored_bbar_types."""
    from . import _core

    return _core.LIMITS[name]


def about(n):
    """An estimated number of atoms, readable even when it overflows."""
    return f"about {n:.0f}" if n < 1e12 else "more than 10^12"


# ---------------------------------------------------------------------------- reading


def check_xyz(path):
    """Plain and extended xyz: ASE's own messages name no line, so the layout is checked here
    first: a count line, a comment line, then `symbol x y z ...` per atom, frame after frame."""
    try:
        with open(path, encoding="utf-8", errors="replace") as fh:
            lines = fh.read().splitlines()
    except OSError as e:
        raise CommandError(f"{path}: cannot open: {e.strerror}") from None
    no = 0
    frames = 0
    while no < len(lines):
        if not lines[no].strip() and frames and all(not x.strip() for x in lines[no:]):
            break
        words = lines[no].split()
        if len(words) < 1 or not words[0].isdigit():
            raise CommandError(f"{path}:{no + 1}: expected the number of atoms of a frame, "
                               f"got '{lines[no].strip()[:60]}'")
        count = int(words[0])
        if no + 1 >= len(lines):
            raise CommandError(f"{path}:{no + 2}: expected a comment line after the atom count")
        # Extended xyz may put other columns before the symbol.
        props = re.search(r"Properties=(\S+)", lines[no + 1])
        symbol_first = not props or props.group(1).lower().startswith("species:s")
        for k in range(count):
            at = no + 2 + k
            if at >= len(lines):
                raise CommandError(f"{path}:{at + 1}: file ends after {k} of {count} atoms; "
                                   f"expected 'symbol x y z'")
            w = lines[at].split()
            ok = len(w) >= 4 and (w[0][:1].isalpha() or not symbol_first)
            if ok and symbol_first:
                try:
                    [float(v) for v in w[1:4]]
                except ValueError:
                    ok = False
            if not ok:
                raise CommandError(f"{path}:{at + 1}: expected 'symbol x y z' (atom {k + 1} of "
                                   f"{count}), got '{lines[at].strip()[:60]}'")
        no += 2 + count
        frames += 1


def read_frame(path, fmt, frame, kwargs):
    """One frame, counted from 0 or from the end; an index past the end is refused with the
    number of frames (ASE raises anything from StopIteration to AssertionError, or for a
    negative index on some formats quietly wraps round)."""
    import ase.io

    error = None
    if frame >= 0:
        try:
            return ase.io.read(path, index=frame, format=fmt, **kwargs)
        except Exception as e:  # noqa: BLE001 - told apart below by counting the frames
            error = e
    try:
        count = sum(1 for _ in ase.io.iread(path, index=":", format=fmt, **kwargs))
    except Exception:  # noqa: BLE001
        if error is not None:
            raise error from None
        raise
    if count == 0:
        raise CommandError(f"{path}: no frame in the file")
    if not -count <= frame < count:
        which = "0 or -1" if count == 1 else f"0 to {count - 1}, or -1 for the last"
        raise CommandError(f"{path}: no frame {frame}: the file holds {plural(count, 'frame')}"
                           f" (--frame {which})")
    if error is not None:
        raise error
    return ase.io.read(path, index=frame % count, format=fmt, **kwargs)


def read_model(path, fmt, frame):
    fmt = structure.resolve_format(path, fmt)
    if fmt in ("xyz", "extxyz"):
        check_xyz(path)
    options = structure.reader_options(path, fmt)
    # The CIF tags carry the site labels that name a partly occupied site.
    extra = {"store_tags": True} if fmt == "cif" else {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            for k, given in enumerate(options):
                try:
                    atoms = read_frame(path, fmt, frame, dict(extra, **given))
                    break
                except RuntimeError:
                    if k == len(options) - 1:
                        raise
        except CommandError:
            raise
        except Exception as e:  # noqa: BLE001 - any reader failure is the file's
            where = getattr(e, "lineno", None)
            raise CommandError(f"{path}{f':{where}' if where else ''}: not readable as {fmt}: "
                               f"{type(e).__name__}: {e}") from None
    for w in dict.fromkeys(str(w.message) for w in caught):
        sys.stderr.write(f"tocoords: {path}: {w}\n")
    return atoms, fmt


def named_labels(atoms, path, fmt, opt):
    """Each atom's label when a type map names the file's atoms (LAMMPS type numbers, which
    ASE reads as H, He, ...), the atoms then taking their labels' elements; else None. A
    LAMMPS file that names no elements takes --types as its map when --lammps-types is not
    given."""
    tmap, option = opt.lammps_types, "--lammps-types"
    if tmap is None and opt.types_map and structure.numbered_types(path, fmt):
        tmap, option = opt.types_map, "--types"
    labels = structure.file_labels(atoms, path, fmt, tmap, option)
    if labels is None:
        return None
    from ase.data import atomic_numbers

    atoms.set_atomic_numbers([atomic_numbers[structure.element_of(lab)] for lab in labels])
    return labels.tolist()


# ---------------------------------------------------------------------------- occupancy


def site_table(atoms, path):
    """The sites of a file that gives occupancies: each atom's site number, and per site its
    name and [(species, occupancy), ...]. None when the file gives none (all sites full).

    A CIF read by ASE keeps one atom per site, of its most abundant species, and the site's
    species and occupancies in atoms.info['occupancy'], keyed by the site's row in the file
    (the `spacegroup_kinds` array in ASE 3.22, the tags in later versions). A PDB file gives
    each atom's occupancy in an array."""
    occ = atoms.info.get("occupancy")
    if isinstance(occ, dict) and occ:
        kinds = atoms.arrays.get("spacegroup_kinds")
        keys = [str(k) for k in (kinds if kinds is not None else atoms.get_tags())]
        if not all(k in occ for k in keys):
            keys = [str(k) for k in range(len(atoms))]  # a CIF without a cell
        if not all(k in occ for k in keys):
            raise CommandError(f"{path}: cannot tell which occupancies belong to which atom")
        labels = atoms.info.get("_atom_site_label")
        names = {}
        for k in dict.fromkeys(keys):
            row = int(k)
            if isinstance(labels, list) and row < len(labels):
                names[k] = str(labels[row])
            else:
                names[k] = f"#{row + 1}"
        order = list(dict.fromkeys(keys))
        number = {k: s for s, k in enumerate(order)}
        sites = []
        for k in order:
            species = []
            for sym, value in occ[k].items():
                # '?' (unknown) and '.' (default) leave the CIF default of 1.
                species.append((sym, 1.0 if value in ("?", ".") else value))
            sites.append((names[k], species))
        return np.array([number[k] for k in keys], dtype=int), sites
    if "occupancy" in atoms.arrays:
        values = atoms.arrays["occupancy"]
        if not np.any(values):
            # Some writers put 0.00 in every atom's occupancy column, meaning nothing.
            sys.stderr.write(f"tocoords: {path}: every occupancy is 0, read as not given "
                             "(every atom present)\n")
            return None
        symbols = atoms.get_chemical_symbols()
        return np.arange(len(atoms)), [(f"atom {i + 1}", [(s, v)])
                                       for i, (s, v) in enumerate(zip(symbols, values))]
    return None


def check_sites(sites, path, random):
    """Refuses impossible occupancies; and, unless they are to be drawn at random, any site
    that is not one whole atom. Returns the sites' species and cumulative probabilities."""
    partial = []
    table = []
    for name, species in sites:
        values = []
        for sym, value in species:
            try:
                v = float(value)
            except (TypeError, ValueError):
                raise CommandError(f"{path}: site {name}: occupancy '{value}' of {sym} is not "
                                   "a number") from None
            if not 0 <= v <= 1 + OCC_TOL:
                raise CommandError(f"{path}: site {name}: occupancy {v:g} of {sym} is not "
                                   "between 0 and 1")
            values.append(v)
        total = sum(values)
        if total > 1 + OCC_TOL:
            raise CommandError(f"{path}: site {name}: occupancies "
                               + ", ".join(f"{s} {v:g}" for (s, _), v in zip(species, values))
                               + f" add up to {total:g}, more than 1")
        if len(species) > 1 or abs(total - 1) > OCC_TOL:
            partial.append(f"{name} (" + ", ".join(f"{s} {v:g}" for (s, _), v in
                                                    zip(species, values)) + ")")
        cum = np.cumsum(values)
        if abs(total - 1) <= OCC_TOL:
            cum = cum / total
            cum[-1] = 1.0  # no vacancy from rounding
        table.append(([s for s, _ in species], cum))
    if partial and not random:
        shown = "; ".join(partial[:3]) + (f"; and {len(partial) - 3} more" if len(partial) > 3
                                          else "")
        raise CommandError(f"{path}: {plural(len(partial), 'site')} partly occupied or "
                           f"shared: {shown}; a model holds whole atoms: give --occupancy "
                           "random --seed N to fill each site at random by its occupancies")
    return table, bool(partial)


def fill_sites(site_of, table, seed):
    """Each site copy's species, drawn independently by the occupancies, or None for a vacancy.
    One uniform number per copy, in model order: the same seed gives the same model."""
    u = np.random.default_rng(seed).random(len(site_of))
    width = max(len(names) for names, _ in table)
    cum = np.full((len(table), width), np.inf)
    for s, (_, c) in enumerate(table):
        cum[s, : len(c)] = c
    picked = (u[:, None] >= cum[site_of]).sum(1)
    return [table[s][0][k] if k < len(table[s][0]) else None
            for s, k in zip(site_of.tolist(), picked.tolist())]


# ---------------------------------------------------------------------------- types and b


def assign_types(symbols, wanted, candidates):
    """Type labels and each atom's type number: by first appearance among the candidates (the
    species of the file, so that drawing partly occupied sites does not renumber the types),
    or in the order of --types, whose entries may be isotopes standing for their element."""
    if wanted is None:
        labels = list(dict.fromkeys(candidates))
    else:
        labels = list(wanted)
    by_element = {}
    for t, lab in enumerate(labels, 1):
        el = structure.element_of(lab)
        if el in by_element:
            raise CommandError(f"--types names element {el} twice "
                               f"({labels[by_element[el] - 1]} and {lab})")
        by_element[el] = t
    element = {s: structure.element_of(s) for s in set(symbols)}
    missing = sorted(s for s, el in element.items() if el not in by_element)
    if missing:
        raise CommandError(f"the model has {', '.join(missing)}, which --types "
                           f"{','.join(labels)} does not name")
    types = np.array([by_element[element[s]] for s in symbols], dtype=int)
    return labels, types


def scattering_lengths(labels, overrides):
    """b (fm) of each type label, --b LABEL=VALUE or TYPE=VALUE first (a number, a species or
    an isotope mixture), else the coherent b_c of the label."""
    overrides = dict(overrides)
    given = {}
    for t, lab in enumerate(labels, 1):
        given[lab] = overrides.pop(lab, overrides.pop(str(t), None))
    if overrides:
        raise CommandError(f"--b names {', '.join(overrides)}, which is no type of the model "
                           f"(types: {', '.join(labels)})")
    return structure.scattering_lengths(labels, given, "--b")


# ---------------------------------------------------------------------------- geometry


def periodic(atoms):
    return atoms.cell.rank == 3 and atoms.cell.volume > 1e-9 and bool(np.any(atoms.pbc))


def wrap(atoms):
    """Folds the atoms into the cell where the file puts it (a LAMMPS box starts at xlo, which
    ASE keeps as celldisp) along the periodic directions; the number of atoms moved."""
    before = atoms.get_positions()
    atoms.positions = structure.wrap(before, np.array(atoms.cell), atoms.get_celldisp(),
                                     atoms.pbc)
    return int(np.any(np.abs(atoms.positions - before) > 1e-6, axis=1).sum())


def tile(atoms, reps):
    """Positions of the supercell, in the order of ASE's Atoms.repeat, and the atom of the
    file each copies."""
    shifts = np.array(list(itertools.product(*(range(r) for r in reps))), dtype=float)
    pos = (shifts @ np.array(atoms.cell))[:, None, :] + atoms.positions[None, :, :]
    return pos.reshape(-1, 3), np.tile(np.arange(len(atoms)), len(shifts))


def cut_sphere(atoms, radius, reps):
    """Atoms within radius of the centre of the supercell, taken from the periodic images as
    needed and shifted so that the centre is at the origin; and the atom of the file each
    copies. The supercell is never built: its sphere is the same one cut from the cell's
    images, which keeps a large supercell with a small sphere cheap."""
    cell = np.array(atoms.cell)
    pbc = np.asarray(atoms.pbc)
    frac = atoms.get_scaled_positions(wrap=True)
    w = structure.widths(cell)
    centre = np.array(reps, dtype=float) / 2
    ranges = [range(math.floor(centre[a] - radius / w[a]) - 1,
                    math.ceil(centre[a] + radius / w[a]) + 1) if pbc[a] else range(1)
              for a in range(3)]
    shifts = np.array(list(itertools.product(*ranges)), dtype=float)
    origin = centre @ cell
    pos, index = [], []
    chunk = max(1, 1_000_000 // len(frac))
    for k in range(0, len(shifts), chunk):
        p = (frac[None, :, :] + shifts[k : k + chunk, None, :]) @ cell - origin
        inside = np.einsum("mni,mni->mn", p, p) < radius * radius
        pos.append(p[inside])
        index.append(np.nonzero(inside)[1])
    return np.concatenate(pos), np.concatenate(index)


def sphere_radius(density, n=30000):
    """The radius of a sphere holding about n atoms at a density (per A^3)."""
    return (3 * n / (4 * math.pi * density)) ** (1 / 3)


def largest_supercell(reps, per_cell):
    """The largest supercell of the shape asked for that zalmor holds, or None."""
    most = limit("program_atoms")
    if per_cell > most:
        return None
    scale = (most / (per_cell * math.prod(reps))) ** (1 / 3)
    fit = [max(1, int(r * scale)) for r in reps]
    while per_cell * math.prod(fit) > most:
        fit[fit.index(max(fit))] -= 1
    return fit


# ---------------------------------------------------------------------------- output


def write_outputs(out, name, title, types, positions, labels, b):
    """NAME.coords, .types and .answers into the run's Outputs, which puts all three in place
    together: a full disk or a file-size limit leaves the old files as they were, never a
    truncated model that zalmor would read without a word."""
    base = os.path.basename(name)
    coords = [title + "\n"]
    coords += [f"{i:6d} {t:3d} {x:14.6f} {y:14.6f} {z:14.6f}\n"
               for i, (t, (x, y, z)) in enumerate(zip(types.tolist(), positions.tolist()), 1)]
    # The dialogue: model name, lines to skip, atoms to normalise to, scale, b_bar per type,
    # thermal option, Qmax, delta-Q, start of the grid, output name.
    # zalmor asks a b_bar for every type up to the largest type number in the model.
    asked = b[: int(max(types))]
    answers = [base, "1", "", ""] + [repr(float(v)) for v in asked] + ["0", "", "", "", base]
    texts = {name + ".coords": "".join(coords),
             name + ".types": "".join(f"{t} {lab}\n" for t, lab in enumerate(labels, 1)),
             name + ".answers": "\n".join(answers) + "\n"}
    for final, text in texts.items():
        out.write_bytes(final, text.encode("ascii", errors="replace"))


def main(argv=None):
    p = argparse.ArgumentParser(
        prog="tocoords", formatter_class=argparse.RawDescriptionHelpFormatter,
        description=__doc__.split("\n\n", 1)[1] if "\n\n" in __doc__ else __doc__,
        epilog="Writes NAME.coords (a title line naming the source, the sphere if cut and "
               "'types 1=Si 2=O' at its end, then 'index type x y z' per atom in Angstrom), "
               "NAME.types ('1 Si' per line) and NAME.answers (all defaults: normalised to "
               "the number of atoms, no thermal factors, Q up to 50/A in steps of 0.02), "
               "each in full or not at all. "
               "Exit status: 0 done, 1 the model cannot be converted, 2 bad command line.")
    p.add_argument("model", metavar="MODEL", help="structure file")
    p.add_argument("-o", "--output", metavar="NAME",
                   help="stem of the files written (default: MODEL's name without extension, "
                        "in the current directory); a .coords ending is dropped")
    p.add_argument("--format", metavar="FMT",
                   help=f"ASE format name ({structure.FORMAT_EXAMPLES}, ...)")
    p.add_argument("--frame", metavar="K", type=int, default=0,
                   help="frame of a trajectory, from 0; -1 is the last (default 0)")
    p.add_argument("--types", metavar="A,B,...",
                   help="type order by element or isotope (Si,O or 1=Si,2=O; D for the H "
                        "atoms); default: elements in order of first appearance. A LAMMPS "
                        "file without element names takes it as --lammps-types")
    p.add_argument("--b", metavar="LABEL=B", action="append", default=[],
                   help="scattering length of a type (by label or type number): fm, a species "
                        "(6Li, D) or an isotope mixture (Li=6Li:0.95,7Li:0.05); repeatable, "
                        "or a comma list (default: b_c of periodictable)")
    p.add_argument("--supercell", metavar="A,B,C", help="repeat a periodic cell A x B x C times")
    p.add_argument("--sphere", metavar="R", type=float,
                   help="cut a sphere of radius R (Angstrom) from the periodic box, centred on "
                        "the box centre")
    p.add_argument("--occupancy", choices=["random"],
                   help="how to fill sites that the file gives partly occupied or shared by "
                        "species (CIF, PDB occupancies): 'random' gives each site, after "
                        "--supercell and --sphere, species s with probability occ_s, or leaves "
                        "it empty with probability 1 - sum(occ), independently of every other "
                        "site. Without it such files are refused")
    p.add_argument("--seed", metavar="N", type=int,
                   help="seed of --occupancy random: the same seed and file give the same model")
    p.add_argument("--lammps-types", metavar="1=A,2=B",
                   help="element of each LAMMPS atom type (1=Si,2=O, or Si,O in type order); "
                        "needed unless a dump has an element column")
    args = p.parse_args(argv)
    return run_command("tocoords", convert, args)


def output_name(model, output):
    """The stem of the files written. An ending zalmor's files have is dropped (-o run.coords
    is run): run.coords.coords would be written while zalmor, told 'run.coords', read
    another model."""
    name = output if output is not None else os.path.splitext(os.path.basename(model))[0]
    stem, ext = os.path.splitext(name)
    if ext in OUTPUT_EXTENSIONS + (".ioq",):
        name = stem
    output_stem(name, output)
    if len(os.path.basename(name)) + 7 > 80:
        raise CommandError(f"output name '{os.path.basename(name)}' too long for zalmor's "
                           "80-character file names")
    return name


def parse_supercell(text):
    if text is None:
        return None
    try:
        reps = [int(v) for v in text.split(",")]
    except ValueError:
        reps = []
    if len(reps) != 3 or min(reps) < 1:
        raise CommandError(f"--supercell '{text}' is not three counts of at least 1, like 2,2,2")
    return reps


def check_coordinates(positions, path):
    bad = np.flatnonzero(~np.isfinite(positions).all(1))
    if len(bad):
        more = f" (and {plural(len(bad) - 1, 'more atom')})" if len(bad) > 1 else ""
        raise CommandError(f"{path}: atom {bad[0] + 1} has coordinates "
                           + " ".join(f"{v:g}" for v in positions[bad[0]])
                           + f", not finite numbers{more}")
    far = np.abs(positions).max(axis=1)
    if far.max() > MAX_COORD:
        at = int(np.argmax(far))
        raise CommandError(f"{path}: atom {at + 1} lies {far[at]:.3g} A from the origin; zalmor "
                           f"holds coordinates in single precision, good within {MAX_COORD:g} A")


def options(args):
    """The command line's values, checked before the model is read."""
    types_map = structure.type_map(args.types, "--types") if args.types else None
    # The order of the types: by number, one type for labels given twice.
    wanted = list(dict.fromkeys(types_map[t] for t in sorted(types_map))) if types_map else None
    radius = args.sphere
    if radius is not None and not (math.isfinite(radius) and radius > 0):
        raise CommandError(f"--sphere {radius:g}: the radius is a finite length above 0 (A)")
    random = args.occupancy == "random"
    if random and args.seed is None:
        raise CommandError("--occupancy random wants --seed N (a whole number; the same seed "
                           "draws the same model)")
    if args.seed is not None and not random:
        raise CommandError("--seed is for --occupancy random")
    if args.seed is not None and args.seed < 0:
        raise CommandError(f"--seed {args.seed}: a seed is a whole number from 0")
    if not os.path.exists(args.model):
        raise CommandError(f"{args.model}: no such file")
    if os.path.isdir(args.model):
        raise CommandError(f"{args.model}: a folder, not a structure file")
    return argparse.Namespace(
        wanted=wanted, types_map=types_map, overrides=structure.parse_b(args.b),
        radius=radius, random=random,
        lammps_types=(structure.type_map(args.lammps_types, "--lammps-types")
                      if args.lammps_types else None),
        reps=parse_supercell(args.supercell), name=output_name(args.model, args.output))


def load(model, args, opt):
    """The model's atoms, named and checked, folded into their cell when it is periodic;
    whether it is; and each atom's label when a type map gave them (else None)."""
    atoms, fmt = read_model(model, args.format, args.frame)
    labels = named_labels(atoms, model, fmt, opt)
    if len(atoms) == 0:
        raise CommandError(f"{model}: no atoms")
    check_coordinates(atoms.positions, model)
    cell = np.array(atoms.cell)
    if not (np.isfinite(cell).all() and np.abs(cell).max() <= MAX_COORD
            and np.isfinite(atoms.get_celldisp()).all()):
        raise CommandError(f"{model}: the cell is not finite, or too large for single precision")
    is_periodic = periodic(atoms)
    if is_periodic and len(atoms) / atoms.cell.volume > derived.MAX_DENSITY:
        sys.stderr.write(f"tocoords: {model}: a cell of {atoms.cell.volume:.3g} A^3 holding "
                         f"{len(atoms)} atoms is no box of the model: read without a periodic "
                         "cell\n")
        atoms.pbc = False
        is_periodic = False
    if is_periodic:
        moved = wrap(atoms)
        if moved and opt.radius is None:  # a sphere is cut from the images anyway
            sys.stderr.write(f"tocoords: {model}: {moved} of {len(atoms)} atoms lay outside the "
                             "periodic cell: wrapped into it\n")
    return atoms, is_periodic, labels


def check_size(model, atoms, reps, radius, per_cell, drawn):
    """Refuses a sphere or supercell too large for zalmor before it is built: --sphere 1e5 or
    --supercell 1000,1000,1000 would fill the memory first. Drawn sites give a count known
    only on average, hence some slack; the count built is checked again."""
    density = float(per_cell / atoms.cell.volume)
    slack = 1.1 if drawn else 1.0
    most = limit("program_atoms")
    if radius is not None:
        estimate = density * 4 / 3 * math.pi * radius * radius * radius  # inf, not OverflowError
        if estimate > slack * most:
            raise CommandError(f"{model}: a sphere of radius {radius:g} A holds {about(estimate)} "
                               f"atoms at this density, more than the {most} that zalmor "
                               f"takes; a radius of {sphere_radius(density):.0f} A holds about "
                               "30000")
    elif reps and (per_cell * math.prod(reps) > slack * most
                   or len(atoms) * math.prod(reps) > MAX_SITES):
        count = per_cell * math.prod(reps)
        fit = largest_supercell(reps, per_cell)
        raise CommandError(
            f"{model}: supercell {'x'.join(map(str, reps))} holds "
            f"{about(count) if drawn or count >= 1e12 else count} atoms, more than the "
            f"{most} that zalmor takes; cut a sphere with --sphere R (a radius of "
            f"{sphere_radius(density):.0f} A holds about 30000 atoms at this density)"
            + (f" or take a supercell of at most {','.join(map(str, fit))}" if fit else ""))


def convert(args):
    """The command: the options checked, the outputs reserved, the model built and the three
    files written together."""
    opt = options(args)
    with Outputs(inputs=[args.model]) as out:
        for ext in OUTPUT_EXTENSIONS:
            out.reserve(opt.name + ext)
        summary = build(args, opt, out)
    sys.stderr.write(summary)


def build(args, opt, out):
    """The model of the file, written into `out`; the lines that tell what it holds."""
    model, reps, radius = args.model, opt.reps, opt.radius
    atoms, is_periodic, named = load(model, args, opt)

    sites = site_table(atoms, model)
    table, partial = check_sites(sites[1], model, opt.random) if sites else (None, False)
    if opt.random and not partial:
        sys.stderr.write(f"tocoords: --occupancy random: every site of {model} holds one whole "
                         "atom; nothing to draw\n")
    drawn = opt.random and partial
    site_of = sites[0] if drawn else None
    per_cell = float(sum(table[s][1][-1] for s in site_of)) if drawn else len(atoms)

    if reps and not is_periodic:
        raise CommandError(f"{model}: no periodic cell to repeat for --supercell")
    if reps and any(r > 1 and not p for r, p in zip(reps, atoms.pbc)):
        raise CommandError(f"{model}: the cell is not periodic along "
                           + ", ".join("abc"[a] for a in range(3) if not atoms.pbc[a])
                           + "; --supercell repeats it only along periodic directions")
    if radius is not None and not is_periodic:
        raise CommandError(f"{model}: no periodic box to cut a sphere from")
    grid = reps or [1, 1, 1]
    density = None
    if is_periodic:
        check_size(model, atoms, reps, radius, per_cell, drawn)
        density = float(per_cell / atoms.cell.volume)

    if radius is not None:
        positions, copied = cut_sphere(atoms, radius, grid)
    elif reps:
        positions, copied = tile(atoms, reps)
    else:
        positions, copied = atoms.get_positions(), np.arange(len(atoms))
    in_file = named if named is not None else atoms.get_chemical_symbols()
    if drawn:
        species = fill_sites(site_of[copied], table, args.seed)
        present = np.array([s is not None for s in species], dtype=bool)
        vacant = len(species) - int(present.sum())
        positions = positions[present]
        symbols = [s for s in species if s is not None]
        candidates = [s for names, _ in table for s in names]
    else:
        symbols = [in_file[i] for i in copied.tolist()]
        candidates = in_file
    natoms = len(symbols)
    if natoms == 0:
        raise CommandError(f"the sphere of radius {radius:g} A holds no atom" if radius
                           else f"{model}: every site drawn was left empty")

    labels, types = assign_types(symbols, opt.wanted, candidates)
    most_types, stored = limit("types"), limit("stored_bbar_types")
    if len(labels) > most_types:
        raise CommandError(f"{model}: {len(labels)} types; zalmor takes at most {most_types}")
    if len(labels) > stored:
        sys.stderr.write(f"tocoords: {len(labels)} types: the .ioq file keeps b_bar of the "
                         f"first {stored} only (give ioq --bbar for the rest)\n")
    b = scattering_lengths(labels, opt.overrides)

    source = os.path.basename(model)
    what = f"Converted from {source} by tocoords"
    if reps:
        what += f"; supercell {'x'.join(map(str, reps))}"
    if drawn:
        what += f"; sites filled at random by occupancy, seed {args.seed}"
    if radius is not None:
        wider = 2 * radius > (structure.widths(atoms.cell) * grid)[atoms.pbc].min()
        if wider:
            sys.stderr.write("tocoords: the sphere is wider than the box: it holds periodic "
                             "images of the same atoms (right for a crystal cell; for a "
                             "disordered box their repetition shows as false peaks in i(Q))\n")
        what += f"; sphere of radius {radius:g} A cut from the periodic box, centred"
    elif is_periodic:
        density = natoms / (atoms.cell.volume * math.prod(grid))
    if density is not None:
        what += f"; density {density:.6g} per A^3"
    if natoms > limit("program_atoms"):
        most = limit("program_atoms")
        hint = ""
        if density:
            hint = (f" (a radius of {sphere_radius(density):.0f} A holds about 30000 atoms at "
                    "this density)")
        elif not is_periodic:
            hint = " (on a periodic box; this model has no cell)"
        raise CommandError(f"{model}: {natoms} atoms, more than the {most} that "
                           f"zalmor takes; cut a sphere with --sphere R{hint}")
    check_coordinates(positions, model)  # a large cell repeated
    title = what + f"; {natoms} atoms; types " + " ".join(f"{t}={lab}" for t, lab in
                                                         enumerate(labels, 1))
    last = int(types.max())
    if last < len(labels):
        sys.stderr.write(f"tocoords: no atoms of {', '.join(labels[last:])}: zalmor counts the "
                         f"types up to the largest number present, {last}\n")
    if is_periodic and radius is None:
        sys.stderr.write(f"tocoords: {model}: the whole periodic box is converted: zalmor sums "
                         "it as a finite cluster of the box's shape, which gives a large "
                         f"small-angle peak in i(Q); {sphere_advice(atoms, grid, density)}\n")
    write_outputs(out, opt.name, title, types, positions, labels, b)
    counts = np.bincount(types, minlength=len(labels) + 1)[1:]
    summary = ""
    if drawn:
        summary += (f"tocoords: seed {args.seed}: {natoms} atoms drawn on "
                    f"{natoms + vacant} sites, {vacant} left empty\n")
    return (summary + f"tocoords: {opt.name}.coords: {natoms} atoms; "
            + ", ".join(f"type {t} {lab} x{c} b={v:g} fm"
                        for t, (lab, c, v) in enumerate(zip(labels, counts, b), 1))
            + f"\ntocoords: run: zalmor < {opt.name}.answers\n")


def sphere_advice(atoms, grid, density):
    """A --sphere R to suggest for a box converted whole: the largest sphere inside the box;
    and for a cell too small to hold a useful one, likely a crystal's, a sphere over its
    periodic images."""
    fits = sphere_radius(density)
    inside = min((structure.widths(atoms.cell) * grid)[atoms.pbc].min() / 2, fits)
    advice = (f"--sphere {math.floor(inside * 10) / 10:g} cuts the largest sphere inside the "
              "box, whose shape term ioq --sphere removes")
    if inside < 10:
        advice += (f"; a crystal takes a larger one over its periodic images, e.g. --sphere "
                   f"{min(20, math.floor(fits)):g}")
    return advice


if __name__ == "__main__":
    sys.exit(main())
