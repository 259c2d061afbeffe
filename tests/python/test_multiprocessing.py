"""zan_core's functions and classes go through pickle by reference, so process pools can run them."""

import concurrent.futures as cf
import multiprocessing as mp
import pickle

import pytest

import zan_math
from conftest import run_python
from zan_math import zan_core

START_METHODS = ["fork", "spawn", "forkserver"]
CHUNKS = [[float(i) + k / 7 for i in range(1, 200)] for k in range(6)] + [[0.0, -0.0, -5.0, 1e-310]]


def test_top_level_name_is_the_native_module_itself():
    import zan_core as top

    assert top is zan_math.zan_core
    assert {zan_core.ln_n.__module__, zan_core.ZANPoint.__module__, zan_core.PanicException.__module__} == {
        "zan_core"
    }


@pytest.mark.parametrize("name", [*zan_core.__all__, "PanicException"])
def test_every_public_object_pickles_by_reference(name):
    obj = getattr(zan_core, name)
    assert pickle.loads(pickle.dumps(obj)) is obj


def test_instances_keep_refusing_pickle():
    # The value classes define no pickling of their own; only their names became reachable.
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(zan_core.ZANPoint(1.0, 2.0))


def test_pickles_load_in_a_fresh_interpreter():
    payload = pickle.dumps([zan_core.ln_n, zan_core.ZANPair, zan_core.find_formula]).hex()
    code = f"""
        import pickle
        ln_n, pair, find = pickle.loads(bytes.fromhex({payload!r}))
        import zan_math.zan_core as z
        assert (ln_n, pair, find) == (z.ln_n, z.ZANPair, z.find_formula)
        print(ln_n([1.0, 0.0]))
    """
    assert run_python(code).strip() == repr(zan_core.ln_n([1.0, 0.0]))


@pytest.mark.parametrize("method", START_METHODS)
def test_pool_map(method):
    with mp.get_context(method).Pool(2) as pool:
        assert pool.map(zan_core.ln_n, CHUNKS) == [zan_core.ln_n(c) for c in CHUNKS]
        assert pool.starmap(zan_core.tension_n, zip(CHUNKS, CHUNKS[::-1])) == [
            zan_core.tension_n(a, b) for a, b in zip(CHUNKS, CHUNKS[::-1])
        ]


@pytest.mark.parametrize("method", START_METHODS)
def test_process_pool_executor(method):
    with cf.ProcessPoolExecutor(2, mp_context=mp.get_context(method)) as executor:
        assert list(executor.map(zan_core.sqrt_n, CHUNKS)) == [zan_core.sqrt_n(c) for c in CHUNKS]
        # A class travels too: the worker builds points and returns plain numbers.
        assert executor.submit(_tension_of, zan_core.ZANPoint, 0.5, 2.0).result() == zan_core.ZANPoint(
            0.5, 2.0
        ).tension()


def _tension_of(cls, x, y):
    return cls(x, y).tension()
