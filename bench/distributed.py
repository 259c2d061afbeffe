"""Discovery on a Dask cluster against the same search in one process, on the same cores.

The data: --rows rows (10⁷ by default) of 3 variables drawn uniformly from [1, 5], and
y = 3·x0·exp(−x1/2) + x2 with Gaussian noise of --noise (1%) of its spread, made block by
block from a fixed seed (blocks of 2¹⁸ rows), so that every process makes the same rows.

- single process: `discover(X, y)` on the rows in memory, in a subprocess whose pool has 2
  threads (RAYON_NUM_THREADS=2); time of the call and the subprocess's peak memory.
- cluster: a LocalCluster of 2 worker processes with 1 thread each (and a pool of 1 thread
  in each), the rows made and persisted on the workers; then `discover(X, y, client=...)`
  from this process. Time of the call (conversion of the partitions, sample, search, refits
  on the workers), and the growth of this process's peak resident memory during it (the
  scheduler of a LocalCluster lives in this process and is counted).

The two are run in turn --repeat times (2) on the same persisted rows, and the fastest run of
each counts: the machine may be shared, and turns expose both to the same load.

Printed: both times and their ratio (target ≤ 1.3x), the formulas (must be the same), driver
memory against the data size (target < 10%), the messages and worker times of every refit
call, and an estimate of the time on 8 and 32 machines of 2 cores built from those
measurements (see `estimate`).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time

import numpy as np

# This file shares its name with the `distributed` package: keep its folder off the path,
# here and in the worker processes, which inherit it.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != HERE]

BLOCK = 1 << 18
SEED = 20260
VARIABLES = 3


def make_block(index: int, rows: int, noise: float) -> np.ndarray:
    """Rows [index·BLOCK, index·BLOCK + rows) as one (rows × 4) array: x0, x1, x2, y."""
    rng = np.random.default_rng([SEED, index])
    x = rng.uniform(1.0, 5.0, size=(rows, VARIABLES))
    y = 3.0 * x[:, 0] * np.exp(-0.5 * x[:, 1]) + x[:, 2]
    y += noise * 1.17 * rng.standard_normal(rows)  # 1.17 ≈ spread of the noiseless law on [1, 5]³
    return np.column_stack([x, y])


def block_sizes(rows: int) -> list[int]:
    sizes = [BLOCK] * (rows // BLOCK)
    if rows % BLOCK:
        sizes.append(rows % BLOCK)
    return sizes


def _status_bytes(field: str) -> int:
    """A memory field of /proc/self/status (VmHWM, VmRSS), in bytes; 0 where there is none."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def peak_rss() -> int:
    return _status_bytes("VmHWM")


def current_rss() -> int:
    return _status_bytes("VmRSS")


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def formulas(result) -> list:
    """The front as JSON-able values: complexity, program (constants as slots), constants, loss, text."""
    return [(f.complexity, [list(t) for t in f.program], f.constants, f.loss, f.text) for f in result.front]


# ---- one process ------------------------------------------------------------------------

def single(rows: int, noise: float) -> dict:
    import zan_math

    data = np.concatenate([make_block(i, n, noise) for i, n in enumerate(block_sizes(rows))])
    X, y = data[:, :VARIABLES], data[:, VARIABLES]
    start = time.perf_counter()
    result = zan_math.discover(X, y, progress=False)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "best": result.best.text, "best_program": [list(t) for t in result.best.program],
            "front": formulas(result), "peak": peak_rss()}


def sample_only(rows: int, noise: float) -> dict:
    """Peak memory growth of the same search run on its 4,096-row sample alone, in memory:
    the working memory any driver needs, whatever the number of rows."""
    import zan_math

    sizes = block_sizes(rows)
    offsets = np.concatenate([[0], np.cumsum(sizes)])
    limit = min(rows, 4096)
    pick = np.arange(limit, dtype=np.int64) * rows // limit  # the rows the cluster run samples
    block_of = np.searchsorted(offsets, pick, side="right") - 1
    blocks = {int(b): make_block(int(b), sizes[b], noise) for b in np.unique(block_of)}
    sample = np.stack([blocks[int(b)][r - offsets[b]] for b, r in zip(block_of, pick)])
    zan_math.discover(sample[:64, :VARIABLES], sample[:64, VARIABLES], progress=False)  # pool and imports warm
    baseline = current_rss()
    reset_peak()
    zan_math.discover(sample[:, :VARIABLES], sample[:, VARIABLES], progress=False)
    return {"growth": peak_rss() - baseline}


def run_single(rows: int, noise: float, mode: str = "--single") -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    command = [sys.executable, os.path.abspath(__file__), mode, "--rows", str(rows), "--noise", str(noise)]
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---- a cluster ----------------------------------------------------------------------------

def cluster_search(client, X, y) -> dict:
    import zan_math
    from zan_math import dask as zd

    baseline = current_rss()
    measured = reset_peak()
    start = time.perf_counter()
    source = zd._source_for(X, y, client)  # what discover(X, y, client=client) does
    setup = time.perf_counter() - start
    result = zan_math.discover(None, None, progress=False, _source=source)
    seconds = time.perf_counter() - start
    growth = peak_rss() - baseline if measured else float("nan")
    return json.loads(json.dumps({  # the same plain values as the single run's
        "seconds": seconds,
        "setup": setup,
        "best": result.best.text,
        "best_program": [list(t) for t in result.best.program],
        "front": formulas(result),
        "driver_growth": growth,
        "driver_rss": baseline,
        "partitions": len(source.parts),
        "sample_bytes": source.setup_bytes,
        "calls": source.calls,
        "levels": len(result.levels),
    }))


def side_by_side(rows: int, noise: float, repeat: int) -> tuple[list[dict], list[dict]]:
    """Single-process and cluster runs taken in turn, so that both see the same load."""
    import dask
    import dask.array as da
    from distributed import Client, LocalCluster, wait

    singles, clusters = [], []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        blocks = [da.from_delayed(dask.delayed(make_block)(i, n, noise), shape=(n, VARIABLES + 1), dtype=np.float64)
                  for i, n in enumerate(block_sizes(rows))]
        data = da.concatenate(blocks)
        X, y = client.persist([data[:, :VARIABLES], data[:, VARIABLES]])
        wait([X, y])
        for _ in range(repeat):
            singles.append(run_single(rows, noise))
            clusters.append(cluster_search(client, X, y))
    return singles, clusters


def estimate(run: dict, machines: int, cores: int = 2) -> float:
    """Seconds the same search would take with `machines` machines of `cores` single-threaded
    workers: the driver's part (setup aside) stays; every refit call costs its measured
    latency (wall time beyond the busiest worker) plus the busiest worker's share of the
    partitions, ceil(partitions / workers) of them at the call's mean partition time; the
    setup scales the same way."""
    workers = machines * cores
    parts = run["partitions"]
    share = math.ceil(parts / workers) / math.ceil(parts / 2)  # against the 2 workers measured
    calls = 0.0
    for c in run["calls"]:
        mean = sum(c["worker_seconds"]) / len(c["worker_seconds"])
        busiest = max(sum(s for s, w in zip(c["worker_seconds"], c["workers"]) if w == who) for who in set(c["workers"]))
        latency = max(0.0, c["wall"] - busiest)
        calls += latency + math.ceil(parts / workers) * mean
    driver = run["seconds"] - run["setup"] - sum(c["wall"] for c in run["calls"])
    return driver + run["setup"] * share + calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--noise", type=float, default=0.01)
    parser.add_argument("--repeat", type=int, default=2, help="runs of each, in turn; the fastest of each counts")
    parser.add_argument("--single", action="store_true", help="only the single-process run, as JSON")
    parser.add_argument("--sample-only", action="store_true", help="only the search on the sample, as JSON")
    args = parser.parse_args()
    if args.single:
        print(json.dumps(single(args.rows, args.noise)))
        return
    if args.sample_only:
        print(json.dumps(sample_only(args.rows, args.noise)))
        return

    data_bytes = args.rows * (VARIABLES + 1) * 8
    print(f"{args.rows:,} rows x {VARIABLES} variables ({data_bytes / 2**20:.0f} MiB with y), noise {args.noise:g}")
    singles, clusters = side_by_side(args.rows, args.noise, max(1, args.repeat))
    one = min(singles, key=lambda r: r["seconds"])
    many = min(clusters, key=lambda r: r["seconds"])
    runs = lambda rs: ", ".join(f"{r['seconds']:.2f}" for r in rs)  # noqa: E731
    print(f"single process (pool of 2 threads): {one['seconds']:.2f} s (runs: {runs(singles)}), "
          f"peak memory {one['peak'] / 2**20:.0f} MiB")
    print(f"  best: {one['best']}")
    print(f"LocalCluster, 2 workers x 1 thread:  {many['seconds']:.2f} s (runs: {runs(clusters)}; "
          f"setup {many['setup']:.2f} s, {many['partitions']} partitions)")
    print(f"  best: {many['best']}")
    ratio = many["seconds"] / one["seconds"]
    print(f"time ratio cluster / single: {ratio:.2f}x (target <= 1.3x)")
    same = all([f[:2] for f in r["front"]] == [f[:2] for f in one["front"]] for r in singles + clusters)
    same_best = all(r["best_program"] == one["best_program"] for r in singles + clusters)
    worst = 0.0
    for a, b in zip(one["front"], many["front"]):
        for u, v in zip(a[2], b[2]):
            worst = max(worst, abs(u - v) / max(abs(u), 1e-300))
    print(f"same best formula in every run: {same_best}; same front (programs): {same}; "
          f"largest relative difference of a fitted constant: {worst:.1e}")
    growth = max(r["driver_growth"] for r in clusters)
    print(f"driver peak memory growth: {growth / 2**20:.1f} MiB = {100 * growth / data_bytes:.2f}% of the data "
          f"(target < 10%; the process held {many['driver_rss'] / 2**20:.0f} MiB before, scheduler included)")
    alone = run_single(args.rows, args.noise, "--sample-only")["growth"]
    print(f"  of which the search's own working memory, the same search on its 4,096-row sample in a "
          f"process of its own: {alone / 2**20:.1f} MiB (independent of the rows)")

    calls = many["calls"]
    print(f"search: {many['levels']} levels on the driver's sample, nothing sent to the workers; "
          f"sample gathered once: {many['sample_bytes'] / 1024:.0f} KiB")
    print(f"refit calls: {len(calls)} (each: one task per worker holding partitions; per-partition sums "
          f"merged in partition order)")
    print("  call params tasks  sent(B)  recv(B)  wall(s)  worker-s(sum)  busiest(s)  latency(s)")
    for i, c in enumerate(calls):
        busiest = max(sum(s for s, w in zip(c["worker_seconds"], c["workers"]) if w == who) for who in set(c["workers"]))
        print(f"  {i:4d} {c['params']:6d} {c['tasks']:5d} {c['sent']:8d} {c['received']:8d} {c['wall']:8.3f} "
              f"{sum(c['worker_seconds']):14.3f} {busiest:11.3f} {max(0.0, c['wall'] - busiest):11.3f}")
    total_wall = sum(c["wall"] for c in calls)
    total_work = sum(sum(c["worker_seconds"]) for c in calls)
    print(f"  total: {total_wall:.2f} s wall, {total_work:.2f} worker-seconds, "
          f"{sum(c['sent'] for c in calls) / 1024:.1f} KiB sent, {sum(c['received'] for c in calls) / 1024:.1f} KiB received")
    driver = many["seconds"] - many["setup"] - total_wall
    print(f"driver-side time (sample, search, validation refits): {driver:.2f} s")
    print("estimate (same rows; machines of 2 cores, 2 single-threaded workers each):")
    for m in (1, 4, 8, 32):
        t = estimate(many, m)
        print(f"  {m:3d} machines: {t:7.2f} s, speed-up {one['seconds'] / t:5.2f}x against one process")
    # with rows growing as the machines do, the busiest worker's share stays as measured
    print(f"  rows growing with the machines (10^7 per machine): about {many['seconds']:.1f} s at any count, "
          f"the driver's {driver:.1f} s and the per-call latency being the part that does not shrink")


if __name__ == "__main__":
    main()
