"""Every data file ioq writes, against what it wrote before its physics moved into one
pipeline (zalmor.derived): byte for byte, by sha256, over every command and option.

The inputs: examples/nacl.ioq as the program writes it from examples/nacl.answers (the
program's blocks are checked first, so that a change in the core is not taken for one
here), and two small models made with the package, kept in data/: tri.ioq, a finite
sphere of 45 atoms of three types (Si, O, Na; u = 0.05 A), and box.ioq, a periodic box of
125 Zr and Cu atoms averaged over 3 frames (standard errors in its e column, q_min 0.97
1/A). `python3 tests/python/test_ioq_outputs.py --capture` wrote data/ioq_outputs.json
with the code before the change: each output's sha256 and the header row of each CSV.

What an output may add without breaking the old text (`old_text` takes it away again):
the standard-error columns of a frame average (CSV columns d<name>, the dQ dS columns of
the PDF files, the third column of xy, npz arrays d<name>) and the header lines that state
a periodic box's q_min and the errors. Every old CSV column must be there, its text
unchanged; new columns of values only where CHANGED says why.
"""

import contextlib
import csv
import hashlib
import io
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DATA = os.path.join(HERE, "data")
GOLDEN = os.path.join(DATA, "ioq_outputs.json")

N, T, P = "nacl.ioq", "tri.ioq", "box.ioq"
RHO = "0.0448"

# name: (arguments, with FILE for the model's path)
ROWS = {
    # nacl: the program's own file
    "csv": [N, "csv"],
    "csv block 4": [N, "csv", "--block", "4"],
    "csv blocks 1,3": [N, "csv", "--block", "1,3"],
    "sq": [N, "sq"],
    "sq sphere": [N, "sq", "--sphere", "14"],
    "sq bbar": [N, "sq", "--bbar", "3.63,6.0"],
    "sq natoms nnorm": [N, "sq", "--natoms", "512", "--nnorm", "512"],
    "fq": [N, "fq"],
    "fq sphere": [N, "fq", "--sphere", "14"],
    "gr": [N, "gr", "--rmax", "10"],
    "gr density": [N, "gr", "--rmax", "10", "--density", RHO],
    "gr lorch qmin": [N, "gr", "--rmax", "10", "--density", RHO, "--lorch", "--qmin", "0.5"],
    "gr sphere": [N, "gr", "--rmax", "12", "--sphere", "14", "--dr", "0.02"],
    "gr qmax": [N, "gr", "--rmax", "10", "--qmax", "30", "--density", RHO],
    "xray": [N, "xray"],
    "xray sphere": [N, "xray", "--sphere", "14"],
    "sq xray": [N, "sq", "--radiation", "xray"],
    "sq electron": [N, "sq", "--radiation", "electron"],
    "sq neutron": [N, "sq", "--radiation", "neutron"],
    "sq AL": [N, "sq", "--convention", "ashcroft-langreth"],
    "sq BT": [N, "sq", "--convention", "bhatia-thornton"],
    "sq mean-square": [N, "sq", "--norm", "mean-square"],
    "sq xray energy": [N, "sq", "--radiation", "xray", "--energy", "17.48"],
    "sq b": [N, "sq", "--b", "1=3.0", "--b", "Cl=37Cl"],
    "sq qres": [N, "sq", "--qres", "0.05"],
    "sq format sq": [N, "sq", "--format", "sq", "-o", "out.sq"],
    "sq format xy": [N, "sq", "--format", "xy", "-o", "out.xy"],
    "sq format npz": [N, "sq", "--format", "npz", "-o", "out.npz"],
    "sq format csv": [N, "sq", "--format", "csv", "-o", "out.csv"],
    "sq wavelength": [N, "sq", "--wavelength", "1.54"],
    "sq sphere xray": [N, "sq", "--sphere", "14", "--radiation", "xray"],
    "fq format fq": [N, "fq", "--format", "fq", "-o", "out.fq"],
    "fq xray": [N, "fq", "--radiation", "xray"],
    "fq BT": [N, "fq", "--convention", "bhatia-thornton"],
    "fq format xy": [N, "fq", "--format", "xy", "-o", "out.xy"],
    "gr format gr": [N, "gr", "--rmax", "10", "--format", "gr", "-o", "out.gr"],
    "gr lorch npz": [N, "gr", "--rmax", "10", "--density", RHO, "--window", "lorch",
                     "--format", "npz", "-o", "out.npz"],
    "gr xray warren": [N, "gr", "--rmax", "10", "--radiation", "xray", "--window", "warren",
                       "--qdamp", "0.03", "--qbroad", "0.01"],
    "gr sphere csv": [N, "gr", "--rmax", "10", "--sphere", "14", "--format", "csv", "-o",
                      "out.csv", "--radiation", "neutron"],
    "gr format xy": [N, "gr", "--rmax", "10", "--format", "xy", "-o", "out.xy", "--column",
                     "D(r)"],
    "gr qmin neutron": [N, "gr", "--rmax", "10", "--qmin", "0.8", "--radiation", "neutron"],
    "xray format sq": [N, "xray", "--format", "sq", "-o", "x.sq"],
    "xray AL": [N, "xray", "--convention", "ashcroft-langreth"],
    "all": [N, "all", "-o", "res"],
    "all sphere": [N, "all", "-o", "res", "--sphere", "14", "--rmax", "12"],
    "all density qmin lorch": [N, "all", "-o", "res", "--density", RHO, "--qmin", "1",
                               "--window", "lorch", "--dr", "0.02"],
    # three types, finite
    "tri csv": [T, "csv"],
    "tri sq": [T, "sq"],
    "tri sq sphere": [T, "sq", "--sphere", "6"],
    "tri fq": [T, "fq"],
    "tri gr": [T, "gr", "--rmax", "8", "--density", "0.05"],
    "tri xray": [T, "xray"],
    "tri sq xray AL": [T, "sq", "--radiation", "xray", "--convention", "ashcroft-langreth"],
    "tri fq electron": [T, "fq", "--radiation", "electron"],
    "tri gr format gr": [T, "gr", "--rmax", "8", "--format", "gr", "-o", "t.gr"],
    "tri sq npz": [T, "sq", "--format", "npz", "-o", "t.npz"],
    "tri sq BT": [T, "sq", "--convention", "bhatia-thornton"],
    "tri all": [T, "all", "-o", "res", "--sphere", "6"],
    # periodic box, 3 frames
    "box csv": [P, "csv"],
    "box sq": [P, "sq"],
    "box fq": [P, "fq"],
    "box gr": [P, "gr", "--rmax", "6"],
    "box gr density": [P, "gr", "--rmax", "6", "--density", "0.0569"],
    "box sq xray": [P, "sq", "--radiation", "xray"],
    "box sq format sq": [P, "sq", "--format", "sq", "-o", "b.sq"],
    "box fq format fq": [P, "fq", "--format", "fq", "-o", "b.fq"],
    "box gr format gr": [P, "gr", "--rmax", "6", "--format", "gr", "-o", "b.gr"],
    "box sq npz": [P, "sq", "--format", "npz", "-o", "b.npz"],
    "box xray": [P, "xray"],
    "box all": [P, "all", "-o", "res"],
}

LAYOUT = ("one layout per command, whatever the options (the radiation options chose "
          "another before): ")
KEEN = LAYOUT + "fq writes the forms Keen compares, S(Q)-1, S'(Q)-1 and Q(S(Q)-1), after F(Q)"
REAL = LAYOUT + "gr writes G_PDF(r), D(r), G(r), g(r), T(r) and each g_AB(r), or d_AB(r) " \
    "without a density"
XRAY = LAYOUT + "xray writes i_X(Q), S_X(Q), F_X(Q) and the partials of the convention"
ALL_CRASH = "a fault fixed: ioq all stopped with a TypeError after the neutron files " \
    "whenever it left no Q out of G(r); now it writes the X-ray files too"

# name: (why its output changed on purpose, {"renamed": {old column: new}, "status": new
# exit status, "replaced": [outputs not compared], "lines": {new line: old line}})
CHANGED = {
    "fq": (KEEN, {}), "fq sphere": (KEEN, {}), "tri fq": (KEEN, {}), "box fq": (KEEN, {}),
    **{name: (REAL, {}) for name in ("gr", "gr density", "gr lorch qmin", "gr sphere",
                                      "gr qmax", "gr qmin neutron", "gr xray warren",
                                      "tri gr", "box gr density")},
    "xray": (XRAY, {}), "xray sphere": (XRAY, {}), "tri xray": (XRAY, {}),
    "box xray": (XRAY, {}), "xray AL": (XRAY, {"renamed": {"S(Q)": "S_X(Q)"}}),
    "all sphere": (ALL_CRASH, {"status": 0}), "tri all": (ALL_CRASH, {"status": 0}),
    "box gr": ("a fault fixed: a periodic file gives its density, natoms / periodic_volume, "
               "so g(r), G(r) and g_AB(r) replace the d_AB(r) of a run without one",
               {"replaced": ["stdout"]}),
    "box all": ("a fault fixed: G(r) of a periodic box is transformed from Q = 0 (it has no "
                "small-angle peak to leave out, and the truncated pair function needs every "
                "Q) and ends at the cutoff, beyond which the sums hold no pairs",
                {"replaced": ["res/box_neutron.gr", "res/box_xray.gr"]}),
    "box gr format gr": ("the same fault: the header states the density the file gives",
                         {"lines": {"rho = 0.056895767": "rho = none"}}),
}


def program_blocks(path):
    """sha256 of a .ioq file's text without its metadata (date, host, paths)."""
    with open(path, "rb") as fh:
        lines = [ln for ln in fh.read().split(b"\n") if not ln.startswith(b"# meta ")]
    return hashlib.sha256(b"\n".join(lines)).hexdigest()


def make_inputs(folder, program):
    """The three models in `folder`, nacl.ioq run by the program; its blocks' sha256."""
    for name in ("nacl.coords", "nacl.answers", "nacl.types"):
        shutil.copy(os.path.join(ROOT, "examples", name), folder)
    with open(os.path.join(folder, "nacl.answers")) as fh:
        subprocess.run([program], stdin=fh, cwd=folder, check=True, stdout=subprocess.DEVNULL)
    for name in (T, P):
        shutil.copy(os.path.join(DATA, name), folder)
    return program_blocks(os.path.join(folder, N))


def run_row(folder, argv):
    """Runs ioq in `folder` on a fresh output folder; (status, {output: sha256}). Plots are
    left out: only the data."""
    from zalmor import ioq

    for name in os.listdir(folder):
        if not name.endswith((".ioq", ".coords", ".answers", ".types")):
            target = os.path.join(folder, name)
            shutil.rmtree(target) if os.path.isdir(target) else os.unlink(target)
    out, err = io.StringIO(), io.StringIO()
    here = os.getcwd()
    os.chdir(folder)
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                status = ioq.main(argv[1:2] + argv[:1] + argv[2:], out=out)
            except SystemExit as e:
                status = e.code
            except Exception as e:  # noqa: BLE001 - what the old code did is recorded
                status = f"exception {type(e).__name__}"
    finally:
        os.chdir(here)
    files = {}
    if argv[1] != "all":
        files["stdout"] = out.getvalue().encode()
    for dirpath, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, folder)
            if rel.endswith((".ioq", ".coords", ".answers", ".types", ".png", ".svg")):
                continue
            with open(path, "rb") as fh:
                files[rel] = fh.read()
    return status, files, err.getvalue()


def digest(files):
    return {k: hashlib.sha256(v).hexdigest() for k, v in sorted(files.items())}


def capture(program, folder):
    blocks = make_inputs(folder, program)
    table = {"nacl_blocks": blocks, "rows": {}}
    for name, argv in ROWS.items():
        status, files, err = run_row(folder, argv)
        table["rows"][name] = {"status": status, "files": digest(files)}
        header = {k: v.decode().split("\n", 1)[0] for k, v in files.items()
                  if (k == "stdout" or k.endswith(".csv")) and v}
        if header:
            table["rows"][name]["header"] = header
        print(f"{name}: {status} {sorted(files)}", err.strip().splitlines()[-1:] if status else "")
    with open(GOLDEN, "w") as fh:
        json.dump(table, fh, indent=1, sort_keys=True)
        fh.write("\n")


EXTRA_HEADER = ("periodic_q_min", "errors")


def old_text(name, data, header, renamed, was):
    """The output `name` as the old code would have written it: the additions above taken
    away, the old CSV columns picked by name (header: the old header row)."""
    if name.endswith(".npz"):
        with np.load(io.BytesIO(data)) as z:
            arrays = {k: z[k] for k in z.files if not (k[:1] == "d" and k[1:] in z.files)}
        arrays["header"] = np.array([h for h in arrays["header"]
                                     if h.split(" = ")[0] not in EXTRA_HEADER])
        buffer = io.BytesIO()
        np.savez(buffer, **arrays)
        return buffer.getvalue()
    text = "\n".join(was.get(ln, ln) for ln in data.decode().split("\n"))
    if header is not None:
        rows = list(csv.reader(io.StringIO(text)))
        at = {c: k for k, c in enumerate(rows[0])}
        names = header.split(",")
        pick = [at[renamed.get(c, c)] for c in names]
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerows(
            [names] + [[r[k] for k in pick] for r in rows[1:]])
        return out.getvalue().encode()
    lines = [ln for ln in text.split("\n")
             if ln.lstrip("# ").split(" = ")[0] not in EXTRA_HEADER]
    if "#L" in text:  # a PDF-program file: x y dx dy -> x y
        start = lines.index("#### start data") + 1
        lines[start:] = [" ".join(ln.split()[:3] if ln.startswith("#L") else ln.split()[:2])
                         for ln in lines[start:]]
    elif name.endswith(".xy"):
        lines = [ln if ln.startswith("#") else " ".join(ln.split()[:2]) for ln in lines]
    return "\n".join(lines).encode()


@pytest.fixture(scope="module")
def inputs(program, tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    blocks = make_inputs(str(folder), program)
    with open(GOLDEN) as fh:
        golden = json.load(fh)
    if blocks != golden["nacl_blocks"]:
        pytest.fail("the program's nacl.ioq is no longer the one the outputs were taken from "
                    "(a change in the core): the golden outputs do not apply")
    return str(folder), golden["rows"]


@pytest.mark.parametrize("name", list(ROWS))
def test_output_is_the_old_one(inputs, name):
    folder, golden = inputs
    want = golden[name]
    why, change = CHANGED.get(name, (None, {}))
    status, files, err = run_row(folder, ROWS[name])
    assert status == change.get("status", want["status"]), err
    for out, digest_before in want["files"].items():
        if out in change.get("replaced", ()):
            continue
        assert out in files, f"{out} is no longer written"
        header = want.get("header", {}).get(out)
        got = old_text(out, files[out], header, change.get("renamed", {}),
                       change.get("lines", {}))
        assert hashlib.sha256(got).hexdigest() == digest_before, f"{out} changed"
        if header is not None and why is None:
            new = files[out].decode().split("\n", 1)[0].split(",")
            added = [c for c in new if c not in header.split(",")
                     and not (c[:1] == "d" and c[1:] in new)]
            assert not added, f"columns {added} added without a reason in CHANGED"
    if why is None:
        assert sorted(files) == sorted(want["files"]), "outputs added without a reason"


if __name__ == "__main__" and sys.argv[1:2] == ["--capture"]:
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        capture(os.environ["ZALMOR_BINARY"], d)
