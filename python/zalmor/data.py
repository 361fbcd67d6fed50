"""Measured total-scattering data: what zalmor.compare holds a model against.

    d = zalmor.read_data("water.mint01")                   # Q, i(Q), error (Gudrun)
    d = zalmor.read_data("sample.gr")                      # r, G(r) of PDF programs
    d = zalmor.read_data("run.dat", usecols=(0, 2), x_unit="1/nm")
    d.x, d.y, d.error, d.meta

It reads plain columns (2 or 3 or more, `#` comments, a free header before the numbers:
the 'Q value error' files of reduction programs, .mint01, .mdcs01, .soq, .int01), CSV (a
header row may name the columns), the files PDF programs load (.gr, .sq, .fq, .iq:
`key = value` lines, `#### start data`, a `#L` line naming the columns) and numpy .npz.
x becomes Q in 1/A or r in A; y is taken as it is (a file in nm gives G(r) per nm^2: the
fitted scale takes the factor, or convert it). Whatever is wrong with a file is refused
with the file, the line and the reason.
"""

import math
import os
import re

import numpy as np

from ._core import LIMITS
from .derived import q_of_two_theta

# Beyond any measured value or error: their squares, which a fit's weights hold, would
# overflow.
MAX_VALUE = 1e100
# Fewer points than this hold no fit worth a figure of merit: a scale, a background of
# degree 2 and a resolution are five parameters.
MIN_POINTS = 6
# x units: the axis and the factor to 1/A or A; 2theta goes through the wavelength.
X_UNITS = {"1/A": ("Q", 1.0), "1/nm": ("Q", 0.1), "A": ("r", 1.0), "nm": ("r", 10.0),
           "2theta": ("Q", None)}
_UNIT_SPELLINGS = {"a^-1": "1/A", "a-1": "1/A", "1/angstrom": "1/A", "nm^-1": "1/nm",
                   "nm-1": "1/nm", "angstrom": "A", "deg": "2theta", "degrees": "2theta",
                   "tth": "2theta"}
# Axis names in headers and archives, and the unit each stands for.
_AXIS_NAMES = {"q": "1/A", "r": "A", "2theta": "2theta", "tth": "2theta", "twotheta": "2theta"}
_EXTENSION_UNITS = {".gr": "A", ".sq": "1/A", ".fq": "1/A", ".iq": "1/A", ".mint01": "1/A",
                    ".mdcs01": "1/A", ".soq": "1/A", ".int01": "1/A"}
_ERROR_NAME = re.compile(r"^(d|err|error|sigma|unc|e$|de|dy)", re.IGNORECASE)
_KEY_VALUE = re.compile(r"^#*\s*([A-Za-z_][\w .()/-]*?)\s*=\s*(.*?)\s*$")
_NUMBER = re.compile(r"^[-+]?(\d+\.?\d*|\.\d+)([eEdD][-+]?\d+)?$|^[-+]?(nan|inf|infinity)$",
                     re.IGNORECASE)


class DataError(ValueError):
    """A measurement that cannot be read or used; the text names the file, line and reason."""


class Data:
    """One measured function: x (Q in 1/A or r in A; `axis` says which, None when neither
    the file nor the caller told), y, error (standard errors of y, or None) and meta (the
    header's `key = value` pairs, and what the reader decided: columns, x_unit)."""

    def __init__(self, x, y, error=None, meta=None, source="<arrays>", axis=None):
        self.x = np.asarray(x, float)
        self.y = np.asarray(y, float)
        self.error = None if error is None else np.asarray(error, float)
        self.meta = dict(meta or {})
        self.source = source
        self.axis = axis

    def __repr__(self):
        errors = ", with errors" if self.error is not None else ""
        return (f"<zalmor.Data {self.source}: {len(self.x)} points, {self.axis or 'x'} "
                f"{self.x[0]:g} to {self.x[-1]:g}{errors}>")

    def __len__(self):
        return len(self.x)

    def name(self):
        return os.path.basename(self.source) if self.source != "<arrays>" else self.source


def _unit(text):
    key = str(text).strip()
    if key in X_UNITS:
        return key
    unit = _UNIT_SPELLINGS.get(key.lower())
    if unit is None:
        raise DataError(f"x_unit '{text}' is not one of {', '.join(X_UNITS)}")
    return unit


def read_data(source, *, usecols=None, x_unit=None, wavelength=None):
    """A Data from a file (text, CSV, .gr/.sq/.fq/.iq, .npz), from (x, y) or (x, y, error)
    arrays, or a Data as it is.

    usecols     the columns of x, y and (optionally) the error: numbers from 0 or names of
                the header's columns (CSV header row, `#L` line, .npz keys); default x and
                y the first two, the error "d<y>" when named so, else a third of exactly
                three columns
    x_unit      "1/A", "1/nm", "A", "nm" or "2theta" (degrees, with `wavelength` in A);
                default what the file says (its `#L` names, its extension), else as given
                in whichever space the comparison needs
    """
    if isinstance(source, Data):
        return source
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if path.lower().endswith(".npz"):
            x, y, err, meta, where, unit = _read_npz(path, usecols)
        else:
            x, y, err, meta, where, unit = _read_text(path, usecols)
        unit = _unit(x_unit) if x_unit is not None else unit
    else:
        x, y, err = _arrays(source)
        meta, path = {}, "<arrays>"
        where = [f"{path}: point {k + 1}" for k in range(len(x))]
        unit = None if x_unit is None else _unit(x_unit)
    return _checked(path, x, y, err, meta, where, unit, wavelength)


def _arrays(source):
    try:
        parts = [np.asarray(v, dtype=float) for v in source]
    except (TypeError, ValueError):
        raise DataError("data are a file, a zalmor.Data or (x, y) or (x, y, error) arrays of "
                        "numbers") from None
    if len(parts) not in (2, 3) or any(p.ndim != 1 for p in parts):
        raise DataError(f"data as arrays are (x, y) or (x, y, error), each one-dimensional; "
                        f"got {len(parts)} of shapes {[p.shape for p in parts]}")
    if len({len(p) for p in parts}) != 1:
        raise DataError(f"x, y and error have different lengths {[len(p) for p in parts]}")
    return parts[0], parts[1], parts[2] if len(parts) == 3 else None


def _checked(path, x, y, err, meta, where, unit, wavelength):
    """The points checked in the order a reader would find the fault, x made Q or r."""
    if len(x) < MIN_POINTS:
        raise DataError(f"{path}: {len(x)} data points; a comparison needs at least "
                        f"{MIN_POINTS}")
    for values, what in ((x, "x"), (y, "y"), (err, "error")):
        if values is not None and not np.all(np.isfinite(values)):
            k = int(np.flatnonzero(~np.isfinite(values))[0])
            raise DataError(f"{where[k]}: {what} is {values[k]}, not a finite number")
    for values, what in ((x, "x"), (y, "y"), (err, "error")):
        if values is not None and np.any(np.abs(values) > MAX_VALUE):
            k = int(np.flatnonzero(np.abs(values) > MAX_VALUE)[0])
            raise DataError(f"{where[k]}: {what} {values[k]:g} is beyond {MAX_VALUE:g}, "
                            "which no measurement reaches")
    if err is not None and np.any((err > 0) & (err < 1 / MAX_VALUE)):
        k = int(np.flatnonzero((err > 0) & (err < 1 / MAX_VALUE))[0])
        raise DataError(f"{where[k]}: error {err[k]:g} is below {1 / MAX_VALUE:g}: its weight "
                        "would overflow")
    steps = np.diff(x)
    if np.any(steps <= 0):
        k = int(np.flatnonzero(steps <= 0)[0]) + 1
        raise DataError(f"{where[k]}: x {x[k]:g} does not increase (the point before has "
                        f"{x[k - 1]:g}); the points must be in order of x, each once")
    if err is not None and np.any(err < 0):
        k = int(np.flatnonzero(err < 0)[0])
        raise DataError(f"{where[k]}: negative error {err[k]:g}")
    if err is not None and not np.any(err > 0):
        meta["error"] = "the error column is 0 everywhere: taken as no errors"
        err = None
    axis = None
    if unit is not None:
        axis, factor = X_UNITS[unit]
        if unit == "2theta":
            x = _two_theta_to_q(path, x, where, wavelength)
        elif wavelength is not None:
            raise DataError(f"{path}: a wavelength converts 2theta; x is in {unit}")
        else:
            x = x * factor
        meta["x_unit"] = unit
    elif wavelength is not None:
        raise DataError(f"{path}: a wavelength converts 2theta: give x_unit='2theta'")
    return Data(x, y, err, meta, path, axis)


def _two_theta_to_q(path, tt, where, wavelength):
    if wavelength is None:
        raise DataError(f"{path}: x in 2theta needs the wavelength (A) to become Q")
    if not (isinstance(wavelength, (int, float)) and math.isfinite(wavelength)
            and 0.01 <= wavelength <= 100):
        raise DataError(f"the wavelength wants a number from 0.01 to 100 A, not {wavelength}")
    bad = np.flatnonzero((tt <= 0) | (tt >= 180))
    if len(bad):
        raise DataError(f"{where[bad[0]]}: 2theta {tt[bad[0]]:g} is not between 0 and 180 "
                        "degrees")
    return q_of_two_theta(tt, wavelength)


# ---------------------------------------------------------------------------- text files


def _lines(path):
    """The file's lines, each refused beyond the longest the program reads (a device or a
    binary file given by mistake stops there, not when the memory is full)."""
    limit = LIMITS["line_bytes"]
    lines = []
    try:
        with open(path, "rb") as fh:
            while True:
                raw = fh.readline(limit + 1)
                if not raw:
                    break
                if len(raw) > limit:
                    raise DataError(f"{path}:{len(lines) + 1}: line longer than "
                                    f"{limit / 2 ** 20:g} MiB (not a data file?)")
                if b"\0" in raw:
                    raise DataError(f"{path}:{len(lines) + 1}: not a text file")
                lines.append(raw.decode("utf-8", errors="replace").rstrip("\r\n"))
    except IsADirectoryError:
        raise DataError(f"{path}: a folder, not a data file") from None
    except OSError as e:
        raise DataError(f"{path}: cannot open: {e.strerror}") from None
    return lines


def _numbers(tokens):
    if not all(_NUMBER.match(t) for t in tokens):
        return None
    return [float(t.replace("d", "e").replace("D", "e")) for t in tokens]


def _read_text(path, usecols):
    """(x, y, error, meta, where, unit) of a text file: the PDF programs' layout when it has
    `#### start data`, else columns after a free header."""
    lines = _lines(path)
    csv = path.lower().endswith(".csv")
    split = (lambda s: [t.strip() for t in s.split(",")]) if csv else \
        (lambda s: s.replace(",", " ").split())
    meta, names = {}, None
    start = next((k + 1 for k, ln in enumerate(lines) if ln.strip().startswith("#### start data")),
                 None)
    for ln in lines[: start or 0]:
        m = _KEY_VALUE.match(ln.strip())
        if m:
            meta.setdefault(m.group(1).strip(), m.group(2))
    rows, where = [], []
    for no, ln in enumerate(lines[start or 0 :], (start or 0) + 1):
        text = ln.strip()
        if text.startswith("#L"):
            names = text[2:].split()
            continue
        if not text or text.startswith("#"):
            m = _KEY_VALUE.match(text)
            if m and not rows:
                meta.setdefault(m.group(1).strip(), m.group(2))
            continue
        tokens = split(text)
        values = _numbers(tokens)
        if values is None:
            if rows:
                raise DataError(f"{path}:{no}: '{text[:40]}' is not a row of numbers")
            if start is None:  # the free header of a reduction's file, or CSV names
                m = _KEY_VALUE.match(text)
                if m:
                    meta.setdefault(m.group(1).strip(), m.group(2))
                elif csv or len(tokens) > 1 and names is None:
                    names = tokens
                continue
            raise DataError(f"{path}:{no}: '{text[:40]}' is not a row of numbers")
        if rows and len(values) != len(rows[0]):
            raise DataError(f"{path}:{no}: {len(values)} values; the rows before have "
                            f"{len(rows[0])}")
        rows.append(values)
        where.append(f"{path}:{no}")
    if not rows:
        raise DataError(f"{path}: no rows of numbers")
    if len(rows[0]) < 2:
        raise DataError(f"{path}:{where[0].rsplit(':', 1)[1]}: one column; data need x and y")
    if names is not None and len(names) != len(rows[0]):
        names = None  # a header that is no list of the columns
    table = np.array(rows, dtype=float)
    ix, iy, ie = _columns(path, len(rows[0]), names, usecols)
    meta["columns"] = ", ".join(_column_label(names, k) for k in (ix, iy, ie) if k is not None)
    unit = _EXTENSION_UNITS.get(os.path.splitext(path)[1].lower())
    if names is not None and names[ix].lower() in _AXIS_NAMES:
        unit = _AXIS_NAMES[names[ix].lower()]
    return (table[:, ix], table[:, iy], None if ie is None else table[:, ie], meta, where,
            unit)


def _column_label(names, k):
    return names[k] if names is not None else f"column {k}"


def _columns(path, ncols, names, usecols):
    """The indices of x, y and the error (or None) among ncols columns."""
    if usecols is not None:
        try:
            chosen = list(usecols)
        except TypeError:
            raise DataError(f"usecols wants (x, y) or (x, y, error) columns, not "
                            f"{usecols!r}") from None
        if len(chosen) not in (2, 3):
            raise DataError(f"usecols wants (x, y) or (x, y, error) columns, not {len(chosen)}")
        picked = []
        for c in chosen:
            if isinstance(c, str) and not c.strip().isdigit():
                if names is None or c not in names:
                    raise DataError(f"{path}: no column named '{c}'"
                                    + (f" (the columns: {', '.join(names)})" if names else
                                       " (the file names no columns)"))
                picked.append(names.index(c))
            else:
                k = int(c)
                if not 0 <= k < ncols:
                    raise DataError(f"{path}: no column {k}: the file has {ncols} "
                                    f"(0 to {ncols - 1})")
                picked.append(k)
        return picked[0], picked[1], picked[2] if len(picked) == 3 else None
    if names is not None:
        err = f"d{names[1]}"
        if err in names:
            return 0, 1, names.index(err)
        if ncols == 3 and _ERROR_NAME.match(names[2]):
            return 0, 1, 2
        return 0, 1, None
    return 0, 1, 2 if ncols == 3 else None


# ---------------------------------------------------------------------------- numpy archives


def _read_npz(path, usecols):
    import zipfile

    try:
        with np.load(path, allow_pickle=False) as z:
            arrays = {k: z[k] for k in z.files}
    except IsADirectoryError:
        raise DataError(f"{path}: a folder, not a data file") from None
    except OSError as e:
        raise DataError(f"{path}: cannot open: {e.strerror}" if e.strerror else
                        f"{path}: not a numpy .npz archive") from None
    except (ValueError, zipfile.BadZipFile, EOFError) as e:
        raise DataError(f"{path}: not a numpy .npz archive ({e})") from None
    if not isinstance(arrays, dict):
        raise DataError(f"{path}: one array, not a numpy .npz archive of named arrays")
    meta = {}
    header = arrays.pop("header", None)
    if header is not None and header.dtype.kind in "US":
        for line in np.atleast_1d(header):
            m = _KEY_VALUE.match(str(line))
            if m:
                meta.setdefault(m.group(1).strip(), m.group(2))
    columns = {k: v for k, v in arrays.items() if v.ndim == 1 and v.dtype.kind in "fiu"}
    names = list(columns)
    if usecols is None:
        axis = next((n for n in names if n.lower() in _AXIS_NAMES or n == "x"), None)
        rest = [n for n in names if n != axis and not (n.startswith("d") and n[1:] in columns)]
        if axis is None or not rest:
            raise DataError(f"{path}: cannot tell x and y among the arrays "
                            f"{', '.join(arrays) or '(none)'}; give usecols=(x, y)")
        usecols = (axis, rest[0]) + ((f"d{rest[0]}",) if f"d{rest[0]}" in columns else ())
    lengths = {len(v) for v in columns.values()}
    ix, iy, ie = _columns(path, len(names), names, usecols)
    chosen = [names[k] for k in (ix, iy, ie) if k is not None]
    if len({len(columns[n]) for n in chosen}) != 1:
        raise DataError(f"{path}: the arrays {', '.join(chosen)} have different lengths "
                        f"{sorted(lengths)}")
    meta["columns"] = ", ".join(chosen)
    n = len(columns[chosen[0]])
    where = [f"{path}: point {k + 1}" for k in range(n)]
    unit = _AXIS_NAMES.get(names[ix].lower())
    return (columns[names[ix]].astype(float), columns[names[iy]].astype(float),
            None if ie is None else columns[names[ie]].astype(float), meta, where, unit)

