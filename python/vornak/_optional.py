"""Lazy imports of the optional dependencies, with an error naming the extra."""

import importlib
import importlib.util

# module -> extra of pyproject.toml that installs it
_EXTRAS = {
    "xarray": "io",
    "xradar": "io",
    "netCDF4": "io",
    "h5py": "io",
    "tqdm": "io",
    "scipy": "io",
    "matplotlib": "plot",
    "dask": "dask",
    "distributed": "dask",
}


def require(module, purpose):
    """Import `module` or raise ImportError saying which extra to install."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        top = module.split(".")[0]
        extra = _EXTRAS.get(top, "all")
        raise ImportError(
            f"vornak: {purpose} needs the optional package '{top}', which is not installed; "
            f"install it with: pip install 'vornak[{extra}]'"
        ) from exc


def require_installed(module, purpose):
    """`require` without the import: the command line's main process only
    checks, its worker imports (xradar alone takes a second or two)."""
    top = module.split(".")[0]
    if importlib.util.find_spec(top) is None:
        require(module, purpose)  # raises the ImportError that names the extra
