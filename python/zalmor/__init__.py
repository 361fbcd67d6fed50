"""zalmor: Debye-equation partial scattering functions of atomistic models."""

import pkgutil

# The compiled part (_core) lies in the build tree while the Python files are used from the
# sources: both folders make up the package.
__path__ = pkgutil.extend_path(__path__, __name__)
