"""Look at the .ioq files that zalmor writes and derive what experiments measure.

  ioq info FILE                    the blocks, zero-Q limits, b_bar per type, metadata
  ioq csv FILE [--block N ...]     Q and i(Q) of the chosen blocks (default all) as CSV
  ioq plot FILE -o OUT.png|OUT.svg every partial and the total in one figure
  ioq sq FILE                      Faber-Ziman S(Q) and the partial S_AB(Q)
  ioq fq FILE                      F(Q) = <b>^2 (S(Q) - 1) in barn per atom, and its parts
  ioq gr FILE --rmax R             D(r), G(r), g(r) and g_AB(r) by sine Fourier transform
  ioq xray FILE                    the X-ray total from the partials and form factors
  ioq all FILE -o DIR              S(Q), F(Q), G(r) for neutrons and X-rays, files and plots

sq, fq, gr and xray take --radiation neutron|xray|electron, --convention
faber-ziman|ashcroft-langreth|bhatia-thornton and --format csv|gr|sq|fq|xy|npz.

Partials are named by element (Si-O) when NAME.types lies beside the file or the file's
metadata carry the type map. The reading and the physics live in zalmor.io and
zalmor.derived; docs/guide.md explains every normalisation.
"""

import argparse
import csv
import math
import os
import re
import sys

import numpy as np

from . import derived as zd
from . import io as zi
from .io import IoqError

# Beyond these the numbers are mistakes, not models: no count of atoms exceeds an int32, no
# condensed matter has 10 atoms per A^3 (diamond 0.18), no coherent scattering length
# reaches 1e4 fm, and 100000 r values are more than a plot or a fit of any model needs (each
# costs a sine transform over the whole Q grid).
MAX_LENGTH = 1e5  # A
MIN_DENSITY, MAX_DENSITY = 1e-6, 10.0  # atoms per A^3
MAX_B = 1e4  # fm
MAX_R_VALUES = 100000
MAX_Q = 1e4  # 1/A; zalmor's grids end far below
TENFOLD_R = 1.46  # gamma(r) = 0.1 here, in units of the sphere's radius


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


def load(args):
    types = None
    if getattr(args, "elements", None):
        types = {t: lab for t, lab in enumerate(args.elements, 1)}
    return zi.load(args.file, types=types)


def column_name(b):
    """The CSV/legend name of a block: its element pair when known, else its label."""
    return b.name if b.name and b.name != "Total" else b.label


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
        for b in run.blocks:
            label = b.label if "ylabel" in b.fields else "?"
            ut = b.ut if "ut" in b.fields else np.zeros(0, np.float32)
            zero_q = fmt_real(ut[zi.UT_ZERO_Q]) if len(ut) > zi.UT_ZERO_Q else "-"
            bbar = "-"
            if len(ut) > zi.UT_NTYPES and math.isfinite(ut[zi.UT_NTYPES]):
                ntypes = max(0, min(int(ut[zi.UT_NTYPES]), zi.MAX_BBAR_TYPES, len(ut) - zi.UT_BBAR))
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
    columns = [b.iq for b in blocks]
    w = csv.writer(out, lineterminator="\n")
    w.writerow(["Q"] + [column_name(b) for b in blocks])
    for i in range(len(q)):
        w.writerow([fmt_real(q[i])] + [fmt_real(c[i]) for c in columns])
    return 0


def check_plot_name(path):
    ext = os.path.splitext(path)[1].lower()
    if ext not in (".png", ".svg"):
        raise IoqError(f"{path}: the plot is written as .png or .svg, not '{ext or 'no extension'}'")


def draw(path, x, curves, xlabel, ylabel, title=None, clip=True, ylim=None, hline=0.0,
         bold=None, note_extra=None, xlim=None, clip_r=False, labels=None, dashes=False):
    """One figure of several curves (name -> y); the curve named `bold` drawn thick and black.
    `labels` maps names to legend texts; with `dashes` the other curves take different dash
    patterns, so that partials that coincide (the like partials of rock salt) stay apart.
    Returns the number of non-finite values left out."""
    check_plot_name(path)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5), dpi=150, layout="constrained")
    skipped = 0
    styles = [(0, ()), (0, (5, 2)), (0, (1, 1.5)), (0, (6, 2, 1, 2))]
    for k, (name, y) in enumerate(curves.items()):
        y = np.asarray(y, dtype=np.float64).copy()
        bad = ~np.isfinite(y)
        skipped += int(bad.sum())
        y[bad] = np.nan  # shown as gaps
        label = (labels or {}).get(name, name)
        if name == bold:
            ax.plot(x, y, color="black", linewidth=1.6, label=label, zorder=3)
        elif dashes:
            ax.plot(x, y, linewidth=1.0, label=label, zorder=2, alpha=0.85,
                    linestyle=styles[k % len(styles)])
        else:
            ax.plot(x, y, linewidth=1.0, label=label, zorder=2)
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
        ax.set_xlim(min(0.0, float(np.nanmin(x))), float(np.nanmax(x)))
    ax.grid(True, color="0.85", linewidth=0.5)
    legend = ax.legend(loc="upper right", fontsize="small", ncol=1 if len(curves) <= 8 else 2,
                       framealpha=0.9, title=note, title_fontsize="x-small")
    if note:
        legend.get_title().set_color("0.4")
    if title:
        ax.set_title(title)
    try:
        fig.savefig(path, dpi=150)
    except OSError as e:
        raise IoqError(f"{path}: cannot write: {e.strerror}") from None
    finally:
        plt.close(fig)
    return skipped


def cmd_plot(args, out):
    check_plot_name(args.output)
    run = load(args)
    blocks = select_blocks(run, args.block, args.file)
    q = common_q(blocks, args.file)
    total = [b for b in blocks if b.label.lower().startswith("total")]
    partials = [b for b in blocks if b not in total]
    curves = {column_name(b): b.iq for b in partials + total}
    title = blocks[0].text("title") if "title" in blocks[0].fields else ""
    skipped = draw(args.output, q, curves, r"$Q$ / Å$^{-1}$", r"$i(Q)$ / barn per atom",
                   title=title, clip=not args.full_range, ylim=args.ylim,
                   bold=column_name(total[0]) if total else None)
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


# ---------------------------------------------------------------------------- derived functions

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


def sphere_radius(args, run, comp):
    """--sphere R; or --sphere alone: the radius of a uniform sphere of the model's N atoms
    at the density of --density or of the model's title, else the radius in the title.

    The first is the better choice for a sphere cut from a box: the atoms with centres
    within R are not exactly rho 4/3 pi R^3 in number, and a mismatch of 1% in R leaves a
    wiggle of the order of N (Phi(QR)^2 at two radii) at low Q."""
    if args.sphere is None:
        return None
    if args.sphere == "model":
        density = getattr(args, "density", None) or title_number(run, _DENSITY_IN_TITLE)
        if density:
            r = (3.0 * comp.natoms / (4.0 * math.pi * density)) ** (1.0 / 3.0)
            sys.stderr.write(f"ioq: sphere radius {r:.4g} A: {comp.natoms} atoms at "
                             f"{density:.6g} per A^3\n")
            return r
    if args.sphere != "model":
        r, source = float(args.sphere), f"--sphere {args.sphere}"  # in range: check_options
    else:
        r, source = title_number(run, _SPHERE_IN_TITLE), "the radius in the model's title"
        if r is None:
            raise IoqError(f"{args.file}: the model's title names no sphere radius; "
                           "give --sphere R")
    smallest = (3.0 * comp.natoms / (4.0 * math.pi * MAX_DENSITY)) ** (1.0 / 3.0)
    if r < smallest:
        raise IoqError(f"{source}: a sphere of {r:g} A would hold the {comp.natoms} atoms at "
                       f"more than {MAX_DENSITY:g} per A^3; give a radius of at least "
                       f"{smallest:.3g} A")
    return r


def prepare(args):
    run = load(args)
    if not run.blocks:
        raise IoqError(f"{args.file}: the file holds no blocks")
    comp = zi.composition(run, bbar=args.bbar, natoms=args.natoms, nnorm=args.nnorm)
    for note in comp.notes:
        sys.stderr.write(f"ioq: {note}\n")
    return run, comp


def write_columns(out, x_name, x, columns):
    w = csv.writer(out, lineterminator="\n")
    w.writerow([x_name] + list(columns))
    values = list(columns.values())
    for i in range(len(x)):
        w.writerow([fmt_derived(x[i])] + [fmt_derived(c[i]) for c in values])


CONVENTION_NAMES = {"faber-ziman": "Faber-Ziman", "ashcroft-langreth": "Ashcroft-Langreth",
                    "bhatia-thornton": "Bhatia-Thornton"}
RADIATION_NAMES = {"neutron": "neutrons", "xray": "X-rays", "electron": "electrons"}


def plot_title(args):
    """The file, the radiation, the convention and (in real space) the window."""
    radiation = getattr(args, "radiation", None) or (
        "xray" if args.command == "xray" else "neutron")
    parts = [RADIATION_NAMES[radiation],
             CONVENTION_NAMES[getattr(args, "convention", None) or "faber-ziman"]]
    if args.command == "gr":
        name = window_name(args)
        parts.append({"none": "no window", "lorch": "Lorch window",
                      "warren": "Warren window"}[name])
    return f"{os.path.basename(args.file)}: " + ", ".join(parts)


def window_name(args):
    if getattr(args, "window", None):
        return args.window
    return "lorch" if getattr(args, "lorch", False) else "none"


def plot_or_csv(args, out, x_name, x, columns, xlabel, ylabel, bold, clip, hline, note=None,
                ylim=None, clip_r=False):
    if args.plot:
        skipped = draw(args.plot, x, columns, xlabel, ylabel, title=plot_title(args),
                       clip=clip, bold=bold, hline=hline, note_extra=note,
                       ylim=getattr(args, "ylim", None) or ylim,
                       xlim=getattr(args, "xlim", None), clip_r=clip_r)
        if skipped:
            sys.stderr.write(f"ioq: {skipped} non-finite values left out of the plot\n")
    else:
        write_columns(out, x_name, x, columns)
    return 0


def cmd_sq(args, out):
    if new_options(args):
        return cmd_derived(args, out)
    run, comp = prepare(args)
    radius = sphere_radius(args, run, comp)
    sf = zi.structure_factors(run, comp, radius)
    cols = {"S(Q)": sf.total}
    for pair, s in sf.partials.items():
        cols[f"S_{sf.names[pair]}(Q)"] = s
    return plot_or_csv(args, out, "Q", sf.q, cols, r"$Q$ / Å$^{-1}$", r"$S(Q)$", "S(Q)",
                       clip=True, hline=1.0,
                       note="sphere term removed" if radius else None)


def cmd_fq(args, out):
    if new_options(args):
        return cmd_derived(args, out)
    run, comp = prepare(args)
    radius = sphere_radius(args, run, comp)
    sf = zi.structure_factors(run, comp, radius)
    f, parts = zi.total_f(sf)
    cols = {"F(Q)": f}
    for pair, p in parts.items():
        cols[f"F_{sf.names[pair]}(Q)"] = p
    return plot_or_csv(args, out, "Q", sf.q, cols, r"$Q$ / Å$^{-1}$", r"$F(Q)$ / barn per atom",
                       "F(Q)", clip=True, hline=0.0,
                       note="sphere term removed" if radius else None)


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


def q_range(args, sf):
    """Cuts the Q grid at --qmax (the Lorch window then ends there too); --qmin is left to
    the transform. Refuses a range that keeps fewer than two Q values of the file."""
    q = sf.q
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
    if args.qmax is not None:
        if args.qmax >= np.nanmax(q):
            sys.stderr.write(f"ioq: --qmax {args.qmax:g} is not below the file's last Q "
                             f"{np.nanmax(q):g}: nothing left out\n")
        cut = q <= args.qmax
        sf.q, sf.total = q[cut], sf.total[cut]
        sf.partials = {k: v[cut] for k, v in sf.partials.items()}


def cmd_gr(args, out):
    if new_options(args):
        return cmd_derived(args, out)
    run, comp = prepare(args)
    radius = sphere_radius(args, run, comp)
    density = args.density
    if density is None:
        density = title_number(run, _DENSITY_IN_TITLE)
        if density is not None:
            sys.stderr.write(f"ioq: density {density:g} per A^3 from the model's title\n")
        elif radius:
            density = comp.natoms / (4.0 / 3.0 * math.pi * radius ** 3)
            sys.stderr.write(f"ioq: density {density:.6g} per A^3 from N and the sphere radius\n")
    if density is not None and density > 0.5:
        sys.stderr.write(f"ioq: a density of {density:g} atoms per A^3 is above that of any "
                         "solid (diamond has 0.18): is it a mass density in g/cm^3?\n")
    sf = zi.structure_factors(run, comp, radius)
    if radius is None and args.qmin is None and len(sf.q) and sf.total[0] > 5:
        sys.stderr.write(f"ioq: S(Q) starts at {sf.total[0]:.4g}: the small-angle peak of the "
                         "finite model is in the transform; use --sphere or --qmin\n")
    q_range(args, sf)
    # From dr on: at r = 0 the transform divided by r weights the noise and truncation of
    # the highest Q by Q^2, and g(0) = 0 is known anyway.
    r = r_grid(args, radius)
    pf = zi.pair_functions(sf, r, density=density, lorch_window=args.lorch, qmin=args.qmin,
                           sphere_radius=radius)
    cols = {"D(r)": pf.d}
    if density:
        cols["G(r)"] = pf.G
        cols["g(r)"] = pf.g
        for pair, g in pf.partials.items():
            cols[f"g_{sf.names[pair]}(r)"] = g
    else:
        sys.stderr.write("ioq: no density (--density): D(r) and d_AB(r) = 4 pi rho r "
                         "(g_AB(r) - 1) only\n")
        for pair, d in pf.partials.items():
            cols[f"d_{sf.names[pair]}(r)"] = d
    if args.plot:
        if density:
            plot_cols = {"g(r)": pf.g}
            plot_cols.update({f"g_{sf.names[p]}(r)": g for p, g in pf.partials.items()})
            ylabel, hline = r"$g(r)$", 1.0
        else:
            plot_cols, ylabel, hline = {"D(r)": pf.d}, r"$D(r)$ / barn Å$^{-2}$", 0.0
        bold = "g(r)" if density else "D(r)"
        notes = (["Lorch window"] if args.lorch else []) + (
            ["sphere overlap corrected"] if radius else [])
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
        return plot_or_csv(args, out, "r", r, plot_cols, r"$r$ / Å", ylabel, bold,
                           clip=False, hline=hline, note="; ".join(notes) or None, ylim=ylim,
                           clip_r=ylim is None)
    return plot_or_csv(args, out, "r", r, cols, "", "", None, clip=False, hline=None)


def cmd_xray(args, out):
    if new_options(args):
        return cmd_derived(args, out)
    run, comp = prepare(args)
    if args.elements:
        labels = args.elements
    elif run.types:
        labels = [run.types.get(t) for t in range(1, run.ntypes + 1)]
        if None in labels:
            raise IoqError(f"the type map ({run.types_source}) names no element for every type; "
                           "give --elements")
    else:
        raise IoqError(f"{args.file}: no NAME.types beside it and no type map in its metadata; "
                       "give --elements Si,O")
    radius = sphere_radius(args, run, comp)
    xr = zi.xray(run, comp, labels, radius)
    cols = {"i_X(Q)": xr.i, "S_X(Q)": xr.s, "F_X(Q)": xr.f}
    if args.plot:
        return plot_or_csv(args, out, "Q", xr.q, {"S_X(Q)": xr.s}, r"$Q$ / Å$^{-1}$",
                           r"$S_X(Q)$", "S_X(Q)", clip=radius is None, hline=1.0,
                           note="sphere term removed" if radius else None)
    return plot_or_csv(args, out, "Q", xr.q, cols, "", "", None, clip=False, hline=None)


# ---------------------------------------------------------------------------- radiations and conventions

NEW_OPTIONS = ("radiation", "convention", "norm", "energy", "b", "qres", "format", "output",
               "wavelength", "window", "qdamp", "qbroad", "column")


def new_options(args):
    """Whether an option of the radiations and conventions was given; without one every
    command writes what it always has."""
    return any(getattr(args, k, None) is not None for k in NEW_OPTIONS)


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
    mixture: {type number: float or text}."""
    given = {}
    for item in args.b or []:
        key, sep, given_b = item.partition("=")
        if not sep or not key.strip() or not given_b.strip():
            raise IoqError(f"--b wants TYPE=VALUE (Li=6Li:0.95,7Li:0.05, 2=-3.74, O=O), "
                           f"not '{item}'")
        key = key.strip()
        if key.isdigit() and 1 <= int(key) <= run.ntypes:
            t = int(key)
        elif key in labels:
            t = labels.index(key) + 1
        else:
            raise IoqError(f"--b {item}: '{key}' is no atom type of {args.file}")
        try:
            value = float(given_b)
        except ValueError:
            value = given_b.strip()
        else:
            if not (math.isfinite(value) and abs(value) <= MAX_B):
                raise IoqError(f"--b {item}: wants a scattering length of at most {MAX_B:g} fm")
        if t in given:
            raise IoqError(f"--b gives type {t} twice")
        given[t] = value
    return given


def derived_for(args, run, comp, radius, radiation=None, need_s=True):
    radiation = radiation or args.radiation or ("xray" if args.command == "xray" else "neutron")
    b_given = None
    labels = type_labels(args, run, f"{radiation} form factors"
                         if radiation != "neutron" else None)
    if args.b:
        if radiation != "neutron":
            raise IoqError("--b sets neutron scattering lengths; it needs --radiation neutron")
        b_given = b_options(args, run, labels)
    if args.energy is not None and radiation == "neutron":
        raise IoqError("--energy is the X-ray or electron energy; neutrons take none")
    try:
        return zd.derive(run, comp, radiation=radiation,
                         convention=args.convention or "faber-ziman",
                         norm=args.norm or "mean-squared", energy=args.energy, labels=labels,
                         b_given=b_given, sphere_radius=radius, qres=args.qres,
                         need_s=need_s)
    except zd.DerivedError as e:
        raise IoqError(str(e)) from None


def part_name(d, key):
    return f"F_{d.pair_names[key]}(Q)" if isinstance(key, tuple) else f"F_{key}(Q)"


def file_header(args, d, extra=()):
    comp = " ".join(f"{n}{c:.6g}" for n, c in zip(d.type_names, d.c))
    stype = {"neutron": "N", "xray": "X", "electron": "E"}[d.radiation]
    head = [("source", os.path.basename(args.file)), ("stype", stype),
            ("composition", comp), ("qmax", f"{float(np.nanmax(d.q)):.10g}")]
    head += list(extra)
    head += [(k, v) for k, v in d.header() if k != "composition"]
    return head


def default_density(args, run, comp, radius, quiet=False):
    density = getattr(args, "density", None)
    if density is None:
        density = title_number(run, _DENSITY_IN_TITLE)
        if density is None and radius:
            density = comp.natoms / (4.0 / 3.0 * math.pi * radius ** 3)
    return density


def cmd_derived(args, out):
    fmt = args.format or "csv"
    kind = "gr" if args.command == "gr" else ("fq" if args.command == "fq" else "sq")
    if fmt in ("gr", "sq", "fq") and (fmt == "gr") != (kind == "gr"):
        raise IoqError(f"--format {fmt} holds " + ("G(r): use it with ioq gr" if fmt == "gr"
                       else "a function of Q: use it with ioq sq, fq or xray"))
    if fmt != "csv" and not args.output:
        raise IoqError(f"--format {fmt} writes a file: give -o OUT")
    if fmt in ("gr", "sq", "fq") and getattr(args, "wavelength", None) is not None:
        raise IoqError(f"--format {fmt} holds a function of Q; a pattern in 2 theta "
                       "(--wavelength) is written as csv, xy or npz")
    if args.plot and fmt != "csv":
        raise IoqError("--plot draws instead of writing columns; leave out --format")
    run, comp = prepare(args)
    radius = sphere_radius(args, run, comp)
    # F(Q) and its parts need no normaliser; the PDF-program F(Q) = Q (S(Q) - 1) does.
    d = derived_for(args, run, comp, radius, need_s=kind != "fq" or fmt == "fq")
    qdamp, qb = getattr(args, "qdamp", None), getattr(args, "qbroad", None)
    extra = [("qdamp", f"{qdamp or 0:g}"), ("qbroad", f"{qb or 0:g}")]
    if kind == "gr":
        density = default_density(args, run, comp, radius)
        if radius is None and args.qmin is None and len(d.q) and d.total_s[0] > 5:
            sys.stderr.write(f"ioq: S(Q) starts at {d.total_s[0]:.4g}: the small-angle peak "
                             "of the finite model is in the transform; use --sphere or --qmin\n")
        r = r_grid(args, radius)
        try:
            cols = zd.real_space(d, r, density=density, window_name=window_name(args),
                                 qmin=args.qmin, qmax=args.qmax, qdamp=getattr(args, "qdamp", None),
                                 qb=getattr(args, "qbroad", None), sphere_radius=radius)
        except zd.DerivedError as e:
            raise IoqError(str(e)) from None
        extra += [("window", window_name(args)), ("rho", f"{density:.8g}" if density else "none"),
                  ("G_PDF(r)", "(2/pi) int Q (S(Q) - 1) M(Q) sin(Qr) dQ = 4 pi rho r (g(r) - 1)"),
                  ("D(r)", "W G_PDF(r), W = " + (f"{float(d.norm_value):.8g} "
                           f"{d.unit}" if np.ndim(d.norm_value) == 0 else "1")),
                  ("T(r)", "D(r) + 4 pi rho r W"), ("G(r)", "D(r) / (4 pi rho r)")]
        x, x_name = r, "r"
        xlabel, ylabel = r"$r$ / Å", r"$G_{PDF}(r)$ / Å$^{-2}$" if not density else r"$g(r)$"
        main = "g(r)" if density else "G_PDF(r)"
        plot_cols = ({k: v for k, v in cols.items() if k.startswith("g")} if density
                     else {"G_PDF(r)": cols["G_PDF(r)"]})
        hline = 1.0 if density else 0.0
    else:
        x, x_name = d.q, "Q"
        if kind == "fq":
            cols = {"F(Q)": d.total_f}
            cols.update({part_name(d, k): v for k, v in d.parts.items()})
            for k, v in zd.keen_forms(d.q, d.total_f, d.mean2, d.meansq).items():
                if k != "F(Q)" and not (d.s_undefined and k != "S'(Q)-1"):
                    cols[k] = np.broadcast_to(v, d.q.shape)
            main, hline = "F(Q)", 0.0
            plot_cols = {k: v for k, v in cols.items() if k.startswith("F")}
            ylabel = f"$F(Q)$ / {d.unit} per atom"
        else:
            cols = {"S(Q)": d.total_s}
            cols.update(d.partials)
            main, hline, plot_cols = "S(Q)", 1.0, cols
            ylabel = r"$S(Q)$"
        xlabel = r"$Q$ / Å$^{-1}$"
        cols = {k: np.asarray(np.broadcast_to(v, d.q.shape), dtype=float) for k, v in cols.items()}
        if getattr(args, "wavelength", None) is not None:
            if d.radiation == "electron":
                raise IoqError("--wavelength makes X-ray or neutron powder patterns; "
                               "not for electrons")
            tt, pattern = zd.powder_pattern(d, getattr(args, "wavelength", None))
            keep = np.isfinite(zd.two_theta(d.q, getattr(args, "wavelength", None)))
            if keep.sum() < 2:
                raise IoqError(f"--wavelength {args.wavelength:g} A reaches Q = "
                               f"{4 * math.pi / args.wavelength:.4g} 1/A: fewer than 2 of "
                               "the file's Q values")
            cols = {"I(2theta)": pattern, "Q": d.q[keep], **{k: v[keep] for k, v in cols.items()}}
            x, x_name, xlabel = tt, "2theta", r"$2\theta$ / degrees"
            plot_cols = {"I(2theta)": pattern}
            main, hline, ylabel = "I(2theta)", None, f"$I$ / {d.unit} per atom"
            extra += [("wavelength", f"{args.wavelength:g}"),
                      ("I(2theta)", "<|f|^2> + F(Q), Q = 4 pi sin(theta) / wavelength")]
    header = file_header(args, d, extra)
    if args.plot:
        return plot_or_csv(args, out, x_name, x, plot_cols, xlabel, ylabel, main,
                           clip=kind != "gr" and getattr(args, "wavelength", None) is None, hline=hline,
                           clip_r=kind == "gr",
                           note="sphere term removed" if radius else None)
    return write_format(args, out, fmt, kind, x_name, x, cols, header, main)


def write_format(args, out, fmt, kind, x_name, x, cols, header, main):
    try:
        if fmt == "csv":
            if args.output:
                try:
                    with open(args.output, "w", encoding="utf-8") as fh:
                        write_columns(fh, x_name, x, cols)
                except OSError as e:
                    raise IoqError(f"{args.output}: cannot write: {e.strerror}") from None
            else:
                write_columns(out, x_name, x, cols)
        elif fmt == "npz":
            zd.write_npz(args.output, x_name, x, cols, header)
        elif fmt == "xy":
            name = args.column or main
            if name not in cols:
                raise IoqError(f"--column {name}: no such function (one of "
                               + ", ".join(cols) + ")")
            zd.write_xy(args.output, x, cols[name], header + [("function", name)])
        elif fmt == "gr":
            zd.write_pdf_file(args.output, "gr", x, cols["G_PDF(r)"], header)
        elif fmt == "sq":
            zd.write_pdf_file(args.output, "sq", x, cols["S(Q)"], header)
        else:
            zd.write_pdf_file(args.output, "fq", x, cols["Q(S(Q)-1)"] if "Q(S(Q)-1)" in cols
                              else x * (cols["S(Q)"] - 1.0),
                              header + [("F", "Q (S(Q) - 1)")])
    except zd.DerivedError as e:
        raise IoqError(str(e)) from None
    return 0


def cmd_all(args, out):
    """S(Q), F(Q), G(r) and their plots for neutrons and X-rays in the default conventions."""
    run, comp = prepare(args)
    radius = sphere_radius(args, run, comp)
    labels = type_labels(args, run, "the X-ray functions")
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as e:
        raise IoqError(f"{args.output}: cannot make the folder: {e.strerror}") from None
    stem = os.path.splitext(os.path.basename(args.file))[0]
    if args.rmax is None:
        args.rmax = min(20.0, 2 * radius) if radius else 20.0
    r = r_grid(args, radius)
    density = default_density(args, run, comp, radius)
    for radiation in ("neutron", "xray"):
        try:
            d = zd.derive(run, comp, radiation=radiation, labels=labels, sphere_radius=radius,
                          need_s=False)
        except zd.DerivedError as e:
            raise IoqError(str(e)) from None
        if d.s_undefined:
            # A null-scattering run is made for its X-ray (or concentration) functions:
            # the neutron files are left out rather than the whole run refused.
            sys.stderr.write(f"ioq: {radiation}: {d.s_undefined}; no {radiation} files "
                             "written (ioq fq gives F(Q))\n")
            continue
        qmin = args.qmin
        if qmin is None and radius is None:
            lim = body_start(d.q, d.total_s)
            if lim is not None:
                qmin = lim
                sys.stderr.write(f"ioq: {radiation}: the small-angle peak is left out of "
                                 f"G(r): Q from {qmin:.4g} 1/A (give --sphere or --qmin)\n")
        try:
            rs = zd.real_space(d, r, density=density, window_name=window_name(args),
                               qmin=qmin, sphere_radius=radius)
        except zd.DerivedError as e:
            raise IoqError(str(e)) from None
        base = os.path.join(args.output, f"{stem}_{radiation}")
        extra = [("qdamp", "0"), ("qbroad", "0")]
        head = file_header(args, d, extra)
        fq = d.q * (d.total_s - 1.0)
        zd.write_pdf_file(base + ".sq", "sq", d.q, d.total_s, head)
        zd.write_pdf_file(base + ".fq", "fq", d.q, fq, head + [("F", "Q (S(Q) - 1)")])
        zd.write_pdf_file(base + ".gr", "gr", r, rs["G_PDF(r)"], head + [
            ("window", window_name(args)), ("qmin", f"{qmin:g}" if qmin else "0"),
            ("G", "4 pi rho r (g(r) - 1) = (2/pi) int Q (S(Q) - 1) M(Q) sin(Qr) dQ")])
        args.radiation = radiation
        title_args = argparse.Namespace(**vars(args))
        x_sym = "b" if radiation == "neutron" else "f"
        norm_text = rf"$S(Q) = 1 + F(Q)/\langle {x_sym}\rangle^2$"
        legend = {"S(Q)": "total S(Q)"}
        legend.update({k: rf"$S_{{\mathrm{{{k[2:-3]}}}}}(Q)$ partial" for k in d.partials})
        qrange = (f"Q from {qmin:.3g} to {float(np.nanmax(d.q)):.3g} 1/Å"
                  + (" (small-angle peak left out)" if qmin else ""))
        for what, x, curves, xl, yl, bold, hline, clip, note in (
                ("sq", d.q, {"S(Q)": d.total_s, **d.partials}, r"$Q$ / Å$^{-1}$",
                 r"$S(Q)$ (Faber-Ziman)", "S(Q)", 1.0, True, norm_text),
                ("fq", d.q, {"Q(S(Q)-1)": fq}, r"$Q$ / Å$^{-1}$",
                 r"$F(Q) = Q\,[S(Q)-1]$ / Å$^{-1}$", "Q(S(Q)-1)", 0.0, True,
                 "rise below the first minimum: the finite model's small-angle peak"),
                ("gr", r, {"G(r)": rs["G_PDF(r)"]}, r"$r$ / Å",
                 r"$G(r) = 4\pi\rho r\,[g(r)-1]$ / Å$^{-2}$", "G(r)", 0.0, False, qrange)):
            title_args.command = "gr" if what == "gr" else "sq"
            title = plot_title(title_args)
            png = f"{base}_{what}.png"
            draw(png, x, {k: np.asarray(np.broadcast_to(v, np.shape(x)), float)
                          for k, v in curves.items()}, xl, yl, title=title, clip=clip,
                 bold=bold, hline=hline, clip_r=not clip, xlim=args.xlim, ylim=None,
                 labels={**legend, "Q(S(Q)-1)": r"$Q\,[S(Q)-1]$",
                         "G(r)": r"$G(r)$, the PDF of PDF-fitting programs"},
                 dashes=True, note_extra=note)
            out.write(f"{png}\n")
        out.write(f"{base}.sq\n{base}.fq\n{base}.gr\n")
    return 0


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


def add_common(s, sphere=True, density=False):
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
    s.add_argument("--plot", metavar="OUT", help="draw OUT.png or OUT.svg instead of CSV output")


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
    s.set_defaults(run=cmd_sq)

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
    s.set_defaults(run=cmd_fq)

    s = sub.add_parser("gr", help="D(r), G(r), g(r), g_AB(r) by sine Fourier transform",
                       formatter_class=raw,
                       description="""\
Sine Fourier transforms of F(Q) and S_AB(Q) - 1 over the file's Q range (from Q = 0,
where the integrand vanishes), on r = DR, 2 DR, ..., RMAX:
  D(r) = (2/pi) int Q F(Q) M(Q) sin(Qr) dQ   (barn/A^2)
  G(r) = D(r) / (4 pi rho r)                 (barn)
  g(r) = 1 + G(r) / (0.01 <b>^2),  g_AB(r) likewise from S_AB(Q)
M(Q) = sin(pi Q/Qmax)/(pi Q/Qmax) under --lorch, else 1. rho (atoms/A^3) is needed for
G and g: --density, else the density tocoords put in the model's title, else N over the
volume of the --sphere. Remove the small-angle peak of a finite model first (--sphere,
or --qmin): left in, it turns g(r) - 1 into the model's own pair density.

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
                   help=f"number density, atoms per A^3 ({MIN_DENSITY:g} to {MAX_DENSITY:g}; "
                        "not a mass density)")
    s.add_argument("--lorch", action="store_true", help="apply the Lorch window M(Q)")
    s.add_argument("--qmin", metavar="Q", type=float,
                   help="leave out Q below this (the small-angle peak of a finite model)")
    s.add_argument("--qmax", metavar="Q", type=float, help="leave out Q above this")
    add_conventions(s, real=True)
    s.set_defaults(run=cmd_gr)

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
    s.set_defaults(run=cmd_xray)

    s = sub.add_parser("all", help="S(Q), F(Q), G(r) for neutrons and X-rays, with plots",
                       description="Write FILE's S(Q) (.sq), F(Q) = Q (S(Q) - 1) (.fq) and "
                                   "G(r) = 4 pi rho r (g(r) - 1) (.gr) in the files PDF programs "
                                   "load, for neutrons (the run's b_bar) and X-rays, "
                                   "Faber-Ziman, and a PNG of each, into DIR.")
    add_common(s)
    s.set_defaults(plot=None)
    s.add_argument("-o", "--output", metavar="DIR", required=True, help="folder to write to")
    s.add_argument("--elements", metavar="A,B,...", type=name_list,
                   help="element of each type (default: NAME.types or the metadata)")
    s.add_argument("--rmax", metavar="R", type=float,
                   help="largest r (default 20 A, or below the --sphere diameter)")
    s.add_argument("--dr", metavar="DR", type=float, default=0.01, help="r step (default 0.01)")
    s.add_argument("--density", metavar="RHO", type=float, help="number density, atoms per A^3")
    s.add_argument("--qmin", metavar="Q", type=float,
                   help="leave Q below this out of G(r) (default: after the small-angle peak "
                        "when it swamps S(Q) and there is no --sphere)")
    s.add_argument("--window", choices=zd.WINDOWS, help="modification function for G(r)")
    s.add_argument("--xlim", metavar=("LO", "HI"), type=float, nargs=2, help=argparse.SUPPRESS)
    s.set_defaults(run=cmd_all)
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
    ("--density", "density", lambda v: MIN_DENSITY <= v <= MAX_DENSITY,
     f"a number density from {MIN_DENSITY:g} to {MAX_DENSITY:g} atoms per A^3"),
    ("--qmin", "qmin", lambda v: 0 <= v <= MAX_Q, f"a Q from 0 to {MAX_Q:g} 1/A"),
    ("--qmax", "qmax", lambda v: 0 < v <= MAX_Q, f"a Q above 0 and at most {MAX_Q:g} 1/A"),
    ("--natoms", "natoms", lambda v: 1 <= v <= zi.MAX_RECORDED_ATOMS,
     f"a number of atoms from 1 to {zi.MAX_RECORDED_ATOMS}"),
    # zalmor takes a negative nnorm (it turns the sign of every block), not a tiny one
    ("--nnorm", "nnorm", lambda v: zi.MIN_NNORM <= abs(v) <= zi.FLOAT32_MAX,
     f"a number of atoms to normalise to from {zi.MIN_NNORM:g} to {zi.FLOAT32_MAX:.3g} in size "
     "(as zalmor takes it)"),
    ("--bbar", "bbar", lambda v: abs(v) <= MAX_B, f"scattering lengths of at most {MAX_B:g} fm "
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
    try:
        check_options(args)
        return args.run(args, out)
    except IoqError as e:
        sys.stderr.write(f"ioq: {e}\n")
        return 1
    except BrokenPipeError:
        # `ioq csv big.ioq | head` is fine: say nothing.
        sys.stderr.close()
        return 0


if __name__ == "__main__":
    sys.exit(main())
