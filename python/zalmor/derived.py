"""Every radiation and convention from the partials of one zalmor run.

    import zalmor.io, zalmor.derived as zd
    run = zalmor.io.load("nacl.ioq")
    res = zd.derive(run, radiation="xray", convention="ashcroft-langreth")
    res.total_s, res.partials, res.header()

The stored partial i_AB(Q) carries the b_A b_B the run was given; divided by them it is the
radiation-free S_AB(Q) - 1 (Faber-Ziman), which is reweighted here with neutron scattering
lengths (elements, isotopes, isotope mixtures, complex), X-ray form factors (f0 with ions,
f' and f'' at an energy) or electron form factors (Mott-Bethe), regrouped in the
Ashcroft-Langreth or Bhatia-Thornton partials, and transformed to real space. Every table
comes from periodictable. The functions on arrays know nothing of files; the run-level
ones take their reader from zalmor.io.
docs/guide.md gives every formula with its reference; `Derived.header()` states them in the
files that ioq writes.
"""

import math
import re

import numpy as np

from . import io as _io

RADIATIONS = ("neutron", "xray", "electron")
CONVENTIONS = ("faber-ziman", "ashcroft-langreth", "bhatia-thornton")
NORMS = ("mean-squared", "mean-square")  # <f>^2 or <f^2>
WINDOWS = ("none", "lorch", "warren")
# 1/(8 pi^2 a0) in 1/A: the Mott-Bethe constant m e^2 / (8 pi eps0 h^2), a0 in A.
BOHR = 0.529177210903
MOTT_BETHE = 1.0 / (8.0 * math.pi ** 2 * BOHR)
ELECTRON_REST_KEV = 510.99895
HC_KEV_A = 12.398419843320026  # h c in keV A, X-ray energy <-> wavelength
UNITS = {"neutron": "barn", "xray": "electrons^2", "electron": "A^2"}


class DerivedError(ValueError):
    """A request that the data or the tables cannot answer; the text says why."""


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


def weights(radiation, labels, nq, q=None, energy=None, b_run=None, b_given=None):
    """The factors of each type. Neutrons: b_given[k] (a number in fm or a species or
    mixture text), else the run's b_bar (b_run). Others: from the labels."""
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


# ---------------------------------------------------------------------------- conventions


def weighted_total(c, factors, partials):
    """F(Q) = sum_AB c_A c_B Re(x_A x_B*) (S_AB(Q) - 1) over ordered pairs, from Faber-Ziman
    partials {(A, B): S_AB} given once per unordered pair; and each pair's part."""
    parts = {}
    for (a, b), s in partials.items():
        w = (1 if a == b else 2) * c[a - 1] * c[b - 1] * pair_weight(factors[a - 1], factors[b - 1])
        parts[(a, b)] = w * (np.asarray(s) - 1.0)
    total = sum(parts.values()) if parts else 0.0
    return total, parts


def ashcroft_langreth(c, partials):
    """S^AL_AB = delta_AB + sqrt(c_A c_B) (S^FZ_AB - 1)."""
    return {(a, b): (1.0 if a == b else 0.0) + math.sqrt(c[a - 1] * c[b - 1]) * (s - 1.0)
            for (a, b), s in partials.items()}


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


def keen_forms(q, f, mean2, meansq):
    """The reciprocal-space forms Keen (2001) compares, from the one F(Q)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        return {"F(Q)": f, "S(Q)-1": f / mean2, "S'(Q)-1": f / meansq,
                "Q(S(Q)-1)": q * f / mean2}


# ---------------------------------------------------------------------------- smoothing, windows


def gaussian_resolution(q, y, sigma):
    """y convolved with a normalised Gaussian of width sigma in Q, on a uniform grid; at the
    ends the kernel is renormalised over the Q values there are."""
    q = np.asarray(q, float)
    y = np.asarray(y, float)
    if not sigma or len(q) < 2:
        return y
    dq = (q[-1] - q[0]) / (len(q) - 1)
    half = int(math.ceil(5 * sigma / dq))
    k = np.exp(-0.5 * (np.arange(-half, half + 1) * dq / sigma) ** 2)
    num = np.convolve(y, k, mode="same") if half < len(q) else _conv_full(y, k)
    den = np.convolve(np.ones_like(y), k, mode="same") if half < len(q) else _conv_full(
        np.ones_like(y), k)
    return num / den


def _conv_full(y, k):
    full = np.convolve(y, k)
    start = (len(k) - 1) // 2
    return full[start : start + len(y)]


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


def sine_transforms(q, hs, r):
    """(2/pi) int Q h(Q) sin(Qr) dQ for each row of hs, trapezoid rule on the grid, from
    Q = 0 (where the integrand is 0) when the grid starts above it."""
    q = np.asarray(q, float)
    hs = np.atleast_2d(np.asarray(hs, float))
    if len(q) and q[0] > 0:
        q = np.concatenate(([0.0], q))
        hs = np.concatenate((np.zeros((len(hs), 1)), hs), axis=1)
    w = np.zeros(len(q))  # trapezoid weights
    if len(q) > 1:
        d = np.diff(q)
        w[:-1] += d / 2
        w[1:] += d / 2
    a = hs * (q * w)[None, :]
    r = np.asarray(r, float)
    out = np.empty((len(hs), len(r)))
    for k in range(0, len(r), 512):
        out[:, k : k + 512] = a @ np.sin(np.outer(q, r[k : k + 512]))
    return (2.0 / np.pi) * out


def qbroad(r, g, qb):
    """Each feature of G at r' spread by a Gaussian of width qb r' (qb added in quadrature
    to the width of every peak, as PDF-fitting programs do); area is kept."""
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
    """S(Q), F(Q) and the partials of one radiation and convention on the run's Q grid."""

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
        return lines


def derive(run, comp=None, radiation="neutron", convention="faber-ziman", norm="mean-squared",
           energy=None, labels=None, b_given=None, sphere_radius=None, qres=None, need_s=True):
    """Reweights the run's partials for one radiation and groups them in one convention.

    When the chosen normaliser is 0 (neutrons on a null-scattering mixture, <b> = 0) the
    total S(Q) is not defined: refused, or with need_s=False returned as NaN with the reason
    in `s_undefined`, F(Q) and the partials being well defined all the same."""
    if radiation not in RADIATIONS:
        raise DerivedError(f"unknown radiation '{radiation}' (one of {', '.join(RADIATIONS)})")
    if convention not in CONVENTIONS:
        raise DerivedError(f"unknown convention '{convention}'")
    if norm not in NORMS:
        raise DerivedError(f"unknown normalisation '{norm}'")
    comp = comp or _io.composition(run)
    n = run.ntypes
    c = [float(v) for v in comp.c]
    if convention == "bhatia-thornton" and n != 2:
        bhatia_thornton(c, {})  # refuses with the message
    labels = labels if labels is not None else [
        (run.types or {}).get(t) for t in range(1, n + 1)]
    names = [labels[t] or str(t + 1) for t in range(n)]
    # A block whose b product in the file is 0 holds nothing to divide by.
    for k, (a, b) in enumerate(_io.partial_pairs(n)):
        w = comp.b_run[a - 1] * comp.b_run[b - 1]
        if c[a - 1] * c[b - 1] > 0 and (w == 0 or not math.isfinite(w)):
            raise DerivedError(
                f"block {k + 1} ({names[a - 1]}-{names[b - 1]}) was calculated with "
                f"b_bar {comp.b_run[a - 1]:g} x {comp.b_run[b - 1]:g} = 0: it holds no "
                "unweighted partial to reweight; run zalmor with non-zero b_bar (1.0 will do)")
    sf = _io.structure_factors(run, comp, sphere_radius, from_partials=True, total=False)
    q = sf.q
    fz = dict(sf.partials)
    if qres:
        fz = {p: 1.0 + gaussian_resolution(q, s - 1.0, qres) for p, s in fz.items()}
    wt = weights(radiation, labels, len(q), q=q, energy=energy, b_run=comp.b,
                 b_given=b_given)
    total_f, parts = weighted_total(c, wt.factors, fz)
    mean2, meansq = norms(c, wt.factors)
    nrm = mean2 if norm == "mean-squared" else meansq
    unchanged = (radiation == "neutron" and not b_given and not qres
                 and np.array_equal(comp.b, comp.b_run) and comp.mean_b != 0)
    if unchanged:
        # The total block also holds the total's own thermal factors: kept when nothing
        # is reweighted.
        own = _io.structure_factors(run, comp, sphere_radius, from_partials=False)
        total_f = 0.01 * comp.mean_b ** 2 * (own.total - 1.0)
    # <x> of a null mixture is a difference of single-precision fractions times b: it is
    # 0 to rounding, and dividing by that rounding would give numbers without meaning.
    s_undefined = None
    if np.any(np.asarray(nrm) <= 1e-12 * np.asarray(meansq)):
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
    else:
        with np.errstate(invalid="ignore", divide="ignore"):
            total_s = 1.0 + total_f / nrm
    pair_names = {(a, b): f"{names[a - 1]}-{names[b - 1]}" for (a, b) in fz}
    if convention == "faber-ziman":
        partials = {f"S_{pair_names[p]}(Q)": s for p, s in fz.items()}
    elif convention == "ashcroft-langreth":
        partials = {f"S_{pair_names[p]}(Q)": s for p, s in ashcroft_langreth(c, fz).items()}
    else:
        snn, snc, scc = bhatia_thornton(c, fz)
        partials = {"S_NN(Q)": snn, "S_NC(Q)": snc, "S_CC(Q)": scc}
        parts = {k: v for k, v in bt_parts(c, wt.factors, snn, snc, scc).items()}
    return Derived(q=q, total_f=total_f, total_s=total_s, parts=parts, fz=fz,
                   partials=partials, pair_names=pair_names, c=c, weights=wt,
                   unit=wt.unit, mean2=mean2, meansq=meansq, norm_value=nrm, norm=norm,
                   radiation=radiation, convention=convention, energy=energy,
                   type_names=names, qres=qres, comp=comp, run=run, s_undefined=s_undefined)


def real_space(d, r, density=None, window_name="none", qmin=None, qmax=None, qdamp=None,
               qb=None, sphere_radius=None):
    """From S(Q) - 1 (normalised; for X-rays and electrons the Q-dependent <f>^2 divides):
    G_PDF(r) = (2/pi) int Q (S - 1) M sin(Qr) dQ = 4 pi rho r (g(r) - 1), divided by the
    sphere's overlap, broadened by qbroad, then times exp(-(qdamp r)^2 / 2); with W the normaliser (<b>^2 for
    neutrons, 1 for Q-dependent factors): D(r) = W G_PDF, and with rho G(r) = D / (4 pi rho r)
    (Keen's G), g(r) = 1 + G_PDF / (4 pi rho r), T(r) = D(r) + 4 pi rho r W, g_AB(r)."""
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
    rows = [(d.total_s[keep] - 1.0) * m]
    pairs = [p for p, s in d.fz.items() if np.all(np.isfinite(s[keep]))]
    rows += [(d.fz[p][keep] - 1.0) * m for p in pairs]
    if qmin is not None and qk[0] > 0:
        # Start at qmin itself, not at Q = 0: what lies below was left out on purpose.
        tr = _transform_from(qk, np.array(rows), r)
    else:
        tr = sine_transforms(qk, np.array(rows), r)
    r = np.asarray(r, float)
    if sphere_radius:
        ov = _io.sphere_overlap(r, sphere_radius)
        with np.errstate(invalid="ignore", divide="ignore"):
            tr = tr * np.where(ov > 0, 1.0 / np.where(ov > 0, ov, 1.0), np.nan)
    # As in PDF-fitting programs, the peaks are broadened first and the whole G(r) is then
    # damped by the resolution envelope.
    if qb:
        tr = np.array([qbroad(r, row, qb) for row in tr])
    if qdamp:
        tr = tr * np.exp(-0.5 * (qdamp * r) ** 2)
    w = d.norm_value if np.ndim(d.norm_value) == 0 else 1.0
    out = {"G_PDF(r)": tr[0], "D(r)": w * tr[0]}
    if density:
        with np.errstate(invalid="ignore", divide="ignore"):
            to_g = np.where(r > 0, 1.0 / (4 * np.pi * density * np.where(r > 0, r, 1.0)), np.nan)
        out["G(r)"] = w * tr[0] * to_g
        out["g(r)"] = 1.0 + tr[0] * to_g
        out["T(r)"] = w * tr[0] + 4 * np.pi * density * r * w
        for p, row in zip(pairs, tr[1:]):
            out[f"g_{d.pair_names[p]}(r)"] = 1.0 + row * to_g
    return out


def _transform_from(q, hs, r):
    w = np.zeros(len(q))
    dq = np.diff(q)
    w[:-1] += dq / 2
    w[1:] += dq / 2
    a = hs * (q * w)[None, :]
    out = np.empty((len(hs), len(r)))
    r = np.asarray(r, float)
    for k in range(0, len(r), 512):
        out[:, k : k + 512] = a @ np.sin(np.outer(q, r[k : k + 512]))
    return (2.0 / np.pi) * out


# ---------------------------------------------------------------------------- powder patterns


def two_theta(q, wavelength):
    """2 theta in degrees for Q (1/A) at the wavelength (A); NaN beyond Q = 4 pi / lambda."""
    x = np.asarray(q, float) * wavelength / (4 * math.pi)
    with np.errstate(invalid="ignore"):
        return np.where(x <= 1, 2 * np.degrees(np.arcsin(np.minimum(x, 1))), np.nan)


def powder_pattern(d, wavelength):
    """(2 theta, I) with I = <|f|^2> + F(Q), the coherent scattering per atom (self and
    distinct), over the Q the wavelength reaches."""
    tt = two_theta(d.q, wavelength)
    keep = np.isfinite(tt)
    i = d.meansq + d.total_f
    i = np.broadcast_to(i, d.q.shape)
    return tt[keep], np.asarray(i)[keep]


# ---------------------------------------------------------------------------- files


def write_pdf_file(path, kind, x, y, header, dy=None):
    """The layout PDF programs load (.gr, .sq, .fq): `key = value` lines, `#### start data`,
    a `#L` line naming the columns, then the columns."""
    xname = "r" if kind == "gr" else "Q"
    yname = {"gr": "G", "sq": "S", "fq": "F"}[kind]
    lines = [f"{k} = {v}" for k, v in header]
    lines.append("")
    lines.append("#### start data")
    cols = [xname, yname] + ([f"d{xname}", f"d{yname}"] if dy is not None else [])
    lines.append("#L " + " ".join(cols))
    body = []
    for k in range(len(x)):
        if not (math.isfinite(x[k]) and math.isfinite(y[k])):
            continue
        row = f"{x[k]:.10g} {y[k]:.10g}"
        if dy is not None:
            row += f" 0 {dy[k]:.10g}"
        body.append(row)
    _write_text(path, "\n".join(lines + body) + "\n")


def write_xy(path, x, y, header):
    """Two columns in %16.10e, the header as # lines."""
    text = "".join(f"# {k} = {v}\n" for k, v in header)
    text += "".join(f"{a:16.10e} {b:16.10e}\n" for a, b in zip(x, y))
    _write_text(path, text)


def write_npz(path, axis_name, x, columns, header):
    arrays = {axis_name: np.asarray(x, float)}
    for name, v in columns.items():
        arrays[name] = np.asarray(v, float)
    arrays["header"] = np.array([f"{k} = {v}" for k, v in header])
    try:
        with open(path, "wb") as fh:
            np.savez(fh, **arrays)
    except OSError as e:
        raise DerivedError(f"{path}: cannot write: {e.strerror}") from None


def _write_text(path, text):
    try:
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(text)
    except OSError as e:
        raise DerivedError(f"{path}: cannot write: {e.strerror}") from None
