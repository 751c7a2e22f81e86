"""Slow, literal Python model of the dealiasing core, for differential tests of _vornak."""

from .dealias import CapacityOverflow, sweep_folds, sweep_folds_2d

__all__ = ["CapacityOverflow", "sweep_folds", "sweep_folds_2d"]
