"""Read the .ioq result files of zalmor and derive from them what is compared with experiment.

    import zalmor.io
    run = zalmor.io.load("nacl.ioq")
    for b in run: print(b.label, b.name, b.q[:3], b.iq[:3])

`load` returns an `IoqFile`: its blocks (block k is partial k, the last block the total),
the file-level metadata of version-2 files, and the atom-type map (element or isotope per
type) when `NAME.types` lies beside the file or the metadata carry it. The functions below
(`structure_factors`, `total_f`, `pair_functions`, `xray`) turn the blocks into Faber-Ziman
S(Q), F(Q), G(r) and the X-ray total; docs/guide.md explains each normalisation.

`read_urms` reads a `.urms` thermal-factor table with the program's own reader (for
`zalmor.debye(..., thermal=table)`).

The reader is as strict as zalmor's own: a file that is not exactly in the .ioq layout
(docs/ioq-format.md) is refused with the line where it goes wrong.
"""

import math
import os
import re

import numpy as np


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
MAX_BBAR_TYPES = 10  # ut has room for the scattering lengths of 10 types
MAX_ATOMS = 34500  # the largest model the zalmor program holds (src/util/limits.hpp)
# zalmor.debye takes any number of atoms; beyond this no count is plausible in a file.
MAX_RECORDED_ATOMS = 2**31 - 1
MAX_LINE_BYTES = 1 << 20  # zalmor's longest line of an input file (same header)

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


def read_ioq(path):
    """Reads and parses a file. Reading stops at the first line longer than 1 MiB, and
    after the first line when that is not the format line: a device or a binary file given
    by mistake is refused early instead of filling the memory."""
    chunks = []
    since_newline = 0  # bytes of the line not yet ended
    newlines = 0
    try:
        with open(path, "rb") as fh:
            while True:
                chunk = fh.read(MAX_LINE_BYTES)
                if not chunk:
                    break
                chunks.append(chunk)
                # Lines that start and end within a chunk are no longer than it; only the
                # one that runs in from the chunks before can be too long.
                first = chunk.find(b"\n")
                if first < 0:
                    since_newline += len(chunk)
                else:
                    if since_newline + first > MAX_LINE_BYTES:
                        since_newline += first
                        break
                    if newlines == 0 and not b"".join(chunks).startswith(MAGIC + b" "):
                        raise IoqError(f"{path}:1: not a zalmor .ioq file")
                    newlines += chunk.count(b"\n")
                    since_newline = len(chunk) - chunk.rfind(b"\n") - 1
                if since_newline > MAX_LINE_BYTES:
                    break
    except OSError as e:
        raise IoqError(f"{path}: cannot open: {e.strerror}") from None
    if since_newline > MAX_LINE_BYTES:
        raise IoqError(f"{path}:{newlines + 1}: line longer than 1 MiB (not a zalmor .ioq file?)")
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
    run = read_ioq(path)
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


# ---------------------------------------------------------------------------- composition


class Composition:
    """What the derived functions need of a run: per type the atomic fraction c and the
    b_bar of the run (fm), and the number of atoms N and the number nnorm the run divided
    by. `b_new` are the scattering lengths the total is formed with (the run's unless
    --bbar gives others)."""

    def __init__(self, c, b_run, b_new, natoms, nnorm, notes):
        self.c = c
        self.b_run = b_run
        self.b = b_new
        self.natoms = natoms
        self.nnorm = nnorm
        self.notes = notes  # how N and nnorm were found, for the user

    @property
    def mean_b(self):
        return float(np.sum(self.c * self.b))

    @property
    def mean_b2(self):
        return float(np.sum(self.c * self.b * self.b))


def _nnorm_from_answers(run):
    """nnorm as answered, from the answers recorded in a version-2 file, or None when it
    was the default (the number of atoms) or is not recorded. The model-name prompt repeats
    on an empty answer, so the answers after the first non-empty one count."""
    recorded = _meta_number(run, "nnorm")
    if recorded is not None:
        if not (math.isfinite(recorded) and MIN_NNORM <= abs(recorded) <= FLOAT32_MAX):
            raise IoqError(f"{run.path}: the metadata give nnorm '{run.meta_value('nnorm')}', "
                           "not a number a run can normalise to; give --nnorm")
        return recorded
    answers = run.meta_values("answer")
    while answers and not answers[0].strip():
        answers = answers[1:]
    # Trusted only when the lines-to-skip answer before it is a plain count: a refused and
    # repeated answer would shift the positions.
    if len(answers) < 3 or not answers[2].strip() or not re.fullmatch(r"\s*[0-9]*\s*", answers[1]):
        return None
    try:
        value = float(answers[2].replace(",", " ").split()[0].replace("d", "e").replace("D", "e"))
    except (ValueError, IndexError):
        return None
    # The program asks again after 0 or a number beyond single precision: the answer that
    # counted is then a later one.
    if not (math.isfinite(value) and MIN_NNORM <= abs(value) <= FLOAT32_MAX):
        return None
    return value


def _meta_number(run, key):
    value = run.meta_value(key)
    try:
        return float(value) if value is not None else None
    except ValueError:
        return None


def composition(run, bbar=None, natoms=None, nnorm=None):
    """Fractions and b_bar from the block parameters; N from the zero-Q limits.

    The stored zero-Q limit of a like partial (t,t) is 0.01 b_t^2 n_t (n_t - 1) / nnorm with
    n_t = c_t N atoms of type t, and that of the total 0.01 ((sum_i b_i)^2 - sum_i b_i^2) /
    nnorm. nnorm is the answered value when the file records it, else N (the program's
    default) unless given; N then follows from the limit, unless given."""
    n = run.ntypes
    notes = []
    c = np.array([float(run.blocks[t - 1].ut[UT_FRAC_A]) for t in range(1, n + 1)])
    if not (np.all(np.isfinite(c)) and np.all(c >= 0) and abs(c.sum() - 1) < 1e-3):
        raise IoqError(f"{run.path}: the atomic fractions of the block parameters ("
                       + ", ".join(f"{v:.4g}" for v in c) + ") do not add up to 1 "
                       "(not a zalmor result?)")
    stored = min(n, MAX_BBAR_TYPES)
    b_run = np.full(n, np.nan)
    b_run[:stored] = run.blocks[0].ut[UT_BBAR : UT_BBAR + stored]
    if bbar is not None:
        if len(bbar) != n:
            raise IoqError(f"--bbar gives {len(bbar)} values for {n} atom types")
        b_new = np.array(bbar, dtype=float)
        if n > stored:
            notes.append(f"b_bar of types {stored + 1}..{n} are not stored; taken from --bbar")
            b_run[stored:] = b_new[stored:]
    else:
        if n > stored:
            raise IoqError(f"{run.path}: the file stores b_bar for {stored} of the {n} atom "
                           "types; give all of them with --bbar")
        b_new = b_run.copy()
    if nnorm is None:
        nnorm = _nnorm_from_answers(run)
        if nnorm is not None:
            notes.append(f"nnorm {nnorm:g} from the recorded answers")
    else:
        try:
            recorded = _nnorm_from_answers(run)
        except IoqError:
            recorded = None  # a bad record is what the given nnorm replaces
        if recorded is not None and recorded != nnorm:
            notes.append(f"nnorm {nnorm:g} as given, in place of the {recorded:g} the file "
                         "records")
    if natoms is None and run.meta_value("natoms") is not None:
        natoms = _meta_number(run, "natoms")
        if natoms is None or not (math.isfinite(natoms) and natoms == int(natoms)
                                  and 1 <= natoms <= MAX_RECORDED_ATOMS):
            raise IoqError(f"{run.path}: the metadata give natoms '{run.meta_value('natoms')}', "
                           f"not a number of atoms from 1 to {MAX_RECORDED_ATOMS}; give --natoms")
        natoms = int(natoms)
    if natoms is not None:
        # Every type holds a whole number of atoms; a wrong N shows here before it turns
        # every normalisation. (c is kept in single precision: N c is off by N 6e-8 at most.)
        for t in range(1, n + 1):
            held = c[t - 1] * natoms
            if not math.isfinite(held) or abs(held - round(held)) > 1e-3 + 1e-6 * natoms:
                raise IoqError(f"{natoms} atoms do not fit the atomic fractions of {run.path}: "
                               f"type {t} would hold {held:.4g} atoms")
    if natoms is None:
        natoms, spread = _natoms_from_limits(run, c, b_run, nnorm)
        if natoms is None:
            raise IoqError(f"{run.path}: cannot tell the number of atoms from the zero-Q "
                           "limits (every b_bar 0?); give --natoms")
        notes.append(f"N = {natoms} atoms from the zero-Q limits"
                     + ("" if nnorm is not None else ", taking nnorm = N"))
        if spread > 0.5:
            # Each type's limit gives N; they agree only with the right nnorm.
            notes.append("warning: the zero-Q limits of the types disagree on N by "
                         f"{spread:.3g}: the run was normalised to another number; "
                         "give --nnorm (and --natoms)")
    if nnorm is None:
        nnorm = float(natoms)
    return Composition(c, b_run, b_new, int(natoms), float(nnorm), notes)


def _natoms_from_limits(run, c, b, nnorm):
    """N and the spread of the estimates of the types (0 with fewer than two)."""
    best = None  # (atoms of the type, N)
    estimates = []
    for t in range(1, len(c) + 1):
        lim = float(run.blocks[t - 1].ut[UT_ZERO_Q])
        ct, bt = c[t - 1], b[t - 1]
        if not (ct > 0 and bt != 0 and math.isfinite(bt) and math.isfinite(lim)):
            continue
        if nnorm is None:
            # lim = 0.01 b^2 c (c N - 1)
            N = (lim / (0.01 * bt * bt * ct) + 1.0) / ct
        else:
            k = lim * nnorm / (0.01 * bt * bt)  # n_t (n_t - 1)
            N = (0.5 + math.sqrt(0.25 + max(k, 0.0))) / ct
        estimates.append(N)
        if best is None or ct * N > best[0]:
            best = (ct * N, N)
    if best is None:
        lim = float(run.blocks[-1].ut[UT_ZERO_Q])
        mb, mb2 = float(np.sum(c * b)), float(np.sum(c * b * b))
        if mb == 0 or not math.isfinite(mb):
            return None, 0.0
        if nnorm is None:
            N = (lim / 0.01 + mb2) / (mb * mb)  # lim = 0.01 (N <b>^2 - <b^2>)
        else:
            # lim nnorm / 0.01 = N^2 <b>^2 - N <b^2>
            k = lim * nnorm / 0.01
            N = (mb2 + math.sqrt(mb2 * mb2 + 4 * mb * mb * k)) / (2 * mb * mb)
        best = (N, N)
    N = best[1]
    if not (math.isfinite(N) and N >= 1):
        return None, 0.0
    spread = max(estimates) - min(estimates) if len(estimates) > 1 else 0.0
    return int(round(N)), spread


# ---------------------------------------------------------------------------- derived functions


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
    term that --sphere removes; what remains transforms to rho (g(r) - 1) gamma(r)."""
    x = np.asarray(r, dtype=float) / (2.0 * radius)
    # (1 - x)^2 (1 + x/2): the same polynomial, without the cancellation near 2R.
    return np.where(x < 1.0, (1.0 - x) ** 2 * (1.0 + 0.5 * x), 0.0)


class StructureFactors:
    """Faber-Ziman S_AB(Q) per partial and the total S(Q), on the file's Q grid."""

    def __init__(self, q, total, partials, comp, names):
        self.q = q
        self.total = total  # S(Q)
        self.partials = partials  # {(a, b): S_AB(Q)}
        self.comp = comp
        self.names = names  # {(a, b): "Si-O"}


def structure_factors(run, comp, sphere_radius=None, from_partials=None, total=True):
    """S_AB(Q) = 1 + (nnorm / N) i_AB(Q) / (0.01 b_A b_B c_A c_B) - shape term, and
    S(Q) = 1 + sum_AB (2 - delta_AB) c_A c_B b_A b_B (S_AB(Q) - 1) / <b>^2 over the partial
    blocks (unlike pairs stand for AB and BA).

    The shape term removes the small-angle scattering of a uniform sphere of radius R:
    the model's pairs, spread evenly over the sphere, give (1/N) sum_{i in A, j in B, i != j}
    sin(Qr)/(Qr) = N_A (N_B - delta_AB) Phi(QR)^2 / N, that is (N - delta_AB / c_A) Phi(QR)^2 in
    S_AB. The total is taken from the total block when the run's b_bar are kept (exact
    also when the total had its own thermal factors), else from the partials. With
    total=False only the partials are formed (S.total is None): they need no <b> != 0, so
    that a null-scattering run can still be reweighted to other radiations."""
    q = run.blocks[0].q.astype(float)
    n, N, scale = run.ntypes, comp.natoms, comp.nnorm / comp.natoms
    phi2 = sphere_amplitude(q, sphere_radius) ** 2 if sphere_radius else None
    partials, names = {}, {}
    for k, (a, b) in enumerate(partial_pairs(n)):
        ca, cb, ba, bb = comp.c[a - 1], comp.c[b - 1], comp.b_run[a - 1], comp.b_run[b - 1]
        names[(a, b)] = run.type_name(a) + "-" + run.type_name(b)
        w = 0.01 * ba * bb * ca * cb
        if w == 0 or not math.isfinite(w):
            partials[(a, b)] = np.full(len(q), np.nan)  # nothing to normalise by
            continue
        s = 1.0 + scale * run.blocks[k].iq.astype(float) / w
        if phi2 is not None:
            s -= (N - (1.0 / ca if a == b else 0.0)) * phi2
        partials[(a, b)] = s
    if not total:
        return StructureFactors(q, None, partials, comp, names)
    mb = comp.mean_b
    if mb == 0:
        raise IoqError("the mean scattering length <b> is 0: the Faber-Ziman S(Q) is not "
                       "defined (use F(Q))")
    if from_partials is None:
        from_partials = not np.array_equal(comp.b, comp.b_run)
    if from_partials:
        total = 1.0 + partial_sum(comp, partials) / (0.01 * mb * mb)
    else:
        i = scale * run.blocks[-1].iq.astype(float)
        if phi2 is not None:
            i -= 0.01 * (N * mb * mb - comp.mean_b2) * phi2
        total = 1.0 + i / (0.01 * mb * mb)
    return StructureFactors(q, total, partials, comp, names)


def partial_sum(comp, partials, factors=None):
    """sum_AB (2 - delta_AB) c_A c_B x_A x_B (S_AB - 1) with x = 0.01 b (barn), or the given
    per-type factors (x(Q) arrays, for form factors); partials of zero weight are left out."""
    total = 0.0
    for (a, b), s in partials.items():
        if factors is None:
            xa, xb = 0.1 * comp.b[a - 1], 0.1 * comp.b[b - 1]
        else:
            xa, xb = factors[a - 1], factors[b - 1]
        w = (1 if a == b else 2) * comp.c[a - 1] * comp.c[b - 1] * xa * xb
        if np.all(np.asarray(w) == 0):
            continue
        bad = int(np.sum(~np.isfinite(s)))
        if bad == len(s):
            raise IoqError(f"partial {a}-{b} cannot be normalised (its b_bar in the run is 0?) "
                           "but carries weight in the total")
        if bad:
            raise IoqError(f"partial {a}-{b} holds {bad} values that are not finite numbers "
                           "and carries weight in the total")
        total = total + w * (s - 1.0)
    return total


def total_f(sf):
    """Faber-Ziman F(Q) = sum_AB c_A c_B b_A b_B (S_AB(Q) - 1) = <b>^2 (S(Q) - 1), in barn
    per atom (b in fm times 0.1, squared), and the contribution of each partial."""
    comp = sf.comp
    mb = comp.mean_b
    f = 0.01 * mb * mb * (sf.total - 1.0)
    parts = {}
    for (a, b), s in sf.partials.items():
        w = ((1 if a == b else 2) * comp.c[a - 1] * comp.c[b - 1]
             * 0.01 * comp.b[a - 1] * comp.b[b - 1])
        parts[(a, b)] = w * (s - 1.0) if w != 0 else np.zeros(len(sf.q))
    return f, parts


def lorch(q, qmax):
    x = np.pi * q / qmax
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(x == 0, 1.0, np.sin(x) / np.where(x == 0, 1.0, x))


def sine_transform(q, h, r, window=None, qmin=None):
    """(2/pi) integral Q h(Q) sin(Qr) dQ by the trapezoid rule on the grid, starting at
    Q = 0 (where the integrand is 0) when the grid does not."""
    q = np.asarray(q, dtype=float)
    h = np.asarray(h, dtype=float)
    keep = np.isfinite(h)
    if qmin is not None:
        keep &= q >= qmin
    q, h = q[keep], h[keep]
    if window is not None:
        h = h * window(q)
    if len(q) and q[0] > 0 and qmin is None:
        q, h = np.concatenate(([0.0], q)), np.concatenate(([0.0], h))
    out = np.empty(len(r))
    for k in range(0, len(r), 256):  # bounded memory for long r grids
        rr = np.asarray(r[k : k + 256], dtype=float)[:, None]
        out[k : k + 256] = np.trapz(q * h * np.sin(q * rr), q, axis=1)
    return (2.0 / np.pi) * out


class PairFunctions:
    def __init__(self, r, d, g_big, g, partials):
        self.r = r
        self.d = d  # D(r), barn / A^2
        self.G = g_big  # G(r), barn, or None without a density
        self.g = g  # g(r) total, or None
        self.partials = partials  # {(a, b): g_AB(r)} or {(a, b): d_AB(r)} without density


def pair_functions(sf, r, density=None, lorch_window=False, qmin=None, sphere_radius=None):
    """D(r) = (2/pi) int Q F(Q) M(Q) sin(Qr) dQ (barn/A^2); with the number density rho
    (atoms/A^3) G(r) = D(r) / (4 pi rho r) (barn), g(r) = 1 + G(r)/<b>^2 and
    g_AB(r) = 1 + (2/pi) int Q (S_AB(Q) - 1) M(Q) sin(Qr) dQ / (4 pi rho r).
    M(Q) = sin(pi Q/Qmax) / (pi Q/Qmax) with the Lorch window, else 1.

    With sphere_radius R (S(Q) with the sphere's shape term removed, as structure_factors
    gives it), each transform is divided by the sphere's overlap gamma(r) (sphere_overlap),
    which would otherwise damp g(r) - 1 to (g(r) - 1) gamma(r): the functions are those of
    the bulk the sphere was cut from. There are no pairs at or beyond 2R: NaN there."""
    q = sf.q
    qmax = float(np.nanmax(q))
    window = (lambda x: lorch(x, qmax)) if lorch_window else None
    r = np.asarray(r, dtype=float)
    if sphere_radius:
        overlap = sphere_overlap(r, sphere_radius)
        with np.errstate(invalid="ignore", divide="ignore"):
            undamp = np.where(overlap > 0, 1.0 / np.where(overlap > 0, overlap, 1.0), np.nan)
    else:
        undamp = 1.0
    f, _ = total_f(sf)
    d = sine_transform(q, f, r, window, qmin) * undamp
    mb2 = 0.01 * sf.comp.mean_b ** 2
    partials = {}
    big_g = g = None
    if density:
        with np.errstate(invalid="ignore", divide="ignore"):
            to_g = np.where(r > 0, 1.0 / (4 * np.pi * density * np.where(r > 0, r, 1.0)), 0.0)
        # At r = 0 the transform divided by r is (2/pi) int Q^2 h dQ; g(0) taken as that.
        big_g = d * to_g
        if len(r) and r[0] == 0:
            big_g[0] = _at_zero(q, f, window, qmin) / (4 * np.pi * density)
        g = 1.0 + big_g / mb2
    for pair, s in sf.partials.items():
        if not np.all(np.isfinite(s)):
            continue
        dp = sine_transform(q, s - 1.0, r, window, qmin) * undamp
        if density:
            gp = 1.0 + dp * to_g
            if len(r) and r[0] == 0:
                gp[0] = 1.0 + _at_zero(q, s - 1.0, window, qmin) / (4 * np.pi * density)
            partials[pair] = gp
        else:
            partials[pair] = dp
    return PairFunctions(r, d, big_g, g, partials)


def _at_zero(q, h, window, qmin):
    q = np.asarray(q, dtype=float)
    h = np.asarray(h, dtype=float)
    keep = np.isfinite(h) & (q >= qmin if qmin is not None else True)
    q, h = q[keep], h[keep]
    if window is not None:
        h = h * window(q)
    return (2.0 / np.pi) * float(np.trapz(q * q * h, q))


# ---------------------------------------------------------------------------- X-ray weights


def element_of(label):
    """The periodictable element (or isotope, whose element is taken) of a type label such
    as Si, D, C[13]; IoqError for anything else."""
    import periodictable

    try:
        structure = periodictable.formula(label).structure
    except (ValueError, KeyError, TypeError) as e:
        raise IoqError(f"'{label}' is not an element or isotope ({e})") from None
    if len(structure) != 1 or structure[0][0] != 1:
        raise IoqError(f"'{label}' is not a single element or isotope")
    atom = structure[0][1]
    return getattr(atom, "element", atom)


def form_factors(labels, q):
    """f_A(Q) of each type (electrons): the Waasmaier-Kirfel fits of neutral atoms in
    periodictable, valid for Q up to 24 pi 1/A."""
    q = np.asarray(q, dtype=float)
    if len(q) and q.max() > 24 * np.pi:
        raise IoqError(f"the X-ray form factors are tabulated up to Q = {24 * np.pi:.1f} 1/A, "
                       f"the file goes to {q.max():g}")
    return [np.asarray(element_of(lab).xray.f0(q), dtype=float) for lab in labels]


class XrayTotal:
    def __init__(self, q, i_x, s_x, f_x, f):
        self.q = q
        self.i = i_x  # sum over the model's pairs of f f sin(Qr)/(Qr), per nnorm atoms, e^2
        self.s = s_x  # Faber-Ziman S_X(Q)
        self.f = f_x  # F_X(Q) = sum c c f f (S_AB - 1), e^2 per atom
        self.factors = f


def xray(run, comp, labels, sphere_radius=None):
    """Reweights the stored partials: i_X(Q) = sum_AB (2 - delta_AB) f_A(Q) f_B(Q)
    i_AB(Q) / (0.01 b_A b_B), the Debye sum with form factors in place of scattering lengths,
    in electrons^2 per nnorm atoms. S_X(Q) = 1 + F_X(Q) / <f(Q)>^2 with
    F_X(Q) = sum_AB (2 - delta_AB) c_A c_B f_A f_B (S_AB(Q) - 1) from the Faber-Ziman partials."""
    if len(labels) != run.ntypes:
        raise IoqError(f"{len(labels)} elements given for {run.ntypes} atom types")
    q = run.blocks[0].q.astype(float)
    f = form_factors(labels, q)
    i_x = np.zeros(len(q))
    for k, (a, b) in enumerate(partial_pairs(run.ntypes)):
        w = 0.01 * comp.b_run[a - 1] * comp.b_run[b - 1]
        weight_x = (1 if a == b else 2) * f[a - 1] * f[b - 1]
        if comp.c[a - 1] * comp.c[b - 1] == 0:
            continue
        if w == 0 or not math.isfinite(w):
            raise IoqError(f"partial {a}-{b} was calculated with b_bar 0: it cannot be "
                           "reweighted; run zalmor with non-zero b_bar (1.0 will do)")
        i_x += weight_x * run.blocks[k].iq.astype(float) / w
    sf = structure_factors(run, comp, sphere_radius, from_partials=True)
    f_x = partial_sum(comp, sf.partials, factors=f)
    mean_f = sum(comp.c[t] * f[t] for t in range(run.ntypes))
    with np.errstate(invalid="ignore", divide="ignore"):
        s_x = 1.0 + f_x / (mean_f * mean_f)
    return XrayTotal(q, i_x, s_x, f_x, f)
