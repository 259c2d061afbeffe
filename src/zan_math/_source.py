"""What the engine needs of rows that live elsewhere (a Dask cluster): the seam of a data source."""

from __future__ import annotations

from typing import Protocol, runtime_checkable

import numpy as np

__all__ = ["DataSource"]


@runtime_checkable
class DataSource(Protocol):
    """Rows the engine refits the front on without holding them.

    The search itself runs on ``sample()``; every Levenberg–Marquardt step of the final refits
    asks ``normal`` for the normal equations over all ``rows``, so the rows never move.
    """

    #: number of rows in all
    rows: int
    #: the weights of the sample's rows, or None (every row counts once); a weighted source also
    #: has ``weight_total``, the sum of every row's weight
    sample_weight: np.ndarray | None

    def sample(self) -> tuple[np.ndarray, tuple[str, ...] | None, np.ndarray]:
        """(variables × rows) float64 columns, the column names if any, and the target."""
        ...

    def normal(self, program: tuple, constants: tuple) -> tuple[tuple, tuple, float, bool]:
        """(JᵀJ row-major, Jᵀr, the squared error, whether every row has a value) of the
        formula with those constants, summed over every row."""
        ...
