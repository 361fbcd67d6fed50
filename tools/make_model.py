#!/usr/bin/env python3
"""Writes .coords models for examples and benchmarks.

  make_model.py rocksalt N A OUT    N x N x N rock-salt sites, lattice constant A (Angstrom)
  make_model.py random N RHO OUT    N atoms of types 1 and 2 (half each) placed at random in a
                                    cube of number density RHO (atoms per cubic Angstrom)
"""
import random
import sys


def write(path, title, atoms):
    with open(path, "w") as f:
        f.write(title + "\n")
        for i, (t, x, y, z) in enumerate(atoms, start=1):
            f.write(f"{i:6d} {t:3d} {x:12.5f} {y:12.5f} {z:12.5f}\n")


def rocksalt(n, a):
    h = a / 2.0
    return [(1 if (i + j + k) % 2 == 0 else 2, i * h, j * h, k * h)
            for i in range(n) for j in range(n) for k in range(n)]


def random_model(n, rho, stream=12345):
    rng = random.Random(stream)
    side = (n / rho) ** (1.0 / 3.0)
    return [(1 + (i % 2), rng.uniform(0, side), rng.uniform(0, side), rng.uniform(0, side))
            for i in range(n)]


def main(argv):
    if len(argv) != 5 or argv[1] not in ("rocksalt", "random"):
        sys.exit(__doc__)
    kind, n, p, out = argv[1], int(argv[2]), float(argv[3]), argv[4]
    if kind == "rocksalt":
        write(out, f"rock-salt crystallite, {n}^3 sites, a = {p} Angstrom", rocksalt(n, p))
    else:
        write(out, f"random two-type model, {n} atoms, density {p} per cubic Angstrom",
              random_model(n, p))


if __name__ == "__main__":
    main(sys.argv)
