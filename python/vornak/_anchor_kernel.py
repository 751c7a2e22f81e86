"""The compiled kernels of the steps after the exact folds (anchoring, the
repairs, the gate screens), with the fix where they are missing."""

try:
    from . import _vornak_anchor as kernel
except ImportError as exc:
    raise ImportError(
        "vornak: the compiled extension vornak._vornak_anchor is missing; reinstall vornak with `pip install .` "
        "from the source tree so that it is built"
    ) from exc

__all__ = ["kernel"]
