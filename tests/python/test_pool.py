"""The worker pool: sizing from the environment, laziness, and fork safety (in subprocesses)."""

import os
import textwrap

import pytest

from conftest import run_python

COUNT_WORKERS = """
    import os
    from zan_math import zan_core as z
    assert len(os.listdir('/proc/self/task')) == 1, 'threads exist after import'
    xs = [float(i) for i in range(1_000_000)]
    for _ in range(3):
        z.sin_n(xs)
    print(len(os.listdir('/proc/self/task')))
"""

CPUS = len(os.sched_getaffinity(0))


@pytest.mark.parametrize(
    "env, threads",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "4"}, 3),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "-1"}, CPUS),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": ""}, CPUS),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "3x", "RAYON_RS_NUM_CPUS": " 3"}, CPUS),
        ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "+"}, CPUS),
        ({"RAYON_NUM_THREADS": "0x3", "RAYON_RS_NUM_CPUS": "-0"}, CPUS),
        ({}, CPUS),
    ],
)
def test_pool_size_from_environment(env, threads):
    assert int(run_python(COUNT_WORKERS, env)) == threads


@pytest.mark.skipif(CPUS < 2, reason="needs two CPUs")
def test_pool_size_follows_affinity():
    code = "import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n" + textwrap.dedent(COUNT_WORKERS)
    assert int(run_python(code)) == 1


def test_results_do_not_depend_on_thread_count():
    code = """
        import hashlib, struct
        from zan_math import zan_core as z
        xs = [i * 0.001 - 300.0 for i in range(600_000)]
        ys = [i * -0.003 + 7.0 for i in range(600_000)]
        out = z.tension_n(xs, ys) + z.pow_n(xs, ys) + z.sin_n(xs)
        print(hashlib.sha256(struct.pack(f'{len(out)}d', *out)).hexdigest())
    """
    digests = {run_python(code, {"RAYON_NUM_THREADS": n}) for n in ("1", "2", "5")}
    assert len(digests) == 1


def test_fork_after_parallel_work():
    code = """
        import os, multiprocessing as mp
        from zan_math import zan_core as z

        def double(v):
            return z.add_n(v, v)

        xs = [float(i) for i in range(400_000)]
        expected = z.sin_n(xs)
        for _ in range(20):
            pid = os.fork()
            if pid == 0:
                ok = z.sin_n(xs) == expected and len(os.listdir('/proc/self/task')) == 2
                os._exit(0 if ok else 1)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
            assert z.sin_n(xs) == expected
        with mp.get_context('fork').Pool(2) as pool:
            sums = pool.map(sum, [z.cos_n(xs[k::4]) for k in range(4)])
            remote = pool.map(double, [xs] * 2)
        assert remote == [z.add_n(xs, xs)] * 2
        print('ok')
    """
    assert run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=120).strip() == "ok"
