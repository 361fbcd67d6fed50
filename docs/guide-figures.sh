#!/usr/bin/env bash
# Makes the pictures of docs/guide.md: alpha-quartz built with ASE, cut to a sphere by
# tocoords, run through zalmor with one thermal factor, then looked at with ioq.
#   docs/guide-figures.sh [path/to/zalmor]   (default build/release/zalmor)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
zalmor="$(realpath "${1:-$root/build/release/zalmor}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

/usr/bin/python3 - <<'PY'
from ase.spacegroup import crystal
import ase.io
quartz = crystal(["Si", "O"], [(0.4697, 0.0, 1 / 3), (0.4135, 0.2669, 0.2142)], spacegroup=152,
                 cellpar=[4.916, 4.916, 5.405, 90, 90, 120])
ase.io.write("quartz.cif", quartz)
PY
"$root/tools/tocoords" quartz.cif --supercell 8,8,7 --sphere 14
# Thermal option 1 with u = 0.08 A in place of option 0, Q up to 30/A.
sed -i 's/^0$/1\n0.08/; 8s/^$/30/' quartz.answers
"$zalmor" < quartz.answers > /dev/null
ioq="$root/tools/ioq"
"$ioq" plot quartz.ioq -o iq.png
"$ioq" sq quartz.ioq --plot sq-plain.png
"$ioq" sq quartz.ioq --sphere --plot sq.png
"$ioq" xray quartz.ioq --sphere --plot xray.png
"$ioq" gr quartz.ioq --sphere --lorch --rmax 8 --plot gr.png
for f in iq sq-plain sq xray gr; do
  /usr/bin/python3 -c "
from PIL import Image
im = Image.open('$f.png').convert('RGB')
im = im.resize((im.width * 2 // 3, im.height * 2 // 3), Image.LANCZOS)
im.quantize(colors=48, method=Image.Quantize.MEDIANCUT).save('$root/docs/guide-$f.png', optimize=True)"
done
ls -l "$root"/docs/guide-*.png
