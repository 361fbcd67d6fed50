"""zalmor.structure through zalmor.debye, zalmor.average and zalmor.pair_distribution: what
each entry point refuses (one table), cells and shifts that must not change a box's sums,
LAMMPS type maps, scattering lengths given as species and mixtures, and the frame average
of the pair distributions."""

import math
import warnings

import numpy as np
import pytest

import zalmor
import zalmor.structure as zs
from test_average import box_frame, write_dump

pytest.importorskip("ase")

Q = np.arange(1, 161, dtype=np.float32) * np.float32(0.05)
NACL = {"Na": 3.63, "Cl": 9.577}


def typed(atoms):
    """The frame as ASE reads a LAMMPS dump of it: Na as type 1 (H), Cl as type 2 (He)."""
    out = atoms.copy()
    out.set_atomic_numbers([1 if e == "Na" else 2 for e in atoms.get_chemical_symbols()])
    return out


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  host="127.0.0.1", protocol="tcp://",
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def dump(tmp_path_factory):
    path = tmp_path_factory.mktemp("dump") / "run.lammpstrj"
    write_dump(path, [box_frame(1), box_frame(2)])
    return path


def mixed():
    frames = [box_frame(3), box_frame(4)]
    frames[1].symbols[:2] = "Cl"
    return frames


def finite(atoms):
    atoms = atoms.copy()
    atoms.pbc = False
    return atoms


def universe(dump, masses=None):
    """The dump read by MDAnalysis; with masses, a LAMMPS data file giving them as its
    topology."""
    mda = pytest.importorskip("MDAnalysis")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if masses is None:
            return mda.Universe(str(dump), format="LAMMPSDUMP")
        data = dump.parent / "masses.data"
        atoms = "".join(f"{k} {1 + (k - 1) % 2} 0 0 {k}\n" for k in range(1, 25))
        data.write_text(f"LAMMPS data\n\n24 atoms\n2 atom types\n0 9 xlo xhi\n0 9 ylo yhi\n"
                        f"0 9 zlo zhi\n\nMasses\n\n1 {masses[0]}\n2 {masses[1]}\n\n"
                        f"Atoms # atomic\n\n{atoms}")
        return mda.Universe(str(data), str(dump), format="LAMMPSDUMP",
                            topology_format="DATA", atom_style="id type x y z")


HOSTILE = [
    # the call (given the dask client and a LAMMPS dump), the error and its message
    # MDAnalysis guesses a mass of 1 for a dump's atoms: once offered as hydrogen "by the
    # masses in the file".
    (lambda c, d: zalmor.average(universe(d), Q, progress=False), ValueError,
     r"give them with types \(e.g. types='1=Si,2=O'\)"),
    (lambda c, d: zalmor.average(universe(d, (22.99, 35.45)), Q, progress=False), ValueError,
     r"by the masses in the file perhaps types='1=Na,2=Cl'"),
    (lambda c, d: zalmor.debye(typed(box_frame(5)), Q, types="1=Na"), ValueError,
     "LAMMPS type 2 has no element in types='1=Na'"),
    (lambda c, d: zalmor.debye(typed(box_frame(5)), Q, types={1: "Na", 2: "Xx"}), ValueError,
     r"types=\{1: 'Na', 2: 'Xx'\}: 'Xx' is not an element"),
    (lambda c, d: zalmor.debye(typed(box_frame(5)), Q, types={0: "Na"}), ValueError,
     "LAMMPS types are numbered from 1"),
    (lambda c, d: zalmor.pair_distribution((np.zeros((2, 3)), ["1", "x"]), types="Na,Cl"),
     ValueError, r"the atom types \['1', 'x'\] are not the numbers types='1=Si,2=O' names"),
    (lambda c, d: zalmor.average(d, Q, progress=False), ValueError,
     r"run.lammpstrj: a LAMMPS file numbers its atom types \(1, 2\) but does not name their "
     r"elements: give them with types \(e.g. types='1=Si,2=O'\)"),
    (lambda c, d: zalmor.pair_distribution(d), ValueError, "does not name their elements"),
    (lambda c, d: zalmor.debye(box_frame(5), Q, b={"Na": "6Lx", "Cl": 9.577}), ValueError,
     r"b of Na: 'Lx\[6\]' is not an element"),
    (lambda c, d: zalmor.debye(box_frame(5), Q, b={"Na": float("nan"), "Cl": 9.577}), ValueError,
     "b of Na = nan fm: a scattering length is a finite number of fm"),
    (lambda c, d: zalmor.debye(box_frame(5), Q, b={"Na": [3.6], "Cl": 9.577}), TypeError,
     "b of Na is a number in fm, a species or an isotope mixture, not list"),
    (lambda c, d: zalmor.debye(box_frame(5), Q, periodic=[[9, 0, 0], [9, 0, 0], [0, 0, 9]]),
     ValueError, "the cell has no volume"),
    # A cell far too small for its atoms (a placeholder, or rows in nm) once made a box of
    # 1e10 atoms per A^3 whose sums went out without a word, and ioq refused their file.
    (lambda c, d: zalmor.debye(box_frame(5), Q, periodic=np.eye(3) * 1e-3), ValueError,
     r"a cell of 1e-09 A\^3 holding 24 atoms \(2.4e\+10 per A\^3, more than 1\) is no box of "
     "the model: sum it as a finite model with periodic=False"),
    (lambda c, d: zalmor.average([box_frame(5)], Q, periodic=np.eye(3), progress=False),
     ValueError, "frame 0: a cell of 1 A\\^3 holding 24 atoms"),
    (lambda c, d: zalmor.debye((np.zeros((2, 3)), None), Q), TypeError,
     "symbols must be a sequence with one element symbol per atom"),
    # Another composition in the same atom count and elements: refused, also on a cluster.
    (lambda c, d: zalmor.average(mixed(), Q, progress=False), ValueError,
     "frame 1 has the composition Na 10, Cl 14, the first frame Na 12, Cl 12: every frame "
     "must hold the same atoms"),
    (lambda c, d: zalmor.average(iter(mixed()), Q, client=c, progress=False), ValueError,
     "frame 1 has the composition Na 10, Cl 14"),
    (lambda c, d: zalmor.pair_distribution(mixed()), ValueError,
     "frame 1 has the composition Na 10, Cl 14"),
    (lambda c, d: zalmor.average([box_frame(6), finite(box_frame(7))], Q, progress=False),
     ValueError, "frame 1 is a finite model \\(no periodic cell\\), the first frame a periodic "
     "box"),
    # One cutoff for every frame: an iterator's later, narrower frame is refused.
    (lambda c, d: zalmor.average(iter([box_frame(6, side=10.0), box_frame(7, side=8.0)]), Q,
                                 progress=False), ValueError,
     "frame 1: half the smallest width of its cell is 4 A, below the cutoff of the first "
     "frame, 5 A; set the cutoff to at most 4 A"),
    (lambda c, d: zalmor.pair_distribution([box_frame(6, side=10.0), box_frame(7, side=8.0)],
                                           rmax=4.5), ValueError,
     "frame 1: half the smallest width of its cell is 4 A, below rmax given, 4.5 A"),
    (lambda c, d: zalmor.pair_distribution(box_frame(5), weights="x-ray"), ValueError,
     "weights must be one of neutron, number, not 'x-ray'"),
    (lambda c, d: zalmor.pair_distribution(box_frame(5), weights="number", b=NACL), ValueError,
     "weights='number' takes none"),
    (lambda c, d: zalmor.pair_distribution(box_frame(5)).g_stderr("Na", "Cl"), ValueError,
     "standard errors are those of a trajectory's frames; this is one structure"),
    (lambda c, d: zs.frames(d, index="1:2:3:4"), ValueError,
     "index='1:2:3:4': expected a frame K or START:STOP:STEP"),
    (lambda c, d: zs.frames(d, index="5:"), ValueError,
     "run.lammpstrj: index='5:' leaves no frames of the 2 it holds"),
    (lambda c, d: zs.frames(iter([]), index="1:"), ValueError,
     "index selects the frames of a file"),
]


def test_a_placeholder_cell_is_summed_as_a_finite_model():
    # The structure calls itself periodic (ASE reads PDB's CRYST1 1 1 1 so): its atoms are
    # summed without the cell, and told so.
    atoms = box_frame(5)
    atoms.set_cell(np.eye(3), scale_atoms=False)
    with pytest.warns(UserWarning, match="is no box of the model: summed as a finite model"):
        res = zalmor.debye(atoms, Q, b=NACL)
    assert res.cutoff is None
    np.testing.assert_array_equal(res.total, zalmor.debye(finite(atoms), Q, b=NACL).total)


@pytest.mark.parametrize("call, error, message", HOSTILE)
def test_hostile_calls(client, dump, call, error, message):
    with pytest.raises(error, match=message):
        call(client, dump)


def unimodular(rng):
    """A random integer matrix of determinant +-1: another description of a lattice."""
    while True:
        m = rng.integers(-3, 4, (3, 3))
        if round(abs(np.linalg.det(m))) == 1:
            return m


@pytest.mark.parametrize("seed", range(4))
def test_any_description_of_the_lattice_and_any_shift_give_the_same_sums(seed):
    rng = np.random.default_rng(seed)
    # A random cell near a cube of 14 A (every width above 11 A), atoms anywhere in it.
    cell = 14.0 * (np.eye(3) + rng.uniform(-0.15, 0.15, (3, 3)))
    frac = rng.uniform(0, 1, (160, 3))
    symbols = ["Na", "Cl"] * 80
    inside = frac @ cell
    # Whole cell vectors, up to 10^4 cells away, and a skewed description of the cell.
    far = inside + rng.integers(-10 ** 4, 10 ** 4, (160, 3)) @ cell
    skewed = unimodular(rng) @ cell
    assert zs.widths(skewed).min() < 0.5 * zs.widths(cell).min()
    runs = [((inside, symbols), cell), ((far, symbols), cell), ((inside, symbols), skewed),
            ((far, symbols), skewed)]
    sums = [zalmor.debye(atoms, Q, b=NACL, periodic=c) for atoms, c in runs]
    counts = [zalmor.pair_distribution(atoms, periodic=c, dr=0.01).counts for atoms, c in runs]
    for res, n in zip(sums[1:], counts[1:]):
        # The lattice's cutoff, whatever the description (to the reduction's rounding).
        assert res.cutoff == pytest.approx(sums[0].cutoff, rel=1e-13)
        for got, want in zip(res.blocks, sums[0].blocks):
            assert np.max(np.abs(got - want)) <= 1e-6 * np.max(np.abs(want))
        assert np.array_equal(n, counts[0]) and n.sum() > 1000


def test_type_maps_and_lengths_by_species_and_mixture(dump):
    import periodictable

    frames = [box_frame(1), box_frame(2)]
    named = zalmor.average(frames, Q, b=NACL, progress=False)
    for types in ("Na,Cl", "2=Cl,1=Na", {1: "Na", 2: "Cl"}, ["Na", "Cl"]):
        from_dump = zalmor.average(dump, Q, b=NACL, types=types, progress=False)
        for got, want in zip(from_dump.blocks, named.blocks):
            np.testing.assert_allclose(got, want, rtol=0, atol=1e-6 * np.abs(want).max())
    # The atomic numbers of an ase.Atoms as types; an isotope keeps its own length.
    one = zalmor.debye(typed(box_frame(1)), Q, types="1=23Na,2=37Cl")
    assert one.elements == ["23Na", "37Cl"]
    assert one.b["37Cl"] == np.float32(periodictable.elements.symbol("Cl")[37].neutron.b_c)
    pd = zalmor.pair_distribution(typed(box_frame(1)), types="Na,Cl")
    assert pd.elements == ["Na", "Cl"]
    # Mixtures and species by element; a complex length is taken by its real part, with a
    # warning.
    cl = periodictable.elements.symbol("Cl")
    res = zalmor.debye(box_frame(1), Q, b={"Na": "Na", "Cl": "35Cl:0.25,37Cl:0.75"})
    assert res.b["Cl"] == np.float32(0.25 * cl[35].neutron.b_c + 0.75 * cl[37].neutron.b_c)
    assert res.b["Na"] == np.float32(3.63)
    with pytest.warns(UserWarning, match=r"b of Na: 6Li has b = 2-0.26i fm; the sums take its "
                                         r"real part, 2 fm"):
        res = zalmor.debye(box_frame(1), Q, b={"Na": "6Li", "Cl": 9.577})
    assert res.b["Na"] == np.float32(2.0)


def test_one_cutoff_for_every_frame(tmp_path):
    wide, narrow = box_frame(8, side=10.0), box_frame(9, side=8.0)
    # In memory, the frames' smallest half-width serves all of them, and is recorded.
    avg = zalmor.average([wide, narrow], Q, b=NACL, progress=False)
    assert avg.cutoff == 4.0 and avg.q_min == 2 * math.pi / 4.0
    each = [zalmor.debye(f, Q, b=NACL, cutoff=4.0).blocks[-1] for f in (wide, narrow)]
    np.testing.assert_allclose(avg.total, np.mean(each, axis=0), rtol=0,
                               atol=1e-6 * np.abs(each).max())
    assert avg.volume == pytest.approx((1000 + 512) / 2)
    # From an iterator, the first frame's, when no later one is narrower.
    assert zalmor.average(iter([narrow, wide]), Q, b=NACL, progress=False).cutoff == 4.0
    # A LAMMPS text dump's boxes are read before its frames (an NPT run's shrink): once
    # the first frame's half-width, refused at the narrower frame after the frames before.
    write_dump(tmp_path / "npt.lammpstrj", [wide, narrow, wide])
    assert zalmor.average(tmp_path / "npt.lammpstrj", Q, b=NACL, types="Na,Cl",
                          progress=False).cutoff == 4.0
    assert zalmor.pair_distribution(tmp_path / "npt.lammpstrj", types="Na,Cl").edges[-1] == \
        pytest.approx(4.0)
    # A selection without the narrow frame takes the wide frames' own half-width.
    frames = zs.frames(tmp_path / "npt.lammpstrj", types="Na,Cl", index="::2")
    assert [n for n, _ in frames.models()] == [0, 2] and frames.distance == 5.0
    # A skewed description of the cell is reduced first: the default is the lattice's.
    skewed = wide.copy()
    skewed.set_cell(np.array([[1, 0, 0], [5, 1, 0], [3, 4, 1]]) @ wide.cell[:])
    assert zalmor.debye(skewed, Q, b=NACL).cutoff == 5.0


def test_pair_distributions_over_frames():
    # Boxes of two volumes: the mean g is the mean of each frame's g (not the g of the mean
    # counts), with the standard error of the frames'.
    frames = [box_frame(10 + k, n=200, side=side) for k, side in enumerate((17.0, 18.0, 17.5))]
    alone = [zalmor.pair_distribution(f, rmax=8.0, dr=0.1, b=NACL) for f in frames]
    avg = zalmor.pair_distribution(frames, rmax=8.0, dr=0.1, b=NACL)
    assert avg.nframes == 3 and np.array_equal(avg.edges, alone[0].edges)

    def spread(values):
        values = np.array(values, dtype=np.float64)
        return values.mean(axis=0), values.std(axis=0, ddof=1) / math.sqrt(len(values))

    for a, b in avg.labels:
        mean, err = spread([pd.g(a, b) for pd in alone])
        np.testing.assert_allclose(avg.g(a, b), mean, rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(avg.g_stderr(a, b), err, rtol=1e-9, atol=1e-12)
        mean, err = spread([pd.n(b, a) for pd in alone])
        np.testing.assert_allclose(avg.n(b, a), mean, rtol=1e-12)
        np.testing.assert_allclose(avg.n_stderr(b, a), err, rtol=1e-9, atol=1e-12)
        assert avg.coordination(a, b, 2.0, 5.0) == pytest.approx(
            np.mean([pd.coordination(a, b, 2.0, 5.0) for pd in alone]))
    mean, err = spread([pd.counts for pd in alone])
    np.testing.assert_allclose(avg.counts, mean, rtol=1e-12)
    np.testing.assert_allclose(avg.counts_stderr, err, rtol=1e-9)
    totals, errors = avg.functions(), avg.functions_stderr()
    for name in ("G(r)", "g(r)", "G_PDF(r)", "D(r)", "T(r)"):
        mean, err = spread([pd.functions()[name] for pd in alone])
        np.testing.assert_allclose(totals[name], mean, rtol=1e-10, atol=1e-12)
        np.testing.assert_allclose(errors[name], err, rtol=1e-8, atol=1e-12)
    assert avg.density == pytest.approx(np.mean([pd.density for pd in alone]))
    # Number weights: g(r) is the sum of c_A c_B g_AB(r) over ordered pairs.
    number = zalmor.pair_distribution(frames[0], rmax=8.0, dr=0.1, weights="number")
    c = {e: n / number.natoms for e, n in number.numbers.items()}
    want = sum((1 if a == b else 2) * c[a] * c[b] * number.g(a, b) for a, b in number.labels)
    np.testing.assert_allclose(number.functions()["g(r)"], want, rtol=1e-12)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no b is looked up for number weights
        assert set(number.functions()) == set(totals)
