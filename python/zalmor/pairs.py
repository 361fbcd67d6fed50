"""zalmor.pair_distribution: partial pair distribution functions g_AB(r) straight from the
pair distances of a model, without a Fourier transform (docs/guide.md, "Pair distributions
direct from the pairs"): of one structure, or their mean over the frames of a trajectory with
the standard error of each value."""

import math
import warnings

import numpy as np

from . import structure
from .average import Spread

# How the totals weight the pairs of elements A and B: c_A c_B x_A x_B, x the neutron
# scattering length (as 0.1 b, so that the products are barn) or 1 for each atom.
WEIGHTS = ("neutron", "number")


def _pair_key(a, b):
    return (a, b) if a <= b else (b, a)


def _shell_volumes(edges):
    """4 pi / 3 (r_hi^3 - r_lo^3) of each bin."""
    return 4.0 * math.pi / 3.0 * np.diff(edges ** 3)


def _overlap_integral(r, radius):
    """integral_0^r 4 pi s^2 gamma(s) ds for the sphere's overlap gamma
    (zalmor.derived.sphere_overlap), constant beyond r = 2R where gamma ends."""
    s = np.minimum(np.asarray(r, dtype=np.float64), 2.0 * radius)
    return 4.0 * math.pi * (s ** 3 / 3.0 - 3.0 * s ** 4 / (16.0 * radius)
                            + s ** 6 / (96.0 * radius ** 3))



class PairDistribution:
    """Pair-distance counts of a model per pair of elements, or their mean over the frames
    of a trajectory, and what follows from them.

    r           bin centres (A); edges: the bin edges, r in [edges[m], edges[m + 1])
    dr          the bin width (A)
    elements    the elements in type order (first appearance in the (first) model)
    labels      the element pairs in block order, as zalmor.debye's Result: like pairs, then
                unlike pairs in row order
    counts      unordered pairs of distinct atoms per label and bin (int64, labels x bins);
                over frames their mean (float64)
    numbers     {element: number of atoms}; natoms their sum
    volume      the cell's volume (periodic box) or the sphere's, 4/3 pi R^3 (finite model);
                over frames the mean
    density     natoms / volume, atoms per A^3; over frames the mean of each frame's
    sphere      the sphere's radius R of a finite model (over frames the mean; None for a box)
    cell        the (reduced) cell rows of a box, the first frame's of a trajectory, or None
    b           {element: b in fm} for the neutron totals (periodictable's b_c unless given)
    weights     "neutron" or "number": how the totals weight the pairs (functions())
    nframes     the number of frames averaged; None for one structure
    counts_stderr   over frames: the standard error of each mean count; else None

    g(a, b)      the partial g_AB(r)
    n(a, b)      the running coordination number: B atoms around an A atom up to each bin's
                 upper edge
    coordination(a, b, rmin, rmax)   B atoms around an A atom with rmin <= r < rmax
    functions()  the total and partial functions under the names and in the conventions of
                 zalmor.derived.real_space (ioq gr, Faber-Ziman): G_PDF(r), D(r), G(r), g(r),
                 T(r), g_A-B(r)
    G_pdf, G     the total G_PDF(r) = 4 pi rho r (g(r) - 1) and Keen's G(r)
    g_stderr(a, b), n_stderr(a, b), functions_stderr()   over frames: the standard errors
                 across frames of the same values (sample standard deviation / sqrt(n))
    """

    def __init__(self, edges, elements, counts, numbers, volume, sphere=None, cell=None,
                 b=None, weights="neutron"):
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
        self.weights = weights
        self._b_given = b
        self._b = None
        self._index = {_pair_key(a, c): k for k, (a, c) in enumerate(self.labels)}
        self.nframes = None
        self.counts_stderr = None
        self._errors = None
        self._means = self._pieces()

    def __repr__(self):
        kind = "periodic box" if self.sphere is None else f"sphere of R = {self.sphere:g} A"
        frames = "" if self.nframes is None else f", mean of {self.nframes} frames"
        return (f"<zalmor.PairDistribution {self.natoms} atoms ({kind}{frames}), {len(self.r)} "
                f"bins of {self.dr:g} A, pairs " + ", ".join(f"{a}-{c}" for a, c in self.labels)
                + ">")

    @property
    def b(self):
        if self._b is None:
            self._b = dict(zip(self.elements, structure.scattering_lengths(self.elements,
                                                                           self._b_given)))
        return self._b

    def _weight_factors(self):
        """x_A of each element and w = (sum_A c_A x_A)^2, the total's normaliser."""
        if self.weights == "number":
            x = {e: 1.0 for e in self.elements}
        else:
            x = {e: 0.1 * self.b[e] for e in self.elements}
        c = {e: self.numbers[e] / self.natoms for e in self.elements}
        return x, c, sum(c[e] * x[e] for e in self.elements) ** 2

    def _pieces(self):
        """What every value of the model is linear in, each over the bins: per label the
        cumulative pairs scaled from the sphere's overlap to the bulk's ("n") and g; and
        Keen's G(r), D(r) and T(r) ("G", "D", "T"), or the reason they cannot be formed."""
        shell = _shell_volumes(self.edges)
        if self.sphere is None:
            reach = shell
        else:
            reach = np.diff(_overlap_integral(self.edges, self.sphere))
        with np.errstate(invalid="ignore", divide="ignore"):
            scale = np.where(reach > 0, shell / np.where(reach > 0, reach, 1.0), 0.0)
        running, g = [], []
        for k, (a, c) in enumerate(self.labels):
            ordered = self.counts[k].astype(np.float64) * (2.0 if a == c else 1.0)
            expected = self.numbers[a] * (self.numbers[c] - (a == c)) / self.volume * reach
            with np.errstate(invalid="ignore", divide="ignore"):
                g.append(np.where(expected > 0, ordered / np.where(expected > 0, expected, 1.0),
                                  np.nan))
            running.append(np.cumsum(self.counts[k] * scale))
        out = {"n": np.array(running), "g": np.array(g)}
        try:
            x, c, w = self._weight_factors()
        except ValueError as e:
            out["totals"] = str(e)
            return out
        keen = np.zeros(len(self.r))
        for k, (a, e) in enumerate(self.labels):
            keen += (1 if a == e else 2) * c[a] * c[e] * x[a] * x[e] * (g[k] - 1.0)
        four_pi_rho_r = 4.0 * math.pi * self.density * self.r
        out.update(G=keen, D=four_pi_rho_r * keen, T=four_pi_rho_r * (keen + w))
        return out

    def _key(self, a, c):
        try:
            return self._index[_pair_key(a, c)]
        except KeyError:
            raise KeyError(f"the model has no pair {a}-{c}") from None

    def _need_frames(self, what):
        if self._errors is None:
            raise ValueError(f"{what}: standard errors are those of a trajectory's frames; "
                             "this is one structure")
        return self._errors

    def g(self, a, b):
        """g_AB(r): (A, B) pairs per bin over N_A (N_B - delta_AB) / V times the bin's shell
        volume (periodic box) or its integral of 4 pi r^2 gamma(r) (sphere); NaN where no
        pair can be (beyond 2R, or no partner atom). Over frames the mean of each frame's."""
        return self._means["g"][self._key(a, b)]

    def g_stderr(self, a, b):
        return self._need_frames("g_stderr")["g"][self._key(a, b)]

    def _per_atom(self, a, b):
        """Over A atoms: each count of A atoms with a B atom (twice for like pairs)."""
        return (2.0 if a == b else 1.0) / self.numbers[a]

    def n(self, a, b):
        """Running coordination number: B atoms around an A atom from 0 up to each bin's upper
        edge, edges[1:], 4 pi rho_B int r^2 g_AB(r) dr."""
        return self._means["n"][self._key(a, b)] * self._per_atom(a, b)

    def n_stderr(self, a, b):
        return self._need_frames("n_stderr")["n"][self._key(a, b)] * self._per_atom(a, b)

    def coordination(self, a, b, rmin, rmax):
        """B atoms around an A atom with rmin <= r < rmax, 4 pi rho_B int r^2 g_AB(r) dr. The
        shell is taken at the bin edges nearest rmin and rmax; in a periodic box it is the
        pair count over N_A exactly."""
        lo = int(round(float(rmin) / self.dr))
        hi = int(round(float(rmax) / self.dr))
        if not 0 <= lo <= hi <= len(self.r):
            raise ValueError(f"the shell {rmin:g} to {rmax:g} A is outside the bins, 0 to "
                             f"{self.edges[-1]:g} A")
        running = np.concatenate([[0.0], self.n(a, b)])
        return float(running[hi] - running[lo])

    def _totals(self, pieces, kind):
        if isinstance(self._means.get("totals"), str):
            raise ValueError(self._means["totals"])
        _, _, w = self._weight_factors()
        if w <= 0.0:
            raise ValueError("<b> = sum c_A b_A is 0 (a null-scattering mixture): g(r) = 1 + "
                             "G(r) / (0.01 <b>^2) is not defined")
        keen, d = pieces["G"], pieces["D"]
        out = {"G_PDF(r)": d / w, "D(r)": d, "G(r)": keen,
               "g(r)": keen / w + (1.0 if kind == "mean" else 0.0), "T(r)": pieces["T"]}
        for k, (a, e) in enumerate(self.labels):
            out[f"g_{a}-{e}(r)"] = pieces["g"][k]
        return out

    def functions(self):
        """{name: array over r}: the totals, in the conventions of ioq gr
        (zalmor.derived.real_space with the density; docs/guide.md, section 2):

            G(r)     = sum_AB c_A c_B x_A x_B (g_AB(r) - 1)      Keen's G
            g(r)     = 1 + G(r) / w,   w = (sum_A c_A x_A)^2
            G_PDF(r) = 4 pi rho r (g(r) - 1)
            D(r)     = 4 pi rho r G(r),   T(r) = D(r) + 4 pi rho r w

        over ordered pairs of elements, c_A = N_A / N, rho the density, x_A = 0.1 b_A for
        weights="neutron" (G in barn, w = 0.01 <b>^2) and 1 for weights="number" (g(r) =
        sum_AB c_A c_B g_AB(r)); and g_A-B(r) for every label. Over frames the means of
        each frame's, formed with its own density."""
        return self._totals(self._means, "mean")

    def functions_stderr(self):
        """The standard errors across frames of functions(), under the same names."""
        errors = self._need_frames("functions_stderr")
        out = self._totals(errors, "stderr")
        _, _, w = self._weight_factors()
        out["G_PDF(r)"], out["g(r)"] = out["G_PDF(r)"] * np.sign(w), out["g(r)"] * np.sign(w)
        return out

    @property
    def G_pdf(self):
        return self.functions()["G_PDF(r)"]

    @property
    def G(self):
        return self.functions()["G(r)"]

    def _as_mean(self, spreads, nframes):
        """This, the first frame's, made the mean of the frames' Spreads."""
        self.nframes = nframes
        self.counts = spreads["counts"].mean()
        self.counts_stderr = spreads["counts"].stderr()
        self.volume = float(spreads["volume"].mean())
        self.density = float(spreads["density"].mean())
        if self.sphere is not None:
            self.sphere = float(spreads["sphere"].mean())
        totals = self._means.get("totals")
        self._means = {key: s.mean() for key, s in spreads.items()}
        self._errors = {key: s.stderr() for key, s in spreads.items()}
        if isinstance(totals, str):
            self._means["totals"] = totals


def _sphere_radius(xyz):
    """The radius of the uniform sphere with the model's radius of gyration about its
    centroid: R = sqrt(5/3 <|x - centroid|^2>)."""
    d = xyz - xyz.mean(axis=0)
    return math.sqrt(5.0 / 3.0 * float(np.mean(np.sum(d * d, axis=1))))


def _bins(top, dr, bound):
    """The bins [m dr, (m + 1) dr) up to the last that ends by `top`, allowing for top / dr a
    hair below a whole number, and none past `bound` (a box's half-width)."""
    steps = top / dr * (1.0 + 1e-12)
    if not steps < 2 ** 31:
        raise ValueError(f"rmax {top:g} A / dr {dr:g} A makes {steps:.3g} bins: far too many "
                         "to count")
    nbins = int(math.floor(steps))
    if bound is not None and nbins * dr > bound:
        nbins -= 1
    if nbins < 1:
        raise ValueError(f"rmax {top:g} A holds no bin of {dr:g} A")
    return nbins


def pair_distribution(atoms, rmax=None, dr=0.01, *, periodic=None, sphere=None, b=None,
                      types=None, weights="neutron", threads=None):
    """Pair-distance counts of every pair of elements in bins of dr from 0 to rmax, and the
    partial g_AB(r), coordination numbers and totals that follow (PairDistribution), of one
    structure or averaged over the frames of a trajectory.

    atoms     one structure: an ase.Atoms, an MDAnalysis AtomGroup or a pair (positions
              N x 3 in A, symbols), types by first appearance of each element as
              zalmor.debye; or a trajectory as zalmor.average takes it (an iterable of
              structures, a path, an MDAnalysis Universe, zalmor.structure.frames(...)):
              then every value is the mean over the frames, with its standard error across
              them (g_stderr, n_stderr, counts_stderr, functions_stderr), and every frame
              must hold the first frame's atoms
    rmax, dr  bins [m dr, (m + 1) dr) up to the last that ends by rmax (A). Periodic box:
              rmax at most half the reduced cell's smallest width between faces (the
              default; over frames as zalmor.average's cutoff); finite model: default 2R
              (of the first frame), past which a sphere has no pairs
    periodic  as zalmor.debye: None (an ase.Atoms periodic along all three axes is a box),
              True, False, or the cell rows a, b, c
    sphere    finite models: the radius R (A) of the sphere the model fills; default the
              radius of the uniform sphere with the model's radius of gyration,
              sqrt(5/3 <|x - centroid|^2>), each frame's own. A model that is not a sphere
              is taken as this sphere all the same: its g_AB(r) then carries the ratio of
              its own overlap to the sphere's
    b         {element: b} for the neutron totals, as zalmor.debye's (a number in fm, a
              species or an isotope mixture); default periodictable's b_c
    types     LAMMPS type numbers named, as zalmor.debye's
    weights   "neutron" (default): the totals weight each pair of elements by c_A c_B b_A b_B,
              as ioq gr; "number": by c_A c_B, so that g(r) = sum_AB c_A c_B g_AB(r)
    threads   number of threads, None for the machine's; the counts do not depend on it

    A periodic box is normalised by its density (every pair at its minimum-image distance):
    g_AB(r) = n_AB(r) / (N_A (N_B - delta_AB) / V * 4 pi / 3 (r_hi^3 - r_lo^3)), n_AB the
    pairs of an A and a B atom in the bin (twice the unordered like pairs). A finite model is
    taken as a sphere of radius R, V = 4/3 pi R^3, and normalised by its overlap gamma(r) =
    1 - 3r/(4R) + r^3/(16R^3), the fraction of the bulk's pairs at r that a sphere keeps,
    integrated over the bin; so a sphere cut from a bulk gives the bulk's g_AB(r) and
    coordination numbers. The totals (functions(), G, G_pdf) are those of ioq gr:
    Faber-Ziman, normalised by <b>^2 (or by 1 for weights="number").
    """
    from . import _core

    if weights not in WEIGHTS:
        raise ValueError(f"weights must be one of {', '.join(WEIGHTS)}, not {weights!r}")
    if weights == "number" and b is not None:
        raise ValueError("b weights the neutron totals; weights='number' takes none")
    dr = float(dr)
    if not (dr > 0.0 and math.isfinite(dr)):
        raise ValueError(f"dr must be a positive distance, not {dr!r}")
    single = structure.is_structure(atoms)
    frames = structure.frames(atoms, types=types)
    first, spreads, nbins = None, {}, None
    for number, m in frames.models(periodic=periodic, distance=rmax, name="rmax"):
        if m.cell is not None:
            if sphere is not None:
                raise ValueError("sphere applies to finite models, not to a periodic box")
            radius, volume = None, m.volume
        else:
            radius = _sphere_radius(m.xyz.astype(np.float64)) if sphere is None else float(sphere)
            if not (radius > 0.0 and math.isfinite(radius)):
                raise ValueError(f"the sphere's radius must be a positive distance, not "
                                 f"{radius!r}")
            volume = 4.0 / 3.0 * math.pi * radius ** 3
        if nbins is None:
            if m.cell is not None:
                top = frames.distance
                bound = frames.distance if rmax is None else m.half_width
            else:
                top = 2.0 * radius if rmax is None else float(rmax)
                if not (top > 0.0 and math.isfinite(top)):
                    raise ValueError(f"rmax must be a positive distance, not {rmax!r}")
                bound = None
            nbins = _bins(top, dr, bound)
        cell = None if m.cell is None else [float(v) for v in m.cell.reshape(9)]
        # What this side holds per bin: the counts, g and n of every pair of elements and the
        # totals, in double; over frames a mean and a spread of each, and two frames' own.
        rows = len(m.elements) * (len(m.elements) + 1) // 2
        held = 8 * nbins * (3 * rows + 3) * (1 if single else 6)
        counts, notes = _core.pair_counts(m.xyz, m.types, len(m.elements), dr, nbins, cell,
                                          threads, reserve=held)
        for note in notes:
            warnings.warn(f"zalmor: the count {note}", stacklevel=2)
        pd = PairDistribution(dr * np.arange(nbins + 1), m.elements, counts, m.composition,
                              volume, sphere=radius, cell=m.cell, b=b, weights=weights)
        if single:
            return pd
        if first is None:
            first = pd
        _add_frame(spreads, first, pd)
    if first is None:
        raise ValueError("no frames to count")
    first._as_mean(spreads, spreads["volume"].n)
    return first


def _add_frame(spreads, first, pd):
    """A frame's pieces added to the Spreads, its labels put in the first frame's order
    (elements are numbered by first appearance, which may change between frames)."""
    order = [pd._index[_pair_key(a, c)] for a, c in first.labels]
    pieces = {"counts": pd.counts[order], "n": pd._means["n"][order],
              "g": pd._means["g"][order], "volume": pd.volume, "density": pd.density,
              "sphere": pd.sphere or 0.0}
    if not isinstance(pd._means.get("totals"), str):
        pieces.update(G=pd._means["G"], D=pd._means["D"], T=pd._means["T"])
    for key, value in pieces.items():
        spreads.setdefault(key, Spread()).add(value)
