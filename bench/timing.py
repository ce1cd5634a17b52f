"""Timing helpers of the benchmarks: best wall time of a few runs, and two
calls made one after the other against the same two calls from two threads
at once."""
import threading
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


def two_threads(run, prepare=lambda: (), repeat=5):
    """Best wall times in seconds of two calls `run(*prepare())`, each on
    arguments of its own: one after the other, and from two threads that
    start together. A method that runs without the interpreter lock takes
    about half the time in threads on two free cores; one that holds it, the
    same time."""
    serial = best_of(lambda a, b: (run(*a), run(*b)), lambda: (prepare(), prepare()), repeat)
    together = float("inf")
    for _ in range(repeat):
        args = (prepare(), prepare())
        start = threading.Barrier(3)
        workers = [threading.Thread(target=lambda a=a: (start.wait(), run(*a))) for a in args]
        for w in workers:
            w.start()
        start.wait()
        begin = time.perf_counter()
        for w in workers:
            w.join()
        together = min(together, time.perf_counter() - begin)
    return serial, together


def alternate(*choices):
    """A `prepare` for two_threads that hands out `choices` (argument tuples)
    in turn, so that the arrays two calls write are made, and first written,
    once and outside the timing."""
    turn = iter(range(1 << 62))
    return lambda: choices[next(turn) % len(choices)]


def report_threads(label, serial, together):
    print(f"{label:<34} two calls: {serial * 1e3:8.1f} ms one after the other, "
          f"{together * 1e3:8.1f} ms from two threads   ratio {serial / together:4.2f}x")
