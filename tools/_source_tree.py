"""Puts a source tree's package first for the tree's commands (tools/ioq, tocoords,
zalmor-box), so that they run the tree's Python code even where an older zalmor is
installed, and the compiled part of the tree's own release build when there is one, unless
PYTHONPATH already names a build (as the tests do)."""

import glob
import os
import sys

_HERE = os.path.dirname(os.path.realpath(__file__))
_PYTHON = os.path.join(_HERE, os.pardir, "python")
_BUILD = os.path.join(_HERE, os.pardir, "build", "release", "python")


def _names_a_build():
    entries = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return any(glob.glob(os.path.join(p, "zalmor", "_core*")) for p in entries)


if os.path.isdir(os.path.join(_PYTHON, "zalmor")):
    sys.path.insert(0, _PYTHON)
    # The package joins every zalmor folder on the path; the first _core found is loaded.
    if glob.glob(os.path.join(_BUILD, "zalmor", "_core*")) and not _names_a_build():
        sys.path.insert(1, _BUILD)
