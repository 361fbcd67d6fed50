"""zalmor.pair_distribution: partial pair distribution functions g_AB(r) straight from the
pair distances of a model, without a Fourier transform (docs/guide.md, "Pair distributions
direct from the pairs")."""

import math

import numpy as np

from ._calc import (_cell_of, _float32_positions, _numbered, _positions_and_symbols,
                    _scattering_lengths, _within_half_cell, _wrapped)

# Counts are 8 bytes per bin, type pair and thread.
_MAX_BINS = 1e8


def _pair_key(a, b):
    return (a, b) if a <= b else (b, a)


def _shell_volumes(edges):
    """4 pi / 3 (r_hi^3 - r_lo^3) of each bin."""
    return 4.0 * math.pi / 3.0 * np.diff(edges ** 3)


def _overlap_integral(r, radius):
    """integral_0^r 4 pi s^2 gamma(s) ds for the sphere's overlap gamma (zalmor.io
    .sphere_overlap), constant beyond r = 2R where gamma ends."""
    s = np.minimum(np.asarray(r, dtype=np.float64), 2.0 * radius)
    return 4.0 * math.pi * (s ** 3 / 3.0 - 3.0 * s ** 4 / (16.0 * radius)
                            + s ** 6 / (96.0 * radius ** 3))


class PairDistribution:
    """Pair-distance counts of a model per pair of elements and what follows from them.

    r           bin centres (A); edges: the bin edges, r in [edges[m], edges[m + 1])
    dr          the bin width (A)
    elements    the elements in type order (first appearance in the model)
    labels      the element pairs in block order, as zalmor.debye's Result: like pairs, then
                unlike pairs in row order
    counts      unordered pairs of distinct atoms per label and bin (int64, labels x bins)
    numbers     {element: number of atoms}; natoms their sum
    volume      the cell's volume (periodic box) or the sphere's, 4/3 pi R^3 (finite model)
    density     natoms / volume, atoms per A^3
    sphere      the sphere's radius R of a finite model (None for a box)
    cell        the cell rows (periodic box) or None
    b           {element: b in fm} for the totals (periodictable's b_c unless given)

    g(a, b)      the partial g_AB(r)
    n(a, b)      the running coordination number: B atoms around an A atom up to each bin's
                 upper edge
    coordination(a, b, rmin, rmax)   B atoms around an A atom with rmin <= r < rmax
    functions()  the total and partial functions under the names and in the conventions of
                 zalmor.derived.real_space (ioq gr, neutrons, Faber-Ziman): G_PDF(r), D(r),
                 G(r), g(r), T(r), g_A-B(r)
    G_pdf, G     the total G_PDF(r) = 4 pi rho r (g(r) - 1) and Keen's G(r) in barn
    """

    def __init__(self, edges, elements, counts, numbers, volume, sphere=None, cell=None,
                 b=None):
        self.edges = np.asarray(edges, dtype=np.float64)
        self.r = 0.5 * (self.edges[:-1] + self.edges[1:])
        self.dr = float(self.edges[1] - self.edges[0])
        self.elements = list(elements)
        n = len(self.elements)
        pairs = [(t, t) for t in range(n)]
        pairs += [(a, c) for a in range(n) for c in range(a + 1, n)]
        self.labels = [(self.elements[a], self.elements[c]) for a, c in pairs]
        self.counts = np.asarray(counts, dtype=np.int64)
        self.numbers = dict(numbers)
        self.natoms = int(sum(self.numbers.values()))
        self.volume = float(volume)
        self.density = self.natoms / self.volume
        self.sphere = None if sphere is None else float(sphere)
        self.cell = cell
        self._b_given = b
        self._b = None
        self._index = {_pair_key(a, c): k for k, (a, c) in enumerate(self.labels)}
        shell = _shell_volumes(self.edges)
        if self.sphere is None:
            self._reach = shell
        else:
            self._reach = np.diff(_overlap_integral(self.edges, self.sphere))

    def __repr__(self):
        kind = "periodic box" if self.sphere is None else f"sphere of R = {self.sphere:g} A"
        return (f"<zalmor.PairDistribution {self.natoms} atoms ({kind}), {len(self.r)} bins of "
                f"{self.dr:g} A, pairs " + ", ".join(f"{a}-{c}" for a, c in self.labels) + ">")

    @property
    def b(self):
        if self._b is None:
            self._b = dict(zip(self.elements, _scattering_lengths(self.elements, self._b_given)))
        return self._b

    def _ordered(self, a, c):
        """Pairs (an A atom, a B atom) per bin: each unordered pair of like atoms is two."""
        try:
            k = self._index[_pair_key(a, c)]
        except KeyError:
            raise KeyError(f"the model has no pair {a}-{c}") from None
        return self.counts[k].astype(np.float64) * (2.0 if a == c else 1.0)

    def _partners(self, a, c):
        """The B atoms an A atom can pair with: N_B, or N_A - 1 for like pairs."""
        return self.numbers[c] - (1 if a == c else 0)

    def g(self, a, b):
        """g_AB(r): (A, B) pairs per bin over N_A (N_B - delta_AB) / V times the bin's shell
        volume (periodic box) or its integral of 4 pi r^2 gamma(r) (sphere); NaN where no
        pair can be (beyond 2R, or no partner atom)."""
        expected = self.numbers[a] * self._partners(a, b) / self.volume * self._reach
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(expected > 0, self._ordered(a, b) / np.where(expected > 0, expected,
                                                                          1.0), np.nan)

    def _per_atom(self, a, b):
        """B atoms around an A atom per bin, int 4 pi r^2 rho_B g_AB(r) dr over the bin."""
        with np.errstate(invalid="ignore", divide="ignore"):
            shell = _shell_volumes(self.edges)
            scale = np.where(self._reach > 0, shell / np.where(self._reach > 0, self._reach, 1.0),
                             0.0)
        return self._ordered(a, b) / self.numbers[a] * scale

    def n(self, a, b):
        """Running coordination number: B atoms around an A atom from 0 up to each bin's upper
        edge, edges[1:]."""
        return np.cumsum(self._per_atom(a, b))

    def coordination(self, a, b, rmin, rmax):
        """B atoms around an A atom with rmin <= r < rmax, 4 pi rho_B int r^2 g_AB(r) dr. The
        shell is taken at the bin edges nearest rmin and rmax; in a periodic box it is the
        pair count over N_A exactly."""
        lo = int(round(float(rmin) / self.dr))
        hi = int(round(float(rmax) / self.dr))
        if not 0 <= lo <= hi <= len(self.r):
            raise ValueError(f"the shell {rmin:g} to {rmax:g} A is outside the bins, 0 to "
                             f"{self.edges[-1]:g} A")
        return float(np.sum(self._per_atom(a, b)[lo:hi]))

    def functions(self):
        """{name: array over r}: the totals weighted by b, in the conventions of ioq gr
        (zalmor.derived.real_space with the density; docs/guide.md, section 2):

            G(r)     = sum_AB c_A c_B 0.01 b_A b_B (g_AB(r) - 1)     barn (Keen's G)
            g(r)     = 1 + G(r) / (0.01 <b>^2)
            G_PDF(r) = 4 pi rho r (g(r) - 1)
            D(r)     = 4 pi rho r G(r),   T(r) = D(r) + 4 pi rho r 0.01 <b>^2

        over ordered pairs of elements, c_A = N_A / N, <b> = sum c_A b_A, rho the density;
        and g_A-B(r) for every label."""
        c = {e: self.numbers[e] / self.natoms for e in self.elements}
        mean_b = sum(c[e] * self.b[e] for e in self.elements)
        w = 0.01 * mean_b ** 2
        if w <= 0.0:
            raise ValueError("<b> = sum c_A b_A is 0 (a null-scattering mixture): g(r) = 1 + "
                             "G(r) / (0.01 <b>^2) is not defined")
        keen = np.zeros(len(self.r))
        out = {}
        for a, e in self.labels:
            g = self.g(a, e)
            out[f"g_{a}-{e}(r)"] = g
            keen += (1 if a == e else 2) * c[a] * c[e] * 0.01 * self.b[a] * self.b[e] * (g - 1.0)
        four_pi_rho_r = 4.0 * math.pi * self.density * self.r
        g_pdf = four_pi_rho_r * keen / w
        return {"G_PDF(r)": g_pdf, "D(r)": w * g_pdf, "G(r)": keen, "g(r)": 1.0 + keen / w,
                "T(r)": w * g_pdf + four_pi_rho_r * w, **out}

    @property
    def G_pdf(self):
        return self.functions()["G_PDF(r)"]

    @property
    def G(self):
        return self.functions()["G(r)"]


def _sphere_radius(xyz):
    """The radius of the uniform sphere with the model's radius of gyration about its
    centroid: R = sqrt(5/3 <|x - centroid|^2>)."""
    d = xyz - xyz.mean(axis=0)
    return math.sqrt(5.0 / 3.0 * float(np.mean(np.sum(d * d, axis=1))))


def pair_distribution(atoms, rmax=None, dr=0.01, *, periodic=None, sphere=None, b=None,
                      threads=None):
    """Pair-distance counts of every pair of elements in bins of dr from 0 to rmax, and the
    partial g_AB(r), coordination numbers and totals that follow (PairDistribution).

    atoms     an ase.Atoms, or a pair (positions N x 3 in A, symbols); types by first
              appearance of each element, as zalmor.debye
    rmax, dr  bins [m dr, (m + 1) dr) up to the last that ends by rmax (A). Periodic box:
              rmax at most half the cell's smallest width between faces (the default);
              finite model: default 2R, past which a sphere has no pairs
    periodic  as zalmor.debye: None (an ase.Atoms periodic along all three axes is a box),
              True, False, or the cell rows a, b, c
    sphere    finite models: the radius R (A) of the sphere the model fills; default the
              radius of the uniform sphere with the model's radius of gyration,
              sqrt(5/3 <|x - centroid|^2>). A model that is not a sphere is taken as this
              sphere all the same: its g_AB(r) then carries the ratio of its own overlap to
              the sphere's
    b         {element: b in fm} for the totals (functions()); default periodictable's b_c
    threads   number of threads, None for the machine's; the counts do not depend on it

    A periodic box is normalised by its density (every pair at its minimum-image distance):
    g_AB(r) = n_AB(r) / (N_A (N_B - delta_AB) / V * 4 pi / 3 (r_hi^3 - r_lo^3)), n_AB the
    pairs of an A and a B atom in the bin (twice the unordered like pairs). A finite model is
    taken as a sphere of radius R, V = 4/3 pi R^3, and normalised by its overlap gamma(r) =
    1 - 3r/(4R) + r^3/(16R^3), the fraction of the bulk's pairs at r that a sphere keeps,
    integrated over the bin; so a sphere cut from a bulk gives the bulk's g_AB(r) and
    coordination numbers. The totals (functions(), G, G_pdf) are those of ioq gr: neutrons,
    Faber-Ziman, normalised by <b>^2.
    """
    from . import _core

    positions, symbols = _positions_and_symbols(atoms)
    cell = _cell_of(atoms, periodic)
    xyz = _float32_positions(positions, symbols)
    natoms = len(symbols)
    dr = float(dr)
    if not (dr > 0.0 and math.isfinite(dr)):
        raise ValueError(f"dr must be a positive distance, not {dr!r}")
    elements, types = _numbered(symbols)
    if len(elements) > _core.MAX_TYPES:
        raise ValueError(f"{len(elements)} elements: at most {_core.MAX_TYPES} are supported")
    count = np.bincount(types, minlength=len(elements) + 1)[1:]
    numbers = {e: int(count[t]) for t, e in enumerate(elements)}

    if cell is not None:
        if sphere is not None:
            raise ValueError("sphere applies to finite models, not to a periodic box")
        volume, top, half = _within_half_cell(rmax, cell, "rmax")
        xyz = _wrapped(xyz, cell)
        radius = None
        cell_arg = [float(v) for v in cell.reshape(9)]
    else:
        radius = _sphere_radius(xyz.astype(np.float64)) if sphere is None else float(sphere)
        if not (radius > 0.0 and math.isfinite(radius)):
            raise ValueError(f"the sphere's radius must be a positive distance, not {radius!r}")
        volume = 4.0 / 3.0 * math.pi * radius ** 3
        top = 2.0 * radius if rmax is None else float(rmax)
        if not (top > 0.0 and math.isfinite(top)):
            raise ValueError(f"rmax must be a positive distance, not {rmax!r}")
        cell_arg = None
    # The last bin that ends by rmax, allowing for rmax / dr a hair below a whole number.
    steps = top / dr * (1.0 + 1e-12)
    if not steps <= _MAX_BINS:
        raise ValueError(f"rmax {top:g} A / dr {dr:g} A makes {steps:.3g} bins: at most "
                         f"{_MAX_BINS:g}")
    nbins = int(math.floor(steps))
    if cell is not None and nbins * dr > half:
        nbins -= 1
    if nbins < 1:
        raise ValueError(f"rmax {top:g} A holds no bin of {dr:g} A")
    counts, notes = _core.pair_counts(xyz, types, len(elements), dr, nbins, cell_arg, threads)
    for note in notes:
        import warnings

        warnings.warn(f"zalmor: the count {note}", stacklevel=2)
    return PairDistribution(dr * np.arange(nbins + 1), elements, counts, numbers, volume,
                            sphere=radius, cell=cell, b=b)
