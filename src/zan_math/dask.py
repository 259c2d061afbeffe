"""Discovery on rows spread over a Dask cluster, and the batch functions over Dask arrays.

``zan_math.discover(X, y, client=client)`` runs the search on the machine that calls it, on
a deterministic sample of at most 4,096 rows, and sends only the formulas of the front to
the workers: each worker computes, for the partitions it holds, the normal equations of a
formula's constants (JᵀJ, Jᵀr and the squared error, a few hundred bytes) with the same
native engine and worker pool as a local run, and the caller merges them in partition
order. Every Levenberg–Marquardt step of the final refits thus runs where the rows are; the
calling process holds the sample and nothing else.

The rows are converted and persisted on the workers once per search. The answer depends on
the partitioning only through the order of the final sums (the same partitioning gives the
same front, bit for bit, whatever the number of workers and threads); against a local run
on the same rows it is the same formulas with constants equal to about 1e-15 relative.

A worker that dies takes its partitions with it; Dask recomputes them from their lineage
(the user's graph, or the in-memory rows held by the scheduler) and the search goes on. A
lost scheduler stops the search with a :class:`ConnectionError`.

The elementwise batch functions (``exp_n`` … ``tension_n``) take one-dimensional Dask
arrays and return lazy Dask arrays, computed block by block on the workers by the native
kernels, value for value the same as the list functions of :mod:`zan_math.zan_core`.
"""

from __future__ import annotations

import importlib
import pickle
import time
import warnings
from typing import Any, Sequence

import numpy as np

from . import _native
from . import zan_core as _zan_core
from ._extras import require as _require

_dask = _require("dask", "dask", "zan_math.dask")
_da = _require("dask.array", "dask", "zan_math.dask")
_distributed = _require("distributed", "dask", "zan_math.dask")

__all__ = [
    "exp_n",
    "ln_n",
    "sqrt_n",
    "sin_n",
    "cos_n",
    "add_n",
    "sub_n",
    "mul_n",
    "div_n",
    "pow_n",
    "tension_n",
    "predict",
]

#: Rows per partition when in-memory data is sent to the cluster: a multiple of the
#: engine's 4,096-row chunk, so that partitions cut the rows where a local run does.
PARTITION_ROWS = 1 << 18
#: Rows the search itself sees (the engine's validation sample).
SAMPLE_ROWS = 4096


# ---- what runs on the workers ---------------------------------------------------------

def _float_matrix(block, what: str) -> np.ndarray:
    if hasattr(block, "to_numpy"):  # pandas
        data = block.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        data = np.asarray(block, dtype=np.float64)
    if data.ndim == 1:
        data = data.reshape(-1, 1)
    if data.ndim != 2:
        raise ValueError(f"{what} must be 2-D, a partition has {data.ndim} dimensions")
    return data


def _prepare(x_block, y_block, index: int, n_vars: int, w_block=None):
    """One partition as the engine reads it: (variables × rows) columns, the target and the
    rows' weights (None: unweighted)."""
    x = _float_matrix(x_block, "X")
    y = _float_matrix(y_block, "y")
    if y.shape[1] != 1:
        raise ValueError(f"y must be 1-D, partition {index} of y has {y.shape[1]} columns")
    if x.shape[1] != n_vars:
        raise ValueError(f"partition {index} of X has {x.shape[1]} variables, the first {n_vars}")
    if x.shape[0] != y.shape[0]:
        raise ValueError(
            f"X and y are partitioned differently: partition {index} has {x.shape[0]} rows of X "
            f"and {y.shape[0]} of y"
        )
    weights = None
    if w_block is not None:
        w = _float_matrix(w_block, "sample_weight")
        if w.shape[1] != 1 or w.shape[0] != y.shape[0]:
            raise ValueError(
                f"sample_weight is partitioned differently: partition {index} has {w.shape[0]} × {w.shape[1]} "
                f"weights for {y.shape[0]} rows"
            )
        weights = np.ascontiguousarray(w[:, 0])
    return np.ascontiguousarray(x.T), np.ascontiguousarray(y[:, 0]), weights


def _describe(part):
    """Rows of a partition, its first non-finite value of X and of y (local positions), and
    its first weight that is not finite and non-negative with the sum of its weights."""
    columns, target, weights = part
    bad_x = bad_y = bad_w = None
    total = float(target.shape[0])
    if weights is not None:
        wrong = ~(np.isfinite(weights) & (weights >= 0))
        if wrong.any():
            row = int(np.argmax(wrong))
            bad_w = (row, float(weights[row]))
        total = float(np.sum(weights))
    bad = ~np.isfinite(columns)
    if bad.any():
        row = int(np.argmax(bad.any(axis=0)))
        col = int(np.argmax(bad[:, row]))
        bad_x = (row, col, float(columns[col, row]))
    if not np.isfinite(target).all():
        row = int(np.argwhere(~np.isfinite(target))[0][0])
        bad_y = (row, float(target[row]))
    return target.shape[0], bad_x, bad_y, bad_w, total


def _take(part, rows):
    columns, target, weights = part
    return np.ascontiguousarray(columns[:, rows]), target[rows], None if weights is None else weights[rows]


def _normal(parts, program, constants):
    """Normal equations of each given partition, with the seconds each took and where (for
    the record). One task per worker and call: the partitions a worker holds go in one
    message, and their sums stay separate so that the caller merges in partition order."""
    try:
        where = _distributed.get_worker().address
    except ValueError:  # run outside a worker
        where = ""
    out = []
    for columns, target, weights in parts:
        start = time.perf_counter()
        jtj, jtr, cost, ok = _native.normal(program, constants, columns, target, weights)
        out.append((jtj, jtr, cost, ok, time.perf_counter() - start, where))
    return out


def _predict_block(block, program, constants, n_vars):
    columns = np.ascontiguousarray(_float_matrix(block, "X").T)
    if columns.shape[0] != n_vars:
        raise ValueError(f"X has {columns.shape[0]} variables, the formula {n_vars}")
    out = np.empty(columns.shape[1], dtype=np.float64)
    if out.size:
        _native.predict(program, constants, columns, out)
    return out


def _predict_series(frame, program, constants, n_vars):
    import pandas as pd

    return pd.Series(_predict_block(frame, program, constants, n_vars), index=frame.index)


# ---- inputs ---------------------------------------------------------------------------

def _dataframe_module(obj):
    # dask.dataframe needs pyarrow; it is imported only for objects that come from it
    module = type(obj).__module__
    if not (module.startswith("dask.dataframe") or module.startswith("dask_expr")):
        return None
    import dask.dataframe

    return dask.dataframe


def _is_frame(obj) -> bool:
    dd = _dataframe_module(obj)
    return dd is not None and isinstance(obj, dd.DataFrame)


def _is_series(obj) -> bool:
    dd = _dataframe_module(obj)
    return dd is not None and isinstance(obj, dd.Series)


def _is_array(obj) -> bool:
    return isinstance(obj, _da.Array)


def _is_distributed(obj) -> bool:
    return _is_frame(obj) or _is_series(obj) or _is_array(obj)


def _numeric(dtype) -> bool:
    try:
        return np.issubdtype(np.dtype(dtype), np.number) or np.issubdtype(np.dtype(dtype), np.bool_)
    except TypeError:  # pandas extension dtypes
        return getattr(dtype, "_is_numeric", False) or getattr(dtype, "kind", "") in "biuf"


def _check_numeric(obj, what: str):
    if _is_frame(obj):
        for name, dtype in obj.dtypes.items():
            if not _numeric(dtype):
                raise ValueError(f"{what} has a column that is not numeric: {name!r} ({dtype})")
    elif not _numeric(obj.dtype):
        raise ValueError(f"{what} must be numeric, its dtype is {obj.dtype}")


class _Distributed:
    """A Dask collection as a list of row blocks (delayed), with their lengths when known."""

    def __init__(self, obj, what: str):
        _check_numeric(obj, what)
        self.names = None
        self.lengths: tuple | None = None
        if _is_frame(obj):
            self.names = tuple(str(c) for c in obj.columns)
            self.width = len(obj.columns)
            self.blocks = list(obj.to_delayed())
            self.collection = obj
        elif _is_series(obj):
            self.names = (str(obj.name),) if obj.name is not None else None
            self.width = 1
            self.blocks = list(obj.to_delayed())
            self.collection = obj
        else:
            if obj.ndim not in (1, 2):
                raise ValueError(f"{what} must be 1-D or 2-D, got {obj.ndim} dimensions")
            if obj.ndim == 2 and len(obj.chunks[1]) > 1:
                obj = obj.rechunk({1: -1})  # a row block must hold every variable
            self.width = 1 if obj.ndim == 1 else obj.shape[1]
            self.blocks = list(obj.to_delayed().ravel())
            self.collection = obj
            if not any(np.isnan(c) for c in obj.chunks[0]):
                self.lengths = tuple(int(c) for c in obj.chunks[0])

    def block_lengths(self) -> tuple:
        if self.lengths is None:
            c = self.collection
            if _is_array(c):
                self.lengths = tuple(int(n) for n in c.compute_chunk_sizes().chunks[0])
            else:
                self.lengths = tuple(int(n) for n in c.map_partitions(len).compute())
        return self.lengths


def _local_blocks(data: np.ndarray, lengths: Sequence[int]):
    """In-memory rows as delayed blocks of the given lengths, kept in the graph so that a lost
    partition can be made again."""
    chunks = (tuple(lengths),) + tuple((n,) for n in data.shape[1:])
    return list(_da.from_array(data, chunks=chunks, name=False).to_delayed().ravel())


def _even_lengths(rows: int) -> list[int]:
    lengths = [PARTITION_ROWS] * (rows // PARTITION_ROWS)
    if rows % PARTITION_ROWS or not lengths:
        lengths.append(rows % PARTITION_ROWS)
    return lengths


def _weight_blocks(sample_weight, y_blocks, lengths):
    """The weights cut as the rows are: a Dask collection must be partitioned as y is; weights
    in memory are checked (see weights_of) and cut at the same lengths."""
    from ._inputs import weights_of

    if sample_weight is None:
        return [None] * len(y_blocks)
    if _is_distributed(sample_weight):
        ws = _Distributed(sample_weight, "sample_weight")
        if ws.width != 1:
            raise ValueError(f"sample_weight must be 1-D, it has {ws.width} columns")
        if len(ws.blocks) != len(y_blocks):
            raise ValueError(
                f"sample_weight is partitioned differently: it has {len(ws.blocks)} partitions, y {len(y_blocks)}"
            )
        return ws.blocks
    if lengths is None:
        raise ValueError("sample_weight in memory needs rows whose partition lengths are known")
    return _local_blocks(weights_of(sample_weight, sum(lengths)), lengths)


def _blocks(X, y):
    """(x blocks, y blocks, names, number of variables, partition lengths or None) for any mix
    of in-memory and Dask X, y."""
    from ._inputs import columns_of as _columns, target_of as _target

    x_dist, y_dist = _is_distributed(X), _is_distributed(y)
    if x_dist:
        xs = _Distributed(X, "X")
        names, n_vars = xs.names, xs.width
    else:
        columns, names = _columns(X, allow_nonfinite=False)
        n_vars = columns.shape[0]
    if n_vars == 0:
        raise ValueError("X is empty: it has no variables")
    if y_dist:
        ys = _Distributed(y, "y")
        if ys.width != 1:
            raise ValueError(f"y must be 1-D, it has {ys.width} columns")
    if x_dist and y_dist:
        if len(xs.blocks) != len(ys.blocks):
            raise ValueError(
                f"X and y are partitioned differently: X has {len(xs.blocks)} partitions, y has {len(ys.blocks)}"
            )
        if xs.lengths is not None and ys.lengths is not None and xs.lengths != ys.lengths:
            first = next(i for i, (a, b) in enumerate(zip(xs.lengths, ys.lengths)) if a != b)
            raise ValueError(
                f"X and y are partitioned differently: partition {first} has {xs.lengths[first]} rows of X "
                f"and {ys.lengths[first]} of y"
            )
        return xs.blocks, ys.blocks, names, n_vars, xs.lengths if xs.lengths is not None else ys.lengths
    if x_dist:
        lengths = xs.block_lengths()
        target = _target(y, sum(lengths))
        return xs.blocks, _local_blocks(target, lengths), names, n_vars, lengths
    if y_dist:
        lengths = ys.block_lengths()
        if sum(lengths) != columns.shape[1]:
            raise ValueError(f"X has {columns.shape[1]} rows but y has {sum(lengths)}")
        return _local_blocks(columns.T, lengths), ys.blocks, names, n_vars, lengths
    target = _target(y, columns.shape[1])
    lengths = _even_lengths(columns.shape[1])
    return _local_blocks(columns.T, lengths), _local_blocks(target, lengths), names, n_vars, lengths


# ---- the data source the engine refits on ----------------------------------------------

def _connection_lost(exc: BaseException) -> bool:
    from distributed.comm.core import CommClosedError

    if isinstance(exc, (CommClosedError, ConnectionError, TimeoutError)):
        return True
    # FutureCancelledError, FuturesCancelledError, asyncio's CancelledError: the scheduler
    # dropped the work, which for the futures of a search only a lost connection does
    return "Cancelled" in type(exc).__name__


class DaskSource:
    """Rows persisted on a Dask cluster, as the discovery engine reads them.

    ``sample()`` gives the in-memory rows the search runs on (their weights then in
    ``sample_weight``); ``normal(program, constants)`` the normal equations over every row,
    weighted on the workers when the rows have weights, merged in partition order;
    ``weight_total`` is Σw over every row (the rows when unweighted). ``calls`` records, per
    call, the bytes sent and received and the seconds spent on the workers.
    """

    def __init__(self, X, y, client, sample_weight=None):
        if not isinstance(client, _distributed.Client):
            raise TypeError(f"client must be a distributed.Client, got {type(client).__name__}")
        self.client = client
        self._check_alive()
        x_blocks, y_blocks, self.names, self.n_vars, lengths = _blocks(X, y)
        w_blocks = _weight_blocks(sample_weight, y_blocks, lengths)
        prepare = _dask.delayed(_prepare, pure=False)
        tasks = [prepare(xb, yb, i, self.n_vars, wb) for i, (xb, yb, wb) in enumerate(zip(x_blocks, y_blocks, w_blocks))]
        with warnings.catch_warnings():
            # In-memory rows travel inside the graph on purpose: the scheduler then holds what
            # it needs to make a lost partition again.
            warnings.filterwarnings("ignore", message="Sending large graph", category=UserWarning)
            self.parts = self._call(lambda: client.compute(tasks))
        facts = self._call(lambda: client.gather(client.map(_describe, self.parts, pure=False)))
        self.lengths = [n for n, _, _, _, _ in facts]
        self.offsets = np.concatenate([[0], np.cumsum(self.lengths)]).astype(np.int64)
        self.rows = int(self.offsets[-1])
        self.weighted = sample_weight is not None
        self.weight_total = float(sum(total for _, _, _, _, total in facts)) if self.weighted else float(self.rows)
        self.sample_weight: np.ndarray | None = None
        for i, (_, bad_x, bad_y, bad_w, _) in enumerate(facts):
            if bad_x is not None:
                row, col, value = bad_x
                raise ValueError(f"X has a non-finite value ({value}) at row {self.offsets[i] + row}, column {col}")
            if bad_y is not None:
                row, value = bad_y
                raise ValueError(f"y has a non-finite value ({value}) at row {self.offsets[i] + row}")
            if bad_w is not None:
                row, value = bad_w
                raise ValueError(f"sample_weight has a negative or non-finite value ({value}) at row {self.offsets[i] + row}")
        if self.weighted and not self.weight_total > 0:
            raise ValueError("sample_weight must not be all zero")
        self.calls: list[dict[str, Any]] = []
        self.setup_bytes = 0
        self._sample = None

    def _check_alive(self):
        status = getattr(self.client, "status", "running")
        if status not in ("running", "connecting", "newly-created"):
            raise ConnectionError(f"the Dask client is {status}: no scheduler to run the search on")

    def _call(self, fn):
        try:
            return fn()
        except Exception as exc:
            if _connection_lost(exc):
                raise ConnectionError(
                    f"lost the Dask scheduler ({self.client.scheduler.address if self.client.scheduler else 'unknown'}): "
                    f"the search stopped without a result ({type(exc).__name__}: {exc})"
                ) from exc
            raise

    def sample(self):
        """The rows ``i * rows // 4096`` (all rows when there are no more), in row order; fetched
        once."""
        if self._sample is None:
            self._sample = self._fetch_sample()
        return self._sample

    def _fetch_sample(self):
        rows = self.rows
        limit = SAMPLE_ROWS
        pick = np.arange(min(rows, limit), dtype=np.int64)
        if rows > limit:
            pick = pick * rows // limit  # the engine's own rule; exact in int64 below 2e15 rows
        wanted = []
        for i, part in enumerate(self.parts):
            lo, hi = self.offsets[i], self.offsets[i + 1]
            local = pick[(pick >= lo) & (pick < hi)] - lo
            if local.size:
                wanted.append((part, local))
        pieces = self._call(lambda: self.client.gather([self.client.submit(_take, p, r, pure=False) for p, r in wanted]))
        self.setup_bytes = sum(len(pickle.dumps(p, protocol=5)) for p in pieces)
        if pieces:
            columns = np.ascontiguousarray(np.concatenate([c for c, _, _ in pieces], axis=1))
            target = np.ascontiguousarray(np.concatenate([t for _, t, _ in pieces]))
            if self.weighted:
                self.sample_weight = np.ascontiguousarray(np.concatenate([w for _, _, w in pieces]))
        else:
            columns, target = np.empty((self.n_vars, 0)), np.empty(0)
            if self.weighted:
                self.sample_weight = np.empty(0)
        return columns, self.names, target

    def normal(self, program, constants):
        self._check_alive()
        program, constants = tuple(program), tuple(constants)
        start = time.perf_counter()
        results, tasks = self._call(lambda: self._normal_everywhere(program, constants))
        wall = time.perf_counter() - start
        p = len(constants)
        jtj = [0.0] * (p * p)
        jtr = [0.0] * p
        cost = 0.0
        ok = True
        for a, b, c, o, _, _ in results:  # partition order: the sums do not depend on who finished first
            jtj = [u + v for u, v in zip(jtj, a)]
            jtr = [u + v for u, v in zip(jtr, b)]
            cost += c
            ok = ok and bool(o)
        self.calls.append(
            {
                "params": p,
                "tasks": tasks,
                "sent": len(pickle.dumps((program, constants), protocol=5)) * tasks,
                "received": sum(len(pickle.dumps(r[:4], protocol=5)) for r in results),
                "wall": wall,
                "worker_seconds": [r[4] for r in results],
                "workers": [r[5] for r in results],
            }
        )
        return jtj, jtr, cost, ok

    def _normal_everywhere(self, program, constants):
        """Per-partition results in partition order, one task per worker holding partitions.
        Where a partition lives is asked anew each call (a worker may have died and its
        partitions been made again elsewhere); a task whose worker is gone runs anywhere."""
        client = self.client
        holders = client.who_has(self.parts)
        groups: dict[str, list[int]] = {}
        for i, part in enumerate(self.parts):
            where = holders.get(part.key) or ("",)
            groups.setdefault(sorted(where)[0], []).append(i)
        tasks = []
        for where, members in groups.items():
            tasks.append(
                client.submit(
                    _normal, [self.parts[i] for i in members], program, constants, pure=False,
                    workers=[where] if where else None, allow_other_workers=bool(where),
                )
            )
        results: list = [None] * len(self.parts)
        for members, answers in zip(groups.values(), client.gather(tasks)):
            for i, answer in zip(members, answers):
                results[i] = answer
        return results, len(tasks)

    def close(self):
        """Releases the persisted partitions (dropping the source does too)."""
        for f in self.parts:
            f.release()
        self.parts = []


def _source_for(X, y, client, sample_weight=None) -> DaskSource:
    """The engine's data source for X, y (and their weights) on the cluster of `client`
    (validated, persisted)."""
    return DaskSource(X, y, client, sample_weight)


# ---- predictions ----------------------------------------------------------------------

def predict(formula, X):
    """A formula's values on the rows of a Dask array or DataFrame, as a lazy 1-D Dask array."""
    if not _is_distributed(X):
        return formula.predict(X)
    _check_numeric(X, "X")
    program, constants, n_vars = formula.program, formula.constants, len(formula.names)
    if _is_frame(X) or _is_series(X):
        return X.map_partitions(_predict_series, program, constants, n_vars, meta=(None, "f8"))
    if X.ndim == 2 and len(X.chunks[1]) > 1:
        X = X.rechunk({1: -1})
    drop = [1] if X.ndim == 2 else []
    return X.map_blocks(_predict_block, program, constants, n_vars, drop_axis=drop, dtype=np.float64)


# ---- elementwise batch functions --------------------------------------------------------

def _kernel(name):
    """The per-block kernel: the array form when the package has it, else the list form."""
    try:
        arrays = importlib.import_module("zan_math.arrays")
        fn = getattr(arrays, name)
        return lambda *blocks: fn(*(np.ascontiguousarray(b, dtype=np.float64) for b in blocks))
    except (ImportError, AttributeError):
        fn = getattr(_zan_core, name)
        return lambda *blocks: np.asarray(fn(*(np.asarray(b, dtype=np.float64).tolist() for b in blocks)), dtype=np.float64)


def _block(*blocks, kernel):
    if blocks[0].size == 0:
        return np.empty(0, dtype=np.float64)
    return _kernel(kernel)(*blocks)


def _vector(a, what: str):
    a = a if _is_array(a) else _da.from_array(np.asarray(a, dtype=np.float64))
    if a.ndim != 1:
        raise ValueError(f"{what} must be 1-D, got {a.ndim} dimensions")
    if not _numeric(a.dtype):
        raise ValueError(f"{what} must be numeric, its dtype is {a.dtype}")
    return a


def _unary(name, doc):
    def fn(xs):
        xs = _vector(xs, "the input")
        return xs.map_blocks(_block, kernel=name, dtype=np.float64, token=f"zan-{name}", meta=np.empty(0))

    fn.__name__ = fn.__qualname__ = name
    fn.__doc__ = doc
    return fn


def _binary(name, doc):
    def fn(a, b):
        a, b = _vector(a, "the first input"), _vector(b, "the second input")
        n = min(a.shape[0], b.shape[0])  # pairs stop at the shorter input, as in the list form
        a, b = a[:n], b[:n].rechunk(a[:n].chunks)
        return _da.map_blocks(_block, a, b, kernel=name, dtype=np.float64, token=f"zan-{name}", meta=np.empty(0))

    fn.__name__ = fn.__qualname__ = name
    fn.__doc__ = doc
    return fn


exp_n = _unary("exp_n", "exp of every element, block by block on the workers.")
ln_n = _unary("ln_n", "ln of every element (with the frame-shift guard of zan_core.ln_n), block by block.")
sqrt_n = _unary("sqrt_n", "sqrt(|x|) of every element, block by block.")
sin_n = _unary("sin_n", "sin of every element, block by block.")
cos_n = _unary("cos_n", "cos of every element, block by block.")
add_n = _binary("add_n", "a + b element by element, block by block.")
sub_n = _binary("sub_n", "a - b element by element, block by block.")
mul_n = _binary("mul_n", "a * b element by element, block by block.")
div_n = _binary("div_n", "a / b element by element (NaN where |b| < 1e-300), block by block.")
pow_n = _binary("pow_n", "|base| ** exp element by element, block by block.")
tension_n = _binary("tension_n", "The zan tension of (x, y) element by element, block by block.")
