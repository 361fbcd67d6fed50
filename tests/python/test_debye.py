"""zalmor.debye against the dialogue program, and on what the program cannot take."""

import os

import numpy as np
import pytest
from conftest import EXAMPLES, NACL_B, assert_same_floats, program_grid

import zalmor
import zalmor.io


def answers_file(name):
    with open(os.path.join(EXAMPLES, name)) as fh:
        return fh.read().splitlines()


def assert_same_result(res, ref):
    assert res.labels == ref.labels
    assert_same_floats(res.q, ref.q)
    for mine, theirs in zip(res.blocks, ref.blocks, strict=True):
        assert_same_floats(mine, theirs)
    assert_same_floats(res.zero_q, ref.zero_q)


def test_nacl_example_equals_program_bit_for_bit(nacl, run_program):
    lines = answers_file("nacl.answers")
    # Qmax, delta-Q and the start of the grid are the program's defaults here.
    assert lines[7:10] == ["", "", ""]
    ref = zalmor.read_ioq(run_program(lines, "nacl"))
    res = zalmor.debye(nacl, program_grid(50.0, 0.02), b=NACL_B)
    assert_same_result(res, ref)
    assert res.natoms == ref.natoms == 512
    assert res.concentrations == ref.concentrations == {"Na": 0.5, "Cl": 0.5}
    assert res.b == ref.b


@pytest.mark.parametrize("thermal, answers", [
    (0.08, ["1", "0.08"]),
    ({("Na", "Na"): 0.05, ("Cl", "Cl"): 0.07, ("Cl", "Na"): 0.11}, ["2", "0.05", "0.07", "0.11"]),
    ((0.04, 3.5, 0.12), ["3", "3.5", "0.04", "0.12"]),
])
def test_thermal_factors_equal_program(nacl, run_program, thermal, answers):
    lines = ["nacl", "1", "", "", "3.63", "9.577", *answers, "20", "0.05", "1", "nacl_u"]
    ref = zalmor.read_ioq(run_program(lines, "nacl_u"))
    res = zalmor.debye(nacl, program_grid(20.0, 0.05, from_zero=True), b=NACL_B,
                       thermal=thermal)
    assert_same_result(res, ref)
    assert ref.thermal_option == res.thermal_option == int(answers[0])


@pytest.mark.parametrize("total_record", [False, True])
def test_urms_table_equals_program(nacl, run_program, total_record):
    # nacl_urms.answers: option 4, nacl.urms, then the total's choice of records.
    lines = answers_file("nacl_urms.answers")
    assert lines[6:9] == ["4", "nacl", "0"]
    lines[8] = "1" if total_record else "0"
    ref = zalmor.read_ioq(run_program(lines, "nacl_urms"))
    path = os.path.join(EXAMPLES, "nacl.urms")
    table = zalmor.io.read_urms(path, total_record=total_record)
    assert table.types == {1: "Na", 2: "Cl"} and len(table.records) == 5
    q = program_grid(50.0, 0.02)
    res = zalmor.debye(nacl, q, b=NACL_B, thermal=table)
    assert_same_result(res, ref)
    assert res.thermal_option == ref.thermal_option == 4
    if not total_record:
        # A path is read the same way; with Cl first the type map still puts each record on
        # its pair of elements.
        assert_same_result(zalmor.debye(nacl, q, b=NACL_B, thermal=path), ref)
        positions, symbols = nacl
        order = np.r_[np.flatnonzero(np.array(symbols) == "Cl"),
                      np.flatnonzero(np.array(symbols) == "Na")]
        swapped = zalmor.debye((positions[order], [symbols[i] for i in order]), q[::50],
                               b=NACL_B, thermal=path)
        assert swapped.elements == ["Cl", "Na"]
        for a, c in [("Na", "Na"), ("Cl", "Cl"), ("Na", "Cl")]:
            np.testing.assert_allclose(swapped.partial(a, c), ref.partial(a, c)[::50],
                                       rtol=0, atol=2e-6 * abs(ref.partial_zero_q(a, c)))


def test_urms_files_the_program_refuses(tmp_path, nacl):
    bad = tmp_path / "bad.urms"
    bad.write_text("1\n1 1 1 2 0.1 3.0 -0.2\n")
    with pytest.raises(zalmor.io.UrmsError, match=r"ierr=15.*bad\.urms:2"):
        zalmor.io.read_urms(bad)
    short = tmp_path / "short.urms"
    short.write_text("1\n1 1 1 1 0.1\n")
    # Without a type map the records must be the program's n x n (+ 1) for the model.
    with pytest.raises(ValueError, match="not 4 or 5"):
        zalmor.debye(nacl, [1.0], b=NACL_B, thermal=short)


def test_ase_atoms_types_by_first_appearance_and_default_lengths(nacl):
    import ase
    import periodictable

    positions, symbols = nacl
    q = program_grid(10.0, 0.5)
    res = zalmor.debye((positions, symbols), q, b=NACL_B, engine="reference")
    # Cl first: type 1 is Cl, and the blocks follow that order.
    order = np.r_[np.flatnonzero(np.array(symbols) == "Cl")[:1],
                  np.arange(len(symbols))]
    order = list(dict.fromkeys(order.tolist()))
    atoms = ase.Atoms(symbols=[symbols[i] for i in order], positions=positions[order])
    swapped = zalmor.debye(atoms, q, b=NACL_B, engine="reference")
    assert swapped.elements == ["Cl", "Na"]
    assert swapped.labels == [("Cl", "Cl"), ("Na", "Na"), ("Cl", "Na")]
    for a, c in [("Na", "Na"), ("Cl", "Cl"), ("Na", "Cl")]:
        np.testing.assert_allclose(swapped.partial(c, a), res.partial(a, c), rtol=2e-6,
                                   atol=2e-6 * res.partial_zero_q(a, c))
        assert swapped.partial_zero_q(a, c) == res.partial_zero_q(c, a)
    np.testing.assert_allclose(swapped.total, res.total, rtol=2e-6, atol=2e-6 * res.zero_q[-1])

    b_c = {e: periodictable.elements.symbol(e).neutron.b_c for e in ("Na", "Cl")}
    plain = zalmor.debye(atoms, q)
    assert_same_result(plain, zalmor.debye(atoms, q, b=b_c))
    assert plain.b["Cl"] == np.float32(b_c["Cl"])


def test_model_beyond_the_program_limit():
    rng = np.random.default_rng(7)
    natoms = 36000
    positions = rng.uniform(0.0, 70.0, size=(natoms, 3))
    symbols = np.where(rng.random(natoms) < 0.3, "Si", "O").tolist()
    q = np.array([1e-4, 0.5, 2.0], dtype=np.float32)
    res = zalmor.debye((positions, symbols), q, b={"Si": 4.1491, "O": 5.803})
    assert res.natoms == natoms
    n_si = symbols.count("Si")
    assert res.concentrations["Si"] == np.float32(n_si / natoms)
    # At Q r << 1 every sinc is 1 - (Q r)^2 / 6: the sums sit just below their limits.
    # i_AB counts the ordered pairs with i of type A and j of type B: n_A n_B of them.
    expected = 0.01 * 4.1491 * 5.803 * n_si * (natoms - n_si) / natoms
    assert res.partial_zero_q("O", "Si") == pytest.approx(expected, rel=1e-6)
    for k in range(len(res.blocks)):
        assert res.blocks[k][0] == pytest.approx(res.zero_q[k], rel=2e-4)
        assert abs(res.blocks[k][2]) < 0.01 * res.zero_q[k]


def test_threads_and_progress(nacl):
    q = program_grid(30.0, 0.1)
    seen = []
    res = zalmor.debye(nacl, q, b=NACL_B, threads=1, progress=seen.append)
    assert seen and seen[-1] == 1.0 and seen == sorted(seen)
    assert_same_result(res, zalmor.debye(nacl, q, b=NACL_B))

    def stop(fraction):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        zalmor.debye(nacl, q, b=NACL_B, progress=stop)


def test_pairs_shared_out_by_blocks_of_atoms(nacl):
    q = program_grid(30.0, 0.1)
    whole = zalmor.debye(nacl, q, b=NACL_B, engine="pairs")
    # One or two blocks are the whole model: the same call.
    for k in (1, 2):
        assert_same_result(zalmor.debye(nacl, q, b=NACL_B, engine="pairs", pair_blocks=k), whole)
    # The thermal option and the blocks of one element only must not upset the sums.
    ref_u = zalmor.debye(nacl, q, b=NACL_B, engine="pairs", thermal=0.08)
    for k, ref, kwargs in ((3, whole, {}), (7, ref_u, {"thermal": 0.08})):
        seen = []
        res = zalmor.debye(nacl, q, b=NACL_B, pair_blocks=k, progress=seen.append, **kwargs)
        assert seen[-1] == 1.0 and seen == sorted(seen)
        for mine, theirs in zip(res.blocks, ref.blocks, strict=True):
            assert np.max(np.abs(mine - theirs)) < 2e-6 * np.max(np.abs(theirs))
        assert_same_floats(res.zero_q, ref.zero_q)

    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  host="127.0.0.1", protocol="tcp://",
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        spread = zalmor.debye(nacl, q, b=NACL_B, client=client, pair_blocks=5)
    assert_same_result(spread, zalmor.debye(nacl, q, b=NACL_B, pair_blocks=5))


@pytest.mark.parametrize("kwargs, error, match", [
    ({"cutoff": 10.0}, ValueError, "periodic"),
    ({"periodic": True}, ValueError, "cell"),
    ({"b": {"Na": 3.63}}, ValueError, "Cl"),
    ({"thermal": {("Na", "Na"): 0.1, ("Cl", "Cl"): 0.1}}, ValueError, "Na-Cl"),
    ({"thermal": {("Na", "K"): 0.1}}, ValueError, "Na-K"),
    ({"thermal": 1e20}, ValueError, "Qmax"),
    ({"engine": "fast"}, ValueError, "engine"),
    ({"modification": "sinc"}, ValueError, "periodic"),
    ({"thermal": (0.1, 2.0)}, ValueError, "u below r"),
    ({"b": {"Na": 3.63, "Cl": 1e30}}, ValueError, r"b of Cl = 1e\+30 fm: .* within \+-10000"),
    ({"pair_blocks": 0}, ValueError, "pair_blocks"),
    ({"pair_blocks": 2.5}, TypeError, "pair_blocks"),
    ({"pair_blocks": 10**6}, ValueError, "from 1 to 200"),
    ({"pair_blocks": 3, "periodic": np.eye(3) * 40.0}, ValueError, "zalmor.average"),
])
def test_refusals(nacl, kwargs, error, match):
    kwargs = {"b": NACL_B, **kwargs}
    with pytest.raises(error, match=match):
        zalmor.debye(nacl, [0.5, 1.0], **kwargs)


@pytest.mark.parametrize("atoms, q", [
    ((np.zeros((2, 2)), ["Na", "Cl"]), [1.0]),
    ((np.zeros((0, 3)), []), [1.0]),
    ((np.zeros((1, 3)), ["Na"]), []),
    ((np.zeros((1, 3)), ["Na"]), [[1.0]]),
    ((np.zeros((1, 3)), ["Na"]), [np.inf]),
    ((np.zeros((1, 3)), "Na"), [1.0]),
])
def test_refused_input(atoms, q):
    with pytest.raises((ValueError, TypeError)):
        zalmor.debye(atoms, q, b=NACL_B)
