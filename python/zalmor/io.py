"""The files of zalmor and its tools: reading .ioq results, .types maps and .urms tables,
and writing the data formats of the derived functions (CSV, the files PDF programs load,
xy, npz). What the numbers mean is zalmor.derived's business.

    import zalmor.io
    run = zalmor.io.load("nacl.ioq")
    for b in run: print(b.label, b.name, b.q[:3], b.iq[:3])

`load` returns an `IoqFile`: its blocks (block k is partial k, the last block the total),
the file-level metadata of version-2 files, and the atom-type map (element or isotope per
type) when `NAME.types` lies beside the file or the metadata carry it; zalmor.read_ioq
makes a zalmor.Result of it.

`read_urms` reads a `.urms` thermal-factor table with the program's own reader (for
`zalmor.debye(..., thermal=table)`).

The reader is as strict as zalmor's own: a file that is not exactly in the .ioq layout
(docs/ioq-format.md) is refused with the line where it goes wrong.
"""

import csv
import io
import math
import os
import re

import numpy as np

from ._core import LIMITS


VERSIONS = (1, 2)  # version 2 adds the "# meta" lines before the first block
MAGIC = b"# zalmor-ioq"
TYPES = ("string", "int32", "float32", "float32[]")
INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1
FLOAT32_MAX = float(np.finfo(np.float32).max)
MIN_NNORM = 1e-38  # zalmor refuses to normalise to fewer atoms (in size)

# What zalmor keeps in the parameter vector ut of each block: slot name -> 0-based index, as
# named in docs/ioq-format.md and src/output/block_params.hpp (a test checks they agree).
BLOCK_PARAMS = {"nblocks": 0, "ntypes": 1, "unity": 2, "frac_a": 3, "frac_b": 4, "zero_q": 16,
                "bbar": 20}
UT_NBLOCKS, UT_NTYPES = BLOCK_PARAMS["nblocks"], BLOCK_PARAMS["ntypes"]
UT_FRAC_A, UT_FRAC_B = BLOCK_PARAMS["frac_a"], BLOCK_PARAMS["frac_b"]
UT_ZERO_Q, UT_BBAR = BLOCK_PARAMS["zero_q"], BLOCK_PARAMS["bbar"]
# zalmor.debye takes any number of atoms; beyond this no count is plausible in a file.
MAX_RECORDED_ATOMS = 2**31 - 1

_INT_RE = re.compile(rb"-?[0-9]+")
_DECIMAL_RE = re.compile(rb"-?([0-9]*)\.?([0-9]*)(?:[eE][+-]?[0-9]+)?")
_SPECIAL_RE = re.compile(rb"-?(?:inf|infinity|nan(?:\([0-9A-Za-z_]*\))?)", re.IGNORECASE)
_HEX = b"0123456789abcdefABCDEF"


class IoqError(Exception):
    """A file that cannot be read or is not in the .ioq layout; the text names file and line."""


class Field:
    __slots__ = ("name", "type", "extent", "value")

    def __init__(self, name, type_, extent, value):
        self.name = name
        self.type = type_  # one of TYPES
        self.extent = extent
        # bytes for a string (any byte values), int for int32, numpy.float32 for float32,
        # numpy float32 array for float32[].
        self.value = value

    def __repr__(self):
        return f"Field({self.name!r}, {self.type!r}, {self.extent}, {self.value!r})"


class Block:
    def __init__(self, number):
        self.number = number
        self.fields = {}  # name -> Field, in file order
        self.rows = 0

    def get(self, name, type_):
        f = self.fields.get(name)
        if f is None or f.type != type_:
            raise IoqError(f"block {self.number}: no {type_} field '{name}' (not a zalmor result?)")
        return f.value

    def text(self, name):
        """A text field as str, trailing blanks removed; bytes that are not UTF-8 shown as U+FFFD."""
        return self.get(name, "string").decode("utf-8", errors="replace").rstrip(" ")

    # The zalmor view of a block.
    @property
    def label(self):
        return self.text("ylabel")

    @property
    def q(self):
        return self.get("x", "float32[]")[: self.rows]

    @property
    def iq(self):
        return self.get("y", "float32[]")[: self.rows]

    @property
    def ut(self):
        return self.get("ut", "float32[]")

    # Set by load() from the block's position: the pair of atom types of a partial, None
    # for the total.
    pair = None
    name = None


class IoqFile:
    """A whole file: `blocks` (iterating the file goes over them), `meta` as (key, text)
    pairs in file order (empty in version 1), `types` {type number: label} or None."""

    def __init__(self, version, blocks, meta=(), path=None):
        self.version = version
        self.blocks = blocks
        self.meta = list(meta)
        self.path = path
        self.types = None
        self.types_source = None
        self.model_title = None  # first line of the model file, when known

    def __iter__(self):
        return iter(self.blocks)

    def __len__(self):
        return len(self.blocks)

    def __getitem__(self, k):
        return self.blocks[k]

    def meta_values(self, key):
        return [v for k, v in self.meta if k == key]

    def meta_value(self, key):
        """The first value of key, or None."""
        values = self.meta_values(key)
        return values[0] if values else None

    @property
    def ntypes(self):
        if not self.blocks or "ut" not in self.blocks[0].fields:
            raise IoqError(f"{self.path or 'file'}: no block parameters (not a zalmor result?)")
        n = self.blocks[0].ut[UT_NTYPES]
        if not (math.isfinite(n) and n >= 1 and n == int(n)):
            raise IoqError(f"{self.path or 'file'}: bad number of atom types {n} in the parameters")
        if len(self.blocks) != int(n) * (int(n) + 1) // 2 + 1:
            raise IoqError(f"{self.path or 'file'}: {len(self.blocks)} blocks do not fit "
                           f"{int(n)} atom types")
        return int(n)

    def type_name(self, t):
        return self.types.get(t, str(t)) if self.types else str(t)

    def block_name(self, k):
        """`Si-O` for a partial when the types are known, `i12(Q)` otherwise; `Total`."""
        b = self.blocks[k]
        if b.pair is None:
            return "Total"
        if self.types:
            return f"{self.type_name(b.pair[0])}-{self.type_name(b.pair[1])}"
        return b.label


# ---------------------------------------------------------------------------- parsing


def parse_int32(tok):
    if not _INT_RE.fullmatch(tok):
        return None
    v = int(tok)
    return v if INT32_MIN <= v <= INT32_MAX else None


_FLOAT32_ROUNDS_TO_INF = 3.4028235677973366e38  # FLT_MAX + half its last step: a tie to inf
_FLOAT32_ROUNDS_TO_ZERO = 2.0 ** -150  # half the least subnormal: a tie to 0


def parse_real(tok):
    """The float32 a whole token stands for, or None: decimal or exponent notation with an
    optional leading minus (no plus), inf/infinity/nan in any case, values beyond the float32
    range (and non-zero values that round to zero) refused."""
    v = parse_real_as_double(tok)
    return None if v is None else np.float32(v)


def parse_real_as_double(tok):
    """What parse_real accepts, as the Python float that rounds to that float32. The range
    is tested on the double: a numpy scalar and a floating-point error state for each of a
    file's numbers cost more than all the rest of the reading."""
    if _SPECIAL_RE.fullmatch(tok):
        neg = tok.startswith(b"-")
        body = tok[1:] if neg else tok
        v = math.nan if body[:1] in b"nN" else math.inf
        return -v if neg else v
    m = _DECIMAL_RE.fullmatch(tok)
    if not m or not (m.group(1) or m.group(2)):
        return None
    f = float(tok)
    a = abs(f)
    if a >= _FLOAT32_ROUNDS_TO_INF:
        return None  # beyond the float32 range
    if a <= _FLOAT32_ROUNDS_TO_ZERO and (m.group(1) + m.group(2)).strip(b"0"):
        return None  # underflows to zero
    return f


def parse_quoted(q):
    """Undoes the quoting of texts: "..." with \\" \\\\ and \\xHH escapes, printable ASCII only."""
    if len(q) < 2 or q[:1] != b'"' or q[-1:] != b'"':
        return None
    body = q[1:-1]
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c == 0x22 or c < 0x20 or c > 0x7E:
            return None
        if c != 0x5C:
            out.append(c)
            i += 1
            continue
        i += 1
        if i >= len(body):
            return None
        if body[i] in b'"\\':
            out.append(body[i])
            i += 1
        elif body[i] == ord("x") and i + 2 < len(body) and body[i + 1] in _HEX and body[i + 2] in _HEX:
            out.append(int(body[i + 1 : i + 3], 16))
            i += 3
        else:
            return None
    return bytes(out)


class _Parser:
    def __init__(self, data, source):
        self.data = data
        self.source = source
        self.pos = 0
        self.line_no = 0

    def fail(self, what):
        raise IoqError(f"{self.source}:{self.line_no}: {what}")

    def at_end(self):
        return self.pos >= len(self.data)

    def line(self, what):
        self.line_no += 1
        if self.at_end():
            self.fail(f"unexpected end of file, expected {what}")
        end = self.data.find(b"\n", self.pos)
        if end < 0:
            self.fail("last line has no line end (truncated file?)")
        text = self.data[self.pos : end]
        self.pos = end + 1
        if text.endswith(b"\r"):
            self.fail("line ends in a carriage return (converted to DOS line ends?)")
        return text

    def tokens(self, rest):
        """Pieces of rest between single blanks; an empty piece is malformed."""
        if not rest:
            return []
        toks = rest.split(b" ")
        for k, t in enumerate(toks):
            if not t:
                self.fail("trailing blank" if k == len(toks) - 1 else "unexpected blank")
        return toks

    def real(self, tok):
        v = parse_real(tok)
        if v is None:
            self.fail(f"bad real number '{tok[:40].decode('ascii', 'replace')}'")
        return v

    def parse(self):
        first = self.line("the format line")
        if not first.startswith(MAGIC + b" "):
            self.fail("not a zalmor .ioq file")
        version = parse_int32(first[len(MAGIC) + 1 :])
        if version is None:
            self.fail("bad format version")
        if version not in VERSIONS:
            self.fail(f"unsupported format version {version}")
        meta = []
        while version >= 2 and self.data.startswith(b"# meta ", self.pos):
            meta.append(self.meta(self.line("a meta line")[7:]))
        blocks = []
        while not self.at_end():
            number = len(blocks) + 1
            if number > 1:
                for _ in range(2):
                    if self.line("a blank line") != b"":
                        self.fail("expected two blank lines between blocks")
            blocks.append(self.block(number))
        return IoqFile(version, blocks, meta)

    def meta(self, rest):
        """`<key> "<text>"`: the key printable ASCII without blanks, the text quoted as the
        texts of string fields are."""
        sp = rest.find(b" ")
        if sp <= 0:
            self.fail("expected '# meta <key> \"<text>\"'")
        key, quoted = rest[:sp], rest[sp + 1 :]
        if any(c < 0x21 or c > 0x7E for c in key):
            self.fail("bad character in meta key")
        text = parse_quoted(quoted)
        if text is None:
            self.fail(f"bad quoted text of meta {key.decode('ascii')}")
        return key.decode("ascii"), text.decode("utf-8", errors="replace")

    def block(self, number):
        b = Block(number)
        head = self.line("a block line")
        if not head.startswith(b"# block ") or parse_int32(head[8:]) != number:
            self.fail(f"expected '# block {number}'")
        row_fields = []  # [field, values after the rows]
        line = self.line("a field or rows line")
        while line.startswith(b"# field "):
            self.field(line[8:], b, row_fields)
            line = self.line("a field or rows line")
        if not line.startswith(b"# rows "):
            self.fail("expected a field line or '# rows'")
        parts = line[7:].split(b" ", 2)
        nrows = parse_int32(parts[0])
        if nrows is None or nrows < 0:
            self.fail("bad row count")
        if len(parts) < 2 or parts[1] != b"columns":
            self.fail("expected 'columns'")
        if len(parts) > 2 and not parts[2]:
            self.fail("trailing blank")
        names = self.tokens(parts[2]) if len(parts) > 2 else []
        by_name = {f.name: (f, tail) for f, tail in row_fields}
        columns = []
        for raw in names:
            name = raw.decode("ascii", "replace")
            if name not in by_name:
                self.fail(f"column '{name}' is no rows field")
            if any(c[0].name == name for c in columns):
                self.fail(f"column '{name}' named twice")
            columns.append(by_name[name])
        if len(columns) != len(row_fields):
            self.fail("a rows field is not among the columns")
        if not columns and nrows > 0:
            self.fail("data rows without columns")
        for f, tail in row_fields:
            if f.extent != nrows + len(tail):
                self.fail(f"field {f.name}: extent does not match the rows and values given")
        # Rows are read one by one, so a false count only reaches the end of the file.
        cols = [[] for _ in columns]
        for _ in range(nrows):
            toks = self.tokens(self.line("a data row"))
            if len(toks) > len(columns):
                self.fail("too many values in data row")
            if len(toks) < len(columns):
                self.fail("too few values in data row")
            for c, t in zip(cols, toks):
                v = parse_real_as_double(t)
                if v is None:
                    self.real(t)  # says what is wrong with it
                c.append(v)
        for (f, tail), values in zip(columns, cols):
            f.value = np.array(values + tail, dtype=np.float32)
        b.rows = nrows
        return b

    def field(self, rest, b, row_fields):
        sp = rest.find(b" ")
        if sp <= 0:
            self.fail("missing field name" if sp == 0 or not rest else "missing type")
        raw_name, rest = rest[:sp], rest[sp + 1 :]
        if any(c < 0x21 or c > 0x7E for c in raw_name):
            self.fail("bad character in field name")
        name = raw_name.decode("ascii")
        if name in b.fields:
            self.fail(f"field {name} appears twice")
        sp = rest.find(b" ")
        type_ = (rest if sp < 0 else rest[:sp]).decode("ascii", "replace")
        if type_ not in TYPES:
            self.fail(f"unknown type of field {name}")
        rest = b"" if sp < 0 else rest[sp + 1 :]
        sp = rest.find(b" ")
        extent = parse_int32(rest if sp < 0 else rest[:sp])
        if extent is None or extent < 0:
            self.fail(f"bad extent of field {name}")
        if sp < 0:
            rest = b""
        else:
            rest = rest[sp + 1 :]
            if not rest:
                self.fail("trailing blank")

        if type_ == "string":
            text = parse_quoted(rest)
            if text is None:
                self.fail(f"bad quoted text of field {name}")
            if len(text) != extent:
                self.fail(f"field {name}: text length differs from its extent")
            value = text
        elif type_ == "int32":
            if extent != 0:
                self.fail(f"scalar field {name} with an extent")
            value = parse_int32(rest)
            if value is None:
                self.fail(f"bad integer of field {name}")
        elif type_ == "float32":
            if extent != 0:
                self.fail(f"scalar field {name} with an extent")
            if not rest:
                self.fail(f"missing value of field {name}")
            value = self.real(rest)
        else:
            toks = self.tokens(rest)
            in_rows = bool(toks) and toks[0] == b"rows"
            if in_rows:
                toks = toks[1:]
            if len(toks) > extent:
                self.fail(f"field {name}: more values than its extent")
            values = [self.real(t) for t in toks]
            if not in_rows and len(values) != extent:
                self.fail(f"field {name}: fewer values than its extent")
            value = np.array(values, dtype=np.float32)
        f = Field(name, type_, extent, value)
        b.fields[name] = f
        if type_ == "float32[]" and in_rows:
            row_fields.append((f, values))


def parse_ioq(data, source="<text>"):
    if isinstance(data, str):
        data = data.encode("utf-8")
    return _Parser(data, source).parse()


def read_file(path):
    """Reads and parses a .ioq file. Reading stops at the first line longer than the
    program's longest (LIMITS["line_bytes"]), and
    after the first line when that is not the format line: a device or a binary file given
    by mistake is refused early instead of filling the memory."""
    chunks = []
    since_newline = 0  # bytes of the line not yet ended
    newlines = 0
    try:
        with open(path, "rb") as fh:
            while True:
                chunk = fh.read(LIMITS["line_bytes"])
                if not chunk:
                    break
                chunks.append(chunk)
                # Lines that start and end within a chunk are no longer than it; only the
                # one that runs in from the chunks before can be too long.
                first = chunk.find(b"\n")
                if first < 0:
                    since_newline += len(chunk)
                else:
                    if since_newline + first > LIMITS["line_bytes"]:
                        since_newline += first
                        break
                    if newlines == 0 and not b"".join(chunks).startswith(MAGIC + b" "):
                        raise IoqError(f"{path}:1: not a zalmor .ioq file")
                    newlines += chunk.count(b"\n")
                    since_newline = len(chunk) - chunk.rfind(b"\n") - 1
                if since_newline > LIMITS["line_bytes"]:
                    break
    except OSError as e:
        raise IoqError(f"{path}: cannot open: {e.strerror}") from None
    if since_newline > LIMITS["line_bytes"]:
        raise IoqError(f"{path}:{newlines + 1}: line longer than "
                       f"{LIMITS['line_bytes'] / 2 ** 20:g} MiB (not a zalmor .ioq file?)")
    return parse_ioq(b"".join(chunks), path)


# ---------------------------------------------------------------------------- types and load


def partial_pairs(ntypes):
    """The atom-type pairs of the partial blocks in their order: (1,1), (2,2), ..., (n,n),
    then (1,2), (1,3), ..., (n-1,n)."""
    pairs = [(t, t) for t in range(1, ntypes + 1)]
    pairs += [(a, b) for a in range(1, ntypes + 1) for b in range(a + 1, ntypes + 1)]
    return pairs


# `types 1=Si 2=O` at the end of a model's title line, as tocoords writes it.
_TYPES_IN_TITLE = re.compile(r"(?:^|[\s;,])types((?:\s+[0-9]+=[^\s;,]+)+)\s*$")


def types_from_title(title):
    """{type: label} from a title line ending in `types 1=Si 2=O`, or None."""
    m = _TYPES_IN_TITLE.search(title or "")
    if not m:
        return None
    types = {}
    for item in m.group(1).split():
        t, label = item.split("=", 1)
        types[int(t)] = label
    return types


def read_types_file(path):
    """NAME.types: one `<type number> <label>` per line; `#` starts a comment."""
    types = {}
    try:
        with open(path, encoding="utf-8") as fh:
            lines = fh.read().splitlines()
    except OSError as e:
        raise IoqError(f"{path}: cannot open: {e.strerror}") from None
    except UnicodeDecodeError:
        raise IoqError(f"{path}: not a text file") from None
    for no, line in enumerate(lines, 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        if len(words) != 2 or not words[0].isdigit() or int(words[0]) < 1:
            raise IoqError(f"{path}:{no}: expected '<type number> <element or isotope>', "
                           f"got '{line.strip()}'")
        t = int(words[0])
        if t in types:
            raise IoqError(f"{path}:{no}: type {t} named twice")
        types[t] = words[1]
    return types


def model_path(run):
    """The model file of the run: the `model` metadata, else the file named in the blocks'
    title ("Zalmor: NAME.coords"); as written, or beside the .ioq file."""
    named = run.meta_value("model")
    if not named and run.blocks and "title" in run.blocks[0].fields:
        title = run.blocks[0].text("title")
        if title.startswith("Zalmor: "):
            named = title[len("Zalmor: ") :].strip()
    if not named:
        return None
    here = os.path.dirname(run.path) if run.path else ""
    for c in (named, os.path.join(here, os.path.basename(named))):
        if os.path.isfile(c):
            return c
    return named


def model_title(run):
    """The first line of the model file: from the metadata, else read from the model file
    when it can be found; None otherwise."""
    title = run.meta_value("model_title")
    if title is not None:
        return title
    path = model_path(run)
    if path and os.path.isfile(path):
        try:
            with open(path, "rb") as fh:
                return fh.readline(4096).decode("utf-8", errors="replace").rstrip("\r\n")
        except OSError:
            return None
    return None


def find_types(run):
    """The type map of a loaded file and where it came from: NAME.types beside the .ioq,
    then the model's title line (metadata, else the model file), then MODEL.types."""
    if run.path:
        c = os.path.splitext(run.path)[0] + ".types"
        if os.path.isfile(c):
            return read_types_file(c), c
    title_types = types_from_title(run.model_title)
    if title_types:
        return title_types, "the model title"
    model = model_path(run)
    if model:
        c = os.path.splitext(model)[0] + ".types"
        if os.path.isfile(c):
            return read_types_file(c), c
    return None, None


def load(path, types=None):
    """Reads a .ioq file: an IoqFile whose blocks know their pair of atom types (`pair`,
    None for the total) and their name (`Si-O` when the types are known). `types` is a
    {type number: label} map, or None to look for one (see find_types)."""
    run = read_file(path)
    run.path = path
    run.model_title = model_title(run)
    if types is None:
        types, source = find_types(run)
    else:
        source = "the caller"
    run.types, run.types_source = types, source
    pairs = None
    if run.blocks and all("ut" in b.fields for b in run.blocks):
        try:
            pairs = partial_pairs(run.ntypes) + [None]
        except IoqError:
            pairs = None
    for k, b in enumerate(run.blocks):
        if pairs is not None:
            b.pair = pairs[k]
        elif not b.label.lower().startswith("total"):
            b.pair = (0, 0)  # unknown pair
        b.name = run.block_name(k) if pairs is not None else b.label
    return run


# ---------------------------------------------------------------------------- .urms tables


class UrmsError(ValueError):
    """A .urms file the program would refuse; the text has its error code and the line."""


class UrmsRecord:
    """One record of a .urms file (docs/guide.md, section 5), as the program reads it: the
    ordered type pair (itype1, itype2) ((0, 0): the total function), the model imode (1
    steps, 2 steps and an analytic tail, 3 steps and the correlated Debye model), the values
    urms (A; under model 3 the last is the temperature in K) between the break distances
    rbreak (A, one fewer), and the model's parameters (float32 values)."""

    FIELDS = ("itype1", "itype2", "imode", "urms", "rbreak", "a1", "a2", "amass1", "amass2",
              "theta1", "theta2", "qdebye1", "qdebye2", "temp")

    def __init__(self, *values):
        for name, v in zip(self.FIELDS, values, strict=True):
            setattr(self, name, v)

    def as_tuple(self):
        return tuple(getattr(self, name) for name in self.FIELDS)

    def __repr__(self):
        return (f"<UrmsRecord {self.itype1} {self.itype2} model {self.imode}: u {self.urms}, "
                f"breaks {self.rbreak}>")


class UrmsTable:
    """The records of a .urms file, for zalmor.debye(..., thermal=table).

    records       UrmsRecord in file order (the last record of a type pair is the one used)
    types         {type number: element} naming the file's type numbers (NAME.types beside
                  the file), or None: the numbers are then the model's types in order of
                  first appearance
    total_record  the total takes the (0, 0) record (the program's total-function option 1)
                  instead of the partials' records
    path          the file read, or None
    """

    def __init__(self, records, types=None, total_record=False, path=None):
        self.records = list(records)
        self.types = dict(types) if types is not None else None
        self.total_record = bool(total_record)
        self.path = path

    def __repr__(self):
        return f"<UrmsTable {len(self.records)} records from {self.path or 'memory'}>"


def read_urms(path, types=None, total_record=False):
    """A .urms file read by the program's own reader (the same values and the same refusals,
    as UrmsError); `types` as in UrmsTable, by default from NAME.types beside the file."""
    from . import _core

    path = os.fspath(path)
    records, failure = _core.read_urms(path)
    if failure is not None:
        ierr, message, where = failure
        raise UrmsError(f"Error in readurms: ierr={ierr}: {message}"
                        + (f" ({where.removeprefix('zalmor: ')})" if where else ""))
    if types is None:
        beside = os.path.splitext(path)[0] + ".types"
        if os.path.isfile(beside):
            types = read_types_file(beside)
    return UrmsTable([UrmsRecord(*r) for r in records], types=types, total_record=total_record,
                     path=path)


# ---------------------------------------------------------------------------- data formats
#
# Each writes to an open stream, so that the command decides where the file goes (its
# temporary, standard output). `errors` {name: standard error} add their own columns.


def write_csv(fh, x_name, x, columns, fmt, errors=None):
    """One header row of names, then the columns (x first), each value as fmt gives it; the
    errors of the columns that have them follow as d<name> columns, in the same order."""
    errors = {k: v for k, v in (errors or {}).items() if k in columns}
    w = csv.writer(fh, lineterminator="\n")
    w.writerow([x_name] + list(columns) + [f"d{k}" for k in errors])
    values = list(columns.values()) + list(errors.values())
    for i in range(len(x)):
        w.writerow([fmt(x[i])] + [fmt(c[i]) for c in values])


def write_pdf_file(fh, kind, x, y, header, dy=None):
    """The layout PDF programs load (.gr, .sq, .fq): `key = value` lines, `#### start data`,
    a `#L` line naming the columns, then the columns (with dy: x y dx dy, dx 0). Rows whose
    x or y is not a finite number are left out."""
    xname = "r" if kind == "gr" else "Q"
    yname = {"gr": "G", "sq": "S", "fq": "F"}[kind]
    lines = [f"{k} = {v}" for k, v in header]
    lines.append("")
    lines.append("#### start data")
    cols = [xname, yname] + ([f"d{xname}", f"d{yname}"] if dy is not None else [])
    lines.append("#L " + " ".join(cols))
    for k in range(len(x)):
        if not (math.isfinite(x[k]) and math.isfinite(y[k])):
            continue
        row = f"{x[k]:.10g} {y[k]:.10g}"
        if dy is not None:
            row += f" 0 {dy[k]:.10g}"
        lines.append(row)
    fh.write("\n".join(lines) + "\n")


def write_xy(fh, x, y, header, dy=None):
    """Two columns in %16.10e (a third, dy, with errors), the header as # lines."""
    fh.write("".join(f"# {k} = {v}\n" for k, v in header))
    if dy is None:
        fh.write("".join(f"{a:16.10e} {b:16.10e}\n" for a, b in zip(x, y)))
    else:
        fh.write("".join(f"{a:16.10e} {b:16.10e} {e:16.10e}\n" for a, b, e in zip(x, y, dy)))


def npz_bytes(axis_name, x, columns, header, errors=None):
    """A numpy .npz archive: the axis, every column, the errors as d<name>, and `header`
    (the `key = value` lines)."""
    arrays = {axis_name: np.asarray(x, float)}
    for name, v in columns.items():
        arrays[name] = np.asarray(v, float)
    for name, v in (errors or {}).items():
        arrays[f"d{name}"] = np.asarray(v, float)
    arrays["header"] = np.array([f"{k} = {v}" for k, v in header])
    buffer = io.BytesIO()
    np.savez(buffer, **arrays)
    return buffer.getvalue()
