#!/usr/bin/env bash
# Makes docs/guide-radiations.png for section 8 of docs/guide.md: the NaCl example run
# through zalmor, its total S(Q) for neutrons and for X-rays side by side, from the same
# partials (zalmor.derived), with the small-angle peak of the finite model clipped.
#   docs/guide-figure-radiations.sh [path/to/zalmor]   (default build/release/zalmor)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
zalmor="$(realpath "${1:-$root/build/release/zalmor}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$root"/examples/nacl.coords "$root"/examples/nacl.answers "$root"/examples/nacl.types "$work"
cd "$work"
"$zalmor" < nacl.answers > /dev/null
ROOT="$root" PYTHONPATH="$root/python" /usr/bin/python3 - <<'PY'
import os
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
from PIL import Image
import zalmor.derived as zd
import zalmor.io

run = zalmor.io.load("nacl.ioq")
fig, axes = plt.subplots(1, 2, figsize=(10, 4), dpi=150, sharey=True, layout="constrained")
for ax, rad, name, x in zip(axes, ("neutron", "xray"), ("neutrons", "X-rays"), ("b", "f")):
    d = zd.derive(run, radiation=rad)
    keep = d.q <= 20
    ax.plot(d.q[keep], d.total_s[keep], color="black", linewidth=1.2, label="total S(Q)")
    for (key, s), style in zip(d.partials.items(), ("--", ":", "-.")):
        ax.plot(d.q[keep], s[keep], linewidth=0.8, linestyle=style, alpha=0.8,
                label=rf"$S_{{\mathrm{{{key[2:-3]}}}}}(Q)$")
    ax.axhline(1.0, color="0.5", linewidth=0.6)
    ax.set_title(rf"{name}: $S(Q) = 1 + F(Q)/\langle {x}\rangle^2$")
    ax.set_xlabel(r"$Q$ / Å$^{-1}$")
    ax.set_xlim(0, 20)
    ax.set_ylim(-5.5, 6.5)
    ax.grid(True, color="0.85", linewidth=0.5)
axes[0].set_ylabel("S(Q), Faber-Ziman (peak near Q = 0 clipped)")
axes[1].legend(loc="upper right", fontsize="small", framealpha=0.9)
fig.savefig("radiations.png")
im = Image.open("radiations.png").convert("RGB")
im = im.resize((im.width * 2 // 3, im.height * 2 // 3), Image.LANCZOS)
im.quantize(colors=48, method=Image.Quantize.MEDIANCUT).save(
    os.path.join(os.environ["ROOT"], "docs", "guide-radiations.png"), optimize=True)
PY
ls -l "$root"/docs/guide-radiations.png
