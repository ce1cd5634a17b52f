"""Hostile calls of the modules' methods and the checks made after each.

A method is described by the slots of its argument tuple (`Arr`, `Int`,
`Num`, `Text`, `Seq`, `Attrs`, `Any`, `Fixed`). For each slot the strategy
mostly draws a plausible value, an array whose shape is built from a few
sizes shared by the whole call, so that calls reach the methods' working
paths; and sometimes a hostile one: another type, another dtype or rank, too small, empty,
non-contiguous, reversed, misaligned, read-only, aliased with another
argument, huge or negative integers, NaN and infinities, sequences that hold
None or lie about their length. The argument count itself is sometimes wrong.

`checked_call` makes the call and asserts what must hold whatever the
arguments were:
- it returns, or raises the module's own error (exactly its class; for
  fieldplot also the parser's TypeError or OverflowError);
- no byte of memory around or between the elements of an array argument
  changes: the arrays are views into larger buffers whose other bytes are
  watched;
- a read-only array never changes;
- after a refused call every array argument is byte-identical to before and
  the module's settings are unchanged;
- the reference counts of the arguments and of None are as before (less what
  the design keeps on purpose).
"""
import faulthandler
import gc
import sys
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any as AnyType, Callable

import numpy as np
from hypothesis import strategies as st

NOTHING = object()

# Calls made by checked_call in this process, by "module.method"; and how
# they ended, by "module.method" and "ok" or the error message.
CALLS = {}
OUTCOMES = {}

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
          np.uint64, np.float16, np.float32, np.float64, np.complex64, np.complex128,
          np.dtype("V3"), np.dtype([("a", np.int16), ("b", np.float32)]), np.dtype(object)]

HOSTILE_INTS = [0, 1, -1, 2, 3, 6, 7, 255, 256, 4095, 4096, 32767, 32768, 65535, 2**31 - 1,
                -2**31, 2**31, -2**31 - 1, 2**32, 2**63 - 1, -2**63, 2**63, 2**64, 10**30]
HOSTILE_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 1e-38, 1e-45, -1e-30, 3.4e38, 3.5e38, 1e308,
                  -1e308, 5e-324, float("nan"), float("inf"), float("-inf")]
# A watched margin before and after every array's elements.
MARGIN = 64
# A single call running longer than this is taken for an endless loop.
CALL_TIMEOUT = 120


class LyingSequence:
    """Claims `length` items; lookups past the items it holds raise IndexError."""

    def __init__(self, items, length):
        self.items, self.length = list(items), length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if not -len(self.items) <= i < len(self.items):
            raise IndexError(i)
        return self.items[i]


class RaisingSequence:
    """A sequence whose every item lookup raises ValueError."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise ValueError("no item")


class Subarray(np.ndarray):
    """An ndarray subclass: fails the exact-type array test."""


# ---------------------------------------------------------------------------
# Slots


@dataclass
class Arr:
    """An array argument. `shape` maps the call's sizes (a dict) to a shape;
    `fill(rng, array, sizes)` returns the elements of a plausible array, or
    None to keep random bytes (default: a mix of small values, specials and
    random bytes for floating-point arrays, random bytes otherwise)."""
    dtype: AnyType
    shape: Callable
    fill: Callable = None
    # True where the method may keep a reference to this argument on success.
    kept: bool = False


@dataclass
class Int:
    lo: int = -2
    hi: int = 8


@dataclass
class Num:
    lo: float = -4.0
    hi: float = 4.0


@dataclass
class Text:
    choices: tuple = ("",)


@dataclass
class Seq:
    items: list
    kind: type = list


@dataclass
class Attrs:
    attrs: dict


@dataclass
class Any:
    """An argument the method does not look at: anything goes."""


@dataclass
class Fixed:
    """A plausible value `make(sizes, rng)` (e.g. a handle, a window bound),
    and a hostile one `hostile(rng)` (default: any object)."""
    make: Callable
    hostile: Callable = None


# ---------------------------------------------------------------------------
# Arrays with watched surroundings


@dataclass
class Watched:
    """An array made as a view into a larger byte buffer."""
    array: np.ndarray
    buffer: np.ndarray                     # uint8, the whole buffer
    outside: np.ndarray = field(repr=False)  # bool per buffer byte: not an element byte
    before: bytes = b""

    def snapshot(self):
        self.before = self.buffer.tobytes()


def element_bytes(buffer_size, offset, shape, strides, itemsize):
    inside = np.zeros(buffer_size, bool)
    if int(np.prod(shape)) == 0:
        return ~inside
    starts = np.full(1, offset, np.int64)
    for n, s in zip(shape, strides):
        starts = (starts[:, None] + np.arange(n, dtype=np.int64)[None, :] * s).ravel()
    for b in range(itemsize):
        inside[starts + b] = True
    return ~inside


LAYOUTS = ["c", "c", "c", "c", "f", "reversed", "strided", "misaligned", "readonly",
           "broadcast", "subclass"]


def make_watched(rng, dtype, shape, layout, fill=None, sizes=None):
    dtype = np.dtype(dtype)
    item = dtype.itemsize
    shape = tuple(shape)
    count = int(np.prod(shape)) if shape else 1
    step = 2 if layout == "strided" else 1
    span = max(count * item * step, item)
    shift = 1 if layout == "misaligned" and item > 1 else 0
    buffer = np.frombuffer(rng.bytes(span + 2 * MARGIN + 8), np.uint8).copy()
    offset = MARGIN + shift
    # C-order strides of the packed elements, then the layout's changes.
    strides = []
    acc = item * step
    for n in reversed(shape):
        strides.insert(0, acc)
        acc *= max(n, 1)
    if layout == "f":
        strides = []
        acc = item
        for n in shape:
            strides.append(acc)
            acc *= max(n, 1)
    if layout == "reversed" and count:
        for d, n in enumerate(shape):
            if n > 1:
                offset += (n - 1) * strides[d]
                strides[d] = -strides[d]
    if layout == "broadcast" and shape:
        strides[0] = 0
    if dtype.hasobject:
        # Object arrays hold real references; never fill them with raw bytes.
        # A method that stored into one would crash the run when it is freed.
        array = np.empty(shape, dtype)
        array[...] = None
        return Watched(array, np.empty(0, np.uint8), np.zeros(0, bool))
    array = np.ndarray(shape, dtype, buffer=buffer, offset=offset, strides=tuple(strides))
    values = None
    try:
        if fill is not None and array.size:
            values = fill(rng, array, sizes)
        elif array.size and dtype.kind in "fc":
            values = default_fill(rng, array)
        if values is not None:
            with np.errstate(over="ignore", invalid="ignore"):  # hostile values may not fit
                array[...] = values
    except (ValueError, TypeError, OverflowError):
        pass  # a perturbed shape or dtype the values do not fit: keep the bytes
    if layout == "readonly":
        array.flags.writeable = False
    if layout == "subclass":
        array = array.view(Subarray)
    outside = element_bytes(buffer.size, offset, shape, strides, item)
    return Watched(array, buffer, outside)


def default_fill(rng, array):
    """Small values, with now and then a special one, or raw bytes."""
    kind = rng.integers(4)
    if kind == 0:
        return None
    if kind == 1:
        return rng.integers(-3, 4, array.shape)
    values = rng.uniform(-2, 2, array.shape)
    if kind == 3:
        special = rng.random(array.shape) < 0.2
        values[special] = rng.choice([np.nan, np.inf, -np.inf, 0.0, 1e-39, 3e38], special.sum())
    return values


# ---------------------------------------------------------------------------
# Strategies


def draw_sizes(rng):
    """X, Y, Z, U, V: grid sizes, now and then 0; N: a length; G: a group
    width; H: a half-width; P: three axes; u0, v0: window origins. Drawn
    from the call's generator rather than by hypothesis, which favours the
    boundaries and would make most calls empty."""
    sizes = {k: int(rng.integers(1, 6)) if rng.random() > 0.04 else 0 for k in "XYZUV"}
    sizes["N"] = int(rng.integers(1, 13)) if rng.random() > 0.04 else 0
    sizes["G"] = int(rng.integers(1, 4))
    sizes["H"] = int(rng.integers(0, 4))
    # A plane window: axes, and the first node indices of the window.
    sizes["P"] = [int(a) for a in rng.permutation(3)]
    sizes["u0"], sizes["v0"] = (int(i) for i in rng.integers(0, 3, 2))
    return sizes


def any_object(rng):
    """A value of no particular kind."""
    choices = [
        lambda: None, lambda: int(rng.choice(HOSTILE_INTS)),
        lambda: float(rng.choice(HOSTILE_FLOATS)), lambda: "vol", lambda: "",
        lambda: b"bytes", lambda: [1.0, None], lambda: (), lambda: {"a": 1},
        lambda: np.float64(1.5), lambda: np.zeros(()), lambda: np.zeros((2, 2)).view(np.matrix),
        lambda: object(), lambda: RaisingSequence(), lambda: LyingSequence([], 3),
        lambda: [np.zeros(3)] * 3, lambda: 1 + 2j, lambda: True,
    ]
    return choices[int(rng.integers(len(choices)))]()


def random_array(rng, watched_list):
    dtype = DTYPES[int(rng.integers(len(DTYPES)))]
    ndim = int(rng.integers(0, 6))
    shape = tuple(int(n) for n in rng.integers(0, 5, ndim))
    w = make_watched(rng, dtype, shape, LAYOUTS[int(rng.integers(len(LAYOUTS)))])
    watched_list.append(w)
    return w.array


class Builder:
    """Builds one call's arguments from the drawn choices."""

    def __init__(self, rng, sizes, hostility):
        self.rng, self.sizes, self.hostility = rng, sizes, hostility
        self.watched = []
        self.arrays = []   # every array made plausibly, for aliasing
        self.kept = []     # ids of arguments the method may keep on success

    def hostile(self):
        return self.rng.random() < self.hostility

    def value(self, slot):
        rng = self.rng
        if isinstance(slot, Arr):
            return self.array(slot)
        if isinstance(slot, Int):
            if self.hostile():
                return int(rng.choice(HOSTILE_INTS)) if rng.random() < 0.7 else any_object(rng)
            return int(rng.integers(slot.lo, slot.hi + 1))
        if isinstance(slot, Num):
            if self.hostile():
                return float(rng.choice(HOSTILE_FLOATS)) if rng.random() < 0.7 else any_object(rng)
            return float(rng.uniform(slot.lo, slot.hi))
        if isinstance(slot, Text):
            if self.hostile():
                return any_object(rng) if rng.random() < 0.5 else "surf\0x"
            return slot.choices[int(rng.integers(len(slot.choices)))]
        if isinstance(slot, Seq):
            return self.sequence(slot)
        if isinstance(slot, Attrs):
            if self.hostile():
                return any_object(rng)
            attrs = {}
            for name, sub in slot.attrs.items():
                if rng.random() < 0.05:
                    continue
                attrs[name] = self.value(sub)
            return SimpleNamespace(**attrs)
        if isinstance(slot, Any):
            return any_object(rng) if rng.random() < 0.7 else self.array(Arr(np.float64, lambda s: (3,)))
        if isinstance(slot, Fixed):
            if self.hostile():
                return slot.hostile(rng) if slot.hostile else any_object(rng)
            return slot.make(self.sizes, rng)
        raise TypeError(slot)

    def sequence(self, slot):
        rng = self.rng
        if self.hostile():
            kind = int(rng.integers(5))
            if kind == 0:
                return any_object(rng)
            items = [self.value(sub) for sub in slot.items]
            if kind == 1:
                return items[:int(rng.integers(len(items) + 1))]
            if kind == 2:
                items[int(rng.integers(len(items)))] = None
                return items
            if kind == 3:
                return LyingSequence(items[:int(rng.integers(len(items) + 1))], len(items))
            return RaisingSequence()
        items = [self.value(sub) for sub in slot.items]
        return slot.kind(items)

    def array(self, slot):
        rng = self.rng
        if self.hostile():
            kind = int(rng.integers(3))
            if kind == 0:
                return any_object(rng)
            if kind == 1 and self.arrays:
                return self.arrays[int(rng.integers(len(self.arrays)))]
            return random_array(rng, self.watched)
        shape = list(slot.shape(self.sizes))
        dtype = slot.dtype
        layout = "c"
        if self.hostility:
            # Near misses: one size off, one dimension more or less, another
            # element type, another layout.
            if rng.random() < 0.1 and shape:
                d = int(rng.integers(len(shape)))
                shape[d] = max(0, shape[d] + int(rng.choice([-1, 1])))
            if rng.random() < 0.03:
                shape = shape[1:] if rng.random() < 0.5 else [1] + shape
            if rng.random() < 0.05:
                dtype = DTYPES[int(rng.integers(len(DTYPES)))]
            if rng.random() < 0.4:
                layout = LAYOUTS[int(rng.integers(len(LAYOUTS)))]
        elif rng.random() < 0.04:
            # Layouts any method must take or refuse cleanly.
            layout = ["f", "reversed", "strided"][int(rng.integers(3))]
        w = make_watched(rng, dtype, shape, layout, slot.fill, self.sizes)
        self.watched.append(w)
        self.arrays.append(w.array)
        if slot.kept:
            self.kept.append(id(w.array))
        return w.array


@st.composite
def calls(draw, slots):
    """(arguments, watched arrays, ids kept on success, clean) for one call. A third
    of the calls are clean: plausible values throughout, so that the methods'
    working paths are reached; the others have hostile values in some slots."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    hostility = float(rng.choice([0.0, 0.05, 0.15]))
    builder = Builder(rng, draw_sizes(rng), hostility)
    args = [builder.value(slot) for slot in slots]
    if hostility and rng.random() < 0.1:
        if rng.random() < 0.5:
            args = args[:int(rng.integers(0, len(args)))]
        else:
            args.append(any_object(rng))
    return tuple(args), builder.watched, builder.kept, not hostility


# ---------------------------------------------------------------------------
# The call and its checks


# Objects the interpreter shares between unrelated code (small ints, interned
# strings, None): their reference counts move for reasons of their own.
SHARED = (int, str, bytes, type(None))


def objects_in(args):
    """The argument objects and the items of list and tuple arguments whose
    reference counts only the call may change."""
    found = []
    for a in args:
        found.append(a)
        if isinstance(a, (list, tuple)):
            found.extend(a)
    return [o for o in found if not isinstance(o, SHARED)]


def counted_call(method, args, objects):
    """(result, error, change of None's reference count, changes of the
    objects' reference counts) of one call."""
    refs_before = [sys.getrefcount(o) for o in objects]
    # No collection may run inside the call and drop references of its own.
    gc.disable()
    result = error = NOTHING
    none_before = sys.getrefcount(None)
    faulthandler.dump_traceback_later(CALL_TIMEOUT, exit=True, file=sys.__stderr__)
    try:
        result = method(*args)
    except BaseException as e:  # noqa: B902 - every class is judged by the caller
        error = e
    finally:
        faulthandler.cancel_dump_traceback_later()
    none_change = sys.getrefcount(None) - (result is None) - none_before
    gc.enable()
    if error is not NOTHING:
        # The traceback holds this frame, not the arguments.
        result, error = None, error.with_traceback(None)
    else:
        error = None
    refs_after = [sys.getrefcount(o) for o in objects]
    changes = [after - before for after, before in zip(refs_after, refs_before)]
    return result, error, none_change, changes


def checked_call(module, name, args, watched, allowed=(), settings=None, kept=(), clean=False):
    """Calls module.name(*args) and asserts the invariants listed above.
    `allowed`: exception classes accepted besides the module's error.
    `settings`: an object whose unchanged() tells whether the module's
    settings are still those it saw last, and whose accept() takes note of
    a working call (which may set them); or None.
    `kept`: ids of arguments the method may keep a reference to on success.
    Returns the result, or the exception raised."""
    method = getattr(module, name)
    owner = getattr(module, "__name__", type(module).__name__)
    key = f"{owner}.{name}"
    CALLS[key] = CALLS.get(key, 0) + 1
    for w in watched:
        w.snapshot()
    objects = objects_in(args)

    result, error, none_change, changes = counted_call(method, args, objects)
    ending = OUTCOMES.setdefault(key + (" (clean)" if clean else ""), {})
    said = "ok" if error is None else f"{type(error).__name__}: {error}"
    ending[said] = ending.get(said, 0) + 1

    if error is not None:
        assert type(error) is Exception or type(error) in allowed, (
            f"{key} raised {type(error).__name__}: {error}")
    for w in watched:
        after = w.buffer.tobytes()
        if error is not None:
            assert after == w.before, f"{key} refused ({error}) but changed an array argument"
        elif after != w.before:
            changed = np.frombuffer(after, np.uint8) != np.frombuffer(w.before, np.uint8)
            assert not (changed & w.outside).any(), f"{key} wrote outside an array's elements"
            assert w.array.flags.writeable, f"{key} wrote into a read-only array"
    if settings and error is not None:
        assert settings.unchanged(), f"{key} refused ({error}) but changed the module's settings"
    elif settings:
        settings.accept()

    ignore = [error is None and id(o) in kept for o in objects]
    for attempt in range(3):
        leaked = none_change or any(c for c, skip in zip(changes, ignore) if not skip)
        if not leaked:
            break
        # Caches filled on a first use move counts once; a leak repeats.
        CALLS[key] += 1
        _, again, none_change, changes = counted_call(method, args, objects)
        ignore = [again is None and id(o) in kept for o in objects]
    for o, change, skip in zip(objects, changes, ignore):
        assert skip or change == 0, \
            f"{key}: reference count of a {type(o).__name__} argument changed by {change}"
    assert none_change == 0, f"{key}: reference count of None changed by {none_change}"
    return error if error is not None else result
