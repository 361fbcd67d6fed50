#!/usr/bin/python3
"""Compares zalmor's total i(Q) with debyer's neutron pattern of the same model and Q grid.

  compare_debyer.py ZALMOR.csv DEBYER.txt MODEL.xyz SYMBOL=B_FM ...

ZALMOR.csv is the total block as `tools/ioq csv FILE --block K` writes it; DEBYER.txt is the
output of `debyer -n` (a Q column and an I(Q) column); MODEL.xyz the model debyer read;
SYMBOL=B_FM the scattering length (fm) given to zalmor for each element symbol of the model.

The two programs normalise differently. zalmor sums distinct pairs only, in barn
(0.01 fm^2 per fm^2) per atom: i(Q) = 2/N sum_{i<j} 0.01 b_i b_j sin(Q r)/(Q r).
debyer works in fm^2 and keeps the self terms: I(Q) = 1/N [2 sum_{i<j} b_i b_j sin(Q r)/(Q r)
+ sum_i b_i^2]. So I(Q) = 100 i(Q) + <b^2>, and the comparison is of (I - <b^2>) / 100 with
i. A least-squares fit of I = s i + c confirms the scale and offset independently.

Prints one line of key=value pairs; max_rel_diff is the largest |difference| over the
largest |i(Q)|, the measure zalmor's own accuracy is stated in, and above_q1 the same for
Q > 1 only. debyer prints 6 significant digits, so near Q = 0, where i(Q) peaks, its output
alone limits the agreement to about 5e-6 of the largest value; above_q1 shows how close the
sums themselves are (debyer's 0.001 Angstrom bins are its other approximation).
"""
import sys

import numpy as np


def main(argv):
    if len(argv) < 5:
        sys.exit(__doc__)
    ours = np.loadtxt(argv[1], delimiter=",", skiprows=1)
    peer = np.loadtxt(argv[2], comments="#")
    b = {s: float(v) for s, v in (a.split("=", 1) for a in argv[4:])}
    with open(argv[3]) as f:
        symbols = [line.split()[0] for line in f.readlines()[2:] if line.strip()]
    self_term = np.mean([b[s] ** 2 for s in symbols])

    if ours.shape != peer.shape or np.max(np.abs(ours[:, 0] - peer[:, 0])) > 1e-4:
        sys.exit(f"Q grids differ: {ours.shape[0]} and {peer.shape[0]} values, "
                 f"{ours[0, 0]}..{ours[-1, 0]} and {peer[0, 0]}..{peer[-1, 0]}")
    q, i_ours, i_peer = ours[:, 0], ours[:, 1], peer[:, 1]
    diff = (i_peer - self_term) / 100.0 - i_ours
    worst = int(np.argmax(np.abs(diff)))
    top = np.max(np.abs(i_ours))
    above_1 = np.max(np.abs(diff[q > 1.0]), initial=0.0)
    scale, offset = np.polyfit(i_ours, i_peer, 1)
    print(f"max_rel_diff={abs(diff[worst]) / top:.2e} above_q1={above_1 / top:.2e} "
          f"at_q={q[worst]:g} fit_scale={scale:.5f} fit_offset={offset:.4f} "
          f"self_term={self_term:.4f}")


if __name__ == "__main__":
    main(sys.argv)
