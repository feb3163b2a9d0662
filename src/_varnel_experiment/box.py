"""Stimuli from a continuous range: the information gain maximised over a box
by a coarse grid and a local pattern search on the same parameter samples."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np

__all__ = ["StimulusBox"]

# Coarse grid points per continuous dimension. The native search refines
# the best three coarse points that lie apart by a pattern search.
_COARSE = {1: 201, 2: 13}


class StimulusBox:
    """A continuous range of stimuli: ``lower`` and ``upper`` bounds (a float
    each, or one per continuous design column, such as (frequency, contrast)).
    As an experiment's candidates, the next stimulus is the maximiser of the
    estimated information gain over the box (for a conditions model, over
    the box in every condition), found by a coarse grid and a local pattern
    search on the same parameter samples, deterministic for a seed."""

    __slots__ = ("_lower", "_upper")

    def __init__(self, lower: float | Iterable[float], upper: float | Iterable[float]) -> None:
        low = np.atleast_1d(np.asarray(lower, dtype=np.float64))
        high = np.atleast_1d(np.asarray(upper, dtype=np.float64))
        if low.ndim != 1 or low.shape != high.shape or low.size not in (1, 2):
            raise ValueError(f"arguments 'lower' and 'upper': expected one or two bounds each, of equal length, "
                             f"got shapes {low.shape} and {high.shape}")
        if not (np.all(np.isfinite(low)) and np.all(np.isfinite(high))):
            raise ValueError("arguments 'lower' and 'upper': bounds must be finite")
        if not np.all(low < high):
            raise ValueError(f"arguments 'lower' and 'upper': every lower bound must be below its upper bound, "
                             f"got {low.tolist()} and {high.tolist()}")
        self._lower = tuple(float(v) for v in low)
        self._upper = tuple(float(v) for v in high)

    @property
    def lower(self) -> tuple[float, ...]:
        """The lower bound of each continuous dimension."""
        return self._lower

    @property
    def upper(self) -> tuple[float, ...]:
        """The upper bound of each continuous dimension."""
        return self._upper

    @property
    def dims(self) -> int:
        """The number of continuous dimensions."""
        return len(self._lower)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, StimulusBox) and (self._lower, self._upper) == (other._lower, other._upper)

    def __hash__(self) -> int:
        return hash((self._lower, self._upper))

    def __repr__(self) -> str:
        if self.dims == 1:
            return f"StimulusBox({self._lower[0]!r}, {self._upper[0]!r})"
        return f"StimulusBox({list(self._lower)!r}, {list(self._upper)!r})"

    def to_json(self) -> dict[str, Any]:
        """The bounds as JSON values, as files and the session store keep them."""
        return {"lower": list(self._lower), "upper": list(self._upper)}

    def contains(self, values: np.ndarray) -> bool:
        """Whether a point (one value per dimension) lies in the box, bounds included."""
        return bool(np.all(values >= self._lower) and np.all(values <= self._upper))

    def coarse_grid(self) -> np.ndarray:
        """The coarse grid: (points, dims), row-major over the dimensions."""
        axes = [np.linspace(lo, hi, _COARSE[self.dims]) for lo, hi in zip(self._lower, self._upper)]
        return np.stack([a.ravel() for a in np.meshgrid(*axes, indexing="ij")], axis=1)

    def coarse_designs(self, conditions: int = 0) -> np.ndarray:
        """The coarse grid as designs: each point with every condition index
        appended, condition by condition, for ``conditions`` > 0."""
        grid = self.coarse_grid()
        if not conditions:
            return grid
        return np.concatenate([_with_condition(grid, c) for c in range(conditions)])

    def maximise(self, estimator: Any, model: Any, draws: np.ndarray, conditions: int = 0
                 ) -> tuple[tuple[float, ...], int | None]:
        """The point of the box (and the condition, for ``conditions`` > 0)
        with the largest expected information gain under ``draws`` by the
        EIG ``estimator``: the coarse grid, then a local pattern search."""
        design, _, _ = estimator.maximise_over_box(model, draws, self._lower, self._upper, _COARSE[self.dims],
                                                   conditions or None, merge_repeats=True)
        point = tuple(float(v) for v in design[:self.dims])
        return point, (int(design[self.dims]) if conditions else None)


def _with_condition(points: np.ndarray, condition: int | None) -> np.ndarray:
    if condition is None:
        return points
    return np.column_stack([points, np.full(len(points), float(condition))])
