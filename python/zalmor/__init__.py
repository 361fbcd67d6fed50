"""zalmor: Debye-equation partial scattering functions of atomistic models.

    import zalmor, numpy as np
    res = zalmor.debye(atoms, np.arange(1, 2501, dtype=np.float32) * 0.02)
    res.partial("Na", "Cl"), res.total, res.zero_q
    res.to_ioq("run.ioq"); zalmor.read_ioq("run.ioq")
    avg = zalmor.average(ase.io.iread("run.extxyz"), q)   # mean over frames, avg.stderr
    pd = zalmor.pair_distribution(atoms, rmax=10)   # pd.g("Si", "O"), pd.coordination(...)
    c = zalmor.compare(avg, "sample.mint01", quantity="F(Q)", fit=("scale", "offset"))

Modules: zalmor.structure (every structure input made a model: ASE, arrays, MDAnalysis,
files, LAMMPS type maps, cells, scattering lengths), zalmor.io (the .ioq reader and the
structure factors of a run), zalmor.derived (every radiation and convention), zalmor.data (measured
data) and zalmor.compare (a model beside them), and the commands zalmor.ioq and
zalmor.tocoords.
"""

import pkgutil

# The compiled part (_core) lies in the build tree while the Python files are used from the
# sources: both folders make up the package.
__path__ = pkgutil.extend_path(__path__, __name__)

from ._calc import debye  # noqa: E402
from .result import Result, read_ioq  # noqa: E402
from .average import average  # noqa: E402
from .pairs import PairDistribution, pair_distribution  # noqa: E402
from .data import Data, read_data  # noqa: E402
from .compare import Comparison, compare  # noqa: E402

__all__ = ["debye", "average", "pair_distribution", "PairDistribution", "Result", "read_ioq",
           "read_data", "compare", "Data", "Comparison"]
