"""Formula discovery as a scikit-learn estimator: :class:`FormulaRegressor`.

Needs the ``sklearn`` extra (``pip install 'zan_math[sklearn]'``); without it, importing this
module, or reading ``zan_math.FormulaRegressor``, raises an ImportError that names the extra.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ._extras import require

_FEATURE = "zan_math.FormulaRegressor"
_base = require("sklearn.base", "sklearn", _FEATURE)
_validation = require("sklearn.utils.validation", "sklearn", _FEATURE)

from . import _options  # noqa: E402
from ._discover import discover  # noqa: E402 - after the extra's check
from ._formula import DiscoveryResult, Formula  # noqa: E402
from ._holdout import weighted_mean, weighted_variance  # noqa: E402

__all__ = ["FormulaRegressor"]

_EQUATION_COLUMNS = ("complexity", "loss", "score", "formula")


def _is_dask_collection(data: Any) -> bool:
    return type(data).__module__.partition(".")[0] in ("dask", "dask_expr")


def _mean_formula(target, names, sample_weight=None) -> Formula:
    """The constant formula y = mean(y) (weighted by sample_weight when given): what a regressor
    falls back to when nothing else fits."""
    y = np.asarray(target, dtype=np.float64)
    w = None if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
    mean = weighted_mean(y, w)
    loss = weighted_variance(y, w)
    return Formula((("param", 0),), (mean,), names, 1, loss, 1.0 if loss > 0 else 0.0, 0.0)


class FormulaRegressor(_base.RegressorMixin, _base.BaseEstimator):
    """Finds a formula y ≈ f(X) with :func:`zan_math.discover`, as a scikit-learn regressor.

    The parameters are :func:`~zan_math.discover`'s keywords, with the same defaults, ranges
    and meaning (``zan_math._options.OPTIONS``); they are stored as given and checked, against
    ``_parameter_constraints`` made from the same table, when ``fit`` runs. The search is
    deterministic, so there is no ``random_state``: the same data give the same formula,
    whatever the number of threads, unless ``time_limit`` stops the search (where it stops
    depends on the machine's speed).

    After ``fit``:

    - ``best_``: the chosen :class:`~zan_math.Formula`; ``predict`` evaluates it in the
      native engine, column-wise (NaN on rows where it has no value, such as the logarithm
      of a negative number);
    - ``front_``: the best formula per complexity, complexity rising, loss strictly falling,
      and ``best_`` among them: a plane the held-out choice took for predicting unseen rows
      better may fit the training rows less closely than a simpler formula;
    - ``equations_``: the front as a table with the columns complexity, loss (mean squared
      error on the training data), score (drop of log-loss per added token) and formula
      (text): a pandas DataFrame when pandas is installed, else a list of dicts; its rows are
      in the order of ``front_``;
    - ``n_features_in_``, and ``feature_names_in_`` when X had string column names (a
      pandas DataFrame), which are then the formula's variable names;
    - ``interrupted_`` and ``stop_reason_``: whether, and why, the search stopped early
      (``"time_limit"``, ``"interrupt"`` for Ctrl-C, ``"callback"``); the formulas are then
      the best found until that moment;
    - ``result_``: the :class:`~zan_math.DiscoveryResult` of the search, as ``discover``
      returned it: its ``shown_front`` (the formulas the training rows support, which the
      notebook view shows), ``beats_mean``, ``set_aside`` and ``rows``.

    When the search returns no formula at all (too few rows for the constants any formula
    needs, or a stop before the first level), ``best_`` is the mean of y, as the constant
    formula of complexity 1, and ``front_`` holds only it: a regressor always predicts.

    ``client``: a ``distributed.Client`` to search data held by a Dask cluster; X and y may
    then be Dask collections, passed to ``discover`` as they are. The client is a live
    connection, so it is not pickled with the estimator (it unpickles as None).
    """

    _parameter_constraints: dict = {**_options.sklearn_constraints(), "client": "no_validation"}

    def __init__(
        self,
        *,
        max_complexity: int = 30,
        time_limit: float | None = None,
        selection: str = "best",
        progress: Any = None,
        sample_rows: int = 256,
        search_size: int = 10,
        max_terms: int = 6,
        operators: Any = None,
        use_trig: bool = True,
        use_zan: bool = False,
        margin: float = 0.25,
        domain: dict | None = None,
        units: Any = None,
        y_units: str | None = None,
        client: Any = None,
    ):
        self.max_complexity = max_complexity
        self.time_limit = time_limit
        self.selection = selection
        self.progress = progress
        self.sample_rows = sample_rows
        self.search_size = search_size
        self.max_terms = max_terms
        self.operators = operators
        self.use_trig = use_trig
        self.use_zan = use_zan
        self.margin = margin
        self.domain = domain
        self.units = units
        self.y_units = y_units
        self.client = client

    def fit(self, X, y, sample_weight=None) -> FormulaRegressor:
        """Searches for formulas of the columns of X that fit y; returns self.

        sample_weight: one finite, non-negative weight per row, not all zero (None: every row
        counts once); a weight of 2 counts like the row given twice (see :func:`discover`)."""
        self._validate_params()
        if self.client is not None and (_is_dask_collection(X) or _is_dask_collection(y)):
            # The rows stay on the cluster: only the shape and the names are read here.
            self.n_features_in_ = int(X.shape[1])
            columns = getattr(X, "columns", None)
            if columns is not None and all(isinstance(c, str) for c in columns):
                self.feature_names_in_ = np.asarray(list(columns), dtype=object)
            elif hasattr(self, "feature_names_in_"):
                del self.feature_names_in_  # an earlier fit's names, as validate_data resets them
            data, target = X, y
        else:
            data, target = _validation.validate_data(self, X, y, y_numeric=True, ensure_min_samples=2, dtype=np.float64)
        names = getattr(self, "feature_names_in_", None)
        keywords: dict[str, Any] = {}
        if self.client is not None:
            keywords["client"] = self.client
        for option in _options.OPTIONS:
            keywords[option.name] = getattr(self, option.name)
        result: DiscoveryResult = discover(
            data, target, sample_weight, names=None if names is None else [str(n) for n in names], **keywords
        )
        front, best = list(result.front), result.best
        if best is None:
            best = _mean_formula(target, result.names, sample_weight)
            front = [best]
        self.front_: list[Formula] = front
        self.best_: Formula = best
        self.interrupted_: bool = result.interrupted
        self.stop_reason_: str | None = result.stop_reason
        self.result_: DiscoveryResult = result
        return self

    def predict(self, X) -> np.ndarray:
        """The chosen formula's values on the rows of X, as float64 (NaN where it has none)."""
        _validation.check_is_fitted(self, "best_")
        data = _validation.validate_data(self, X, reset=False, dtype=np.float64)
        return self.best_.predict(data)

    @property
    def equations_(self):
        """The front as a table: complexity, loss, score, formula (see the class)."""
        _validation.check_is_fitted(self, "best_")
        rows = [
            {"complexity": f.complexity, "loss": f.loss, "score": f.score, "formula": f.text} for f in self.front_
        ]
        try:
            import pandas
        except ImportError:
            return rows
        return pandas.DataFrame(rows, columns=list(_EQUATION_COLUMNS))

    def __getstate__(self):
        state = super().__getstate__()
        if state.get("client") is not None:
            state = {**state, "client": None}
        return state

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.non_deterministic = False
        return tags

    def _repr_html_(self) -> str:
        from ._display import regressor_html

        return regressor_html(self)

    def _repr_mimebundle_(self, **kwargs):
        from ._display import regressor_bundle

        return regressor_bundle(self, super()._repr_mimebundle_(**kwargs))
