"""Helpers of the thread tests: a call made from several threads at once
against the same call made alone, and whether other threads ran Python while
a call ran. Imported by tests/test_threads.py and by the child processes it
starts for the drawing modules."""
import os
import struct
import sys
import threading
import time

import numpy as np

# Under ThreadSanitizer (tools/tsan.sh), which runs every access some twenty
# times slower, three threads overlapping once are enough to show a race.
UNDER_TSAN = bool(os.environ.get("QUORAN_TSAN"))
THREADS = 3 if UNDER_TSAN else 4
ROUNDS = 1 if UNDER_TSAN else 3


def snapshot(*items):
    """The exact bits of what a call produced: arrays as bytes, floats as
    their IEEE bits (so that NaN equals NaN), sequences item by item."""
    out = []
    for item in items:
        if isinstance(item, np.ndarray):
            out.append((item.dtype.str, item.shape, item.tobytes()))
        elif isinstance(item, float):
            out.append(struct.pack("<d", item))
        elif isinstance(item, (list, tuple)):
            out.append(snapshot(*item))
        else:
            out.append(item)
    return tuple(out)


def disagreements(call, threads=THREADS, rounds=ROUNDS):
    """Runs `call` alone, then `rounds` times in each of `threads` threads that
    start together. `call` makes the arrays it writes and returns a snapshot
    of what it produced. Returns how many threaded calls produced something
    else than the lone call."""
    alone = call()
    start = threading.Barrier(threads)
    differing = []
    errors = []

    def work():
        try:
            start.wait()
            for _ in range(rounds):
                if call() != alone:
                    differing.append(1)
        except BaseException as e:  # reported in the calling thread
            errors.append(e)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    if errors:
        raise errors[0]
    return len(differing)


def ran_meanwhile(call, tries=20):
    """Whether another thread ran Python while `call` ran.

    With a switch interval of 100 s no thread is made to hand the lock over,
    so a spinning thread, which gives it up after every step, gets it back
    only while the caller runs without it: its counter moves across a call
    exactly when the call released the lock. A call that releases it may end
    before the spinner wakes, so the call is tried a few times."""
    count = 0
    stop = False

    def spin():
        nonlocal count
        while not stop:
            count += 1
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        for _ in range(tries):
            before = count
            call()
            if count != before:
                return True
        return False
    finally:
        stop = True
        spinner.join()
        sys.setswitchinterval(interval)
