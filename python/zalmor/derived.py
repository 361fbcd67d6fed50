"""S(Q), F(Q), G(r) and every radiation and convention from the partials of one run.

    import zalmor, zalmor.derived as zd
    res = zalmor.read_ioq("nacl.ioq")            # or zalmor.debye(...), zalmor.average(...)
    d = zd.derive(res, radiation="xray", convention="ashcroft-langreth")
    d.total_s, d.total_s_err, d.partials, d.header()
    g = zd.real_space(d, r, density=0.0448)      # g["g(r)"], g.errors["g(r)"]

The stored partial i_AB(Q) carries the b_A b_B the run was given; divided by them it is the
radiation-free S_AB(Q) - 1 (Faber-Ziman), which is reweighted here with neutron scattering
lengths (elements, isotopes, isotope mixtures, complex), X-ray form factors (f0 with ions,
f' and f'' at an energy) or electron form factors (Mott-Bethe), regrouped in the
Ashcroft-Langreth or Bhatia-Thornton partials, and transformed to real space. A frame
average's standard errors go along every step. Every table comes from periodictable.

This module is the one home of these formulas: `ioq` and `zalmor.pair_distribution` call
it. docs/guide.md gives every formula with its reference; `Derived.header()` states them in
the files that ioq writes.
"""

import math
import re

import numpy as np

from . import io as _io
from .result import Result, from_file

RADIATIONS = ("neutron", "xray", "electron")
CONVENTIONS = ("faber-ziman", "ashcroft-langreth", "bhatia-thornton")
NORMS = ("mean-squared", "mean-square")  # <f>^2 or <f^2>
WINDOWS = ("none", "lorch", "warren")
# 1/(8 pi^2 a0) in 1/A: the Mott-Bethe constant m e^2 / (8 pi eps0 h^2), a0 in A.
BOHR = 0.529177210903
MOTT_BETHE = 1.0 / (8.0 * math.pi ** 2 * BOHR)
ELECTRON_REST_KEV = 510.99895
UNITS = {"neutron": "barn", "xray": "electrons^2", "electron": "A^2"}
# Atoms per A^3 beyond which a number is a mistake, not a material: diamond, the densest
# common solid, has 0.18, and a cell holding more than 1 is a placeholder (PDB's CRYST1 1 1
# 1), not a box.
MAX_DENSITY = 1.0
# A normaliser <x>^2 below this fraction of <x^2> is 0 to the rounding of the
# single-precision fractions (a null-scattering mixture): nothing to divide by.
_NULL = 1e-12


class DerivedError(ValueError):
    """A request that the data or the tables cannot answer; the text says why."""


# ---------------------------------------------------------------------------- the run


class Composition:
    """What the functions need of a run: per type the atomic fraction c and the b_bar of the
    run (b_run, fm), the b the totals are formed with (b: the run's unless others are
    given), the number of atoms N and the number nnorm the run divided by."""

    def __init__(self, c, b_run, b, natoms, nnorm):
        self.c, self.b_run, self.b = c, b_run, b
        self.natoms, self.nnorm = natoms, nnorm

    @property
    def mean_b(self):
        return float(np.sum(self.c * self.b))

    @property
    def mean_b2(self):
        return float(np.sum(self.c * self.b * self.b))


def as_result(source):
    """The one way in: a zalmor.Result (zalmor.debye, zalmor.average, zalmor.read_ioq) as it
    is, a file loaded by zalmor.io.load made into one."""
    if isinstance(source, Result):
        return source
    if isinstance(source, _io.IoqFile):
        return from_file(source)[0]
    raise DerivedError(f"derive takes a zalmor.Result or a file of zalmor.io.load, not "
                       f"{type(source).__name__}")


def bbar_values(bbar, ntypes):
    """--bbar as a float array, one b (fm) per type."""
    if len(bbar) != ntypes:
        raise DerivedError(f"--bbar gives {len(bbar)} values for {ntypes} atom types")
    return np.array(bbar, dtype=float)


def composition(res, bbar=None):
    elements = res.elements
    c = np.array([float(res.concentrations[e]) for e in elements])
    b_run = np.array([float(res.b[e]) for e in elements])
    b = b_run.copy() if bbar is None else bbar_values(bbar, len(elements))
    return Composition(c, b_run, b, res.natoms, res.nnorm)


def density_of(res):
    """natoms / volume of a periodic box (atoms per A^3), None for a finite model."""
    return res.natoms / res.volume if res.volume else None


# ---------------------------------------------------------------------------- the sphere


def sphere_amplitude(q, radius):
    """Phi(QR) = 3 (sin x - x cos x) / x^3, the form factor of a uniform sphere (1 at Q = 0)."""
    x = np.asarray(q, dtype=float) * radius
    out = np.ones_like(x)
    big = np.abs(x) > 1e-3
    xb = x[big]
    out[big] = 3.0 * (np.sin(xb) - xb * np.cos(xb)) / xb ** 3
    small = ~big
    out[small] = 1.0 - x[small] ** 2 / 10.0
    return out


def sphere_overlap(r, radius):
    """gamma(r) = 1 - 3r/(4R) + r^3/(16R^3) below r = 2R, 0 beyond: the volume a sphere of
    radius R shares with its copy shifted by r, over the sphere's volume.

    A sphere cut from a bulk of pair correlation g(r) holds, around an average atom,
    rho g(r) gamma(r) atoms per volume at r: pairs that would reach out of the sphere are
    missing. The uniform part rho gamma(r) is what transforms to N Phi(QR)^2, the shape
    term that the sphere's radius removes; what remains transforms to
    rho (g(r) - 1) gamma(r)."""
    x = np.asarray(r, dtype=float) / (2.0 * radius)
    # (1 - x)^2 (1 + x/2): the same polynomial, without the cancellation near 2R.
    return np.where(x < 1.0, (1.0 - x) ** 2 * (1.0 + 0.5 * x), 0.0)


# ---------------------------------------------------------------------------- species


_ISOTOPE_FIRST = re.compile(r"^([0-9]+)([A-Z][a-z]?)$")  # 6Li
_ION = re.compile(r"^([A-Z][a-z]?)([0-9]*)([+-])$")  # Fe2+, Cl-


def species(label):
    """The periodictable element, isotope or ion a type label names: Si, D, 6Li, Li[6],
    Fe2+, Fe{2+}, O2-."""
    import periodictable as pt

    label = label.strip()
    m = _ISOTOPE_FIRST.match(label)
    if m:
        label = f"{m.group(2)}[{m.group(1)}]"
    m = _ION.match(label)
    if m:
        label = f"{m.group(1)}{{{m.group(2) or '1'}{m.group(3)}}}"
    try:
        structure = pt.formula(label).structure
    except Exception as e:  # pyparsing, KeyError, ValueError: all mean "no such species"
        raise DerivedError(f"'{label}' is not an element, isotope or ion ({e})") from None
    if len(structure) != 1 or structure[0][0] != 1:
        raise DerivedError(f"'{label}' is not a single element, isotope or ion")
    return structure[0][1]


def _element(atom):
    return getattr(atom, "element", atom)


def _charge(atom):
    return int(getattr(atom, "charge", 0) or 0)


# ---------------------------------------------------------------------------- neutrons


def parse_mixture(text):
    """`6Li:0.95,7Li:0.05` -> [(label, fraction)]; fractions must add up to 1."""
    parts = []
    for item in text.split(","):
        label, sep, frac = item.partition(":")
        if not sep or not label.strip():
            raise DerivedError(f"'{text}' is not an isotope mixture like 6Li:0.95,7Li:0.05")
        try:
            x = float(frac)
        except ValueError:
            raise DerivedError(f"'{frac}' in '{text}' is not a fraction") from None
        if not (math.isfinite(x) and 0 <= x <= 1):
            raise DerivedError(f"the fraction {frac} in '{text}' is not between 0 and 1")
        parts.append((label.strip(), x))
    total = sum(x for _, x in parts)
    if abs(total - 1) > 1e-6:
        raise DerivedError(f"the fractions of '{text}' add up to {total:g}, not 1")
    return parts


def neutron_length(label):
    """Complex coherent scattering length b = b_c + i b_c_i (fm) and the absorption
    cross-section (barn, at 1.798 A) of an element or isotope, from periodictable."""
    atom = species(label)
    n = getattr(atom, "neutron", None)
    if n is None or n.b_c is None:
        raise DerivedError(f"periodictable has no coherent scattering length for '{label}'")
    return complex(n.b_c, n.b_c_i or 0.0), float(n.absorption or 0.0)


def mixture_length(text):
    """b and absorption of an isotopic mixture (`6Li:0.95,7Li:0.05`) or of one species:
    both are averages over the mixture by fraction."""
    if ":" not in text:
        return neutron_length(text)
    b, a = 0j, 0.0
    for label, x in parse_mixture(text):
        bi, ai = neutron_length(label)
        b, a = b + x * bi, a + x * ai
    return b, a


# ---------------------------------------------------------------------------- X-rays, electrons


def cromer_mann(label):
    """(a, b, c, charge) of periodictable's Waasmaier-Kirfel fit of f0(s) =
    sum a_i exp(-b_i s^2) + c, s = Q / 4 pi."""
    from periodictable import cromermann

    atom = species(label)
    symbol, charge = _element(atom).symbol, _charge(atom)
    name = symbol + (f"{abs(charge)}{'+' if charge > 0 else '-'}" if charge else "")
    try:
        cm = cromermann.getCMformula(name)
    except (KeyError, ValueError):
        raise DerivedError(f"periodictable has no X-ray form factor for '{label}'") from None
    return np.asarray(cm.a, float), np.asarray(cm.b, float), float(cm.c), charge


QMAX_F0 = 24.0 * math.pi  # the fits hold up to s = 6 1/A


def _check_q(q, what):
    if len(q) and np.nanmax(q) > QMAX_F0 * (1 + 1e-9):
        raise DerivedError(f"the {what} form factors are tabulated up to Q = {QMAX_F0:.1f} "
                           f"1/A, the file goes to {np.nanmax(q):g}")


def xray_factor(label, q, energy=None):
    """f(Q) = f0(Q) + f'(E) + i f''(E) in electrons. f0 from the fit (ions have their own);
    f' = f1 - Z and f'' = f2 from the Henke tables of the neutral element at E (keV)."""
    q = np.asarray(q, dtype=float)
    _check_q(q, "X-ray")
    a, b, c, _ = cromer_mann(label)
    s2 = (q / (4 * math.pi)) ** 2
    f = (a[:, None] * np.exp(-b[:, None] * s2[None, :])).sum(0) + c
    if energy is None:
        return f.astype(complex)
    el = _element(species(label))
    f1, f2 = el.xray.scattering_factors(energy=energy)
    if f1 is None or not (math.isfinite(f1) and math.isfinite(f2)):
        raise DerivedError(f"periodictable has no f', f'' of {el.symbol} at {energy:g} keV")
    return f + (f1 - el.number) + 1j * f2


def electron_factor(label, q, energy=None):
    """Mott-Bethe: f_e(s) = (Z - f_x(s)) / (8 pi^2 a0 s^2) in A, s = Q / 4 pi, i.e.
    f_e(Q) = 2 (Z - f_x(Q)) / (a0 Q^2). Z is taken as the fit's own f0(0) = sum a_i + c, so
    Z - f_x = sum a_i (1 - exp(-b_i s^2)) and the limit at Q = 0 is sum a_i b_i / (8 pi^2 a0).
    With the beam energy E (keV) times the relativistic factor 1 + E / (m c^2)."""
    q = np.asarray(q, dtype=float)
    _check_q(q, "electron")
    a, b, _, charge = cromer_mann(label)
    if charge:
        raise DerivedError(f"'{label}' is an ion: its electron form factor diverges as "
                           "1/Q^2 at Q = 0 (give the neutral element)")
    s2 = (q / (4 * math.pi)) ** 2
    bs = b[:, None] * s2[None, :]
    small = bs < 1e-8
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = np.where(small, b[:, None] * (1 - 0.5 * bs),
                         -np.expm1(-bs) / np.where(small, 1.0, s2[None, :]))
    f = MOTT_BETHE * (a[:, None] * ratio).sum(0)
    if energy is not None:
        f = f * (1.0 + energy / ELECTRON_REST_KEV)
    return f.astype(complex)


# ---------------------------------------------------------------------------- weights


class Weights:
    """Per type the scattering factor x_A (a complex number or an array over Q) in units
    whose square is `unit` per atom: 0.1 b (fm) for neutrons, f in electrons, f_e in A."""

    def __init__(self, radiation, factors, unit, notes, absorption=None):
        self.radiation = radiation
        self.factors = factors
        self.unit = unit
        self.notes = notes
        self.absorption = absorption  # barn per type, neutrons only


def weights(radiation, labels, q=None, energy=None, b_run=None, b_given=None):
    """The factors of each type. Neutrons: b_given[k] (a number in fm or a species or
    mixture text), else b_run[k] (fm). Others: from the labels."""
    n = len(labels)
    if radiation == "neutron":
        factors, absorption, notes = [], [], []
        for k in range(n):
            given = (b_given or {}).get(k + 1)
            if given is None:
                b, a = complex(b_run[k]), None
            elif isinstance(given, (int, float)):
                b, a = complex(given), None
            else:
                b, a = mixture_length(given)
                notes.append(f"type {k + 1}: b = {_fmt_c(b)} fm from {given}")
            factors.append(0.1 * b)
            absorption.append(a)
        return Weights(radiation, factors, "barn", notes, absorption)
    if None in labels:
        raise DerivedError(f"{radiation} form factors need the element of every type")
    if radiation == "xray":
        return Weights(radiation, [xray_factor(lab, q, energy) for lab in labels],
                       "electrons^2", [])
    if radiation == "electron":
        return Weights(radiation, [electron_factor(lab, q, energy) for lab in labels],
                       "A^2", [])
    raise DerivedError(f"unknown radiation '{radiation}'")


def _fmt_c(b):
    return f"{b.real:.6g}" if b.imag == 0 else f"{b.real:.6g}{b.imag:+.6g}i"


def pair_weight(xa, xb):
    """Re(x_A x_B*): the coherent product of two complex factors."""
    return np.real(np.asarray(xa) * np.conj(np.asarray(xb)))


def norms(c, factors):
    """(<x>^2, <x^2>) = (|sum c_A x_A|^2, sum c_A |x_A|^2), arrays over Q or numbers."""
    mean = sum(ca * x for ca, x in zip(c, factors))
    return np.abs(mean) ** 2, sum(ca * np.abs(x) ** 2 for ca, x in zip(c, factors))


def vanishes(norm, meansq):
    """Whether the normaliser <x>^2 (or <x^2>) is 0 to rounding somewhere."""
    return bool(np.any(np.asarray(norm) <= _NULL * np.asarray(meansq)))


# ---------------------------------------------------------------------------- conventions
#
# Each function takes the Faber-Ziman partials {(A, B): S_AB} once per unordered pair and,
# optionally, their standard errors in a dict of the same keys. The partials of one run are
# correlated (a frame average's blocks come from the same frames), so a sum's error is
# bounded by the sum of |weight| x error, the value for fully correlated errors.


def weighted_total(c, factors, partials, errors=None):
    """F(Q) = sum_AB c_A c_B Re(x_A x_B*) (S_AB(Q) - 1) over ordered pairs, and each pair's
    part; with errors also (error of F, {pair: error of its part})."""
    parts, parts_err = {}, {}
    for (a, b), s in partials.items():
        w = (1 if a == b else 2) * c[a - 1] * c[b - 1] * pair_weight(factors[a - 1], factors[b - 1])
        parts[(a, b)] = w * (np.asarray(s) - 1.0)
        if errors is not None:
            parts_err[(a, b)] = np.abs(w) * errors[(a, b)]
    total = sum(parts.values()) if parts else 0.0
    if errors is None:
        return total, parts
    return total, parts, sum(parts_err.values()) if parts_err else 0.0, parts_err


def ashcroft_langreth(c, partials):
    """S^AL_AB = delta_AB + sqrt(c_A c_B) (S^FZ_AB - 1); the same map takes errors with
    the delta left out (ashcroft_langreth_errors)."""
    return {(a, b): (1.0 if a == b else 0.0) + math.sqrt(c[a - 1] * c[b - 1]) * (s - 1.0)
            for (a, b), s in partials.items()}


def ashcroft_langreth_errors(c, errors):
    return {(a, b): math.sqrt(c[a - 1] * c[b - 1]) * e for (a, b), e in errors.items()}


def faber_ziman_from_al(c, partials_al):
    return {(a, b): 1.0 + (s - (1.0 if a == b else 0.0)) / math.sqrt(c[a - 1] * c[b - 1])
            for (a, b), s in partials_al.items()}


def bhatia_thornton(c, partials):
    """S_NN, S_NC, S_CC of a binary system from the Faber-Ziman partials."""
    if len(c) != 2:
        raise DerivedError(f"the Bhatia-Thornton partials are those of binary systems; "
                           f"this one has {len(c)} atom types")
    c1, c2 = c
    s11, s22, s12 = partials[(1, 1)], partials[(2, 2)], partials[(1, 2)]
    snn = c1 * c1 * s11 + c2 * c2 * s22 + 2 * c1 * c2 * s12
    snc = c1 * c2 * (c1 * (s11 - s12) - c2 * (s22 - s12))
    scc = c1 * c2 * (1.0 + c1 * c2 * (s11 + s22 - 2 * s12))
    return snn, snc, scc


def bhatia_thornton_errors(c, errors):
    """Bounds of the errors of S_NN, S_NC, S_CC: each a linear map of the partials."""
    c1, c2 = c
    e11, e22, e12 = errors[(1, 1)], errors[(2, 2)], errors[(1, 2)]
    return (c1 * c1 * e11 + c2 * c2 * e22 + 2 * c1 * c2 * e12,
            c1 * c2 * (c1 * e11 + c2 * e22 + abs(c2 - c1) * e12),
            (c1 * c2) ** 2 * (e11 + e22 + 2 * e12))


def bt_parts(c, factors, snn, snc, scc):
    """The three terms of F(Q) = |<x>|^2 (S_NN - 1) + 2 Re(<x> dx*) S_NC
    + |dx|^2 (S_CC - c1 c2), dx = x1 - x2 (Bhatia and Thornton 1970): with
    x1 = <x> + c2 dx and x2 = <x> - c1 dx the Faber-Ziman sum falls into these three."""
    c1, c2 = c
    mean = c1 * factors[0] + c2 * factors[1]
    dx = factors[0] - factors[1]
    return {"NN": np.abs(mean) ** 2 * (snn - 1), "NC": 2 * pair_weight(mean, dx) * snc,
            "CC": np.abs(dx) ** 2 * (scc - c1 * c2)}


def total_from_bt(c, factors, snn, snc, scc):
    return sum(bt_parts(c, factors, snn, snc, scc).values())


def keen_forms(q, f, mean2, meansq, f_err=None):
    """The reciprocal-space forms Keen (2001) compares, from the one F(Q): {name: (values,
    errors or None)}. A form whose normaliser is 0 (a null-scattering mixture) is left
    out, as are the forms of undefined ones."""
    forms = {"F(Q)": (f, f_err)}
    for name, norm, times in (("S(Q)-1", mean2, 1.0), ("S'(Q)-1", meansq, 1.0),
                              ("Q(S(Q)-1)", mean2, q)):
        if vanishes(norm, meansq):
            continue
        forms[name] = (times * f / norm, None if f_err is None else np.abs(times) * f_err / norm)
    return forms


# ---------------------------------------------------------------------------- smoothing, windows


def gaussian_resolution(q, y, sigma, errors=None):
    """y convolved with a normalised Gaussian of width sigma in Q; at the ends the kernel is
    renormalised over the Q values there are. With errors (independent from point to
    point) also their convolution, sqrt(sum k^2 e^2) / sum k. A grid whose steps differ
    (by more than 0.1%) goes to _gaussian_on_any_grid."""
    q = np.asarray(q, float)
    y = np.asarray(y, float)
    if not sigma or len(q) < 2:
        return y if errors is None else (y, errors)
    steps = np.diff(q)
    if np.ptp(steps) > 1e-3 * abs(np.mean(steps)):
        return _gaussian_on_any_grid(q, y, sigma, errors)
    dq = (q[-1] - q[0]) / (len(q) - 1)
    half = int(math.ceil(5 * sigma / dq))
    k = np.exp(-0.5 * (np.arange(-half, half + 1) * dq / sigma) ** 2)

    def conv(v, kernel):
        if half < len(q):
            return np.convolve(v, kernel, mode="same")
        full = np.convolve(v, kernel)
        start = (len(kernel) - 1) // 2
        return full[start : start + len(v)]

    den = conv(np.ones_like(y), k)
    if errors is None:
        return conv(y, k) / den
    return conv(y, k) / den, np.sqrt(conv(np.asarray(errors, float) ** 2, k * k)) / den


def _gaussian_on_any_grid(q, y, sigma, errors=None):
    """gaussian_resolution on a grid whose steps differ (a measurement's Q values): each
    value weighs by the width of Q it stands for (half-way to its neighbours), and the
    kernel is renormalised at every Q, so that a step twice as wide counts twice."""
    edges = np.concatenate(([q[0]], 0.5 * (q[1:] + q[:-1]), [q[-1]]))
    width = np.diff(edges)
    out = np.empty(len(q))
    err = None if errors is None else np.empty(len(q))
    e2 = None if errors is None else (np.asarray(errors, float) * width) ** 2
    rows = max(1, 4_000_000 // len(q))  # bounded memory
    for k in range(0, len(q), rows):
        kern = np.exp(-0.5 * ((q[k : k + rows, None] - q[None, :]) / sigma) ** 2)
        den = kern @ width
        out[k : k + rows] = kern @ (y * width) / den
        if err is not None:
            err[k : k + rows] = np.sqrt((kern * kern) @ e2) / den
    return out if errors is None else (out, err)


def window(name, q, qmax):
    """M(Q): 1; Lorch sin(pi Q/Qmax) / (pi Q/Qmax); Warren's damping exp(-alpha Q^2) with
    alpha = ln 10 / Qmax^2 (M(Qmax) = 0.1)."""
    q = np.asarray(q, float)
    if name == "none":
        return np.ones_like(q)
    if name == "lorch":
        return np.sinc(q / qmax)
    if name == "warren":
        return np.exp(-math.log(10.0) * (q / qmax) ** 2)
    raise DerivedError(f"unknown window '{name}'")


def sine_transform(q, hs, r, errors=None, from_zero=True):
    """(2/pi) int Q h(Q) sin(Qr) dQ for each row of hs, by the trapezoid rule on the grid;
    from Q = 0 (where the integrand is 0) when the grid starts above it and from_zero, else
    from the grid's first Q. With errors (rows as hs, independent from one Q value to the
    next) also the standard error of every value: (2/pi) sqrt(sum_i (w_i Q_i sin(Q_i r) e_i)^2)
    with w_i the trapezoid weights."""
    q = np.asarray(q, float)
    hs = np.atleast_2d(np.asarray(hs, float))
    if errors is not None:
        errors = np.atleast_2d(np.asarray(errors, float))
    if from_zero and len(q) and q[0] > 0:
        q = np.concatenate(([0.0], q))
        hs = np.concatenate((np.zeros((len(hs), 1)), hs), axis=1)
        if errors is not None:
            errors = np.concatenate((np.zeros((len(errors), 1)), errors), axis=1)
    w = np.zeros(len(q))  # trapezoid weights
    if len(q) > 1:
        d = np.diff(q)
        w[:-1] += d / 2
        w[1:] += d / 2
    a = hs * (q * w)[None, :]
    r = np.asarray(r, float)
    out = np.empty((len(hs), len(r)))
    err = None if errors is None else np.empty((len(hs), len(r)))
    for k in range(0, len(r), 512):  # bounded memory for long r grids
        sines = np.sin(np.outer(q, r[k : k + 512]))
        out[:, k : k + 512] = a @ sines
        if err is not None:
            err[:, k : k + 512] = np.sqrt((errors * (q * w)[None, :]) ** 2 @ sines ** 2)
    if err is None:
        return (2.0 / np.pi) * out
    return (2.0 / np.pi) * out, (2.0 / np.pi) * err


def qbroad(r, g, qb):
    """Each feature of G at r' spread by a Gaussian of width qb r' (qb added in quadrature
    to the width of every peak, as PDF-fitting programs do); area is kept. Errors go through
    the same map (neighbouring r are correlated: their errors add)."""
    r = np.asarray(r, float)
    g = np.asarray(g, float)
    if not qb or len(r) < 2:
        return g
    dr = np.gradient(r)
    sig = np.maximum(qb * r, 0.5 * dr)
    finite = np.isfinite(g)
    out = np.zeros_like(g)
    for k in range(0, len(r), 512):
        rr = r[k : k + 512]
        x = (rr[:, None] - r[None, :]) / sig[None, :]
        kern = np.exp(-0.5 * x * x) / (math.sqrt(2 * math.pi) * sig[None, :])
        out[k : k + 512] = kern @ (np.where(finite, g, 0.0) * dr)
    out[~finite] = np.nan  # where the sphere holds no pairs there is nothing to spread
    return out


# ---------------------------------------------------------------------------- a whole run


class Derived:
    """S(Q), F(Q) and the partials of one radiation and convention on the run's Q grid; each
    value array `x` has its standard error in `x_err` (None without errors)."""

    def __init__(self, **kw):
        self.__dict__.update(kw)

    def header(self):
        """(key, value) lines that say what the numbers are."""
        conv = {"faber-ziman": "Faber-Ziman", "ashcroft-langreth": "Ashcroft-Langreth",
                "bhatia-thornton": "Bhatia-Thornton"}[self.convention]
        nm = "<f>^2 = |sum c_A f_A|^2" if self.norm == "mean-squared" else \
            "<f^2> = sum c_A |f_A|^2"
        rad = {"neutron": "neutron (b_c, fm)",
               "xray": "X-ray (f0 of Waasmaier-Kirfel" + (
                   f", f' f'' of Henke at {self.energy:g} keV)" if self.energy else ")"),
               "electron": "electron (Mott-Bethe from f0, f_e(Q) = 2 (Z - f_x(Q)) / (a0 Q^2) A"
               + (f", relativistic at {self.energy:g} keV)" if self.energy else ")")}
        lines = [("radiation", rad[self.radiation]),
                 ("convention", conv),
                 ("product", "Re(f_A f_B*)"),
                 ("F(Q)", f"sum_AB c_A c_B Re(f_A f_B*) (S_AB(Q) - 1)  [{self.unit} per atom]"),
                 ("S(Q)", f"1 + F(Q) / ({nm})"),
                 ("composition", " ".join(f"{n}:{c:.6g}" for n, c in
                                          zip(self.type_names, self.c)))]
        if self.radiation == "neutron":
            lines.append(("b_fm", " ".join(f"{n}:{_fmt_c(10 * x)}" for n, x in
                                           zip(self.type_names, self.weights.factors))))
            if any(a is not None for a in self.weights.absorption):
                lines.append(("absorption_barn", " ".join(
                    f"{n}:{a:.6g}" for n, a in zip(self.type_names, self.weights.absorption)
                    if a is not None)))
        if self.convention == "ashcroft-langreth":
            lines.append(("partials", "S_AB = delta_AB + sqrt(c_A c_B) (S^FZ_AB - 1)"))
        elif self.convention == "bhatia-thornton":
            lines.append(("partials", "S_NN = sum c_A c_B S_AB; S_NC = c1 c2 (c1 (S11 - S12) "
                          "- c2 (S22 - S12)); S_CC = c1 c2 (1 + c1 c2 (S11 + S22 - 2 S12))"))
        else:
            lines.append(("partials", "S_AB = 1 + (nnorm/N) i_AB / (0.01 c_A c_B b_A b_B)"))
        if self.qres:
            lines.append(("qres", f"{self.qres:g} (Gaussian sigma in Q, 1/A)"))
        return lines + self.extra_header()

    def extra_header(self):
        """The lines only a periodic box or a frame average has."""
        lines = []
        if self.q_min is not None:
            lines.append(("periodic_q_min", f"{self.q_min:.6g} 1/A: a periodic box with pairs "
                          "up to the cutoff resolves no Q below 2 pi / cutoff; the values "
                          "there are not the material's"))
        if self.nframes is not None:
            lines.append(("errors", f"standard errors across {self.nframes} frames (d "
                          "columns), propagated as docs/guide.md section 8 says"))
        return lines


def _faber_ziman(res, comp, sphere_radius):
    """{(A, B): S_AB(Q)} of every partial that can be formed, their errors (or None), and
    {(A, B): why not} for the rest (a type without atoms, a b_bar of 0 in the run).

    S_AB(Q) = 1 + (nnorm / N) i_AB(Q) / (0.01 b_A b_B c_A c_B) - shape term: the shape term
    removes the small-angle scattering of a uniform sphere of radius R, the model's pairs
    spread evenly over it, (N - delta_AB / c_A) Phi(QR)^2."""
    q = res.q.astype(float)
    N, scale = comp.natoms, comp.nnorm / comp.natoms
    phi2 = sphere_amplitude(q, sphere_radius) ** 2 if sphere_radius else None
    fz, err, left_out = {}, {} if res.stderr is not None else None, {}
    for k, (a, b) in enumerate(_io.partial_pairs(len(res.elements))):
        ca, cb, ba, bb = comp.c[a - 1], comp.c[b - 1], comp.b_run[a - 1], comp.b_run[b - 1]
        w = 0.01 * ba * bb * ca * cb
        if ca * cb == 0:
            empty = res.elements[a - 1] if ca == 0 else res.elements[b - 1]
            left_out[(a, b)] = f"type {empty} has no atoms"
            continue
        if w == 0 or not math.isfinite(w):
            left_out[(a, b)] = (f"block {k + 1} ({res.elements[a - 1]}-{res.elements[b - 1]}) "
                                f"was calculated with b_bar {ba:g} x {bb:g} = 0: it holds no "
                                "unweighted partial")
            continue
        s = 1.0 + scale * res.blocks[k].astype(float) / w
        if phi2 is not None:
            s -= (N - (1.0 / ca if a == b else 0.0)) * phi2
        fz[(a, b)] = s
        if err is not None:
            err[(a, b)] = scale * np.asarray(res.stderr[k], float) / abs(w)
    return fz, err, left_out


def _total_block(res, comp, sphere_radius):
    """F(Q) from the total block, which also holds the total's own thermal factors, and its
    error: 0.01 <b>^2 (S(Q) - 1) with S(Q) = 1 + (nnorm/N) (i(Q) - shape term) / (0.01 <b>^2),
    the shape term 0.01 (N <b>^2 - <b^2>) Phi(QR)^2."""
    q = res.q.astype(float)
    scale, mb = comp.nnorm / comp.natoms, comp.mean_b
    i = scale * res.blocks[-1].astype(float)
    if sphere_radius:
        i -= 0.01 * (comp.natoms * mb * mb - comp.mean_b2) * sphere_amplitude(q, sphere_radius) ** 2
    s = 1.0 + i / (0.01 * mb * mb)
    err = None if res.stderr is None else scale * np.asarray(res.stderr[-1], float)
    return 0.01 * mb ** 2 * (s - 1.0), err


def derive(source, radiation="neutron", convention="faber-ziman", norm="mean-squared",
           energy=None, labels=None, b_given=None, bbar=None, sphere_radius=None, qres=None,
           need_s=True):
    """Reweights the run's partials for one radiation and groups them in one convention.

    source    a zalmor.Result or a file loaded by zalmor.io.load (as_result)
    labels    the element, isotope or ion of each type for form factors and --b species
              (default the run's elements)
    b_given   neutrons: {type number: b in fm, or a species or mixture text}
    bbar      neutrons: the b (fm) of every type for the totals, the partials being undone
              with the run's
    sphere_radius  removes the small-angle scattering of a uniform sphere of this radius

    A partial that cannot be formed (a type without atoms; a b_bar of 0 in the run) is
    left out with the reason in `left_out`; one that a total needs is refused. When the
    chosen normaliser is 0 (neutrons on a null-scattering mixture, <b> = 0) the total S(Q)
    is not defined: refused, or with need_s=False returned as NaN with the reason in
    `s_undefined`, F(Q) and the partials being well defined all the same."""
    if radiation not in RADIATIONS:
        raise DerivedError(f"unknown radiation '{radiation}' (one of {', '.join(RADIATIONS)})")
    if convention not in CONVENTIONS:
        raise DerivedError(f"unknown convention '{convention}'")
    if norm not in NORMS:
        raise DerivedError(f"unknown normalisation '{norm}'")
    res = as_result(source)
    comp = composition(res, bbar)
    n = len(res.elements)
    c = [float(v) for v in comp.c]
    if convention == "bhatia-thornton" and n != 2:
        bhatia_thornton(c, {})  # refuses with the message
    labels = list(labels) if labels is not None else list(res.elements)
    names = list(res.elements)
    fz, fz_err, left_out = _faber_ziman(res, comp, sphere_radius)
    q = res.q.astype(float)
    if qres:
        smooth = {p: gaussian_resolution(q, s - 1.0, qres, None if fz_err is None
                                         else fz_err[p]) for p, s in fz.items()}
        if fz_err is None:
            fz = {p: 1.0 + v for p, v in smooth.items()}
        else:
            fz = {p: 1.0 + v[0] for p, v in smooth.items()}
            fz_err = {p: v[1] for p, v in smooth.items()}
    wt = weights(radiation, labels, q=q, energy=energy, b_run=comp.b, b_given=b_given)
    unchanged = (radiation == "neutron" and not b_given and not qres
                 and np.array_equal(comp.b, comp.b_run) and comp.mean_b != 0)
    if not unchanged:
        for (a, b), why in left_out.items():
            if np.any(pair_weight(wt.factors[a - 1], wt.factors[b - 1]) * c[a - 1] * c[b - 1]):
                raise DerivedError(f"{why} to reweight; run zalmor with non-zero b_bar (1.0 "
                                   "will do)")
    weighted = weighted_total(c, wt.factors, fz, fz_err)
    total_f, parts = weighted[:2]
    total_f_err, parts_err = weighted[2:] if fz_err is not None else (None, None)
    if unchanged:
        # The total block also holds the total's own thermal factors: kept when nothing is
        # reweighted.
        total_f, total_f_err = _total_block(res, comp, sphere_radius)
    mean2, meansq = norms(c, wt.factors)
    nrm = mean2 if norm == "mean-squared" else meansq
    # <x> of a null mixture is a difference of single-precision fractions times b: it is
    # 0 to rounding, and dividing by that rounding would give numbers without meaning.
    s_undefined = None
    if vanishes(nrm, meansq):
        x = "b" if radiation == "neutron" else "f"
        if norm == "mean-squared":
            s_undefined = (f"<{x}> = sum c_A {x}_A is 0 here (a null-scattering mixture): "
                           f"S(Q) = 1 + F(Q) / <{x}>^2 (the Faber-Ziman normalisation) is "
                           "not defined")
        else:
            s_undefined = f"<{x}^2> is 0: S(Q) is not defined"
        if need_s:
            raise DerivedError(s_undefined + ("; use ioq fq for F(Q) and the partials, or "
                                              "--norm mean-square" if norm == "mean-squared"
                                              else ""))
        total_s = np.full(len(q), np.nan)
        total_s_err = None
    else:
        with np.errstate(invalid="ignore", divide="ignore"):
            total_s = 1.0 + total_f / nrm
        total_s_err = None if total_f_err is None else total_f_err / nrm
    pair_names = {(a, b): f"{names[a - 1]}-{names[b - 1]}"
                  for (a, b) in _io.partial_pairs(n)}
    partials_err = None
    if convention == "faber-ziman":
        partials = {f"S_{pair_names[p]}(Q)": s for p, s in fz.items()}
        if fz_err is not None:
            partials_err = {f"S_{pair_names[p]}(Q)": e for p, e in fz_err.items()}
    elif convention == "ashcroft-langreth":
        partials = {f"S_{pair_names[p]}(Q)": s for p, s in ashcroft_langreth(c, fz).items()}
        if fz_err is not None:
            partials_err = {f"S_{pair_names[p]}(Q)": e
                            for p, e in ashcroft_langreth_errors(c, fz_err).items()}
    else:
        if left_out:
            (a, b), why = next(iter(left_out.items()))
            raise DerivedError(f"the Bhatia-Thornton partials need every Faber-Ziman partial: "
                               f"{why} ({names[a - 1]}-{names[b - 1]})")
        snn, snc, scc = bhatia_thornton(c, fz)
        partials = {"S_NN(Q)": snn, "S_NC(Q)": snc, "S_CC(Q)": scc}
        parts = bt_parts(c, wt.factors, snn, snc, scc)
        if fz_err is not None:
            enn, enc, ecc = bhatia_thornton_errors(c, fz_err)
            partials_err = {"S_NN(Q)": enn, "S_NC(Q)": enc, "S_CC(Q)": ecc}
            mean = c[0] * wt.factors[0] + c[1] * wt.factors[1]
            dx = wt.factors[0] - wt.factors[1]
            parts_err = {"NN": np.abs(mean) ** 2 * enn,
                         "NC": 2 * np.abs(pair_weight(mean, dx)) * enc,
                         "CC": np.abs(dx) ** 2 * ecc}
    return Derived(q=q, total_f=total_f, total_f_err=total_f_err, total_s=total_s,
                   total_s_err=total_s_err, parts=parts, parts_err=parts_err, fz=fz,
                   fz_err=fz_err, partials=partials, partials_err=partials_err,
                   pair_names=pair_names, left_out=left_out, c=c, weights=wt, unit=wt.unit,
                   mean2=mean2, meansq=meansq, norm_value=nrm, norm=norm, radiation=radiation,
                   convention=convention, energy=energy, type_names=names, qres=qres,
                   comp=comp, result=res, s_undefined=s_undefined, q_min=res.q_min,
                   nframes=res.nframes if res.stderr is not None else None)


def debye_sum(d):
    """The model's own Debye sum with the radiation's factors in place of b, from the stored
    partials: i_X(Q) = sum_AB (2 - delta_AB) Re(x_A x_B*) i_AB(Q) / (0.01 b_A b_B), per
    nnorm atoms (no shape term taken out), and its error (bounded as a sum)."""
    res, comp = d.result, d.comp
    total = np.zeros(len(d.q))
    err = None if d.fz_err is None else np.zeros(len(d.q))
    for k, (a, b) in enumerate(_io.partial_pairs(len(res.elements))):
        if (a, b) not in d.fz:
            continue
        w = 0.01 * comp.b_run[a - 1] * comp.b_run[b - 1]
        weight = (1 if a == b else 2) * pair_weight(d.weights.factors[a - 1],
                                                    d.weights.factors[b - 1])
        total += weight * res.blocks[k].astype(float) / w
        if err is not None:
            err += np.abs(weight / w) * np.asarray(res.stderr[k], float)
    return total, err


class Functions(dict):
    """{name: values over r}; `errors` {name: standard error} when the run has errors."""

    errors = {}


def real_space(d, r, density=None, window_name="none", qmin=None, qmax=None, qdamp=None,
               qb=None, sphere_radius=None):
    """From S(Q) - 1 (normalised; for X-rays and electrons the Q-dependent <f>^2 divides):
    G_PDF(r) = (2/pi) int Q (S - 1) M sin(Qr) dQ = 4 pi rho r (g(r) - 1), divided by the
    sphere's overlap, broadened by qbroad, then times exp(-(qdamp r)^2 / 2); with W the
    normaliser (<b>^2 for neutrons, 1 for Q-dependent factors): D(r) = W G_PDF, and with rho
    G(r) = D / (4 pi rho r) (Keen's G), g(r) = 1 + G_PDF / (4 pi rho r),
    T(r) = D(r) + 4 pi rho r W, g_AB(r); without rho the partial d_AB(r) = 4 pi rho r
    (g_AB(r) - 1) in place of g_AB(r). The transform starts at Q = 0 unless qmin is given.
    Errors: of each Q value independent of the others (sine_transform)."""
    if d.s_undefined:
        raise DerivedError(d.s_undefined + ", nor is G(r)")
    q = np.asarray(d.q, float)
    keep = np.isfinite(d.total_s)
    if qmin is not None:
        keep &= q >= qmin
    if qmax is not None:
        keep &= q <= qmax
    qk = q[keep]
    if len(qk) < 2:
        raise DerivedError("fewer than 2 Q values left for the transform")
    m = window(window_name, qk, float(qk.max()))
    pairs = [p for p, s in d.fz.items() if np.all(np.isfinite(s[keep]))]
    rows = [(d.total_s[keep] - 1.0) * m] + [(d.fz[p][keep] - 1.0) * m for p in pairs]
    errs = None
    if d.total_s_err is not None:
        errs = [d.total_s_err[keep] * m] + [d.fz_err[p][keep] * m for p in pairs]
    # From qmin itself, not from Q = 0: what lies below was left out on purpose.
    from_zero = not (qmin is not None and qk[0] > 0)
    tr = sine_transform(qk, np.array(rows), r, None if errs is None else np.array(errs),
                        from_zero=from_zero)
    tr, tr_err = tr if errs is not None else (tr, None)
    r = np.asarray(r, float)
    scale = np.ones(len(r))
    if sphere_radius:
        ov = sphere_overlap(r, sphere_radius)
        with np.errstate(invalid="ignore", divide="ignore"):
            scale = np.where(ov > 0, 1.0 / np.where(ov > 0, ov, 1.0), np.nan)
        tr = tr * scale
    # As in PDF-fitting programs, the peaks are broadened first and the whole G(r) is then
    # damped by the resolution envelope.
    if qb:
        tr = np.array([qbroad(r, row, qb) for row in tr])
    if qdamp:
        tr = tr * np.exp(-0.5 * (qdamp * r) ** 2)
    if tr_err is not None:
        tr_err = tr_err * np.abs(scale)
        if qb:
            tr_err = np.array([qbroad(r, row, qb) for row in tr_err])
        if qdamp:
            tr_err = tr_err * np.exp(-0.5 * (qdamp * r) ** 2)
    w = d.norm_value if np.ndim(d.norm_value) == 0 else 1.0
    out, err = Functions(), {}
    out["G_PDF(r)"], out["D(r)"] = tr[0], w * tr[0]
    if tr_err is not None:
        err["G_PDF(r)"], err["D(r)"] = tr_err[0], w * tr_err[0]
    if density:
        with np.errstate(invalid="ignore", divide="ignore"):
            to_g = np.where(r > 0, 1.0 / (4 * np.pi * density * np.where(r > 0, r, 1.0)), np.nan)
        out["G(r)"] = w * tr[0] * to_g
        out["g(r)"] = 1.0 + tr[0] * to_g
        out["T(r)"] = w * tr[0] + 4 * np.pi * density * r * w
        for p, row in zip(pairs, tr[1:]):
            out[f"g_{d.pair_names[p]}(r)"] = 1.0 + row * to_g
        if tr_err is not None:
            err["G(r)"], err["g(r)"], err["T(r)"] = (w * tr_err[0] * to_g, tr_err[0] * to_g,
                                                      w * tr_err[0])
            for p, row in zip(pairs, tr_err[1:]):
                err[f"g_{d.pair_names[p]}(r)"] = row * to_g
    else:
        for p, row in zip(pairs, tr[1:]):
            out[f"d_{d.pair_names[p]}(r)"] = row
        if tr_err is not None:
            for p, row in zip(pairs, tr_err[1:]):
                err[f"d_{d.pair_names[p]}(r)"] = row
    out.errors = err
    return out


# ---------------------------------------------------------------------------- powder patterns


def q_of_two_theta(two_theta_deg, wavelength):
    """Q (1/A) at 2 theta in degrees and the wavelength (A): Q = 4 pi sin(theta) / lambda."""
    return 4 * math.pi * np.sin(np.radians(np.asarray(two_theta_deg, float)) / 2) / wavelength


def two_theta(q, wavelength):
    """2 theta in degrees for Q (1/A) at the wavelength (A); NaN beyond Q = 4 pi / lambda."""
    x = np.asarray(q, float) * wavelength / (4 * math.pi)
    with np.errstate(invalid="ignore"):
        return np.where(x <= 1, 2 * np.degrees(np.arcsin(np.minimum(x, 1))), np.nan)


def cross_section(d):
    """I(Q) = <|x|^2> + F(Q), the coherent differential cross-section per atom, self and
    distinct (a reduction's DCS), and its error (that of F) or None."""
    return np.asarray(np.broadcast_to(d.meansq + d.total_f, d.q.shape)), d.total_f_err


def powder_pattern(d, wavelength):
    """(2 theta, I, error of I or None) with I the cross_section, the coherent scattering
    per atom (self and distinct), over the Q the wavelength reaches."""
    tt = two_theta(d.q, wavelength)
    keep = np.isfinite(tt)
    i, err = cross_section(d)
    return tt[keep], i[keep], None if err is None else np.asarray(err)[keep]


# ---------------------------------------------------------------------------- one function by name

# Every total a measurement can hold, by the name of its column, in reciprocal and in real
# space; the partials of a convention (S_Si-O(Q), S_NN(Q)) and g_Si-O(r) go by theirs.
Q_FUNCTIONS = ("i(Q)", "F(Q)", "I(Q)", "S(Q)", "S(Q)-1", "S'(Q)-1", "Q(S(Q)-1)")
R_FUNCTIONS = ("G_PDF(r)", "D(r)", "G(r)", "g(r)", "T(r)")


def q_function(d, name):
    """(values, errors or None) of one function of Q of `d` by name: i(Q) = F(Q), Keen's
    distinct scattering per atom (the interference cross-section of a reduction, per
    steradian), I(Q) the cross_section, S(Q) in d's normalisation, Keen's other forms
    (keen_forms), or a partial of d's convention."""
    if name in ("i(Q)", "F(Q)"):
        return d.total_f, d.total_f_err
    if name == "I(Q)":
        return cross_section(d)
    if name == "S(Q)":
        if d.s_undefined:
            raise DerivedError(d.s_undefined)
        return d.total_s, d.total_s_err
    if name in d.partials:
        return d.partials[name], (d.partials_err or {}).get(name)
    forms = keen_forms(d.q, d.total_f, d.mean2, d.meansq, d.total_f_err)
    if name in forms:
        return forms[name]
    if name in Q_FUNCTIONS:
        raise DerivedError(f"{name} divides by a normaliser that is 0 here (a null-scattering "
                           "mixture)")
    raise DerivedError(f"no function {name} of Q (one of {', '.join(Q_FUNCTIONS)}, or a "
                       f"partial: {', '.join(d.partials)})")


def function_unit(name, d):
    """The unit of a function by name ('' for a number), for d's radiation: x^2 is barn for
    neutrons (b in fm, 0.01 b^2), electrons^2 for X-rays, A^2 for electrons; W in real
    space is 0.01 <b>^2 barn for neutrons and 1 for factors that depend on Q."""
    w = d.unit if np.ndim(d.norm_value) == 0 else ""
    per_w = f"{w}/A^2" if w else "1/A^2"
    return {"i(Q)": f"{d.unit}/sr/atom", "F(Q)": f"{d.unit}/sr/atom",
            "I(Q)": f"{d.unit}/sr/atom", "Q(S(Q)-1)": "1/A", "G_PDF(r)": "1/A^2",
            "D(r)": per_w, "T(r)": per_w, "G(r)": w}.get(name, "")
