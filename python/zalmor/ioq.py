"""Look at the .ioq files that zalmor writes and derive what experiments measure.

  ioq info FILE                    the blocks, zero-Q limits, b_bar per type, metadata
  ioq csv FILE [--block N ...]     Q and i(Q) of the chosen blocks (default all) as CSV
  ioq plot FILE -o OUT.png|OUT.svg every partial and the total in one figure
  ioq sq FILE                      Faber-Ziman S(Q) and the partial S_AB(Q)
  ioq fq FILE                      F(Q) = <b>^2 (S(Q) - 1) in barn per atom, and its parts
  ioq gr FILE --rmax R             G_PDF(r), D(r), G(r), g(r) and g_AB(r) by sine transform
  ioq xray FILE                    the X-ray total from the partials and form factors
  ioq all FILE -o DIR              S(Q), F(Q), G(r) for neutrons and X-rays, files and plots
  ioq compare FILE DATA... --quantity F   the model beside measured data: scale and
                                   background fitted, Rw, chi2, the overlay and residual

sq, fq, gr and xray take --radiation neutron|xray|electron, --convention
faber-ziman|ashcroft-langreth|bhatia-thornton and --format csv|gr|sq|fq|xy|npz.

Partials are named by element (Si-O) when NAME.types lies beside the file or the file's
metadata carry the type map. A frame average's standard errors (zalmor.average,
zalmor-box) come along as d columns and shaded bands. The files live in zalmor.io, the
physics in zalmor.derived; docs/guide.md explains every normalisation.
"""

import argparse
import math
import os
import re
import sys

import numpy as np

from . import derived as zd
from . import structure
from . import io as zi
from ._command import CommandError, Outputs, output_stem, run_command
from .compare import CompareError, compare, fit_names, quantity_axis
from .data import DataError, read_data
from .io import IoqError
from .result import from_file

# Beyond these the numbers are mistakes, not models: no count of atoms exceeds an int32 (no
# scattering length exceeds zalmor.structure.MAX_B), and 100000 r values are more than a
# plot or a fit of any model needs (each costs a sine transform over the whole Q grid). A density
# below MIN_DENSITY is a gas, not a model.
MAX_LENGTH = 1e5  # A
MIN_DENSITY = 1e-6  # atoms per A^3; the largest is zalmor.derived.MAX_DENSITY
MAX_R_VALUES = 100000
MAX_Q = 1e4  # 1/A; zalmor's grids end far below
TENFOLD_R = 1.46  # gamma(r) = 0.1 here, in units of the sphere's radius
# A plot's Q axis ends where every curve stays within this fraction of its largest swing
# about its baseline (the structure has died out), plus a margin.
SETTLED = 0.02


def fmt_real(v):
    """Shortest text that reads back to the same float32 (nan, inf, -inf as numpy writes them)."""
    return str(np.float32(v))


def fmt_derived(v):
    return f"{v:.8g}"


def select_blocks(run, numbers, path):
    if not run.blocks:
        raise IoqError(f"{path}: the file holds no blocks")
    if not numbers:
        return list(run.blocks)
    chosen = []
    for n in numbers:
        if not 1 <= n <= len(run.blocks):
            raise IoqError(f"{path}: no block {n} (the file has blocks 1 to {len(run.blocks)})")
        chosen.append(run.blocks[n - 1])
    return chosen


def common_q(blocks, path):
    """The Q grid all blocks share; blocks of one run always do, anything else is refused."""
    q = blocks[0].q
    for b in blocks[1:]:
        other = b.q
        if other.shape != q.shape or not np.array_equal(other.view(np.uint32), q.view(np.uint32)):
            raise IoqError(
                f"{path}: blocks {blocks[0].number} and {b.number} have different Q grids "
                f"({len(q)} and {len(other)} points); export them separately")
    return q


def outputs(args):
    """The run's Outputs, knowing its inputs: the file and the type map beside it (whether
    there or not: an output of that name would be taken for it next time)."""
    return Outputs(inputs=[args.file, os.path.splitext(args.file)[0] + ".types"])


def load(args, outs=None):
    """The file, with what else the reader read (a type map, a model file) told to outs."""
    types = None
    if getattr(args, "elements", None):
        types = {t: lab for t, lab in enumerate(args.elements, 1)}
    run = zi.load(args.file, types=types)
    if outs is not None:
        for path in (run.types_source, zi.model_path(run)):
            if path and os.path.isfile(path):
                outs.add_input(path)
    return run


def column_name(b):
    """The CSV/legend name of a block: its element pair when known, else its label."""
    return b.name if b.name and b.name != "Total" else b.label


def block_errors(run, blocks):
    """{column name: standard error} of a frame average's blocks (the e column, which the
    metadata line `frames` marks), else None."""
    if run.meta_value("frames") is None:
        return None
    return {column_name(b): b.get("e", "float32[]")[: b.rows] for b in blocks}


def periodic_q_min(run):
    """The lowest Q a periodic box's file resolves, or None."""
    value = run.meta_value("periodic_q_min")
    try:
        q_min = float(value) if value is not None else None
    except ValueError:
        return None
    return q_min if q_min is not None and math.isfinite(q_min) and q_min > 0 else None


def note_q_min(args, q_min, q):
    if q_min is not None and len(q) and q[0] < q_min:
        sys.stderr.write(f"ioq: {args.file} is a periodic box: Q below q_min = {q_min:.4g} 1/A "
                         f"(2 pi / cutoff) is not resolved; {int(np.sum(q < q_min))} rows "
                         "there do not describe the material\n")


# ---------------------------------------------------------------------------- plain commands


def cmd_info(args, out):
    run = load(args)
    if not run.blocks:
        out.write(f"{args.file}: no blocks\n")
    else:
        first = run.blocks[0]
        title = first.text("title") if "title" in first.fields else ""
        out.write(f"{args.file}: {len(run.blocks)} blocks"
                  + (f", title \"{title}\"" if title else "") + "\n")
        if "x" in first.fields and first.rows > 0:
            q = first.q
            unit = (f" ({first.text('xlabel')})"
                    if "xlabel" in first.fields and first.text("xlabel") else "")
            out.write(f"{first.rows} Q values from {fmt_real(q[0])} to {fmt_real(q[-1])}{unit}\n")
        named = run.types is not None
        rows = [("block", "label") + (("pair",) if named else ())
                + ("points", "zero-Q limit", "b_bar/fm by type")]
        stored = zi.LIMITS["stored_bbar_types"]
        for b in run.blocks:
            label = b.label if "ylabel" in b.fields else "?"
            ut = b.ut if "ut" in b.fields else np.zeros(0, np.float32)
            zero_q = fmt_real(ut[zi.UT_ZERO_Q]) if len(ut) > zi.UT_ZERO_Q else "-"
            bbar = "-"
            if len(ut) > zi.UT_NTYPES and math.isfinite(ut[zi.UT_NTYPES]):
                ntypes = max(0, min(int(ut[zi.UT_NTYPES]), stored, len(ut) - zi.UT_BBAR))
                bbar = " ".join(fmt_real(v) for v in ut[zi.UT_BBAR : zi.UT_BBAR + ntypes]) or "-"
            rows.append((str(b.number), label) + ((b.name or "?",) if named else ())
                        + (str(b.rows), zero_q, bbar))
        ncol = len(rows[0])
        widths = [max(len(r[c]) for r in rows) for c in range(ncol)]
        aligns = [">", "<"] + (["<"] if named else []) + [">", ">"]
        for r in rows:
            cells = [f"{r[c]:{aligns[c]}{widths[c]}}" for c in range(ncol - 1)] + [r[-1]]
            out.write("  ".join(cells).rstrip() + "\n")
    if run.types:
        out.write("types: " + " ".join(f"{t}={lab}" for t, lab in sorted(run.types.items()))
                  + f" (from {run.types_source})\n")
    out.write(f"format version {run.version}" + ("" if run.meta else ", no metadata") + "\n")
    answers = run.meta_values("answer")
    for key, value in run.meta:
        if key != "answer":
            out.write(f"  {key}: {value}\n")
    if answers:
        out.write("  answers: " + " | ".join(answers) + "\n")
    return 0


def cmd_csv(args, out):
    run = load(args)
    blocks = select_blocks(run, args.block, args.file)
    q = common_q(blocks, args.file)
    note_q_min(args, periodic_q_min(run), q)
    zi.write_csv(out, "Q", q, {column_name(b): b.iq for b in blocks}, fmt_real,
                 block_errors(run, blocks))
    return 0


def check_plot_name(path):
    ext = os.path.splitext(path)[1].lower()
    if ext not in (".png", ".svg"):
        raise IoqError(f"{path}: the plot is written as .png or .svg, not '{ext or 'no extension'}'")


def draw(outs, path, x, curves, xlabel, ylabel, title=None, clip=True, ylim=None, hline=0.0,
         bold=None, note_extra=None, xlim=None, clip_r=False, labels=None, dashes=False,
         errors=None, x_from=None, settle=True):
    """One figure of several curves (name -> y) into the temporary of `path`; the curve named
    `bold` drawn thick and black, a band of +- the standard error about each curve that
    `errors` has. `labels` maps names to legend texts; with `dashes` the other curves take
    different dash patterns, so that partials that coincide (the like partials of rock
    salt) stay apart. Unless xlim is given, x starts at x_from (a periodic box's q_min:
    what lies below is not resolved, and is left out) and, with `settle`, ends where the
    curves have settled about hline. Returns the number of non-finite values left out."""
    check_plot_name(path)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x = np.asarray(x, dtype=np.float64)
    curves = {k: np.broadcast_to(np.asarray(v, dtype=np.float64), x.shape)
              for k, v in curves.items()}
    errors = {k: v for k, v in (errors or {}).items() if k in curves and v is not None}
    if xlim is None and x_from is not None:
        note_extra = "; ".join(filter(None, [f"Q below q_min = {x_from:.3g} Å$^{{-1}}$ not "
                                             "resolved, left out", note_extra]))
        keep = x >= x_from
        x = x[keep]
        curves = {k: v[keep] for k, v in curves.items()}
        errors = {k: np.asarray(v)[keep] for k, v in errors.items()}
    fig, ax = plt.subplots(figsize=(8, 5), dpi=150, layout="constrained")
    skipped = 0
    styles = [(0, ()), (0, (5, 2)), (0, (1, 1.5)), (0, (6, 2, 1, 2))]
    for k, (name, y) in enumerate(curves.items()):
        y = y.copy()
        bad = ~np.isfinite(y)
        skipped += int(bad.sum())
        y[bad] = np.nan  # shown as gaps
        label = (labels or {}).get(name, name)
        if name == bold:
            line, = ax.plot(x, y, color="black", linewidth=1.6, label=label, zorder=3)
        elif dashes:
            line, = ax.plot(x, y, linewidth=1.0, label=label, zorder=2, alpha=0.85,
                            linestyle=styles[k % len(styles)])
        else:
            line, = ax.plot(x, y, linewidth=1.0, label=label, zorder=2)
        if name in errors:
            e = np.asarray(errors[name], dtype=np.float64)
            ax.fill_between(x, y - e, y + e, color=line.get_color(), alpha=0.25, linewidth=0,
                            zorder=line.get_zorder() - 0.5)
    if hline is not None:
        ax.axhline(hline, color="0.5", linewidth=0.6, zorder=1)
    note = note_extra
    if ylim:
        ax.set_ylim(*ylim)
    elif clip:
        lim = body_limits(list(curves.values()))
        if lim:
            ax.set_ylim(*lim)
            note = "peak near Q = 0 clipped" + (f"; {note_extra}" if note_extra else "")
    elif clip_r:
        lim = body_limits_r(x, list(curves.values()))
        if lim:
            ax.set_ylim(*lim)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    if xlim:
        ax.set_xlim(*xlim)
    elif len(x):
        lo = float(np.nanmin(x)) if x_from is not None else min(0.0, float(np.nanmin(x)))
        hi = settled_end(x, list(curves.values()), hline) if settle else float(np.nanmax(x))
        ax.set_xlim(lo, hi)
    ax.grid(True, color="0.85", linewidth=0.5)
    legend = ax.legend(loc="upper right", fontsize="small", ncol=1 if len(curves) <= 8 else 2,
                       framealpha=0.9, title=note, title_fontsize="x-small")
    if note:
        legend.get_title().set_color("0.4")
    if title:
        ax.set_title(title)
    try:
        fig.savefig(outs.temp(path), dpi=150, format=os.path.splitext(path)[1][1:].lower())
    finally:
        plt.close(fig)
    return skipped


def settled_end(x, curves, baseline):
    """Where a default plot's x axis ends: a little beyond the last x at which any curve
    leaves the baseline by more than SETTLED of its largest swing after its first minimum
    (the small-angle peak of a finite model would set the swing otherwise); the last x when
    a curve never settles or there is no baseline."""
    x = np.asarray(x, dtype=float)
    if baseline is None or len(x) < 10:
        return float(np.nanmax(x))
    last = 0
    for y in curves:
        dev = np.abs(np.asarray(y, dtype=float) - baseline)
        dev[~np.isfinite(dev)] = 0.0
        falls = np.flatnonzero((dev[1:-1] < dev[:-2]) & (dev[1:-1] <= dev[2:]))
        start = falls[0] + 1 if len(falls) and falls[0] + 1 <= len(dev) // 2 else 0
        swing = dev[start:].max() if len(dev) > start else 0.0
        if swing <= 0:
            continue
        last = max(last, int(np.flatnonzero(dev > SETTLED * swing)[-1]))
    end = x[0] + 1.15 * (x[last] - x[0])
    return float(min(np.nanmax(x), max(end, x[min(len(x) - 1, 9)])))


def cmd_plot(args, out):
    check_plot_name(args.output)
    with outputs(args) as outs:
        outs.reserve(args.output)
        run = load(args, outs)
        blocks = select_blocks(run, args.block, args.file)
        q = common_q(blocks, args.file)
        total = [b for b in blocks if b.label.lower().startswith("total")]
        partials = [b for b in blocks if b not in total]
        curves = {column_name(b): b.iq for b in partials + total}
        title = blocks[0].text("title") if "title" in blocks[0].fields else ""
        skipped = draw(outs, args.output, q, curves, r"$Q$ / Å$^{-1}$",
                       r"$i(Q)$ / barn per atom", title=title, clip=not args.full_range,
                       ylim=args.ylim, bold=column_name(total[0]) if total else None,
                       errors=block_errors(run, blocks), x_from=periodic_q_min(run),
                       settle=not args.full_range)
    if skipped:
        sys.stderr.write(f"ioq: {skipped} non-finite i(Q) values left out of the plot\n")
    return 0


def body_limits(curves):
    """y limits that leave out the small-angle peak, or None when it does not swamp the rest.

    A finite model scatters strongly near Q = 0 (its zero-Q limit grows with the number of
    atoms), which flattens the oscillations that carry the structure. The body of a curve
    starts at its first local minimum; when all curves span more than three times what
    their bodies span, the plot is limited to the bodies."""
    lo = hi = None
    full_lo = full_hi = None
    for y in curves:
        y = np.asarray(y, dtype=np.float64)
        y = y[np.isfinite(y)]
        if len(y) < 10:
            return None
        falls = np.flatnonzero((y[1:-1] < y[:-2]) & (y[1:-1] <= y[2:]))
        if len(falls) == 0 or falls[0] + 1 > len(y) // 2:
            return None
        body = y[falls[0] + 1 :]
        lo = body.min() if lo is None else min(lo, body.min())
        hi = body.max() if hi is None else max(hi, body.max())
        full_lo = y.min() if full_lo is None else min(full_lo, y.min())
        full_hi = y.max() if full_hi is None else max(full_hi, y.max())
    span = hi - lo
    if span <= 0 or (full_hi - full_lo) < 3 * span:
        return None
    return lo - 0.08 * span, hi + 0.08 * span


def body_limits_r(r, curves):
    """y limits of real-space curves that leave out the ripple near r = 0: below the first
    peak there are no pairs, and what a truncated transform puts there is noise. The body
    starts at 0.8 of the r where any curve first reaches half its largest swing."""
    r = np.asarray(r, dtype=float)
    start = None
    for y in curves:
        y = np.asarray(y, dtype=float)
        ok = np.isfinite(y)
        if ok.sum() < 10:
            return None
        base = np.nanmedian(y[ok][len(y[ok]) // 2 :])
        dev = np.abs(np.where(ok, y, base) - base)
        first = np.flatnonzero(dev >= 0.5 * dev.max())
        if len(first):
            at = 0.8 * r[first[0]]
            start = at if start is None else min(start, at)
    if start is None:
        return None
    body = np.concatenate([np.asarray(y, dtype=float)[r >= start] for y in curves])
    body = body[np.isfinite(body)]
    if not len(body) or body.max() <= body.min():
        return None
    span = body.max() - body.min()
    return body.min() - 0.08 * span, body.max() + 0.08 * span


# ---------------------------------------------------------------------------- the run

_SPHERE_IN_TITLE = re.compile(r"sphere of radius ([0-9.]+(?:[eE][-+]?[0-9]+)?)")
_DENSITY_IN_TITLE = re.compile(r"density ([0-9.]+(?:[eE][-+]?[0-9]+)?)")


def title_number(run, pattern):
    """The number the model's title gives, or None (also for one that is 0 or too large
    to be a density or a radius)."""
    m = pattern.search(run.model_title or "")
    if not m:
        return None
    v = float(m.group(1))
    return v if 0 < v < math.inf else None


def prepare(args, outs):
    """The file as a zalmor.Result, after the notes on how its atoms were counted."""
    run = load(args, outs)
    if not run.blocks:
        raise IoqError(f"{args.file}: the file holds no blocks")
    res, notes = from_file(run, natoms=args.natoms, nnorm=args.nnorm, bbar=args.bbar)
    zd.composition(res, args.bbar)  # --bbar of the wrong length is refused before the work
    for note in notes:
        sys.stderr.write(f"ioq: {note}\n")
    return run, res


def sphere_radius(args, run, res):
    """--sphere R; or --sphere alone: the radius of a uniform sphere of the model's N atoms
    at the density of --density or of the model's title, else the radius in the title.

    The first is the better choice for a sphere cut from a box: the atoms with centres
    within R are not exactly rho 4/3 pi R^3 in number, and a mismatch of 1% in R leaves a
    wiggle of the order of N (Phi(QR)^2 at two radii) at low Q."""
    if args.sphere is None:
        return None
    if res.volume:
        raise IoqError(f"--sphere removes the shape of a finite model; {args.file} is a "
                       "periodic box (its sums have no shape term)")
    if args.sphere == "model":
        density = getattr(args, "density", None) or title_number(run, _DENSITY_IN_TITLE)
        if density:
            r = (3.0 * res.natoms / (4.0 * math.pi * density)) ** (1.0 / 3.0)
            sys.stderr.write(f"ioq: sphere radius {r:.4g} A: {res.natoms} atoms at "
                             f"{density:.6g} per A^3\n")
            return r
    if args.sphere != "model":
        r, source = float(args.sphere), f"--sphere {args.sphere}"  # in range: check_options
    else:
        r, source = title_number(run, _SPHERE_IN_TITLE), "the radius in the model's title"
        if r is None:
            raise IoqError(f"{args.file}: the model's title names no sphere radius; "
                           "give --sphere R")
    smallest = (3.0 * res.natoms / (4.0 * math.pi * zd.MAX_DENSITY)) ** (1.0 / 3.0)
    if r < smallest:
        raise IoqError(f"{source}: a sphere of {r:g} A would hold the {res.natoms} atoms at "
                       f"more than {zd.MAX_DENSITY:g} per A^3; give a radius of at least "
                       f"{smallest:.3g} A")
    return r


def default_density(args, run, res, radius):
    """rho for G(r) and g(r): --density, else natoms / periodic_volume of a periodic box,
    else the density tocoords put in the model's title, else N over the sphere's volume;
    None when none is known. Each but the first is said on standard error."""
    if args.density is not None:
        return args.density
    density, source = zd.density_of(res), "natoms / periodic_volume of the periodic box"
    if density is None:
        density, source = title_number(run, _DENSITY_IN_TITLE), "the model's title"
    if density is None and radius:
        density = res.natoms / (4.0 / 3.0 * math.pi * radius ** 3)
        source = "N and the sphere radius"
    if density is None:
        return None
    if not MIN_DENSITY <= density <= zd.MAX_DENSITY:
        raise IoqError(f"{args.file}: {source} give a density of {density:.4g} atoms per A^3, "
                       f"not one from {MIN_DENSITY:g} to {zd.MAX_DENSITY:g}; give --density")
    sys.stderr.write(f"ioq: density {density:.6g} per A^3 from {source}\n")
    return density


def warn_density(density):
    if density is not None and density > 0.5:
        sys.stderr.write(f"ioq: a density of {density:g} atoms per A^3 is above that of any "
                         "solid (diamond has 0.18): is it a mass density in g/cm^3?\n")


CONVENTION_NAMES = {"faber-ziman": "Faber-Ziman", "ashcroft-langreth": "Ashcroft-Langreth",
                    "bhatia-thornton": "Bhatia-Thornton"}
RADIATION_NAMES = {"neutron": "neutrons", "xray": "X-rays", "electron": "electrons"}


def radiation_of(args):
    return getattr(args, "radiation", None) or ("xray" if args.command == "xray" else "neutron")


def plot_title(args, radiation=None):
    """The file, the radiation, the convention and (in real space) the window."""
    parts = [RADIATION_NAMES[radiation or radiation_of(args)],
             CONVENTION_NAMES[getattr(args, "convention", None) or "faber-ziman"]]
    if args.command == "gr":
        parts.append({"none": "no window", "lorch": "Lorch window",
                      "warren": "Warren window"}[window_name(args)])
    return f"{os.path.basename(args.file)}: " + ", ".join(parts)


def window_name(args):
    if getattr(args, "window", None):
        return args.window
    return "lorch" if getattr(args, "lorch", False) else "none"


def type_labels(args, run, need):
    """The element (or isotope, ion) of each type, or Nones when not known and not needed."""
    n = run.ntypes
    if getattr(args, "elements", None):
        if len(args.elements) != n:
            raise IoqError(f"{len(args.elements)} elements given for {n} atom types")
        return list(args.elements)
    labels = [(run.types or {}).get(t) for t in range(1, n + 1)]
    if need and None in labels:
        raise IoqError(f"{args.file}: the element of every type is needed ({need}); give "
                       "--elements Si,O or put NAME.types beside the file")
    return labels


def b_options(args, run, labels):
    """--b TYPE=VALUE, TYPE a type number or label, VALUE b in fm, a species or an isotope
    mixture (zalmor.structure.parse_b): {type number: float or text}."""
    try:
        given = structure.parse_b(args.b or [])
    except ValueError as e:
        raise IoqError(str(e)) from None
    by_type = {}
    for key, value in given.items():
        if key.isdigit() and 1 <= int(key) <= run.ntypes:
            t = int(key)
        elif key in labels:
            t = labels.index(key) + 1
        else:
            raise IoqError(f"--b {key}={value}: '{key}' is no atom type of {args.file}")
        if t in by_type:
            raise IoqError(f"--b gives type {t} twice")
        by_type[t] = value
    return by_type


def derived_for(args, run, res, radius, radiation=None, need_s=True, labels=None):
    """zalmor.derived.derive with the command's options; what it leaves out is said."""
    radiation = radiation or radiation_of(args)
    if labels is None:
        labels = type_labels(args, run, f"{radiation} form factors"
                             if radiation != "neutron" else None)
    b_given = None
    if getattr(args, "b", None):
        if radiation != "neutron":
            raise IoqError("--b sets neutron scattering lengths; it needs --radiation neutron")
        b_given = b_options(args, run, labels)
    energy = getattr(args, "energy", None)
    if energy is not None and radiation == "neutron":
        raise IoqError("--energy is the X-ray or electron energy; neutrons take none")
    d = zd.derive(res, radiation=radiation, convention=getattr(args, "convention", None)
                  or "faber-ziman", norm=getattr(args, "norm", None) or "mean-squared",
                  energy=energy, labels=labels, b_given=b_given, bbar=args.bbar,
                  sphere_radius=radius, qres=getattr(args, "qres", None), need_s=need_s)
    told = vars(args).setdefault("_told", set())  # ioq all derives twice: each line once
    for (a, b), why in d.left_out.items():
        line = f"ioq: the partial {d.pair_names[(a, b)]} is left out: {why}\n"
        if line not in told:
            told.add(line)
            sys.stderr.write(line)
    return d


def file_header(args, d, extra=()):
    comp = " ".join(f"{n}{c:.6g}" for n, c in zip(d.type_names, d.c))
    stype = {"neutron": "N", "xray": "X", "electron": "E"}[d.radiation]
    head = [("source", os.path.basename(args.file)), ("stype", stype),
            ("composition", comp), ("qmax", f"{float(np.nanmax(d.q)):.10g}")]
    head += list(extra)
    head += [(k, v) for k, v in d.header() if k != "composition"]
    return head


def part_name(d, key):
    return f"F_{d.pair_names[key]}(Q)" if isinstance(key, tuple) else f"F_{key}(Q)"


def check_format(args, kind):
    """Refuses a --format, -o, --plot or --wavelength that do not go together, before any
    file is read."""
    fmt = args.format or "csv"
    if fmt in ("gr", "sq", "fq") and (fmt == "gr") != (kind == "gr"):
        raise IoqError(f"--format {fmt} holds " + ("G(r): use it with ioq gr" if fmt == "gr"
                       else "a function of Q: use it with ioq sq, fq or xray"))
    if fmt != "csv" and not args.output:
        raise IoqError(f"--format {fmt} writes a file: give -o OUT")
    if fmt in ("gr", "sq", "fq") and getattr(args, "wavelength", None) is not None:
        raise IoqError(f"--format {fmt} holds a function of Q; a pattern in 2 theta "
                       "(--wavelength) is written as csv, xy or npz")
    if args.plot and (args.format or args.output):
        raise IoqError("--plot draws instead of writing columns; leave out --format and -o")
    if args.plot:
        check_plot_name(args.plot)


class Table:
    """What a command writes: the x axis, the columns and their errors, the file header,
    the main column, and how to plot it."""

    def __init__(self, x_name, x, cols, errs, header, main, plot):
        self.x_name, self.x, self.cols, self.errs = x_name, x, cols, errs
        self.header, self.main, self.plot = header, main, plot


def command(kind):
    """The body of sq, fq, gr and xray: the outputs reserved before the work, the table
    made (TABLES[kind](args, run, res, radius)), written, and every file put in place
    together."""
    def run(args, out):
        check_format(args, kind)
        with outputs(args) as outs:
            for path in (args.output, args.plot):
                if path:
                    outs.reserve(path)
            run_, res = prepare(args, outs)
            radius = sphere_radius(args, run_, res)
            table = TABLES[kind](args, run_, res, radius)
            emit(args, out, outs, table)
        return 0
    return run


def emit(args, out, outs, t):
    fmt = args.format or "csv"
    if args.plot:
        p = dict(t.plot)
        ylim = getattr(args, "ylim", None) or p.pop("ylim", None)
        p.pop("ylim", None)
        skipped = draw(outs, args.plot, t.x, p.pop("curves"), p.pop("xlabel"), p.pop("ylabel"),
                       title=plot_title(args), bold=t.main, errors=t.errs, ylim=ylim,
                       xlim=getattr(args, "xlim", None), **p)
        if skipped:
            sys.stderr.write(f"ioq: {skipped} non-finite values left out of the plot\n")
        return
    errs = t.errs or {}
    if fmt == "csv":
        if args.output:
            with outs.open_text(args.output) as fh:
                zi.write_csv(fh, t.x_name, t.x, t.cols, fmt_derived, errs)
        else:
            zi.write_csv(out, t.x_name, t.x, t.cols, fmt_derived, errs)
    elif fmt == "npz":
        outs.write_bytes(args.output, zi.npz_bytes(t.x_name, t.x, t.cols, t.header, errs))
    elif fmt == "xy":
        name = args.column or t.main
        if name not in t.cols:
            raise IoqError(f"--column {name}: no such function (one of " + ", ".join(t.cols) + ")")
        with outs.open_text(args.output) as fh:
            zi.write_xy(fh, t.x, t.cols[name], t.header + [("function", name)], errs.get(name))
    else:
        y, dy, head = pdf_column(t, fmt)
        with outs.open_text(args.output) as fh:
            zi.write_pdf_file(fh, fmt, t.x, y, head, dy)


def pdf_column(t, fmt):
    """The one function a PDF-program file holds, its error and its header."""
    if fmt == "gr":
        return t.cols["G_PDF(r)"], t.errs and t.errs.get("G_PDF(r)"), t.header
    s = "S_X(Q)" if "S_X(Q)" in t.cols else "S(Q)"
    if fmt == "sq":
        return t.cols[s], t.errs and t.errs.get(s), t.header
    head = t.header + [("F", "Q (S(Q) - 1)")]
    if "Q(S(Q)-1)" in t.cols:
        return t.cols["Q(S(Q)-1)"], t.errs and t.errs.get("Q(S(Q)-1)"), head
    return t.x * (t.cols[s] - 1.0), t.errs and t.x * t.errs[s], head


def columns(q, cols, errs):
    """Every column over the Q grid, as float arrays; errors of columns that have them."""
    full = {k: np.asarray(np.broadcast_to(v, q.shape), dtype=float) for k, v in cols.items()}
    if errs is None:
        return full, None
    return full, {k: np.asarray(np.broadcast_to(v, q.shape), dtype=float)
                  for k, v in errs.items() if v is not None}


def q_plot(d, curves, ylabel, hline, radius, clip=True):
    return {"curves": curves, "xlabel": r"$Q$ / Å$^{-1}$", "ylabel": ylabel, "hline": hline,
            "clip": clip, "x_from": d.q_min,
            "note_extra": "sphere term removed" if radius else None}


# ---------------------------------------------------------------------------- sq, fq, xray


def table_sq(args, run, res, radius):
    d = derived_for(args, run, res, radius)
    cols = {"S(Q)": d.total_s, **d.partials}
    errs = None if d.total_s_err is None else {"S(Q)": d.total_s_err, **d.partials_err}
    return q_table(args, d, cols, errs, "S(Q)", r"$S(Q)$", 1.0, radius)


def table_fq(args, run, res, radius):
    # F(Q) and its parts need no normaliser; the PDF-program F(Q) = Q (S(Q) - 1) does.
    d = derived_for(args, run, res, radius, need_s=False)
    if d.s_undefined and args.format == "fq":
        raise IoqError(f"--format fq writes Q (S(Q) - 1): {d.s_undefined}; without --format "
                       "ioq fq writes F(Q) and its parts")
    cols, errs = {"F(Q)": d.total_f}, {"F(Q)": d.total_f_err}
    for k, v in d.parts.items():
        cols[part_name(d, k)] = v
        errs[part_name(d, k)] = d.parts_err[k] if d.parts_err else None
    forms = zd.keen_forms(d.q, d.total_f, d.mean2, d.meansq, d.total_f_err)
    for k, (v, e) in forms.items():
        if k != "F(Q)":
            cols[k], errs[k] = v, e
    missing = [k for k in ("S(Q)-1", "S'(Q)-1", "Q(S(Q)-1)") if k not in forms]
    if missing:
        x = "b" if d.radiation == "neutron" else "f"
        sys.stderr.write(f"ioq: {', '.join(missing)} left out: <{x}> = sum c_A {x}_A is 0 here "
                         f"(a null-scattering mixture), nothing to divide F(Q) by\n")
    plot_cols = {k: v for k, v in cols.items() if k.startswith("F")}
    return q_table(args, d, cols, errs if d.total_f_err is not None else None, "F(Q)",
                   f"$F(Q)$ / {d.unit} per atom", 0.0, radius, plot_cols)


def table_xray(args, run, res, radius):
    d = derived_for(args, run, res, radius)
    i_x, i_err = zd.debye_sum(d)
    cols = {"i_X(Q)": i_x, "S_X(Q)": d.total_s, "F_X(Q)": d.total_f, **d.partials}
    errs = None
    if d.total_s_err is not None:
        errs = {"i_X(Q)": i_err, "S_X(Q)": d.total_s_err, "F_X(Q)": d.total_f_err,
                **d.partials_err}
    return q_table(args, d, cols, errs, "S_X(Q)", r"$S_X(Q)$", 1.0, radius,
                   {"S_X(Q)": d.total_s}, clip=radius is None)


def q_table(args, d, cols, errs, main, ylabel, hline, radius, plot_cols=None, clip=True):
    cols, errs = columns(d.q, cols, errs)
    extra = [("qdamp", "0"), ("qbroad", "0")]
    x, x_name = d.q, "Q"
    plot = q_plot(d, plot_cols or cols, ylabel, hline, radius, clip)
    wavelength = getattr(args, "wavelength", None)
    if wavelength is not None:
        if d.radiation == "electron":
            raise IoqError("--wavelength makes X-ray or neutron powder patterns; "
                           "not for electrons")
        tt, pattern, pattern_err = zd.powder_pattern(d, wavelength)
        keep = np.isfinite(zd.two_theta(d.q, wavelength))
        if keep.sum() < 2:
            raise IoqError(f"--wavelength {wavelength:g} A reaches Q = "
                           f"{4 * math.pi / wavelength:.4g} 1/A: fewer than 2 of "
                           "the file's Q values")
        cols = {"I(2theta)": pattern, "Q": d.q[keep], **{k: v[keep] for k, v in cols.items()}}
        if errs is not None:
            errs = {"I(2theta)": pattern_err, **{k: v[keep] for k, v in errs.items()}}
        x, x_name, main = tt, "2theta", "I(2theta)"
        plot = {"curves": {"I(2theta)": pattern}, "xlabel": r"$2\theta$ / degrees",
                "ylabel": f"$I$ / {d.unit} per atom", "hline": None, "clip": False}
        extra += [("wavelength", f"{wavelength:g}"),
                  ("I(2theta)", "<|f|^2> + F(Q), Q = 4 pi sin(theta) / wavelength")]
    elif d.q_min is not None and not args.plot and (args.format or "csv") == "csv":
        note_q_min(args, d.q_min, d.q)
    return Table(x_name, x, cols, errs, file_header(args, d, extra), main, plot)


# ---------------------------------------------------------------------------- gr


def r_grid(args, radius):
    """r = DR, 2 DR, ... up to RMAX, and with a sphere below its diameter 2R: a sphere holds
    no pairs that far apart, so g(r) is not defined there."""
    top = args.rmax
    if radius and top >= 2 * radius:
        top = 2 * radius
    steps = top / args.dr
    if not steps <= MAX_R_VALUES:
        raise IoqError(f"r up to {top:g} A in steps of --dr {args.dr:g} A makes {steps:.3g} "
                       f"values, more than {MAX_R_VALUES}: give a larger --dr or a smaller "
                       "--rmax")
    if top < args.rmax:
        count = math.ceil(steps - 1e-9) - 1  # r < 2R
    else:
        count = math.floor(steps + 1e-9)
    if count < 1:
        raise IoqError(f"no r values: --dr {args.dr:g} A is not below "
                       + (f"the sphere's diameter {top:g} A" if top < args.rmax
                          else f"--rmax {args.rmax:g} A"))
    if top < args.rmax:
        sys.stderr.write(f"ioq: r stops below {top:.6g} A, the diameter of the sphere: "
                         "no pairs of its atoms are farther apart\n")
    if radius and top > radius:
        sys.stderr.write(f"ioq: beyond r = R = {radius:.4g} A the sphere holds less than a "
                         "third of the pairs of the bulk: the correction for that magnifies "
                         f"the noise there, tenfold at r = {TENFOLD_R:g} R\n")
    return np.arange(1, count + 1) * args.dr


def check_q_range(args, q):
    """Refuses a --qmin and --qmax that keep fewer than two Q values of the file."""
    keep = np.ones(len(q), dtype=bool)
    given = []
    for option, value, inside in (("--qmin", args.qmin, lambda v: q >= v),
                                  ("--qmax", args.qmax, lambda v: q <= v)):
        if value is not None:
            keep &= inside(value)
            given.append(f"{option} {value:g}")
    if given and keep.sum() < 2:
        raise IoqError(f"{' and '.join(given)} keep{'s' if len(given) == 1 else ''} "
                       f"{int(keep.sum())} of the file's Q values ({np.nanmin(q):g} to "
                       f"{np.nanmax(q):g} 1/A); the transform needs at least 2")
    if args.qmax is not None and args.qmax >= np.nanmax(q):
        sys.stderr.write(f"ioq: --qmax {args.qmax:g} is not below the file's last Q "
                         f"{np.nanmax(q):g}: nothing left out\n")


def note_periodic_r(args, res, rmax):
    if res.cutoff is not None and rmax > res.cutoff:
        sys.stderr.write(f"ioq: {args.file} is a periodic box whose sums end at the cutoff "
                         f"{res.cutoff:.4g} A: beyond it G(r) holds only the ripple of that "
                         "cut\n")


def table_gr(args, run, res, radius):
    d = derived_for(args, run, res, radius)
    density = default_density(args, run, res, radius)
    warn_density(density)
    if radius is None and res.volume is None and args.qmin is None and len(d.q) \
            and d.total_s[0] > 5:
        sys.stderr.write(f"ioq: S(Q) starts at {d.total_s[0]:.4g}: the small-angle peak of the "
                         "finite model is in the transform; use --sphere or --qmin\n")
    check_q_range(args, d.q)
    # From dr on: at r = 0 the transform divided by r weights the noise and truncation of
    # the highest Q by Q^2, and g(0) = 0 is known anyway.
    r = r_grid(args, radius)
    note_periodic_r(args, res, r[-1])
    qdamp, qb = getattr(args, "qdamp", None), getattr(args, "qbroad", None)
    cols = zd.real_space(d, r, density=density, window_name=window_name(args), qmin=args.qmin,
                         qmax=args.qmax, qdamp=qdamp, qb=qb, sphere_radius=radius)
    if density is None:
        sys.stderr.write("ioq: no density (--density): G_PDF(r), D(r) and d_AB(r) = 4 pi rho r "
                         "(g_AB(r) - 1) only\n")
    extra = [("qdamp", f"{qdamp or 0:g}"), ("qbroad", f"{qb or 0:g}"),
             ("window", window_name(args)), ("rho", f"{density:.8g}" if density else "none"),
             ("G_PDF(r)", "(2/pi) int Q (S(Q) - 1) M(Q) sin(Qr) dQ = 4 pi rho r (g(r) - 1)"),
             ("D(r)", "W G_PDF(r), W = " + (f"{float(d.norm_value):.8g} "
              f"{d.unit}" if np.ndim(d.norm_value) == 0 else "1")),
             ("T(r)", "D(r) + 4 pi rho r W"), ("G(r)", "D(r) / (4 pi rho r)")]
    if density:
        plot_cols, ylabel, hline = ({k: v for k, v in cols.items() if k.startswith("g")},
                                    r"$g(r)$", 1.0)
    else:
        plot_cols, ylabel, hline = {"G_PDF(r)": cols["G_PDF(r)"]}, r"$G_{PDF}(r)$ / Å$^{-2}$", 0.0
    notes = ([f"{window_name(args).capitalize()} window"] if window_name(args) != "none" else []) \
        + (["sphere overlap corrected"] if radius else [])
    ylim = None
    if radius and r[-1] > TENFOLD_R * radius:
        # Near 2R the correction turns noise into swings that would flatten the rest.
        inner = np.concatenate([np.asarray(v)[r <= TENFOLD_R * radius]
                                for v in plot_cols.values()])
        inner = inner[np.isfinite(inner)]
        if len(inner) and inner.max() > inner.min():
            span = inner.max() - inner.min()
            ylim = (inner.min() - 0.08 * span, inner.max() + 0.08 * span)
            notes.append(f"y fitted to r < {TENFOLD_R * radius:.3g} Å")
    plot = {"curves": plot_cols, "xlabel": r"$r$ / Å", "ylabel": ylabel, "hline": hline,
            "clip": False, "clip_r": ylim is None, "ylim": ylim, "settle": False,
            "note_extra": "; ".join(notes) or None}
    main = "g(r)" if density else "G_PDF(r)"
    return Table("r", r, dict(cols), cols.errors or None, file_header(args, d, extra), main, plot)


TABLES = {"sq": table_sq, "fq": table_fq, "gr": table_gr, "xray": table_xray}


# ---------------------------------------------------------------------------- all


def cmd_all(args, out):
    """S(Q), F(Q), G(r) and their plots for neutrons and X-rays in the default conventions,
    all written together or none."""
    with outputs(args) as outs:
        folder = outs.folder(args.output)
        run, res = prepare(args, outs)
        radius = sphere_radius(args, run, res)
        labels = type_labels(args, run, "the X-ray functions")
        stem = os.path.splitext(os.path.basename(args.file))[0]
        if args.rmax is None:
            args.rmax = min(20.0, 2 * radius) if radius else 20.0
            if res.cutoff is not None:
                args.rmax = min(args.rmax, res.cutoff)
        r = r_grid(args, radius)
        note_periodic_r(args, res, r[-1])
        density = default_density(args, run, res, radius)
        warn_density(density)
        derived = {rad: derived_for(args, run, res, radius, radiation=rad, need_s=False,
                                    labels=labels) for rad in ("neutron", "xray")}
        written = []
        for rad, d in derived.items():
            base = os.path.join(folder, f"{stem}_{rad}")
            names = ([base + "_F.csv", base + "_fq.png"] if d.s_undefined else
                     [base + ext for ext in ("_sq.png", "_fq.png", "_gr.png", ".sq", ".fq", ".gr")])
            for name in names:
                outs.reserve(name)
            written += names
        for rad, d in derived.items():
            base = os.path.join(folder, f"{stem}_{rad}")
            if d.s_undefined:
                all_null(args, outs, d, base, radius)
            else:
                all_files(args, outs, d, base, r, density, radius, rad)
    out.write("".join(f"{name}\n" for name in written))
    return 0


def all_null(args, outs, d, base, radius):
    """A null-scattering run's F(Q), its parts and S'(Q) - 1: what is defined of it."""
    sys.stderr.write(f"ioq: {d.radiation}: {d.s_undefined}; F(Q), its parts and "
                     f"S'(Q)-1 go to {base}_F.csv, no .sq, .fq, .gr\n")
    cols = {"F(Q)": d.total_f, **{part_name(d, k): v for k, v in d.parts.items()}}
    errs = None if d.total_f_err is None else {
        "F(Q)": d.total_f_err, **{part_name(d, k): v for k, v in d.parts_err.items()}}
    for k, (v, e) in zd.keen_forms(d.q, d.total_f, d.mean2, d.meansq, d.total_f_err).items():
        if k != "F(Q)":
            cols[k] = v
            if errs is not None:
                errs[k] = e
    cols, errs = columns(d.q, cols, errs)
    with outs.open_text(base + "_F.csv") as fh:
        zi.write_csv(fh, "Q", d.q, cols, fmt_derived, errs)
    draw(outs, base + "_fq.png", d.q, {k: v for k, v in cols.items() if k.startswith("F")},
         r"$Q$ / Å$^{-1}$", f"$F(Q)$ / {d.unit} per atom", title=plot_title(args, d.radiation),
         bold="F(Q)", errors=errs, x_from=d.q_min, dashes=True,
         note_extra="sphere term removed" if radius else None)


def all_files(args, outs, d, base, r, density, radius, radiation):
    qmin = args.qmin
    if qmin is None and radius is None and d.q_min is None:
        qmin = body_start(d.q, d.total_s)
        if qmin is not None:
            sys.stderr.write(f"ioq: {radiation}: the small-angle peak is left out of G(r): "
                             f"Q from {qmin:.4g} 1/A (give --sphere or --qmin)\n")
    rs = zd.real_space(d, r, density=density, window_name=window_name(args), qmin=qmin,
                       sphere_radius=radius)
    head = file_header(args, d, [("qdamp", "0"), ("qbroad", "0")])
    fq = d.q * (d.total_s - 1.0)
    err = d.total_s_err
    fq_err = None if err is None else np.abs(d.q) * err
    gr_err = rs.errors.get("G_PDF(r)")
    with outs.open_text(base + ".sq") as fh:
        zi.write_pdf_file(fh, "sq", d.q, d.total_s, head, err)
    with outs.open_text(base + ".fq") as fh:
        zi.write_pdf_file(fh, "fq", d.q, fq, head + [("F", "Q (S(Q) - 1)")], fq_err)
    with outs.open_text(base + ".gr") as fh:
        zi.write_pdf_file(fh, "gr", r, rs["G_PDF(r)"], head + [
            ("window", window_name(args)), ("qmin", f"{qmin:g}" if qmin else "0"),
            ("G", "4 pi rho r (g(r) - 1) = (2/pi) int Q (S(Q) - 1) M(Q) sin(Qr) dQ")], gr_err)
    x_sym = "b" if radiation == "neutron" else "f"
    legend = {"S(Q)": "total S(Q)", "Q(S(Q)-1)": r"$Q\,[S(Q)-1]$",
              "G(r)": r"$G(r)$, the PDF of PDF-fitting programs"}
    legend.update({k: rf"$S_{{\mathrm{{{k[2:-3]}}}}}(Q)$ partial" for k in d.partials})
    qrange = (f"Q from {qmin if qmin else d.q[0]:.3g} to {float(np.nanmax(d.q)):.3g} 1/Å"
              + (" (small-angle peak left out)" if qmin and args.qmin is None else ""))
    s_errs = None if err is None else {"S(Q)": err, **d.partials_err}
    for what, x, curves, errs, xl, yl, bold, hline, clip, note in (
            ("sq", d.q, {"S(Q)": d.total_s, **d.partials}, s_errs, r"$Q$ / Å$^{-1}$",
             r"$S(Q)$ (Faber-Ziman)", "S(Q)", 1.0, True,
             rf"$S(Q) = 1 + F(Q)/\langle {x_sym}\rangle^2$"),
            ("fq", d.q, {"Q(S(Q)-1)": fq}, {"Q(S(Q)-1)": fq_err}, r"$Q$ / Å$^{-1}$",
             r"$F(Q) = Q\,[S(Q)-1]$ / Å$^{-1}$", "Q(S(Q)-1)", 0.0, True,
             "rise below the first minimum: the finite model's small-angle peak"
             if d.q_min is None else None),
            ("gr", r, {"G(r)": rs["G_PDF(r)"]}, {"G(r)": gr_err}, r"$r$ / Å",
             r"$G(r) = 4\pi\rho r\,[g(r)-1]$ / Å$^{-2}$", "G(r)", 0.0, False, qrange)):
        title_args = argparse.Namespace(**vars(args))
        title_args.command = "gr" if what == "gr" else "sq"
        draw(outs, f"{base}_{what}.png", x, curves, xl, yl, title=plot_title(title_args, radiation),
             clip=clip, bold=bold, hline=hline, clip_r=not clip, xlim=args.xlim, labels=legend,
             dashes=True, note_extra=note, errors=errs,
             x_from=d.q_min if what != "gr" else None, settle=what != "gr")


def body_start(q, s):
    """The Q where the curve's body starts (its first local minimum) when the small-angle
    peak before it swamps the rest; None otherwise."""
    s = np.asarray(s, dtype=float)
    if len(s) < 10 or not np.isfinite(s[0]) or s[0] < 5:
        return None
    falls = np.flatnonzero((s[1:-1] < s[:-2]) & (s[1:-1] <= s[2:]))
    if not len(falls) or falls[0] + 1 > len(s) // 2:
        return None
    return float(q[falls[0] + 1])


# ---------------------------------------------------------------------------- compare


def compare_stem(given):
    """-o OUT: the stem of OUT.csv and OUT.png (a .csv or .png ending dropped)."""
    stem, ext = os.path.splitext(given)
    return output_stem(stem if ext.lower() in (".csv", ".png") else given, given)


def per_dataset(values, n, option):
    """A comma list of one value per DATA, or one for all."""
    if len(values) == 1:
        return values * n
    if len(values) != n:
        raise IoqError(f"{option} gives {len(values)} values for {n} datasets (one for each, "
                       "or one for all)")
    return values


def dataset_b(args, run, labels, n):
    """--b [K:]TYPE=B: the lengths of every dataset, or of dataset K (1 for the first DATA),
    as {type number: value} each, or None."""
    items = [[] for _ in range(n)]
    for item in args.b or []:
        m = re.match(r"^([0-9]+):(.*)$", item)
        if m and "=" in m.group(2):
            k = int(m.group(1))
            if not 1 <= k <= n:
                raise IoqError(f"--b {item}: no dataset {k} (DATA gives {n})")
            items[k - 1].append(m.group(2))
        else:
            for each in items:
                each.append(item)
    return [b_options(argparse.Namespace(b=it, file=args.file), run, labels) or None
            for it in items]


def cmd_compare(args, out):
    name, axis = quantity_axis(args.quantity)  # before any file is read
    fit_names(args.fit, axis)
    n = len(args.data)
    radiations = per_dataset(args.radiation or ["neutron"], n, "--radiation")
    stem = compare_stem(args.output) if args.output else None
    with outputs(args) as outs:
        for path in args.data:
            outs.add_input(path)
        if stem:
            outs.reserve(stem + ".csv")
            outs.reserve(stem + ".png")
        datasets = [read_data(p, usecols=args.usecols, x_unit=args.x_unit,
                              wavelength=args.wavelength) for p in args.data]
        run, res = prepare(args, outs)
        radius = sphere_radius(args, run, res)
        need = "form factors" if any(r != "neutron" for r in radiations) else None
        labels = type_labels(args, run, need)
        if args.b and any(r != "neutron" for r in radiations):
            raise IoqError("--b sets neutron scattering lengths; every dataset it applies to "
                           "needs --radiation neutron")
        density = default_density(args, run, res, radius) if axis == "r" else None
        c = compare(res, datasets, quantity=name, radiation=radiations,
                    convention=args.convention or "faber-ziman", norm=args.norm,
                    fit=args.fit, xrange=args.xrange, qdamp=args.qdamp, qres=args.qres,
                    window=args.window, b=dataset_b(args, run, labels, n),
                    energy=args.energy, elements=None if None in labels else labels,
                    bbar=args.bbar, density=density, sphere_radius=radius,
                    qmin=args.qmin, qmax=args.qmax)
        out.write("".join(line + "\n" for line in c.lines()))
        if stem:
            c.write(outs, stem)
    return 0


def add_compare(sub):
    s = sub.add_parser("compare", help="the model beside measured data: fit, Rw, chi2, plot",
                       formatter_class=argparse.RawDescriptionHelpFormatter,
                       description="""\
Puts FILE's QUANTITY beside each DATA (its convention and units: zalmor.derived), fits
  y = scale m(x) + offset + slope x + quadratic x^2   (the parameters --fit names)
by weighted least squares, sigma^2 = error^2 + (scale dm)^2 with dm the model's standard
error of a frame average, and prints per dataset NAME = VALUE ± ERROR for each parameter,
  Rw = sqrt(sum w (obs - calc)^2 / sum w obs^2), w = 1/error^2 (1 without errors),
  chi2/N = sum ((obs - calc) / sigma)^2 / N with N = points - parameters (data with errors),
  R = sum (obs - calc)^2 / points (the R-factor of EPSR and Dissolve),
then, for several DATA, the combined figures. -o OUT writes OUT.csv (x, observed, error,
calculated, residual) and OUT.png (overlay and residual). DATA: 2 or 3 columns (# comments,
a free header), CSV, .gr .sq .fq .iq of PDF programs, .npz. A model's Q grid that is not
the data's is interpolated, with an error estimate; beyond it the data are refused.
docs/guide.md, "Comparing with a measurement", has the formulas and references.""")
    add_common(s, density=True, plot=False)
    s.add_argument("data", metavar="DATA", nargs="+", help="measured data files")
    s.add_argument("--quantity", required=True, metavar="NAME",
                   help="i(Q), F(Q), I(Q), S(Q), S(Q)-1, S'(Q)-1, Q(S(Q)-1), G_PDF(r), D(r), "
                        "G(r), g(r), T(r) (without (Q) or (r) as well: F, G_PDF), or a partial "
                        "(S_Si-O(Q))")
    s.add_argument("--fit", default="scale", metavar="P1,P2,...",
                   help="fitted: scale, offset, slope, quadratic, qres (functions of Q), qdamp "
                        "(of r); default scale")
    s.add_argument("--radiation", type=name_list, metavar="RAD[,RAD...]",
                   help="neutron (default), xray or electron: one, or one per DATA")
    s.add_argument("--convention", choices=zd.CONVENTIONS, help="of the partials")
    s.add_argument("--norm", choices=zd.NORMS, help="S(Q) = 1 + F/<f>^2 (default) or F/<f^2>")
    s.add_argument("--energy", metavar="KEV", type=float, help="X-ray or electron energy")
    s.add_argument("--b", metavar="[K:]TYPE=B", action="append",
                   help="neutron b of a type for every DATA, or for DATA number K (2:H=D: "
                        "deuterium in the second); repeatable")
    s.add_argument("--elements", metavar="A,B,...", type=name_list,
                   help="element of each type (default: NAME.types or the metadata)")
    s.add_argument("--qres", metavar="SIGMA", type=float,
                   help="Gaussian Q resolution (1/A); its start when --fit has qres")
    s.add_argument("--qdamp", metavar="QDAMP", type=float,
                   help="envelope exp(-(QDAMP r)^2/2); its start when --fit has qdamp")
    s.add_argument("--window", choices=zd.WINDOWS, help="M(Q) of the transform to r")
    s.add_argument("--density", metavar="RHO", type=float,
                   help="number density, atoms per A^3 (default as for ioq gr)")
    s.add_argument("--qmin", metavar="Q", type=float, help="transform to r from this Q")
    s.add_argument("--qmax", metavar="Q", type=float,
                   help="transform to r up to this Q (default: the data's header qmax, else "
                        "the file's last Q)")
    s.add_argument("--xrange", metavar=("LO", "HI"), type=float, nargs=2,
                   help="use the data's points from LO to HI only (1/A or A)")
    s.add_argument("--usecols", metavar="X,Y[,ERR]", type=name_list,
                   help="the data's columns, numbers from 0 or names")
    s.add_argument("--x-unit", metavar="UNIT",
                   help="the data's x: 1/A, 1/nm, A, nm or 2theta (default: what the file says)")
    s.add_argument("--wavelength", metavar="LAMBDA", type=float,
                   help="for x in 2theta: the wavelength (A)")
    s.add_argument("-o", "--output", metavar="OUT", help="write OUT.csv and OUT.png")
    s.set_defaults(run=cmd_compare)


# ---------------------------------------------------------------------------- command line


def block_numbers(text):
    try:
        numbers = [int(t) for t in text.split(",") if t.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a block number or a list like 1,3") from None
    if not numbers:
        raise argparse.ArgumentTypeError("empty block list")
    return numbers


def real_list(text):
    try:
        return [float(t) for t in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"'{text}' is not a list of numbers like 4.15,5.80") from None


def name_list(text):
    names = [t.strip() for t in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"'{text}' is not a list like Si,O")
    return names


NORMALISATION = """
i(Q) as stored (block AB, types A and B, N atoms, nnorm the number the run normalised to):
  i_AB(Q) = 0.01 b_A b_B / nnorm * sum over i of type A, j of type B, i != j of sin(Qr)/(Qr),
in barn per atom (b in fm; 1 barn = 100 fm^2): distinct pairs only, no self term.
Faber-Ziman, with c the atomic fractions and <b> = sum c_A b_A:
  S_AB(Q) = 1 + (nnorm/N) i_AB(Q) / (0.01 c_A c_B b_A b_B)
  S(Q)    = 1 + F(Q) / (0.01 <b>^2),  F(Q) = sum_AB c_A c_B 0.01 b_A b_B (S_AB(Q) - 1)
(F in barn per atom; the sum over ordered pairs, an unlike partial counts twice).
c and b come from the block parameters (b is stored for the first 10 types); N from the
zero-Q limits; nnorm = N unless the file records another answer or --nnorm says so.
--sphere R subtracts (N - delta_AB/c_A) Phi(QR)^2 from S_AB(Q), Phi(x) = 3(sin x - x cos x)/x^3:
the small-angle scattering of the model's own shape, taken as a uniform sphere of radius R.
"""


def add_common(s, sphere=True, density=False, plot=True):
    s.add_argument("file", metavar="FILE")
    s.add_argument("--bbar", metavar="B1,B2,...", type=real_list,
                   help="b_bar (fm) of every type for the total (default: those of the run, "
                        "stored for up to 10 types); the partials are always undone with "
                        "the run's values")
    s.add_argument("--natoms", metavar="N", type=int,
                   help="number of atoms of the model (default: from the zero-Q limits)")
    s.add_argument("--nnorm", metavar="M", type=float,
                   help="number of atoms the run normalised to (default: the recorded "
                        "answer, else N)")
    if sphere:
        s.add_argument("--sphere", metavar="R", nargs="?", const="model",
                       help="remove the small-angle scattering of a uniform sphere of radius "
                            "R (Angstrom) of N atoms, so that low-Q S(Q) looks like the bulk"
                            + ("; and divide D(r), G(r), g(r) - 1 and g_AB(r) - 1 by the "
                               "sphere's overlap gamma(r), r below 2R only" if density else "")
                            + "; without R: the sphere that holds N atoms at the density of "
                            + ("--density or of " if density else "")
                            + "the model's title (tocoords writes it), else the radius in "
                              "that title")
    if plot:
        s.add_argument("--plot", metavar="OUT",
                       help="draw OUT.png or OUT.svg instead of CSV output")


def add_conventions(s, real=False, elements=True):
    g = s.add_argument_group("radiations, conventions and files")
    g.add_argument("--radiation", choices=zd.RADIATIONS,
                   help="reweight the partials for neutrons (default; the run's b_bar unless "
                        "--b), X-rays (f0, f', f'') or electrons (Mott-Bethe)")
    g.add_argument("--convention", choices=zd.CONVENTIONS,
                   help="partials of Faber-Ziman (default), Ashcroft-Langreth, or "
                        "Bhatia-Thornton S_NN, S_NC, S_CC (two types)")
    g.add_argument("--norm", choices=zd.NORMS,
                   help="S(Q) = 1 + F(Q) / <f>^2 (mean-squared, default) or / <f^2> "
                        "(mean-square)")
    g.add_argument("--energy", metavar="KEV", type=float,
                   help="X-rays: add f' and f'' at this energy; electrons: the beam energy "
                        "(relativistic factor)")
    g.add_argument("--b", metavar="TYPE=B", action="append",
                   help="neutron scattering length of a type: fm, a species (6Li, D) or an "
                        "isotope mixture (Li=6Li:0.95,7Li:0.05); repeatable")
    if elements:
        g.add_argument("--elements", metavar="A,B,...", type=name_list,
                       help="element, isotope or ion of each type (default: NAME.types or "
                            "the metadata)")
    g.add_argument("--qres", metavar="SIGMA", type=float,
                   help="Gaussian Q resolution: the partials convolved with this sigma (1/A)")
    g.add_argument("--format", choices=("csv", "gr", "sq", "fq", "xy", "npz"),
                   help="csv (default, to stdout or -o); gr, sq, fq: the files PDF programs "
                        "load; xy: one function in two columns; npz: every function")
    g.add_argument("-o", "--output", metavar="OUT", help="the file to write")
    g.add_argument("--column", metavar="NAME", help="the function --format xy writes "
                   "(default the total)")
    g.add_argument("--xlim", metavar=("LO", "HI"), type=float, nargs=2, help="x range of --plot")
    g.add_argument("--ylim", metavar=("LO", "HI"), type=float, nargs=2, help="y range of --plot")
    if real:
        g.add_argument("--window", choices=zd.WINDOWS,
                       help="modification function M(Q): none (default), lorch (as --lorch), "
                            "warren exp(-ln10 (Q/Qmax)^2)")
        g.add_argument("--qdamp", metavar="QDAMP", type=float,
                       help="envelope exp(-(QDAMP r)^2 / 2) of the PDF-fitting programs")
        g.add_argument("--qbroad", metavar="QBROAD", type=float,
                       help="peak broadening: width QBROAD r added in quadrature")
    else:
        g.add_argument("--wavelength", metavar="LAMBDA", type=float,
                       help="powder pattern in 2 theta at this wavelength (A): X-rays or "
                            "neutrons")


def build_parser():
    p = argparse.ArgumentParser(
        prog="ioq", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Look at the .ioq result files of zalmor: block k is partial k, "
                    "the last block the total i(Q).",
        epilog=NORMALISATION + "\nExit status: 0 done; 1 the file is missing or malformed, "
               "an option's value is out of its range, or the output cannot be written; "
               "2 bad command line.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    raw = argparse.RawDescriptionHelpFormatter

    s = sub.add_parser("info", help="list the blocks, zero-Q limits, b_bar and metadata",
                       description="List the blocks of FILE: number, label, pair of elements "
                                   "(when known), number of points, zero-Q limit and the "
                                   "b_bar (fm) of every atom type; then the type map and the "
                                   "metadata of the run (program, version, date, answers).")
    s.add_argument("file", metavar="FILE")
    s.set_defaults(run=cmd_info)

    s = sub.add_parser("csv", help="write Q and i(Q) of chosen blocks as CSV to stdout",
                       description="Write the columns Q, i(Q) of each chosen block to standard "
                                   "output as CSV with one header line: numpy.loadtxt(f, "
                                   "delimiter=',', skiprows=1) reads it. Columns are named by "
                                   "element pair (Si-O) when the types are known.")
    s.add_argument("file", metavar="FILE")
    s.add_argument("-b", "--block", metavar="N", type=block_numbers, action="extend",
                   help="block number(s), repeatable or comma-separated (default: all)")
    s.set_defaults(run=cmd_csv)

    s = sub.add_parser("plot", help="plot every partial and the total to a PNG or SVG file",
                       description="Plot i(Q) of every block (or the chosen ones) in one figure; "
                                   "the total is drawn thick and black.")
    s.add_argument("file", metavar="FILE")
    s.add_argument("-o", "--output", metavar="OUT", required=True, help="OUT.png or OUT.svg")
    s.add_argument("-b", "--block", metavar="N", type=block_numbers, action="extend",
                   help="block number(s), repeatable or comma-separated (default: all)")
    s.add_argument("--ylim", metavar=("LO", "HI"), type=float, nargs=2,
                   help="range of the i(Q) axis")
    s.add_argument("--full-range", action="store_true",
                   help="show the small-angle peak near Q = 0 in full (by default the i(Q) "
                        "axis is fitted to the curves after their first minimum when that "
                        "peak would flatten everything else)")
    s.set_defaults(run=cmd_plot)

    s = sub.add_parser("sq", help="Faber-Ziman S(Q) and partial S_AB(Q) as CSV or a plot",
                       formatter_class=raw,
                       description="Columns Q, S(Q), S_AB(Q) for every partial.\n" + NORMALISATION)
    add_common(s)
    add_conventions(s)
    s.set_defaults(run=command("sq"))

    s = sub.add_parser("fq", help="F(Q) in barn per atom and each partial's part",
                       formatter_class=raw,
                       description="""\
Columns Q, F(Q) = 0.01 <b>^2 (S(Q) - 1) (barn per atom) and the part of each partial,
F_AB(Q) = (2 - delta_AB) c_A c_B 0.01 b_A b_B (S_AB(Q) - 1), whose sum is F(Q).
F -> 0 at high Q; the stored total i(Q) equals F(Q) for nnorm = N, apart from the
small-angle scattering of the model's shape (--sphere removes it).
""" + NORMALISATION)
    add_common(s)
    add_conventions(s)
    s.set_defaults(run=command("fq"))

    s = sub.add_parser("gr", help="G_PDF(r), D(r), G(r), g(r), g_AB(r) by sine transform",
                       formatter_class=raw,
                       description="""\
Sine Fourier transforms of S(Q) - 1 and S_AB(Q) - 1 over the file's Q range (from Q = 0,
where the integrand vanishes), on r = DR, 2 DR, ..., RMAX:
  G_PDF(r) = (2/pi) int Q (S(Q) - 1) M(Q) sin(Qr) dQ = 4 pi rho r (g(r) - 1)
  D(r) = 0.01 <b>^2 G_PDF(r)  (barn/A^2),   T(r) = D(r) + 4 pi rho r 0.01 <b>^2
  G(r) = D(r) / (4 pi rho r)  (barn)
  g(r) = 1 + G(r) / (0.01 <b>^2),  g_AB(r) likewise from S_AB(Q)
M(Q) = sin(pi Q/Qmax)/(pi Q/Qmax) under --lorch, else 1. rho (atoms/A^3) is needed for
G, g and T: --density, else natoms / periodic_volume of a periodic box, else the density
tocoords put in the model's title, else N over the volume of the --sphere; without it
d_AB(r) = 4 pi rho r (g_AB(r) - 1) stands for g_AB(r). Remove the small-angle peak of a
finite model first (--sphere, or --qmin): left in, it turns g(r) - 1 into the model's own
pair density. A periodic box has none; its sums end at the cutoff, and so does G(r).

A sphere of radius R cut from a bulk holds, around an average atom, only the fraction
  gamma(r) = 1 - 3r/(4R) + r^3/(16R^3)   (0 <= r <= 2R; 0 beyond)
of the bulk's pairs at r (the overlap of the sphere with its copy shifted by r), so its
transform is rho (g(r) - 1) gamma(r). With --sphere, D(r), G(r), g(r) - 1 and every
g_AB(r) - 1 are divided by gamma(r): the functions of the bulk the sphere was cut from,
whose coordination numbers 4 pi rho c_B int r^2 g_AB(r) dr are those of the bulk. r then
stops below 2R, where the sphere has no pairs; beyond R, where gamma < 0.31, the division
magnifies the noise.
""" + NORMALISATION)
    add_common(s, density=True)
    s.add_argument("--rmax", metavar="R", type=float, required=True,
                   help="largest r (Angstrom); with --sphere r stops below 2R")
    s.add_argument("--dr", metavar="DR", type=float, default=0.01,
                   help=f"r step (Angstrom, default 0.01; at most {MAX_R_VALUES} r values)")
    s.add_argument("--density", metavar="RHO", type=float,
                   help=f"number density, atoms per A^3 ({MIN_DENSITY:g} to "
                        f"{zd.MAX_DENSITY:g}; not a mass density; default: natoms / "
                        "periodic_volume of a periodic box, else the density in the model's "
                        "title, else N over the --sphere volume)")
    s.add_argument("--lorch", action="store_true", help="apply the Lorch window M(Q)")
    s.add_argument("--qmin", metavar="Q", type=float,
                   help="leave out Q below this (the small-angle peak of a finite model)")
    s.add_argument("--qmax", metavar="Q", type=float, help="leave out Q above this")
    add_conventions(s, real=True)
    s.set_defaults(run=command("gr"))

    s = sub.add_parser("xray", help="X-ray total from the partials with form factors",
                       formatter_class=raw,
                       description="""\
Reweights the stored partials with X-ray form factors in place of scattering lengths
(the sums over the partial blocks, an unlike partial counting twice):
  i_X(Q) = sum_AB f_A(Q) f_B(Q) i_AB(Q) / (0.01 b_A b_B)  (electrons^2 per nnorm atoms)
  F_X(Q) = sum_AB c_A c_B f_A f_B (S_AB(Q) - 1)            (electrons^2 per atom)
  S_X(Q) = 1 + F_X(Q) / <f(Q)>^2                           (Faber-Ziman)
f_A(Q): neutral-atom form factors of periodictable (Waasmaier-Kirfel, Q up to 24 pi/A),
without anomalous dispersion or Compton scattering. i_X is then the Debye sum of the
model with form factors, to the precision of the stored partials, with the partials'
thermal factors (a total-function .urms record is not used).
""" + NORMALISATION)
    add_common(s)
    s.add_argument("--elements", metavar="A,B,...", type=name_list,
                   help="element of each type (default: NAME.types or the metadata)")
    add_conventions(s, elements=False)
    s.set_defaults(run=command("xray"))

    s = sub.add_parser("all", help="S(Q), F(Q), G(r) for neutrons and X-rays, with plots",
                       description="Write FILE's S(Q) (.sq), F(Q) = Q (S(Q) - 1) (.fq) and "
                                   "G(r) = 4 pi rho r (g(r) - 1) (.gr) in the files PDF programs "
                                   "load, for neutrons (the run's b_bar) and X-rays, "
                                   "Faber-Ziman, and a PNG of each, into DIR: all together, or "
                                   "none. A null-scattering alloy (<b> = 0) gets NAME_neutron_F"
                                   ".csv, F(Q) and its parts, in place of its neutron files.")
    add_common(s, plot=False)
    s.add_argument("-o", "--output", metavar="DIR", required=True, help="folder to write to")
    s.add_argument("--elements", metavar="A,B,...", type=name_list,
                   help="element of each type (default: NAME.types or the metadata)")
    s.add_argument("--rmax", metavar="R", type=float,
                   help="largest r (default 20 A, or below the --sphere diameter, or the "
                        "cutoff of a periodic box)")
    s.add_argument("--dr", metavar="DR", type=float, default=0.01, help="r step (default 0.01)")
    s.add_argument("--density", metavar="RHO", type=float,
                   help="number density, atoms per A^3 (default as for ioq gr)")
    s.add_argument("--qmin", metavar="Q", type=float,
                   help="leave Q below this out of G(r) (default: after the small-angle peak "
                        "of a finite model when it swamps S(Q) and there is no --sphere)")
    s.add_argument("--window", choices=zd.WINDOWS, help="modification function for G(r)")
    s.add_argument("--xlim", metavar=("LO", "HI"), type=float, nargs=2, help=argparse.SUPPRESS)
    s.set_defaults(run=cmd_all)
    add_compare(sub)
    return p


def _number(v):
    text = str(v) if isinstance(v, int) else f"{v:g}"
    return text if len(text) <= 20 else text[:17] + "..."


def _fits(fits, v):
    try:
        return math.isfinite(v) and fits(v)
    except OverflowError:  # an integer beyond any float
        return False


# option, attribute, accepted when, what it wants (the message says "OPTION wants ...")
OPTION_RANGES = [
    ("--rmax", "rmax", lambda v: 0 < v <= MAX_LENGTH,
     f"a largest r above 0 and at most {MAX_LENGTH:g} A"),
    ("--dr", "dr", lambda v: 0 < v <= MAX_LENGTH,
     f"an r step above 0 and at most {MAX_LENGTH:g} A"),
    ("--density", "density", lambda v: MIN_DENSITY <= v <= zd.MAX_DENSITY,
     f"a number density from {MIN_DENSITY:g} to {zd.MAX_DENSITY:g} atoms per A^3"),
    ("--qmin", "qmin", lambda v: 0 <= v <= MAX_Q, f"a Q from 0 to {MAX_Q:g} 1/A"),
    ("--qmax", "qmax", lambda v: 0 < v <= MAX_Q, f"a Q above 0 and at most {MAX_Q:g} 1/A"),
    ("--natoms", "natoms", lambda v: 1 <= v <= zi.MAX_RECORDED_ATOMS,
     f"a number of atoms from 1 to {zi.MAX_RECORDED_ATOMS}"),
    # zalmor takes a negative nnorm (it turns the sign of every block), not a tiny one
    ("--nnorm", "nnorm", lambda v: zi.MIN_NNORM <= abs(v) <= zi.FLOAT32_MAX,
     f"a number of atoms to normalise to from {zi.MIN_NNORM:g} to {zi.FLOAT32_MAX:.3g} in size "
     "(as zalmor takes it)"),
    ("--bbar", "bbar", lambda v: abs(v) <= structure.MAX_B,
     f"scattering lengths of at most {structure.MAX_B:g} fm "
     "in size"),
    ("--sphere", "sphere", lambda v: 0 < v <= MAX_LENGTH,
     f"a radius above 0 and at most {MAX_LENGTH:g} A"),
    ("--energy", "energy", lambda v: 0.03 <= v <= 1e4,
     "an energy from 0.03 to 10000 keV (X-ray tables from 0.03 keV; electrons to 10 MeV)"),
    ("--qres", "qres", lambda v: 0 < v <= 10, "a Q resolution sigma above 0 and at most 10 1/A"),
    ("--qdamp", "qdamp", lambda v: 0 <= v <= 10, "a Qdamp from 0 to 10 1/A"),
    ("--qbroad", "qbroad", lambda v: 0 <= v <= 10, "a Qbroad from 0 to 10 1/A"),
    ("--wavelength", "wavelength", lambda v: 0.01 <= v <= 100,
     "a wavelength from 0.01 to 100 A"),
    ("--xrange", "xrange", lambda v: abs(v) <= MAX_LENGTH,
     f"a range LO below HI, at most {MAX_LENGTH:g} in size"),
    ("--xlim", "xlim", lambda v: abs(v) <= MAX_LENGTH,
     f"limits LO below HI, at most {MAX_LENGTH:g} in size"),
    # i(Q) is stored in single precision
    ("--ylim", "ylim", lambda v: abs(v) <= zi.FLOAT32_MAX,
     f"limits LO below HI, at most {zi.FLOAT32_MAX:.3g} in size"),
]


def check_options(args):
    """Refuses a numeric option that makes no sense (nan, inf, out of its range) before any
    file is read, naming the range it wants."""
    for option, attr, fits, wants in OPTION_RANGES:
        value = getattr(args, attr, None)
        if value is None or value == "model":  # not given, or --sphere without a radius
            continue
        if attr == "sphere":
            try:
                value = float(value)
            except ValueError:
                raise IoqError(f"--sphere wants a radius in A, not '{value}'") from None
        values = value if isinstance(value, list) else [value]
        for v in values:
            if not _fits(fits, v):
                raise IoqError(f"{option} wants {wants}, not {_number(v)}")
    if getattr(args, "ylim", None) and not args.ylim[0] < args.ylim[1]:
        raise IoqError(f"--ylim wants LO below HI, not {_number(args.ylim[0])} "
                       f"{_number(args.ylim[1])}")
    if getattr(args, "xrange", None) and not args.xrange[0] < args.xrange[1]:
        raise IoqError(f"--xrange wants LO below HI, not {_number(args.xrange[0])} "
                       f"{_number(args.xrange[1])}")
    if getattr(args, "xlim", None) and not args.xlim[0] < args.xlim[1]:
        raise IoqError(f"--xlim wants LO below HI, not {_number(args.xlim[0])} "
                       f"{_number(args.xlim[1])}")
    if getattr(args, "rmax", None) is not None and not args.dr <= args.rmax:
        raise IoqError(f"--dr {_number(args.dr)} is above --rmax {_number(args.rmax)}: "
                       "no r values")
    qmin, qmax = getattr(args, "qmin", None), getattr(args, "qmax", None)
    if qmin is not None and qmax is not None and not qmin < qmax:
        raise IoqError(f"--qmin {_number(qmin)} is not below --qmax {_number(qmax)}")


def main(argv=None, out=None):
    args = build_parser().parse_args(argv)
    out = out if out is not None else sys.stdout

    def body():
        try:
            check_options(args)
            return args.run(args, out)
        except (IoqError, zd.DerivedError, DataError, CompareError) as e:
            raise CommandError(str(e)) from None

    return run_command("ioq", body)


if __name__ == "__main__":
    sys.exit(main())
