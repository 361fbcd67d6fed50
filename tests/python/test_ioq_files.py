"""Result.to_ioq: what it writes reads back exactly, through the package and the tools."""

import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import NACL_B, ROOT, assert_same_floats, program_grid

import zalmor
import zalmor.io


def same_result(a, b):
    assert a.labels == b.labels and a.elements == b.elements
    assert_same_floats(a.q, b.q)
    for x, y in zip(a.blocks, b.blocks, strict=True):
        assert_same_floats(x, y)
    assert_same_floats(a.zero_q, b.zero_q)
    assert (a.natoms, a.nnorm, a.thermal_option) == (b.natoms, b.nnorm, b.thermal_option)
    assert a.b == b.b and a.concentrations == b.concentrations


@pytest.fixture(scope="module")
def thermal_result(nacl):
    u = {("Na", "Na"): 0.05, ("Cl", "Cl"): 0.07, ("Na", "Cl"): 0.11}
    return zalmor.debye(nacl, program_grid(20.0, 0.05, from_zero=True), b=NACL_B, thermal=u)


def test_round_trip_through_the_package(thermal_result, tmp_path):
    path = tmp_path / "run.ioq"
    thermal_result.to_ioq(path)
    same_result(zalmor.read_ioq(path), thermal_result)
    # The text is the program's layout: blocks of x y e rows that the plain reader takes.
    run = zalmor.io.load(str(path))
    assert [b.name for b in run] == ["Na-Na", "Cl-Cl", "Na-Cl", "Total"]
    assert run.meta_value("natoms") == "512" and run.meta_value("nnorm") == "512"
    # Rewriting replaces the file whole and leaves nothing beside it.
    thermal_result.to_ioq(path)
    assert os.listdir(tmp_path) == ["run.ioq"]


def test_tools_read_the_file(thermal_result, tmp_path):
    path = tmp_path / "run.ioq"
    thermal_result.to_ioq(path)
    info = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "ioq"), "info", str(path)],
                          capture_output=True, text=True)
    assert info.returncode == 0, info.stderr
    assert "Na-Cl" in info.stdout and "types: 1=Na 2=Cl" in info.stdout
    sq = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "ioq"), "sq", str(path),
                         "-o", str(tmp_path / "s.csv")], capture_output=True, text=True)
    assert sq.returncode == 0, sq.stderr
    assert "N = " not in sq.stderr  # the number of atoms comes from the metadata


def test_program_file_round_trips(run_program, tmp_path):
    from test_debye import answers_file

    ref = zalmor.read_ioq(run_program(answers_file("nacl.answers"), "nacl"))
    path = tmp_path / "again.ioq"
    ref.to_ioq(path)
    same_result(zalmor.read_ioq(path), ref)
    # Every block's text past the metadata is the program's, but for the title fields.
    ours = [line for line in open(path) if not line.startswith(("# meta", "# field title",
                                                                "# field user_name"))]
    theirs = [line for line in open(tmp_path / "examples" / "nacl.ioq")
              if not line.startswith(("# meta", "# field title", "# field user_name"))]
    assert ours == theirs


def test_large_model_file(tmp_path):
    rng = np.random.default_rng(3)
    natoms = 34600
    res = zalmor.debye((rng.uniform(0, 60, (natoms, 3)), ["C"] * natoms), [0.5], b={"C": 6.646})
    path = tmp_path / "big.ioq"
    res.to_ioq(path)
    back = zalmor.read_ioq(path)
    same_result(back, res)
    assert back.natoms == natoms


def test_read_ioq_without_type_map(tmp_path):
    res = zalmor.debye((np.eye(3), ["Si", "O", "O"]), [1.0, 2.0], b={"Si": 4.1491, "O": 5.803})
    path = tmp_path / "m.ioq"
    res.to_ioq(path)
    text = open(path).read().replace("; types 1=Si 2=O", "")
    open(path, "w").write(text)
    back = zalmor.read_ioq(path)
    assert back.labels == [("1", "1"), ("2", "2"), ("1", "2")]
    assert_same_floats(back.partial("2", "1"), res.partial("O", "Si"))
    named = zalmor.read_ioq(path, types={1: "Si", 2: "O"})
    same_result(named, res)


def test_to_ioq_refusals_leave_the_earlier_file_and_no_temporary(thermal_result, tmp_path):
    from zalmor._command import CommandError

    (tmp_path / "old.ioq").write_text("EARLIER\n")
    (tmp_path / "folder.ioq").mkdir()
    rows = [  # path, text of the message
        (tmp_path / "no" / "such" / "x.ioq", "cannot write: no folder"),
        (tmp_path / "folder.ioq", "a folder is in the way"),
        (tmp_path / "old.ioq" / "x.ioq", "cannot write: no folder"),
    ]
    for path, text in rows:
        with pytest.raises(CommandError, match=text):
            thermal_result.to_ioq(path)
        assert (tmp_path / "old.ioq").read_text() == "EARLIER\n"
        assert sorted(os.listdir(tmp_path)) == ["folder.ioq", "old.ioq"]
