#!/usr/bin/python3
"""Plots and tabulates the side-by-side timings that `bench/run_whole.sh -d -o FILE.csv` writes.

  plot_whole.py RESULTS.csv -o OUT.png     wall time and peak memory against atoms and against
                                           the number of Q values, every program
  plot_whole.py RESULTS.csv --table        the same as Markdown tables (for the README)

In the tables, "ENGINE vs debyer" is how many times faster than debyer that engine ran, in
wall time / in CPU time; "i(Q) vs debyer" the largest difference of the total from debyer's
over the total's largest value (bench/compare_debyer.py), over all Q and over Q > 1, the
worst of the engines.
"""
import argparse
import csv
import sys
from collections import defaultdict

SWEEPS = (("atoms", "atoms", "atoms (2500 Q values)"),
          ("nq", "nq", "Q values ({atoms} atoms)"))
STYLE = {"pairs": ("C0", "o"), "moments": ("C1", "s"), "debyer": ("0.4", "^")}


def load(path):
    """{sweep: {program: [row, ...] sorted by the swept variable}} and the program order."""
    data, programs = defaultdict(lambda: defaultdict(list)), []
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            for k in ("atoms", "nq"):
                row[k] = int(row[k])
            for k in ("wall_s", "cpu_s", "peak_mib"):
                row[k] = float(row[k])
            data[row["sweep"]][row["program"]].append(row)
            if row["program"] not in programs:
                programs.append(row["program"])
    for sweep, key, _ in SWEEPS:
        for rows in data[sweep].values():
            rows.sort(key=lambda r: r[key])
    return data, programs


def label(program):
    return program if program == "debyer" else f"zalmor {program}"


def plot(data, programs, out):
    import matplotlib
    import matplotlib.ticker
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sweeps = [s for s in SWEEPS if data[s[0]]]
    fig, axes = plt.subplots(2, len(sweeps), figsize=(5.2 * len(sweeps), 7.5), squeeze=False,
                             sharex="col")
    for col, (sweep, key, xlabel) in enumerate(sweeps):
        atoms = next(iter(data[sweep].values()))[0]["atoms"]
        for p in programs:
            rows = data[sweep].get(p, [])
            color, marker = STYLE.get(p, (None, "x"))
            x = [r[key] for r in rows]
            axes[0][col].plot(x, [r["wall_s"] for r in rows], marker=marker, color=color,
                              label=label(p))
            axes[1][col].plot(x, [r["peak_mib"] for r in rows], marker=marker, color=color,
                              label=label(p))
        axes[0][col].set_yscale("log")
        axes[0][col].yaxis.set_major_locator(matplotlib.ticker.LogLocator(subs=(1, 2, 5)))
        axes[0][col].yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(
            lambda v, _: f"{v:g}"))
        axes[0][col].yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        axes[0][col].set_ylabel("wall time (s)")
        axes[1][col].set_ylabel("peak memory (MiB)")
        axes[1][col].set_ylim(bottom=0)
        axes[1][col].set_xlabel(xlabel.format(atoms=atoms))
        ticks = sorted({r[key] for rows in data[sweep].values() for r in rows})
        for ax in (axes[0][col], axes[1][col]):
            ax.set_xscale("log")
            ax.set_xticks(ticks, [str(t) for t in ticks], minor=False)
            ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
            ax.grid(True, which="both", alpha=0.3)
    axes[0][0].legend()
    repeats = max(int(r["repeats"]) for s in data.values() for rows in s.values() for r in rows)
    runs = f"median of {repeats} runs" if repeats > 1 else "one run each"
    fig.suptitle(f"Whole runs on the same model and Q grid, {runs}")
    fig.tight_layout()
    fig.savefig(out, dpi=100)


DIFFS = ("max_rel_diff_vs_debyer", "max_rel_diff_vs_debyer_q_gt_1")


def worst(row, engines, key):
    """The largest of the engines' differences from debyer, "…" where none was measured."""
    values = [float(row[p][key]) for p in engines if p in row and row[p].get(key)]
    return f"{max(values):.2g}" if values else "…"


def table(data, programs):
    engines = [p for p in programs if p != "debyer"]
    for sweep, key, _ in SWEEPS:
        if not data[sweep]:
            continue
        by_x = defaultdict(dict)
        for p, rows in data[sweep].items():
            for r in rows:
                by_x[(r["atoms"], r["nq"])][p] = r
        head = ["atoms", "Q values"] + [f"{p} wall" for p in programs]
        head += [f"{p} vs debyer" for p in engines]
        head += ["peak MiB " + " / ".join(programs), "i(Q) vs debyer: all Q / Q > 1"]
        print("| " + " | ".join(head) + " |")
        print("|" + "---:|" * len(head))
        for (atoms, nq), row in sorted(by_x.items()):
            cells = [str(atoms), str(nq)]
            cells += [f"{row[p]['wall_s']:.3g} s" if p in row else "" for p in programs]
            cells += [f"{float(row[p]['wall_speedup_vs_debyer']):.3g} / "
                      f"{float(row[p]['cpu_speedup_vs_debyer']):.3g}" if p in row else ""
                      for p in engines]
            cells.append(" / ".join(f"{row[p]['peak_mib']:.1f}" if p in row else "-"
                                    for p in programs))
            cells.append(" / ".join(worst(row, engines, k) for k in DIFFS))
            print("| " + " | ".join(cells) + " |")
        print()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("csv")
    ap.add_argument("-o", "--output", help="PNG or SVG file to write")
    ap.add_argument("--table", action="store_true", help="print Markdown tables")
    args = ap.parse_args()
    if not args.output and not args.table:
        sys.exit(__doc__)
    data, programs = load(args.csv)
    if args.output:
        plot(data, programs, args.output)
    if args.table:
        table(data, programs)


if __name__ == "__main__":
    main()
