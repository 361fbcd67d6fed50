"""A model beside a measurement: the model's function in the data's convention and units, a
scale and background fitted to the data, and how well the two agree.

    res = zalmor.average(ase.io.iread("run.extxyz"), q)        # or debye, read_ioq
    c = zalmor.compare(res, "water.mint01", quantity="F(Q)", fit=("scale", "offset"))
    c.params["scale"], c.rw, c.reduced_chi2
    c.to_csv("fit.csv"); c.plot("fit.png")

    # one model, several measurements: H2O and D2O, each with its own b
    c = zalmor.compare(res, ["h2o.mint01", "d2o.mint01"], quantity="F(Q)",
                       b=[None, {"H": "D"}])
    c.datasets[1].params["scale"], c.rw                           # per dataset; combined

The function comes from zalmor.derived (derive, real_space): this module only samples it at
the data's x and fits. docs/guide.md, "Comparing with a measurement", gives every formula
and its reference.
"""

import math
import os
import warnings

import numpy as np

from . import derived as zd
from . import io as _io
from . import structure
from ._command import plural
from .data import DataError, read_data
from .result import Result

LINEAR = ("scale", "offset", "slope", "quadratic")  # y = scale m + offset + slope x + quadratic x^2
# The resolution parameters, the space each acts in, its start when not given (1/A) and
# its largest value (as ioq --qres and --qdamp).
NONLINEAR = {"qres": ("Q", 0.05), "qdamp": ("r", 0.03)}
MAX_NONLINEAR = 10.0
# Real-space comparisons from a structure transform S(Q) on this step (1/A), or on a finer
# one that resolves the data's largest r.
DQ = 0.02


class CompareError(ValueError):
    """A comparison that cannot be made as asked; the text says why."""


def quantity_axis(text):
    """(the function's name as zalmor.derived has it, "Q" or "r") of a quantity: a total
    (i(Q), F(Q), I(Q), S(Q), S(Q)-1, S'(Q)-1, Q(S(Q)-1), G_PDF(r), D(r), G(r), g(r), T(r),
    each also without its "(Q)" or "(r)") or a partial (S_Si-O(Q), S_NN(Q), g_Si-O(r))."""
    name = str(text).strip()
    if name == "G":
        raise CompareError("quantity G is ambiguous: G_PDF(r) = 4 pi rho r (g(r) - 1), the "
                           "G(r) of PDF programs, or G(r) = D(r) / (4 pi rho r), Keen's")
    known = zd.Q_FUNCTIONS + zd.R_FUNCTIONS
    if name not in known and not name.endswith(("(Q)", "(r)")):
        for suffix in ("(Q)", "(r)"):
            if name + suffix in known:
                name += suffix
                break
        else:
            if name.startswith("S_"):
                name += "(Q)"
            elif name.startswith(("g_", "d_")):
                name += "(r)"
    if name not in known and not (name.startswith("S_") and name.endswith("(Q)")
                                  or name.startswith(("g_", "d_")) and name.endswith("(r)")):
        raise CompareError(f"unknown quantity '{text}' (one of {', '.join(known)}, or a "
                           "partial such as S_Si-O(Q) or g_Si-O(r))")
    return name, "Q" if name.endswith("(Q)") else "r"


def fit_names(fit, axis):
    """The fitted parameters, checked: LINEAR ones and the resolution of the axis."""
    names = [t.strip() for t in fit.split(",")] if isinstance(fit, str) else list(fit or ())
    names = [n for n in names if n]
    for n in names:
        if n not in LINEAR and n not in NONLINEAR:
            raise CompareError(f"cannot fit '{n}' (the parameters: "
                               f"{', '.join(LINEAR + tuple(NONLINEAR))})")
        if n in NONLINEAR and NONLINEAR[n][0] != axis:
            raise CompareError("qres is the Gaussian Q resolution of a function of Q; in r it is "
                               "the envelope qdamp" if n == "qres" else
                               "qdamp damps a function of r; in Q fit the resolution qres")
    if len(set(names)) != len(names):
        raise CompareError(f"fit names a parameter twice: {', '.join(names)}")
    return names


def _each(value, n, what, single):
    """One value per dataset: a list of n (for several datasets), else the value for all."""
    if isinstance(value, list) and not single(value):
        if len(value) != n:
            raise CompareError(f"{what} gives {len(value)} values for {n} datasets")
        return value
    return [value] * n


def _resolution_value(v, what):
    if v is None:
        return None
    if not (isinstance(v, (int, float)) and math.isfinite(v) and 0 <= v <= MAX_NONLINEAR):
        raise CompareError(f"{what} wants a number from 0 to {MAX_NONLINEAR:g} 1/A, not {v}")
    return float(v)


def _narrowed(ds, xrange):
    """The points of the dataset within xrange (both ends kept)."""
    keep = np.ones(len(ds.x), dtype=bool)
    if xrange is not None:
        try:
            lo, hi = (float(v) for v in xrange)
        except (TypeError, ValueError):
            raise CompareError(f"xrange wants (low, high), not {xrange!r}") from None
        if not (math.isfinite(lo) and math.isfinite(hi) and lo < hi):
            raise CompareError(f"xrange wants finite low below high, not {lo:g} {hi:g}")
        keep = (ds.x >= lo) & (ds.x <= hi)
    return keep


# ---------------------------------------------------------------------------- the model at x


class _Sampler:
    """Values on the model's grid taken at the data's x: directly where the data's x are
    grid points (to single precision, as zalmor keeps Q), else by a cubic spline, with an
    estimate of the spline's error from the same spline through every other grid point (a
    cubic spline errs as h^4: twice the step, 16 times the error, so their difference is
    15 times the finer one's); |cubic - linear| on grids too short for that."""

    def __init__(self, grid, x, source):
        grid = np.asarray(grid, float)
        lo, hi = grid[0], grid[-1]
        tol = 1e-6 * max(abs(lo), abs(hi))
        if x[0] < lo - tol or x[-1] > hi + tol:
            raise CompareError(f"{source}: x from {x[0]:g} to {x[-1]:g} 1/A reaches beyond the "
                               f"model's Q grid, {lo:g} to {hi:g} 1/A; narrow it with xrange")
        k = np.clip(np.searchsorted(grid, x), 0, len(grid) - 1)
        below = np.clip(k - 1, 0, len(grid) - 1)
        nearest = np.where(np.abs(grid[below] - x) < np.abs(grid[k] - x), below, k)
        self.index = nearest if np.all(np.abs(grid[nearest] - x) <= 1e-6 * np.abs(x) + 1e-12) \
            else None
        self.grid, self.x = grid, x

    def __call__(self, values, errors):
        """(values, errors or None, interpolation error estimate or None) at x."""
        if self.index is not None:
            return (np.asarray(values, float)[self.index],
                    None if errors is None else np.asarray(errors, float)[self.index], None)
        from scipy.interpolate import CubicSpline

        values = np.asarray(values, float)
        # Only the stretch of the grid the data cover (and two points either side) counts.
        a = max(0, int(np.searchsorted(self.grid, self.x[0])) - 2)
        b = min(len(self.grid), int(np.searchsorted(self.grid, self.x[-1])) + 3)
        g, v = self.grid[a:b], values[a:b]
        if not np.all(np.isfinite(v)):
            bad = g[~np.isfinite(v)][0]
            raise CompareError(f"the model's function is not finite at Q = {bad:g} 1/A, "
                               "within the data's range; narrow it with xrange")
        cubic = CubicSpline(g, v)(self.x)
        if len(g) >= 8:
            estimate = np.abs(cubic - CubicSpline(g[::2], v[::2])(self.x)) / 15.0
        else:
            estimate = np.abs(cubic - np.interp(self.x, g, v))
        err = None if errors is None else np.interp(self.x, g, np.asarray(errors, float)[a:b])
        return cubic, err, estimate


class _Model:
    """One dataset's function of the model at its x, for given resolution values."""

    def __init__(self, res, x, name, axis, opts, source):
        self.res, self.x, self.name, self.axis = res, x, name, axis
        self.opts, self.source = opts, source
        self.sampler = _Sampler(res.q, x, source) if axis == "Q" else None
        self._derived = {}
        self.interpolation_error = None

    def derived(self, qres=None):
        if qres not in self._derived:
            o = self.opts
            self._derived[qres] = zd.derive(
                self.res, radiation=o["radiation"], convention=o["convention"],
                norm=o["norm"] or "mean-squared", energy=o["energy"], labels=o["labels"],
                b_given=o["b_given"], bbar=o["bbar"], sphere_radius=o["sphere_radius"],
                qres=qres or None, need_s=self.name not in ("i(Q)", "F(Q)", "I(Q)"))
            if len(self._derived) > 64:  # a fit's steps: only the last ones come again
                self._derived.pop(next(iter(self._derived)))
        return self._derived[qres]

    def __call__(self, qres=None, qdamp=None):
        """(values, errors or None) at x."""
        if self.axis == "Q":
            d = self.derived(qres)
            values, errors = zd.q_function(d, self.name)
            values, errors, self.interpolation_error = self.sampler(values, errors)
        else:
            o = self.opts
            f = zd.real_space(self.derived(), self.x, density=o["density"],
                              window_name=o["window"] or "none", qmin=o["qmin"],
                              qmax=o["qmax"], qdamp=qdamp or None,
                              sphere_radius=o["sphere_radius"])
            if self.name not in f:
                if self.name in ("G(r)", "g(r)", "T(r)") or self.name.startswith("g_"):
                    raise CompareError(f"{self.name} needs the number density, atoms per A^3 "
                                       "(density=, ioq --density; a periodic box has its own)")
                raise CompareError(f"no function {self.name} of r (one of {', '.join(f)})")
            values, errors = f[self.name], f.errors.get(self.name)
        bad = ~np.isfinite(values)
        if np.any(bad):
            raise CompareError(f"{self.source}: the model's {self.name} is not finite at "
                               f"{self.axis} = {self.x[bad][0]:g}; narrow it with xrange")
        return np.asarray(values, float), errors


def _result_of(model, datasets, keeps, axis, q, qmax):
    """The model as a Result: as given, or a structure's Debye sums at the data's Q (a
    function of Q), or on a grid up to qmax (a function of r: the grid it is transformed
    on)."""
    if isinstance(model, (Result, _io.IoqFile)):
        return zd.as_result(model), False
    if not (structure.is_structure(model) or structure._is_universe(model)):
        raise CompareError(f"the model is a zalmor.Result (debye, average, read_ioq) or a "
                           f"structure (ase.Atoms, MDAnalysis, (positions, symbols)), not "
                           f"{type(model).__name__}")
    from ._calc import debye

    if q is not None:
        grid = np.asarray(q, float)
    elif axis == "Q":
        grid = np.unique(np.concatenate([ds.x[k] for ds, k in zip(datasets, keeps)]))
    else:
        if qmax is None:
            qmax = next((ds.meta.get("qmax") for ds in datasets if ds.meta.get("qmax")), None)
        try:
            qmax = float(qmax)
        except (TypeError, ValueError):
            raise CompareError("a function of r from a structure needs the Q range to "
                               "transform: give qmax= (or q=), or data whose header has "
                               "qmax") from None
        rmax = max(float(ds.x[k][-1]) for ds, k in zip(datasets, keeps))
        dq = min(DQ, math.pi / (2 * rmax))
        grid = np.arange(1, int(round(qmax / dq)) + 1) * dq
    return debye(model, grid), True


# ---------------------------------------------------------------------------- fitting


def _fit(model, x, y, err, names, start):
    """(params {name: (value, standard error)}, calculated, model's error at calculated or
    None, notes) of the weighted least-squares fit y = scale m(resolution) + offset +
    slope x + quadratic x^2 with sigma^2 = err^2 + (scale dm)^2 (err, dm: the data's and
    the model's standard errors; unit weights without err)."""
    from scipy.optimize import least_squares

    linear = [n for n in names if n in LINEAR]
    nonlin = [n for n in names if n in NONLINEAR]
    basis = {"offset": np.ones_like(x), "slope": x, "quadratic": x * x}

    def evaluate(p):
        m, dm = model(**dict(zip(nonlin, p[len(linear):])))
        a = np.column_stack([m if n == "scale" else basis[n] for n in linear]) \
            if linear else np.zeros((len(x), 0))
        fixed = 0.0 if "scale" in linear else m
        s = p[linear.index("scale")] if "scale" in linear else 1.0
        return fixed + a @ p[: len(linear)], a, fixed, None if dm is None else abs(s) * dm

    def sigma(dm):
        if err is None:
            return np.ones_like(x)
        return err if dm is None else np.sqrt(err * err + dm * dm)

    def solve_linear(p, sig):
        _, a, fixed, _ = evaluate(p)
        if linear:
            p[: len(linear)] = np.linalg.lstsq(a / sig[:, None], (y - fixed) / sig,
                                               rcond=None)[0]
        return p, a / sig[:, None]

    lo = [-np.inf] * len(linear) + [0.0] * len(nonlin)
    hi = [np.inf] * len(linear) + [MAX_NONLINEAR] * len(nonlin)
    p = np.concatenate([np.zeros(len(linear)), [start[n] for n in nonlin]])
    p, jac = solve_linear(p, sigma(None))
    # The model's error grows with the scale: weights that followed it inside one solve
    # would let a larger scale buy a smaller chi2. They are held during each solve and
    # updated after it, until the parameters settle (iteratively reweighted).
    for _ in range(30):
        before = p.copy()
        dm = evaluate(p)[3]
        sig = sigma(dm)
        if nonlin:
            solved = least_squares(lambda v: (y - evaluate(v)[0]) / sig, p, bounds=(lo, hi),
                                   x_scale="jac")
            p, jac = solved.x, solved.jac
        elif dm is not None and err is not None:
            p, jac = solve_linear(p, sig)
        if err is None or dm is None or np.allclose(p, before, rtol=1e-7, atol=0.0):
            break
    calc, _, _, dm = evaluate(p)
    notes = []
    params = {n: (float(p[k]), math.nan) for k, n in enumerate(names)}
    # A resolution at its bound 0 has no slope there (a Gaussian's effect grows as its
    # width squared), nor has one narrower than the grid's step, and one whose error spans
    # more than its whole range is not known either: each is reported, and left out of the
    # covariance of the others.
    size = np.linalg.norm(jac, axis=0)
    free = [k for k, n in enumerate(names)
            if not (n in NONLINEAR and (p[k] <= 1e-9 or size[k] <= 1e-12 * size.max()))]
    while free:
        jf = jac[:, free]
        if np.linalg.matrix_rank(jf) < len(free):
            raise CompareError(f"the parameters {', '.join(names[k] for k in free)} cannot all "
                               "be told apart on these points (the model is flat, or a "
                               "polynomial in x, there); fit fewer")
        cov = np.linalg.pinv(jf.T @ jf)
        if err is None:
            # Without errors the weights are relative: the scatter about the fit sets them.
            cov *= float(np.sum((y - calc) ** 2)) / max(1, len(x) - len(names))
        errors = np.sqrt(np.maximum(np.diag(cov), 0.0))
        unknown = [k for k, e in zip(free, errors) if names[k] in NONLINEAR
                   and not e <= MAX_NONLINEAR]
        if not unknown:
            params.update({names[k]: (float(p[k]), float(e)) for k, e in zip(free, errors)})
            break
        free = [k for k in free if k not in unknown]
    for k, n in enumerate(names):
        if math.isnan(params[n][1]) and n in NONLINEAR:
            notes.append(f"{n} {p[k]:.3g} is not determined by these points (at its bound 0, "
                         "or narrower than the grid's step): the data show no broadening "
                         "beyond the model's")
    return params, calc, dm, notes


# ---------------------------------------------------------------------------- figures of merit


class Comparison:
    """One dataset beside the model after the fit, or (`datasets`) several, with combined
    figures of merit.

    x, observed, error     the data's points used (Q in 1/A or r in A); error None without
    calculated, residual   scale m + background, and observed - calculated
    model_error            the model's standard error times |scale| (frame averages), or None
    interpolation_error    the estimate of the error of interpolating the model, or None
    params                 {name: (value, standard error)}; several datasets: name[k], k from 1
    rw                     sqrt(sum w (obs - calc)^2 / sum w obs^2), w = 1/error^2 or 1
    chi2, reduced_chi2     sum ((obs - calc) / sigma)^2, sigma^2 = error^2 + model_error^2,
                           and over N - n_params; None without the data's errors
    chi2_data, reduced_chi2_data   the same with sigma = error alone
    rfactor                sum (obs - calc)^2 / N, the R-factor of EPSR and Dissolve
    notes                  what the reader should know (interpolation, bounds, conventions)
    """

    def __init__(self, **kw):
        self.__dict__.update(kw)

    @classmethod
    def of_fit(cls, source, name, axis, unit, radiation, x, y, err, calc, dm, params, notes,
               interp):
        r = y - calc
        w = np.ones_like(y) if err is None else 1.0 / err ** 2
        n, p = len(x), len(params)
        dof = n - p
        chi2 = chi2_data = None
        if err is not None:
            chi2_data = float(np.sum((r / err) ** 2))
            chi2 = chi2_data if dm is None else float(np.sum(r * r / (err * err + dm * dm)))
        return cls(source=source, quantity=name, axis=axis, unit=unit, radiation=radiation,
                   x=x, observed=y, error=err, calculated=calc, residual=r, model_error=dm,
                   interpolation_error=interp, params=params, n=n, n_params=p, dof=dof,
                   weights=w, rw=float(math.sqrt(np.sum(w * r * r) / np.sum(w * y * y))),
                   chi2=chi2, reduced_chi2=None if chi2 is None else chi2 / dof,
                   chi2_data=chi2_data,
                   reduced_chi2_data=None if chi2_data is None else chi2_data / dof,
                   rfactor=float(np.mean(r * r)), notes=notes, datasets=None)

    @classmethod
    def combined(cls, parts):
        """Several datasets: their points together, each keeping its own weights."""
        if len(parts) == 1:
            return parts[0]
        cat = lambda k: np.concatenate([getattr(c, k) for c in parts])  # noqa: E731
        w, r, y = cat("weights"), cat("residual"), cat("observed")
        have = all(c.chi2 is not None for c in parts)
        dof = sum(c.dof for c in parts)
        chi2 = sum(c.chi2 for c in parts) if have else None
        chi2_data = sum(c.chi2_data for c in parts) if have else None
        params = {f"{n}[{k}]": v for k, c in enumerate(parts, 1) for n, v in c.params.items()}
        def opt(k):  # NaN where a dataset has none
            if all(getattr(c, k) is None for c in parts):
                return None
            return np.concatenate([np.full(c.n, np.nan) if getattr(c, k) is None
                                   else getattr(c, k) for c in parts])

        return cls(source="all", quantity=parts[0].quantity, axis=parts[0].axis,
                   unit=parts[0].unit, radiation=None, x=cat("x"), observed=y,
                   error=opt("error"), calculated=cat("calculated"), residual=r,
                   model_error=opt("model_error"), interpolation_error=None, params=params,
                   n=len(y), n_params=len(params), dof=dof, weights=w,
                   rw=float(math.sqrt(np.sum(w * r * r) / np.sum(w * y * y))), chi2=chi2,
                   reduced_chi2=None if chi2 is None else chi2 / dof, chi2_data=chi2_data,
                   reduced_chi2_data=None if chi2_data is None else chi2_data / dof,
                   rfactor=float(np.mean(r * r)),
                   notes=[n for c in parts for n in c.notes], datasets=parts,
                   dataset=np.concatenate([np.full(c.n, k) for k, c in enumerate(parts, 1)]))

    def __repr__(self):
        return f"<zalmor.Comparison {self.summary()}>"

    # -------------------------------------------------------------- text

    def summary(self):
        """One line: each parameter `NAME = VALUE ± ERROR`, Rw, chi2/N (N = N - n_params,
        with the data's errors) and R."""
        items = [f"{n} = {_value_error(v, e)}" for n, (v, e) in
                 (self.params.items() if self.datasets is None else ())]
        items.append(f"Rw = {self.rw:.5g}")
        if self.reduced_chi2 is not None:
            text = f"chi2/N = {self.reduced_chi2:.5g} (N = {self.dof}"
            if self.model_error is not None:
                text += f"; {self.reduced_chi2_data:.5g} without the model's error"
            items.append(text + ")")
        items.append(f"R = {self.rfactor:.4g}")
        return f"{self.source}: " + ", ".join(items)

    def lines(self):
        """The summary of each dataset, then (several) the combined one."""
        parts = self.datasets or [self]
        return [c.summary() for c in parts] + ([self.summary()] if self.datasets else [])

    # -------------------------------------------------------------- files

    def columns(self):
        """{name: values} of the CSV after x."""
        cols = {"observed": self.observed}
        if self.error is not None:
            cols["error"] = self.error
        cols.update(calculated=self.calculated, residual=self.residual)
        if self.model_error is not None:
            cols["model_error"] = self.model_error
        if self.datasets is not None:
            cols["dataset"] = self.dataset
        return cols

    def write_csv(self, fh):
        _io.write_csv(fh, self.axis, self.x, self.columns(), lambda v: f"{v:.10g}")

    def to_csv(self, path):
        """Writes x, observed, error, calculated, residual (model_error with a frame
        average's errors, dataset with several) as CSV; whole or not at all."""
        from ._command import Outputs

        with Outputs() as out, out.open_text(os.fspath(path)) as fh:
            self.write_csv(fh)

    def plot(self, path):
        """The overlay with error bands over the residual panel on the same x, a pair per
        dataset, as PNG, SVG or PDF by the name's extension; whole or not at all."""
        from ._command import Outputs

        path = os.fspath(path)
        with Outputs() as out:
            self.draw(out.temp(path), os.path.splitext(path)[1][1:].lower())

    def write(self, outs, stem):
        """STEM.csv and STEM.png through a command's Outputs (zalmor._command)."""
        with outs.open_text(stem + ".csv") as fh:
            self.write_csv(fh)
        self.draw(outs.temp(stem + ".png"), "png")

    def draw(self, path, fmt):
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        parts = self.datasets or [self]
        fig = plt.figure(figsize=(8, 4.5 * len(parts)), dpi=150, layout="constrained")
        grid = fig.add_gridspec(2 * len(parts), 1, height_ratios=[3, 1] * len(parts))
        xl = r"$Q$ / Å$^{-1}$" if self.axis == "Q" else r"$r$ / Å"
        for k, c in enumerate(parts):
            ax = fig.add_subplot(grid[2 * k])
            low = fig.add_subplot(grid[2 * k + 1], sharex=ax)
            if c.error is not None:
                ax.fill_between(c.x, c.observed - c.error, c.observed + c.error, color="C0",
                                alpha=0.3, linewidth=0)
                low.fill_between(c.x, -c.error, c.error, color="C0", alpha=0.3, linewidth=0)
            ax.plot(c.x, c.observed, ".", markersize=2.5, color="C0",
                    label="observed" + (" ± error" if c.error is not None else ""))
            ax.plot(c.x, c.calculated, color="C3", linewidth=1.2,
                    label="calculated" + (" ± the model's error" if c.model_error is not None
                                          else ""))
            if c.model_error is not None:
                ax.fill_between(c.x, c.calculated - c.model_error, c.calculated + c.model_error,
                                color="C3", alpha=0.3, linewidth=0)
            low.plot(c.x, c.residual, color="0.25", linewidth=0.8)
            low.axhline(0.0, color="0.5", linewidth=0.6)
            unit = f" / {c.unit}" if c.unit else ""
            ax.set_ylabel(f"{c.quantity}{unit}")
            low.set_ylabel("obs - calc")
            low.set_xlabel(xl)
            ax.tick_params(labelbottom=False)
            for a in (ax, low):
                a.grid(True, color="0.85", linewidth=0.5)
            ax.legend(loc="upper right", fontsize="small")
            merit = f"Rw = {c.rw:.4f}" + (f", $\\chi^2/N$ = {c.reduced_chi2:.3g}"
                                          if c.reduced_chi2 is not None else "")
            ax.set_title(f"{c.source} ({c.radiation}): {merit}", fontsize="medium")
        try:
            fig.savefig(path, format=fmt)
        except ValueError as e:
            raise CompareError(f"cannot draw the plot as '{fmt}': {e}") from None
        finally:
            plt.close(fig)


def _value_error(v, e):
    if not math.isfinite(e):
        return f"{v:.6g} (not determined)"
    return f"{v:.6g} ± {e:.2g}"


def _convention_notes(c):
    """A word where the data look like another quantity than the one named: S(Q) tends to
    1 at high Q and every F-like form to 0."""
    tail = c.observed[int(0.8 * c.n):]
    level, swing = float(np.mean(tail)), float(np.ptp(c.observed))
    notes = []
    if c.quantity == "S(Q)" and abs(level) < 0.25 and swing < 5:
        notes.append(f"{c.source} tends to {level:.3g} at high Q, not to 1 as S(Q) does: is "
                     "it F(Q), i(Q) or S(Q)-1?")
    if c.quantity in ("i(Q)", "F(Q)", "S(Q)-1", "S'(Q)-1") and abs(level - 1) < 0.25 \
            and swing < 5:
        notes.append(f"{c.source} tends to {level:.3g} at high Q, where {c.quantity} tends to "
                     "0: is it S(Q)?")
    scale = c.params.get("scale", (1.0, 0.0))[0]
    if "scale" in c.params and not 0.5 <= abs(scale) <= 2:
        notes.append(f"{c.source}: the scale is {scale:.4g}: the data may be normalised "
                     "otherwise (<b>^2 or <b^2>, per atom or per molecule, barn or fm^2); see "
                     "docs/guide.md, 'Comparing with a measurement'")
    return notes


# ---------------------------------------------------------------------------- the API


def compare(model, data, *, quantity, radiation="neutron", convention="faber-ziman",
            norm=None, fit=("scale",), xrange=None, qdamp=None, qres=None, window=None,
            b=None, energy=None, elements=None, bbar=None, density=None, sphere_radius=None,
            qmin=None, qmax=None, q=None):
    """The model's `quantity` beside measured data, with a scale and background fitted.

    model      a zalmor.Result (debye, average, read_ioq) or a structure, whose Debye sums
               are then taken at the data's Q (for a function of r: on a grid to qmax)
    data       a path, a zalmor.Data, (x, y) or (x, y, error) arrays; or a list of them,
               each fitted on its own, with combined figures of merit
    quantity   i(Q) (= F(Q), barn/sr/atom for neutrons), F(Q), I(Q) (self and distinct),
               S(Q), S(Q)-1, S'(Q)-1, Q(S(Q)-1) (PDF programs' F), G_PDF(r), D(r), G(r),
               g(r), T(r), or a partial (S_Si-O(Q), g_Si-O(r)): zalmor.derived's names
    radiation, convention, norm, energy   as zalmor.derived.derive (norm: "mean-squared"
               divides by <x>^2, "mean-square" by <x^2>)
    b          neutron scattering lengths {element or type number: fm, species or mixture}
               taking the place of the run's in the totals (H/D substitution)
    elements   the element of each type, for form factors (default the model's)
    fit        the parameters fitted: scale, offset, slope, quadratic (the background
               offset + slope x + quadratic x^2), qres (Gaussian Q resolution, functions of
               Q) or qdamp (exp(-(qdamp r)^2/2), functions of r); the rest stay at scale 1,
               no background and the given qres/qdamp
    xrange     (low, high): only the data's points within
    qres, qdamp  fixed values, or the start of their fit
    window, density, qmin, qmax, sphere_radius   the transform to r (zalmor.derived.
               real_space; qmax defaults to the data's header `qmax` when it has one)
    q          the Q grid of a structure's sums (default: see model)

    radiation, b, energy, norm, xrange, qres and qdamp take a list, one per dataset.
    Refused: x beyond the model's grid (both ranges named), fewer points than parameters
    plus one, parameters the data cannot tell apart.
    """
    name, axis = quantity_axis(quantity)
    names = fit_names(fit, axis)
    several = isinstance(data, list)
    try:
        datasets = [read_data(d) for d in (data if several else [data])]
    except DataError as e:
        raise CompareError(str(e)) from None
    if not datasets:
        raise CompareError("no data to compare with")
    n = len(datasets)
    pair = lambda v: len(v) == 2 and all(isinstance(t, (int, float)) for t in v)  # noqa: E731
    scalar = lambda v: False  # noqa: E731
    per = {"radiation": _each(radiation, n, "radiation", scalar),
           "b": _each(b, n, "b", scalar),
           "energy": _each(energy, n, "energy", scalar),
           "norm": _each(norm, n, "norm", scalar),
           "xrange": _each(xrange, n, "xrange", pair),
           "qres": _each(qres, n, "qres", scalar),
           "qdamp": _each(qdamp, n, "qdamp", scalar)}
    for ds in datasets:
        if ds.axis is not None and ds.axis != axis:
            raise CompareError(f"{ds.name()}: x is {ds.axis}, {name} a function of {axis} "
                               "(x_unit, ioq --x-unit, says otherwise if the file is wrong)")
    if (qres is not None and axis == "r") or (qdamp is not None and axis == "Q"):
        fit_names(["qres" if qres is not None else "qdamp"], axis)  # refuses, saying why
    keeps = [_narrowed(ds, xr) for ds, xr in zip(datasets, per["xrange"])]
    for ds, keep in zip(datasets, keeps):
        if keep.sum() <= len(names):
            raise CompareError(f"{ds.name()}: {plural(int(keep.sum()), 'point')} in the range, "
                               f"fewer than the {plural(len(names), 'fitted parameter')} plus "
                               "one")
    res, direct = _result_of(model, datasets, keeps, axis, q, qmax)
    parts = []
    for k, (ds, keep) in enumerate(zip(datasets, keeps)):
        opts = _options(res, per["radiation"][k], convention, per["norm"][k], per["energy"][k],
                        per["b"][k], elements, bbar, sphere_radius, density, window, qmin,
                        qmax, ds)
        parts.append(_one(res, ds, keep, name, axis, names, opts, per["qres"][k],
                          per["qdamp"][k], direct))
    for c in parts:
        for note in c.notes:
            warnings.warn(note, stacklevel=2)
    return Comparison.combined(parts)


def _options(res, radiation, convention, norm, energy, b, elements, bbar, sphere_radius,
             density, window, qmin, qmax, ds):
    """derive's and real_space's settings for one dataset."""
    b_given = None
    if b:
        if radiation != "neutron":
            raise CompareError("b sets neutron scattering lengths; it needs radiation "
                               "'neutron'")
        labels = list(elements or res.elements)
        b_given = {}
        for key, value in dict(b).items():
            t = key if isinstance(key, int) else (labels.index(key) + 1 if key in labels
                                                  else None)
            if t is None or not 1 <= t <= len(labels):
                raise CompareError(f"b names {key}, which is no type of the model (it has "
                                   f"{', '.join(labels)})")
            b_given[t] = value
    if qmax is None and ds.meta.get("qmax"):
        try:
            qmax = float(ds.meta["qmax"])
        except ValueError:
            qmax = None
    return {"radiation": radiation, "convention": convention, "norm": norm, "energy": energy,
            "labels": list(elements) if elements else None, "b_given": b_given, "bbar": bbar,
            "sphere_radius": sphere_radius,
            "density": density if density is not None else zd.density_of(res),
            "window": window, "qmin": qmin, "qmax": qmax}


def _one(res, ds, keep, name, axis, names, opts, qres, qdamp, direct):
    x, y = ds.x[keep], ds.y[keep]
    err = None if ds.error is None else ds.error[keep]
    if err is not None and np.any(err == 0):
        k = int(np.flatnonzero(err == 0)[0])
        raise CompareError(f"{ds.name()}: the error at x = {x[k]:g} is 0: such a point would "
                           "weigh infinitely; narrow xrange, or leave out the errors")
    model = _Model(res, x, name, axis, opts, ds.name())
    fixed = {"qres": _resolution_value(qres, "qres"), "qdamp": _resolution_value(qdamp, "qdamp")}
    start = {n: fixed[n] or NONLINEAR[n][1] for n in NONLINEAR}
    held = {n: v for n, v in fixed.items() if v is not None and n not in names}
    params, calc, dm, notes = _fit(lambda **nl: model(**{**held, **nl}), x, y, err, names,
                                   start)
    d = model.derived(held.get("qres"))
    notes = list(notes)
    if axis == "Q" and res.q_min is not None and x[0] < res.q_min:
        notes.append(f"{ds.name()}: the model is a periodic box that resolves no Q below "
                     f"{res.q_min:.4g} 1/A; the data start at {x[0]:g}")
    if axis == "r" and res.cutoff is not None and x[-1] > res.cutoff:
        notes.append(f"{ds.name()}: the model is a periodic box whose sums end at the cutoff "
                     f"{res.cutoff:.4g} A: beyond it its function holds only the ripple of "
                     "the cut")
    interp = model.interpolation_error
    if interp is not None and not direct:
        top = float(np.max(interp))
        rel = "" if err is None else f", {top / float(np.median(err)):.2g} times the data's " \
                                     "median error"
        notes.append(f"{ds.name()}: the model's Q grid is not the data's: interpolated (cubic), "
                     f"error estimate up to {top:.3g}{rel}")
    c = Comparison.of_fit(ds.name(), name, axis, zd.function_unit(name, d), opts["radiation"],
                          x, y, err, calc, dm, params, notes, interp)
    c.notes += _convention_notes(c)
    return c
