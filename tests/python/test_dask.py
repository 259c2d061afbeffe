"""Discovery and the batch functions on a Dask cluster of two worker processes."""

import os
import signal
import time

import numpy as np
import pytest

# A cluster of worker processes per module: among the slow checks.
pytestmark = pytest.mark.slow

from conftest import bits, run_python

pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

import zan_math  # noqa: E402
from zan_math import zan_core  # noqa: E402


# No profiling thread in this process: it would outlive the clusters, and later tests fork.
NO_PROFILE = {"distributed.worker.profile.enabled": False}


@pytest.fixture(scope="module")
def cluster():
    import dask
    from distributed import LocalCluster

    # One thread per worker and in its pool: the two processes are the parallelism.
    with dask.config.set(NO_PROFILE), LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      env={"RAYON_NUM_THREADS": "1"}) as cluster:
        yield cluster
    stop_offload_thread()


def stop_offload_thread():
    """distributed keeps one idle thread for the rest of the process once used; later tests
    fork, which must find no thread. A fresh executor starts its thread only when used."""
    from concurrent.futures import ThreadPoolExecutor

    import distributed.utils

    executor = getattr(distributed.utils, "_offload_executor", None)
    if isinstance(executor, ThreadPoolExecutor):
        executor.shutdown(wait=True)
        distributed.utils._offload_executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix="Dask-Offload")


@pytest.fixture(scope="module")
def client(cluster):
    from distributed import Client

    with Client(cluster) as client:
        yield client


def law_rows(law, rows=20_000, seed=3):
    rng = np.random.default_rng(seed)
    X = rng.uniform(1.0, 4.0, size=(rows, 3))
    return X, law(X)


LAWS = {
    "product and sine": lambda X: 1.5 * X[:, 0] * X[:, 1] + np.sin(X[:, 2]),
    "inner constant": lambda X: 3.0 * X[:, 0] * np.exp(-0.5 * X[:, 1]) + X[:, 2],
}


def front(result):
    return [(f.complexity, f.program) for f in result.front]


def close(a, b, rel):
    assert front(a) == front(b)
    assert a.best.program == b.best.program
    for f, g in zip(a.front, b.front):
        np.testing.assert_allclose(g.constants, f.constants, rtol=rel, atol=0)
        assert g.loss == pytest.approx(f.loss, rel=1e-6, abs=1e-25)


# ---- discovery ------------------------------------------------------------------------

@pytest.mark.parametrize("law", LAWS, ids=list(LAWS))
def test_same_front_as_one_process(client, law):
    X, y = law_rows(LAWS[law])
    local = zan_math.discover(X, y, progress=False)
    # partitions that are not multiples of the engine's chunk: the merge order differs most
    Xd, yd = da.from_array(X, chunks=(3_001, 3)), da.from_array(y, chunks=3_001)
    spread = zan_math.discover(Xd, yd, client=client, progress=False)
    close(local, spread, rel=1e-9)
    again = zan_math.discover(Xd, yd, client=client, progress=False)
    assert [(f.constants, f.loss) for f in again.front] == [(f.constants, f.loss) for f in spread.front]


def test_weights_are_honoured_on_the_workers(client):
    X, y = law_rows(LAWS["product and sine"], rows=12_000)
    weights = np.random.default_rng(4).uniform(0.5, 2.0, size=y.shape[0])
    weights[::3] = 0.0
    y = np.where(weights > 0, y, y + 100.0)  # rows that weigh nothing break the law
    local = zan_math.discover(X, y, weights, progress=False)
    Xd, yd, wd = (da.from_array(X, chunks=(5_000, 3)), da.from_array(y, chunks=5_000),
                  da.from_array(weights, chunks=5_000))
    for w in (wd, weights):  # partitioned as y, and in memory
        spread = zan_math.discover(Xd, yd, w, client=client, progress=False)
        assert spread.best.program == local.best.program
        np.testing.assert_allclose(spread.best.constants, local.best.constants, rtol=1e-9)
        assert spread.best.loss < 1e-20
    with pytest.raises(ValueError, match="sample_weight has a negative or non-finite value .* at row 7"):
        zan_math.discover(Xd, yd, da.from_array(np.where(np.arange(y.shape[0]) == 7, -1.0, 1.0), chunks=5_000),
                          client=client, progress=False)


def test_in_memory_rows_are_sent(client):
    X, y = law_rows(LAWS["product and sine"], rows=3_000)
    local = zan_math.discover(X, y, names=["m", "v", "t"], progress=False)
    spread = zan_math.discover(X.tolist(), y, names=["m", "v", "t"], client=client, progress=False)
    assert [f.text for f in spread.front] == [f.text for f in local.front]  # all rows fit the sample
    assert spread.best.text == "1.5*m*v + sin(t)"


def test_dataframe_columns_name_the_variables(client):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    X, y = law_rows(LAWS["product and sine"], rows=12_000)
    frame = pd.DataFrame(X, columns=["mass", "speed", "angle"]).assign(out=y)
    ddf = dd.from_pandas(frame, npartitions=3)
    result = zan_math.discover(ddf[["mass", "speed", "angle"]], ddf["out"], client=client, progress=False)
    assert result.names == ("mass", "speed", "angle")
    assert result.best.text == "1.5*mass*speed + sin(angle)"
    # y in memory beside a partitioned X
    mixed = zan_math.discover(ddf[["mass", "speed", "angle"]], y, client=client, progress=False)
    assert front(mixed) == front(result)
    values = zan_math.dask.predict(result.best, ddf[["mass", "speed", "angle"]]).compute().to_numpy()
    assert bits(values) == bits(result.best.predict(X))


def test_an_estimator_refitted_on_an_unnamed_array_forgets_the_frames_names(client):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    da = pytest.importorskip("dask.array")
    X, y = law_rows(LAWS["product and sine"], rows=3_000)
    model = zan_math.FormulaRegressor(client=client, progress=False)
    model.fit(dd.from_pandas(pd.DataFrame(X, columns=["mass", "speed", "angle"]), npartitions=3), y)
    model.fit(da.from_array(X[:, :2], chunks=(1_000, 2)), da.from_array(X[:, 0] * X[:, 1], chunks=1_000))
    assert not hasattr(model, "feature_names_in_") and model.best_.text == "x0*x1"


def test_worker_killed_mid_search(cluster, client):
    from zan_math.dask import _source_for

    X, y = law_rows(LAWS["inner constant"], rows=30_000)
    Xd, yd = da.from_array(X, chunks=(4_096, 3)), da.from_array(y, chunks=4_096)
    calm = zan_math.discover(Xd, yd, client=client, progress=False)

    source = _source_for(Xd, yd, client)
    refit = source.normal
    killed = []

    def normal(program, constants):
        if not killed:  # the first refit on all rows: a worker dies with its partitions
            victim = sorted(client.scheduler_info()["workers"])[0]
            pid = client.run(os.getpid, workers=[victim])[victim]
            os.kill(pid, signal.SIGKILL)
            deadline = time.monotonic() + 60
            while victim in client.scheduler_info()["workers"] and time.monotonic() < deadline:
                time.sleep(0.02)
            killed.append(victim)
        return refit(program, constants)

    source.normal = normal
    result = zan_math.discover(None, None, progress=False, _source=source)
    assert killed and killed[0] not in client.scheduler_info()["workers"]
    # recomputed partitions, merged in the same order: the very same numbers
    assert [(f.program, f.constants, f.loss) for f in result.front] == [
        (f.program, f.constants, f.loss) for f in calm.front
    ]
    client.wait_for_workers(2, timeout=60)


def test_lost_scheduler_is_an_error():
    import dask
    from distributed import Client, LocalCluster

    from zan_math.dask import _source_for

    X, y = law_rows(LAWS["product and sine"], rows=10_000)
    with dask.config.set({"distributed.comm.timeouts.connect": "2s", **NO_PROFILE}):
        cluster = LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0")
        client = Client(cluster)
        try:
            source = _source_for(X, y, client)
            refit = source.normal

            def normal(program, constants):
                client.sync(cluster.scheduler.close)
                return refit(program, constants)

            source.normal = normal
            with pytest.raises(ConnectionError, match="scheduler"):
                zan_math.discover(None, None, progress=False, _source=source)
        finally:
            client.close()
            cluster.close()


def bad_inputs():
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    X, y = law_rows(LAWS["product and sine"], rows=5_000)
    frame = pd.DataFrame(X, columns=["a", "b", "c"])
    nan_y = y.copy()
    nan_y[4_321] = np.nan
    inf_X = X.copy()
    inf_X[3_999, 2] = np.inf
    return {
        "partition counts": (da.from_array(X, chunks=(1_000, 3)), da.from_array(y, chunks=2_500),
                             ValueError, "X has 5 partitions, y has 2"),
        "partition lengths": (da.from_array(X, chunks=((1_000, 4_000), (3,))), da.from_array(y, chunks=((2_000, 3_000),)),
                              ValueError, "partition 0 has 1000 rows of X and 2000 of y"),
        "frame partitions": (dd.from_pandas(frame, npartitions=2), dd.from_pandas(pd.Series(y), npartitions=3),
                             ValueError, "partitioned differently"),
        "rows of y in memory": (da.from_array(X, chunks=(1_000, 3)), y[:-1], ValueError, "5000 rows but y has 4999"),
        "text column": (dd.from_pandas(frame.assign(c=frame["c"].astype(str)), npartitions=2), y,
                        ValueError, "column that is not numeric: 'c'"),
        "text y": (da.from_array(X, chunks=(1_000, 3)), da.from_array(y.astype(str), chunks=1_000),
                   ValueError, "y must be numeric"),
        "non-finite y": (da.from_array(X, chunks=(1_000, 3)), da.from_array(nan_y, chunks=1_000),
                         ValueError, r"y has a non-finite value \(nan\) at row 4321"),
        "non-finite X": (da.from_array(inf_X, chunks=(1_500, 3)), da.from_array(y, chunks=1_500),
                         ValueError, r"X has a non-finite value \(inf\) at row 3999, column 2"),
        "3-D X": (da.zeros((10, 2, 2)), da.zeros(10), ValueError, "1-D or 2-D"),
        "one row": (da.ones((1, 3)), da.ones(1), ValueError, "at least two rows"),
    }


@pytest.mark.parametrize("case", ["partition counts", "partition lengths", "frame partitions", "rows of y in memory",
                                  "text column", "text y", "non-finite y", "non-finite X", "3-D X", "one row"])
def test_bad_input_is_refused_before_the_search(client, case):
    X, y, error, message = bad_inputs()[case]
    levels = []
    with pytest.raises(error, match=message):
        zan_math.discover(X, y, client=client, progress=levels.append)
    assert not levels


def test_client_must_be_a_client():
    with pytest.raises(TypeError, match="distributed.Client"):
        zan_math.discover([[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0], client="tcp://127.0.0.1:8786")


def test_missing_dask_names_the_extra():
    out = run_python(
        """
        import sys
        sys.modules["distributed"] = None
        import numpy, zan_math
        try:
            zan_math.discover([[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0], client=object())
        except ImportError as exc:
            print(exc)
        """
    )
    assert "pip install 'zan_math[dask]'" in out


# ---- batch functions over Dask arrays -------------------------------------------------

SPECIAL = [0.0, -0.0, 1.0, -1.0, 1e-310, -1e-310, 1e300, -1e300, 709.9, -745.2, np.inf, -np.inf, np.nan, np.pi]


def operands(n, seed):
    rng = np.random.default_rng(seed)
    values = np.concatenate([rng.normal(scale=50.0, size=n - len(SPECIAL)), SPECIAL])
    return rng.permutation(values)


UNARY = ["exp_n", "ln_n", "sqrt_n", "sin_n", "cos_n"]
BINARY = ["add_n", "sub_n", "mul_n", "div_n", "pow_n", "tension_n"]


@pytest.mark.parametrize("name", UNARY + BINARY)
def test_batch_functions_match_the_list_forms(client, name):
    from zan_math import dask as zdask

    a, b = operands(10_007, 1), operands(10_007, 2)
    listed = getattr(zan_core, name)
    if name in UNARY:
        expected = listed(a.tolist())
        got = getattr(zdask, name)(da.from_array(a, chunks=1_500))
    else:
        expected = listed(a.tolist(), b.tolist())
        # chunks that do not line up: the second input is cut like the first
        got = getattr(zdask, name)(da.from_array(a, chunks=1_500), da.from_array(b, chunks=4_000))
    assert bits(client.compute(got).result()) == bits(expected)


def test_batch_pairs_stop_at_the_shorter_input(client):
    from zan_math import dask as zdask

    a, b = operands(5_000, 3), operands(3_333, 4)
    got = zdask.tension_n(da.from_array(a, chunks=700), b)
    assert got.shape == (3_333,)
    assert bits(client.compute(got).result()) == bits(zan_core.tension_n(a.tolist(), b.tolist()))
    with pytest.raises(ValueError, match="1-D"):
        zdask.exp_n(da.zeros((4, 4)))
