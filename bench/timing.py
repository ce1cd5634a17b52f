"""Timing helper of the benchmarks: best wall time of a few runs."""
import time


def best_of(run, prepare=lambda: (), repeat=5):
    """Best time in seconds of `run(*prepare())`; `prepare` is not timed."""
    best = float("inf")
    for _ in range(repeat):
        args = prepare()
        start = time.perf_counter()
        run(*args)
        best = min(best, time.perf_counter() - start)
    return best


def report(label, ours, peer, peer_name):
    print(f"{label:<34} {ours * 1e3:8.1f} ms   {peer_name} {peer * 1e3:8.1f} ms"
          f"   ratio {peer / ours:5.1f}x")
